#include "platform/foundation/NSDictionary.h"

#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

// A value inside a dictionary; keeps the whole dictionary's JSON alive rather than copying.
class JSONObjectValue : public NSObjectValue {
 public:
  JSONObjectValue(std::shared_ptr<const NSDictionary::Storage> owner, const nlohmann::json& value)
      : _owner(std::move(owner)), _value(value) {}

  std::shared_ptr<const std::string> stringValue() const override {
    if (!_value.is_string()) return nullptr;
    return std::make_shared<const std::string>(_value.get_ref<const std::string&>());
  }

 private:
  std::shared_ptr<const NSDictionary::Storage> _owner;
  const nlohmann::json& _value;
};

}  // namespace

NSDictionary::NSDictionary()
    : _storage(std::make_shared<const Storage>(Storage{nlohmann::json::object()})) {}

NSDictionary::NSDictionary(std::shared_ptr<const Storage> storage) : _storage(std::move(storage)) {}

std::shared_ptr<NSDictionary> dictionaryWithJSON(nlohmann::json object) {
  if (!object.is_object()) return nullptr;
  return std::make_shared<NSDictionary>(
      std::make_shared<const NSDictionary::Storage>(NSDictionary::Storage{std::move(object)}));
}

std::shared_ptr<NSDictionary> NSDictionary::dictionaryWithJSONString(std::string_view json) {
  auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return nullptr;
  return dictionaryWithJSON(std::move(parsed));
}

std::shared_ptr<const NSObjectValue> NSDictionary::objectForKey(std::string_view key) const {
  const auto& object = _storage->value;
  const auto found = object.find(key);
  if (found == object.end()) return nullptr;
  return std::make_shared<JSONObjectValue>(_storage, *found);
}

std::size_t NSDictionary::count() const {
  return _storage->value.size();
}

std::string NSDictionary::JSONString() const {
  return _storage->value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvanta
