#include "platform/extension_host/device/NotificationPayload.h"

#include <limits>
#include <vector>

#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;

const JSON& member(const JSON& object, const char* key) {
  static const JSON absent;
  if (!object.is_object()) return absent;
  const auto found = object.find(key);
  return found == object.end() ? absent : *found;
}

std::string text(const JSON& value) {
  return value.is_string() ? value.get<std::string>() : "";
}

std::optional<long long> integer(const JSON& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<unsigned long long>() >
            static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      return std::nullopt;
    }
    return value.get<long long>();
  }
  return std::nullopt;
}

std::optional<std::string> soundName(const JSON& sound) {
  if (sound.is_string()) return sound.get<std::string>();
  const JSON& name = member(sound, "name");
  if (name.is_string()) return name.get<std::string>();
  return std::nullopt;
}

std::optional<std::string> interruptionLevel(const JSON& level) {
  for (const char* known : {"passive", "active", "time-sensitive", "critical"})
    if (level == known) return known;
  return std::nullopt;
}

// Arguments are strings; a number is taken as its JSON text, as senders often write them.
std::vector<std::string> arguments(const JSON& list) {
  std::vector<std::string> out;
  if (!list.is_array()) return out;
  for (const JSON& item : list)
    out.push_back(item.is_string() ? item.get<std::string>() : item.is_number() ? item.dump() : "");
  return out;
}

struct AlertField {
  const char* literal;
  const char* key;
  const char* arguments;
};
constexpr AlertField kTitle{"title", "title-loc-key", "title-loc-args"};
constexpr AlertField kSubtitle{"subtitle", "subtitle-loc-key", "subtitle-loc-args"};
constexpr AlertField kBody{"body", "loc-key", "loc-args"};

std::string localized(const JSON& alert, const AlertField& field, const LocalizedStrings* strings) {
  std::string literal = text(member(alert, field.literal));
  const std::string key = text(member(alert, field.key));
  if (key.empty()) return literal;
  const std::string* format = strings ? strings->formatFor(key) : nullptr;
  if (!format && !literal.empty()) return literal;
  return formatWithArguments(format ? *format : key, arguments(member(alert, field.arguments)));
}

struct AlertText {
  std::string title, subtitle, body;
};

AlertText alertText(const JSON& aps, const LocalizedStrings* strings) {
  const JSON& alert = member(aps, "alert");
  if (alert.is_string()) return {"", "", alert.get<std::string>()};
  return {localized(alert, kTitle, strings), localized(alert, kSubtitle, strings),
          localized(alert, kBody, strings)};
}

}  // namespace

std::shared_ptr<UNMutableNotificationContent> contentFromPayload(
    std::shared_ptr<const NSDictionary> payload, const LocalizedStrings* strings) {
  auto content = std::make_shared<UNMutableNotificationContent>();
  const JSON& aps = member(payload->storage().value, "aps");
  AlertText alert = alertText(aps, strings);
  content->setTitle(std::move(alert.title));
  content->setSubtitle(std::move(alert.subtitle));
  content->setBody(std::move(alert.body));
  content->setInterruptionLevel(interruptionLevel(member(aps, "interruption-level")));
  content->setBadge(integer(member(aps, "badge")));
  content->setSound(soundName(member(aps, "sound")));
  content->setCategoryIdentifier(text(member(aps, "category")));
  content->setThreadIdentifier(text(member(aps, "thread-id")));
  content->setUserInfo(std::move(payload));
  return content;
}

std::optional<std::string> reasonExtensionDoesNotRun(std::string_view pushType,
                                                     const NSDictionary& payload,
                                                     const LocalizedStrings* strings) {
  if (pushType != "alert") {
    return "the extension did not run: it runs only for alert pushes, not " +
           std::string(pushType) + " pushes";
  }
  const JSON& aps = member(payload.storage().value, "aps");
  const JSON& mutableContent = member(aps, "mutable-content");
  if (!mutableContent.is_number() || mutableContent != 1) {
    return "the extension did not run: aps.mutable-content is not 1";
  }
  const AlertText alert = alertText(aps, strings);
  if (alert.title.empty() && alert.subtitle.empty() && alert.body.empty())
    return "the extension did not run: the alert has no title, subtitle or body";
  return std::nullopt;
}

}  // namespace corvanta
