// Small readers and makers the suites share.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::testing {

// The bytes of the file at `path`; "" when it cannot be read.
std::string readFile(const std::string& path);

// The path of `relative` (e.g. "README.md") in the project's source tree.
std::string sourcePath(const std::string& relative);

// A real media file committed with the source: the tests' own from tests/media/, whose README
// says how each was made, or else the demo's from examples/media/. Throws rather than give no
// bytes, so that a missing file is not mistaken for an empty one.
std::string media(const std::string& name);

// Each line of `text` parsed as JSON (a line that does not parse is a discarded value).
std::vector<nlohmann::json> jsonLines(std::string_view text);

// Bytes that differ from their neighbours and from any whole block of them elsewhere, so a
// lost, doubled or misplaced block shows.
std::string pattern(std::size_t length);

}  // namespace corvanta::testing
