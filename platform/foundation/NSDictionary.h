// An immutable dictionary with string keys over a JSON object: a notification's payload.
// Copies share one immutable value, so they are cheap and safe across threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvanta {

// One value held in a dictionary. The extension asks only for its text when it is a string;
// the host reads the JSON itself (JSONValue.h).
class NSObjectValue {
 public:
  virtual ~NSObjectValue() = default;
  // The value's text when it is a JSON string; nullptr for any other kind (number, object,
  // array, true, false, null).
  virtual std::shared_ptr<const std::string> stringValue() const = 0;
};

class NSDictionary {
 public:
  // An empty dictionary.
  NSDictionary();

  // Parses `json`; nullptr when it is not valid JSON or not an object.
  static std::shared_ptr<NSDictionary> dictionaryWithJSONString(std::string_view json);

  // The value under `key`; nullptr when the key is absent. A key holding JSON null is present.
  std::shared_ptr<const NSObjectValue> objectForKey(std::string_view key) const;

  std::size_t count() const;

  // The dictionary as compact JSON text.
  std::string JSONString() const;

  struct Storage;  // the JSON value, defined in JSONValue.h
  explicit NSDictionary(std::shared_ptr<const Storage> storage);
  const Storage& storage() const { return *_storage; }

 private:
  std::shared_ptr<const Storage> _storage;
};

}  // namespace corvanta
