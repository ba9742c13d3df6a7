// The platform's string operations the extension uses. Strings are UTF-8 text in
// std::string; nil is std::nullopt or a null pointer, as each function says.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSCharacterSet.h"

namespace corvanta {

// The last component of `path`, read as a slash-separated path (not as a URL): slashes at the
// end are ignored; the text after the last remaining slash; the whole text when it has no
// slash; "/" for a text made only of slashes; "" for "".
std::string lastPathComponent(std::string_view path);

// `text` with every byte outside `allowed` written as %XX (uppercase hex) of its UTF-8
// octets. Gives nothing when `text` is not valid UTF-8, as the platform refuses such text.
std::optional<std::string> stringByAddingPercentEncodingWithAllowedCharacters(
    std::string_view text, const NSCharacterSet& allowed);

// `bytes` with every byte outside `allowed` written as %XX (uppercase hex), whatever the
// bytes are: for paths, which need not be UTF-8.
std::string percentEncodedBytes(std::string_view bytes, const NSCharacterSet& allowed);

// `text` with each %XX escape decoded once; a '%' not followed by two hex digits is kept.
std::string stringByRemovingPercentEncoding(std::string_view text);

// `path` with its trailing slashes collapsed to one (added when it has none), so that a file
// name may be appended directly; "/" for a path of slashes only.
std::string withOneTrailingSlash(std::string path);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

}  // namespace corvanta
