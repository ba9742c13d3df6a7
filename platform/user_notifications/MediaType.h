// The media the platform takes as attachments: which content types, of which kind, up to
// which size, and which file name extensions name them.
//
// Everything here is a pure function of its arguments; any thread may call it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/user_notifications/UNNotificationAttachment.h"

namespace corvanta {

struct MediaType {
  std::string mime;  // canonical, whatever spelling the sniffer used
  UNNotificationAttachmentKind kind;
};

// The accepted type of a content whose sniffed MIME type is `sniffed` (libmagic's answer),
// `head` being the content's first bytes: MPEG-4 is audio when its brand says so (M4A, M4B,
// M4P), a movie otherwise. nullopt for any type the platform does not accept.
std::optional<MediaType> acceptedMediaType(std::string_view sniffed, std::string_view head);

// The largest file, in bytes, accepted for `kind`.
std::uint64_t sizeLimitOf(UNNotificationAttachmentKind kind);

// The kind that the extension of `fileName` names (case ignored), or nullopt when the name
// has no extension or one that names no accepted media type.
std::optional<UNNotificationAttachmentKind> kindOfExtension(std::string_view fileName);

}  // namespace corvanta
