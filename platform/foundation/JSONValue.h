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

}  // namespace corvanta
