// The JSON behind NSDictionary, for the platform code that reads or builds payloads (the
// host). Includes nlohmann/json: keep it out of widely included headers.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/foundation/NSDictionary.h"

namespace corvanta {

struct NSDictionary::Storage {
  nlohmann::json value;  // always an object
};

// A dictionary over `object`, which must be a JSON object.
std::shared_ptr<NSDictionary> dictionaryWithJSON(nlohmann::json object);

// `text` parsed into `out` by a parser several times quicker than the JSON library's own, into
// the same tree; false, with `out` untouched, when it refuses the text (a syntax error, a
// number beyond 64 bits, a lone surrogate, arrays and objects nested more than `deepest`
// levels, up to 1,024) or cannot tell what the library would make of it (-0, -0.0). Then the
// library's parser must judge the text: its verdict and its message are the ones to give.
bool parseJSONQuickly(std::string_view text, nlohmann::json& out, int deepest = 1024);

// The parser's message without its exception's name ("[json.exception.parse_error.101] ").
inline std::string parserMessage(const nlohmann::json::exception& error) {
  std::string_view message = error.what();
  if (const auto end = message.find("] "); message.starts_with('[') && end != message.npos) {
    message.remove_prefix(end + 2);
  }
  return std::string(message);
}

}  // namespace corvanta
