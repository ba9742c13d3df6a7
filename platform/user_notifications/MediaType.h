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

// What a file name's extension tells a device, which judges a file by its name.
struct MediaExtension {
  UNNotificationAttachmentKind kind;
  bool mpeg4 = false;  // .m4a, .mp4, .m4v: one container whose kind only the name tells
};

// The accepted type of a content whose sniffed MIME type is `sniffed` (libmagic's answer),
// `head` being the content's first bytes and `extension` what its file name names (nullopt
// for no media extension). An MPEG-4 container (an ftyp box first) named by an MPEG-4
// extension has that extension's kind, whatever its brand: muxers write generic brands for
// audio too. Otherwise MPEG-4 is audio when its brand says so (M4A, M4B, M4P), a movie if
// not. nullopt for any type the platform does not accept.
std::optional<MediaType> acceptedMediaType(std::string_view sniffed, std::string_view head,
                                           std::optional<MediaExtension> extension);

// The largest file, in bytes, accepted for `kind`.
std::uint64_t sizeLimitOf(UNNotificationAttachmentKind kind);

// What the extension of `fileName` names (case ignored), or nullopt when the name has no
// extension or one that names no accepted media type. ".mp2" names none: MPEG audio layer
// II is not an accepted audio type, and MPEG-2 movies go by .mpg, .mpeg or .m2v.
std::optional<MediaExtension> mediaExtensionOf(std::string_view fileName);

// The length of the ID3v2 tag that `head` starts with (header, frames, padding and footer),
// which may reach far beyond `head`; 0 when `head` starts with no well-formed tag header.
std::uint64_t leadingID3TagLength(std::string_view head);

}  // namespace corvanta
