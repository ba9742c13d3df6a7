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
    SniffedName{"video/mpeg", "video/mpeg", Kind::movie},
    SniffedName{"video/mp2p", "video/mp2p", Kind::movie},
    SniffedName{"video/x-msvideo", "video/x-msvideo", Kind::movie},
    SniffedName{"video/avi", "video/x-msvideo", Kind::movie},
    SniffedName{"video/msvideo", "video/x-msvideo", Kind::movie},
};

constexpr std::array<std::pair<std::string_view, Kind>, 17> kExtensions = {{
    {"png", Kind::image},
    {"jpg", Kind::image},
    {"jpeg", Kind::image},
    {"gif", Kind::image},
    {"mp3", Kind::audio},
    {"wav", Kind::audio},
    {"wave", Kind::audio},
    {"aif", Kind::audio},
    {"aiff", Kind::audio},
    {"m4a", Kind::audio},
    {"mp4", Kind::movie},
    {"m4v", Kind::movie},
    {"mpg", Kind::movie},
    {"mpeg", Kind::movie},
    {"mpe", Kind::movie},
    {"m2v", Kind::movie},
    {"avi", Kind::movie},
}};

bool isMPEG4(std::string_view mime) {
  return mime == "video/mp4" || mime == "audio/mp4";
}

// The kind an MPEG-4 file's major brand declares; nullopt when `head` holds no ftyp box.
std::optional<Kind> kindOfMPEG4Brand(std::string_view head) {
  if (head.size() < 12 || head.substr(4, 4) != "ftyp") return std::nullopt;
  const std::string_view brand = head.substr(8, 4);
  const bool audio = brand == "M4A " || brand == "M4B " || brand == "M4P ";
  return audio ? Kind::audio : Kind::movie;
}

}  // namespace

std::optional<MediaType> acceptedMediaType(std::string_view sniffed, std::string_view head) {
  const auto found = std::find_if(kSniffedNames.begin(), kSniffedNames.end(),
                                  [&](const SniffedName& name) { return name.sniffed == sniffed; });
  if (found == kSniffedNames.end()) return std::nullopt;
  MediaType type{std::string(found->mime), found->kind};
  if (isMPEG4(type.mime)) {
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

std::optional<UNNotificationAttachmentKind> kindOfExtension(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string extension(fileName.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  });
  for (const auto& [name, kind] : kExtensions)
    if (name == extension) return kind;
  return std::nullopt;
}

}  // namespace corvanta
