// Reads a content's media type from its bytes with libmagic.
//
// Each thread gets its own libmagic handle, opened on its first call and closed when the
// thread ends, because a handle must not be used by two threads at once. Any thread may call.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanta {

// The MIME type libmagic reads from `bytes` (such as "image/png"), or nullopt when libmagic
// or its database cannot be loaded.
std::optional<std::string> sniffMimeType(std::string_view bytes);

}  // namespace corvanta
