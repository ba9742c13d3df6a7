#include <simdjson.h>

#include <cmath>

#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

// Builds the tree the JSON library's own parser would: a non-negative integer is unsigned,
// as it makes one, and of a repeated key the last value stands. `levels`: how many arrays and
// objects deep it may still go. `zero`: whether an integer 0 was met, which "-0" makes too (a
// signed 0, to the library).
bool build(simdjson::dom::element element, nlohmann::json& out, int levels, bool& zero) {
  using Type = simdjson::dom::element_type;
  const Type type = element.type();
  if ((type == Type::OBJECT || type == Type::ARRAY) && levels-- == 0) return false;
  switch (type) {
    case Type::OBJECT: {
      out = nlohmann::json::object();
      auto& object = out.get_ref<nlohmann::json::object_t&>();
      for (const auto field : simdjson::dom::object(element)) {
        nlohmann::json value;
        if (!build(field.value, value, levels, zero)) return false;
        object[std::string(field.key)] = std::move(value);
      }
      return true;
    }
    case Type::ARRAY: {
      out = nlohmann::json::array();
      auto& array = out.get_ref<nlohmann::json::array_t&>();
      for (const auto item : simdjson::dom::array(element)) {
        if (!build(item, array.emplace_back(), levels, zero)) return false;
      }
      return true;
    }
    case Type::STRING:
      out = std::string(std::string_view(element));
      return true;
    case Type::INT64: {
      const std::int64_t number = std::int64_t(element);
      zero = zero || number == 0;
      if (number >= 0) {
        out = static_cast<std::uint64_t>(number);
      } else {
        out = number;
      }
      return true;
    }
    case Type::UINT64:
      out = std::uint64_t(element);
      return true;
    case Type::DOUBLE: {
      const double number = double(element);
      // "-0" and "-0.0" both come as -0.0 here; the other parser tells them apart.
      if (number == 0 && std::signbit(number)) return false;
      out = number;
      return true;
    }
    case Type::BOOL:
      out = bool(element);
      return true;
    case Type::NULL_VALUE:
      out = nullptr;
      return true;
  }
  return false;
}

}  // namespace

bool parseJSONQuickly(std::string_view text, nlohmann::json& out, int deepest) {
  // One parser a thread: its buffers, once grown, serve every later text.
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(text.data(), text.size(), /*realloc_if_needed=*/true).get(root)) return false;
  nlohmann::json built;
  bool zero = false;
  if (!build(root, built, deepest, zero)) return false;
  if (zero && text.find("-0") != std::string_view::npos) return false;
  out = std::move(built);
  return true;
}

}  // namespace corvanta
