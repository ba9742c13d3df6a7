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

// The parser's message without its exception's name ("[json.exception.parse_error.101] ").
inline std::string parserMessage(const nlohmann::json::exception& error) {
  std::string_view message = error.what();
  if (const auto end = message.find("] "); message.starts_with('[') && end != message.npos) {
    message.remove_prefix(end + 2);
  }
  return std::string(message);
}

}  // namespace corvanta
