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

// Each line of `text` parsed as JSON (a line that does not parse is a discarded value).
std::vector<nlohmann::json> jsonLines(std::string_view text);

// Bytes that differ from their neighbours and from any whole block of them elsewhere, so a
// lost, doubled or misplaced block shows.
std::string pattern(std::size_t length);

}  // namespace corvanta::testing
