// Where a download is staged: a file in the extension's temporary directory named after the
// last path component of the download's URL text. The same inputs always give the same
// file, so downloads whose URLs end in the same name share one staging file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanta {

// The prefix that makes a path a file URL's text.
inline constexpr const char* kFileURLPrefix = "file://";

// "file://" + temporaryDirectory + the last path component of attachmentURLString, all
// percent-encoded against the query-allowed characters. `temporaryDirectory` ends with a
// slash. The URL's text is not parsed: a query or fragment after the last slash stays part
// of the name, and escapes already in it are escaped again. Gives nothing when the text is
// not valid UTF-8.
std::optional<std::string> stagingFileURLString(std::string_view attachmentURLString,
                                                std::string_view temporaryDirectory);

}  // namespace corvanta
