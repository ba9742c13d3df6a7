// Any text as the attachment's URL string. The staging file URL must be the text an
// independent reading of the naming rule gives, and once parsed it must reach the temporary
// directory itself or a file directly inside it: a name may never climb out or go deeper.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "attachment/StagingFileURL.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSURL.h"

namespace {

// Directories as a container may have them: plain, and with bytes that must be escaped.
constexpr std::string_view kTemporaryDirectories[] = {
    "/tmp/corvanta-nse-0/tmp/",
    "/home/a b/100%/#x/\xC3\xA9/tmp/",
};

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

// The last slash-separated component, trailing slashes ignored; "/" for only slashes.
std::string_view lastComponent(std::string_view text) {
  const auto end = text.find_last_not_of('/');
  if (end == std::string_view::npos) return text.empty() ? "" : "/";
  const auto slash = text.rfind('/', end);
  return text.substr(slash == std::string_view::npos ? 0 : slash + 1,
                     end - (slash == std::string_view::npos ? 0 : slash + 1) + 1);
}

std::string escaped(std::string_view text) {
  static constexpr std::string_view kKept = "-._~!$&'()*+,;=:@/?";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || kKept.find(c) != std::string_view::npos;
    if (kept) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

// The rule read on its own: the last component joined to the directory, then escaped;
// nothing when that joined text is not UTF-8 (bytes before the last slash do not count).
std::optional<std::string> expectedText(std::string_view text, std::string_view directory) {
  const std::string joined = "file://" + std::string(directory) + std::string(lastComponent(text));
  if (!isValidUTF8(joined)) return std::nullopt;
  return escaped(joined);
}

// The directory itself ("", "." or slashes after it) or one name directly inside it. A name
// of ".." (the text "..?x" parses to it) names the folder above, but the file system refuses
// to write a path whose last name is "." or "..", so nothing is staged there.
bool staysInDirectory(const std::string& path, std::string_view directory) {
  if (path.compare(0, directory.size(), directory) != 0) return false;
  const std::string_view name = std::string_view(path).substr(directory.size());
  if (name.find_first_not_of('/') == std::string_view::npos) return true;
  if (name.find('/') != std::string_view::npos) return false;
  return name != ".." || !corvanta::FileSystem::Default().writeFileAtomically(path, "");
}

[[noreturn]] void fail(const char* what, std::string_view directory, std::string_view got) {
  std::fprintf(stderr, "fuzz_staging_name: %s (directory \"%.*s\"): \"%.*s\"\n", what,
               static_cast<int>(directory.size()), directory.data(), static_cast<int>(got.size()),
               got.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string_view directory : kTemporaryDirectories) {
    const auto staging = corvanta::stagingFileURLString(text, directory);
    if (staging != expectedText(text, directory))
      fail("staging text differs from the naming rule", directory, staging.value_or("<none>"));
    if (!staging) continue;
    const auto url = corvanta::NSURL::URLWithString(*staging);
    if (url && !staysInDirectory(url->path(), directory))
      fail("staging path leaves the temporary directory", directory, url->path());
  }
  return 0;
}
