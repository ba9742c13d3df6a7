#include "platform/user_notifications/MediaType.h"

#include <algorithm>
#include <array>
#include <utility>

namespace corvanta {
namespace {

using Kind = UNNotificationAttachmentKind;

struct SniffedName {
  std::string_view sniffed;
  std::string_view mime;
  Kind kind;
};

// libmagic's spellings differ between its versions; each maps to one canonical type.
constexpr std::array kSniffedNames = {
    SniffedName{"image/png", "image/png", Kind::image},
    SniffedName{"image/jpeg", "image/jpeg", Kind::image},
    SniffedName{"image/gif", "image/gif", Kind::image},
    SniffedName{"audio/mpeg", "audio/mpeg", Kind::audio},
    SniffedName{"audio/x-wav", "audio/wav", Kind::audio},
    SniffedName{"audio/wav", "audio/wav", Kind::audio},
    SniffedName{"audio/vnd.wave", "audio/wav", Kind::audio},
    SniffedName{"audio/x-aiff", "audio/aiff", Kind::audio},
    SniffedName{"audio/aiff", "audio/aiff", Kind::audio},
    SniffedName{"audio/x-m4a", "audio/mp4", Kind::audio},
    SniffedName{"audio/mp4", "audio/mp4", Kind::audio},
    SniffedName{"video/mp4", "video/mp4", Kind::movie},
    SniffedName{"video/x-m4v", "video/mp4", Kind::movie},
    SniffedName{"video/mpeg", "video/mpeg", Kind::movie},
    SniffedName{"video/mp2p", "video/mp2p", Kind::movie},
    SniffedName{"video/x-msvideo", "video/x-msvideo", Kind::movie},
    SniffedName{"video/avi", "video/x-msvideo", Kind::movie},
    SniffedName{"video/msvideo", "video/x-msvideo", Kind::movie},
};

struct NamedExtension {
  std::string_view name;
  MediaExtension names;
};

constexpr std::array kExtensions = {
    NamedExtension{"png", {Kind::image}},       NamedExtension{"jpg", {Kind::image}},
    NamedExtension{"jpeg", {Kind::image}},      NamedExtension{"gif", {Kind::image}},
    NamedExtension{"mp3", {Kind::audio}},       NamedExtension{"wav", {Kind::audio}},
    NamedExtension{"wave", {Kind::audio}},      NamedExtension{"aif", {Kind::audio}},
    NamedExtension{"aiff", {Kind::audio}},      NamedExtension{"aifc", {Kind::audio}},
    NamedExtension{"m4a", {Kind::audio, true}}, NamedExtension{"mp4", {Kind::movie, true}},
    NamedExtension{"m4v", {Kind::movie, true}}, NamedExtension{"mpg", {Kind::movie}},
    NamedExtension{"mpeg", {Kind::movie}},      NamedExtension{"mpe", {Kind::movie}},
    NamedExtension{"m2v", {Kind::movie}},       NamedExtension{"avi", {Kind::movie}},
};

bool isMPEG4(std::string_view mime) {
  return mime == "video/mp4" || mime == "audio/mp4";
}

bool startsWithFileTypeBox(std::string_view head) {
  return head.size() >= 16 && head.substr(4, 4) == "ftyp";
}

// The kind an MPEG-4 file's major brand declares; nullopt when `head` holds no ftyp box.
std::optional<Kind> kindOfMPEG4Brand(std::string_view head) {
  if (!startsWithFileTypeBox(head)) return std::nullopt;
  const std::string_view brand = head.substr(8, 4);
  const bool audio = brand == "M4A " || brand == "M4B " || brand == "M4P ";
  return audio ? Kind::audio : Kind::movie;
}

}  // namespace

std::optional<MediaType> acceptedMediaType(std::string_view sniffed, std::string_view head,
                                           std::optional<MediaExtension> extension) {
  const auto found = std::find_if(kSniffedNames.begin(), kSniffedNames.end(),
                                  [&](const SniffedName& name) { return name.sniffed == sniffed; });
  if (found == kSniffedNames.end()) return std::nullopt;
  MediaType type{std::string(found->mime), found->kind};
  if (isMPEG4(type.mime)) {
    if (extension && extension->mpeg4 && startsWithFileTypeBox(head))
      type.kind = extension->kind;
    else
      type.kind = kindOfMPEG4Brand(head).value_or(type.kind);
    type.mime = type.kind == Kind::audio ? "audio/mp4" : "video/mp4";
  }
  return type;
}

std::uint64_t sizeLimitOf(UNNotificationAttachmentKind kind) {
  switch (kind) {
    case Kind::image:
      return 10'000'000;
    case Kind::audio:
      return 5'000'000;
    case Kind::movie:
      return 50'000'000;
  }
  return 0;
}

std::optional<MediaExtension> mediaExtensionOf(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string extension(fileName.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  });
  for (const auto& [name, names] : kExtensions)
    if (name == extension) return names;
  return std::nullopt;
}

std::uint64_t leadingID3TagLength(std::string_view head) {
  if (head.size() < 10 || head.substr(0, 3) != "ID3") return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(head[i]); };
  const unsigned version = byte(3), flags = byte(5);
  if (version < 2 || version > 4 || byte(4) == 0xFF) return 0;
  std::uint64_t length = 0;
  for (std::size_t i = 6; i < 10; ++i) {
    if (byte(i) & 0x80) return 0;
    length = length << 7 | byte(i);
  }
  const bool footer = version == 4 && (flags & 0x10);
  return 10 + length + (footer ? 10 : 0);
}

}  // namespace corvanta
