#include "platform/extension_host/device/NotificationPayload.h"

#include <limits>
#include <string_view>
#include <vector>

#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;

// `key` as a view: the object's map compares a C string key by its length at every step.
const JSON& member(const JSON& object, std::string_view key) {
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

bool isVolume(const JSON& volume) {
  return volume.is_number() && volume.get<double>() >= 0 && volume.get<double>() <= 1;
}

std::optional<double> criticalSoundVolume(const JSON& sound) {
  if (member(sound, "critical") != 1 || !soundName(sound)) return std::nullopt;
  const JSON& volume = member(sound, "volume");
  return isVolume(volume) ? volume.get<double>() : 1.0;
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
  content->setCriticalSoundVolume(criticalSoundVolume(member(aps, "sound")));
  content->setCategoryIdentifier(text(member(aps, "category")));
  content->setThreadIdentifier(text(member(aps, "thread-id")));
  content->setUserInfo(std::move(payload));
  return content;
}

namespace {

// "a string", "an array", ...: what a value is, to say why it was ignored.
std::string describe(const JSON& value) {
  if (value.is_number_float()) return "a number with a fraction";
  const std::string type = value.type_name();
  if (value.is_null() || value.is_boolean()) return type;
  return (type == "array" || type == "object" ? "an " : "a ") + type;
}

// Collects what a device ignores, each with the path it sits at: `path` then `name`, joined
// only for a note, since nearly every payload has nothing ignored.
class IgnoredFields {
 public:
  // `value` (null when absent, which a device reads alike) is ignored unless `accepted`;
  // `wanted` says what it should be. False when it was ignored.
  bool check(std::string_view path, const JSON& value, bool accepted, const char* wanted,
             std::string_view name = {}) {
    if (value.is_null() || accepted) return true;
    note(path, describe(value) + ", not " + wanted, name);
    return false;
  }
  void note(std::string_view path, const std::string& why, std::string_view name = {}) {
    std::string line(path);
    line.append(name).append(" ignored: ").append(why);
    _notes.push_back(std::move(line));
  }
  std::vector<std::string> take() { return std::move(_notes); }

 private:
  std::vector<std::string> _notes;
};

bool isText(const JSON& value) {
  return value.is_string();
}

// Arguments are strings, or numbers taken as their JSON text (see arguments()).
void checkArguments(IgnoredFields& ignored, std::string_view name, const JSON& list) {
  constexpr std::string_view kAlert = "aps.alert.";
  if (!ignored.check(kAlert, list, list.is_array(), "an array", name)) return;
  if (!list.is_array()) return;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const JSON& item = list[i];
    if (!item.is_string() && !item.is_number()) {
      ignored.note(kAlert, describe(item) + ", not a string",
                   std::string(name) + "[" + std::to_string(i) + "]");
    }
  }
}

void checkAlert(IgnoredFields& ignored, const JSON& alert) {
  if (!ignored.check("aps.alert", alert, alert.is_string() || alert.is_object(),
                     "a string or an object") ||
      !alert.is_object()) {
    return;
  }
  for (const AlertField& field : {kTitle, kSubtitle, kBody}) {
    for (const char* key : {field.literal, field.key}) {
      const JSON& value = member(alert, key);
      ignored.check("aps.alert.", value, isText(value), "a string", key);
    }
    checkArguments(ignored, field.arguments, member(alert, field.arguments));
  }
}

void checkSound(IgnoredFields& ignored, const JSON& sound) {
  if (!ignored.check("aps.sound", sound, sound.is_string() || sound.is_object(),
                     "a string or an object") ||
      !sound.is_object()) {
    return;
  }
  const JSON& name = member(sound, "name");
  if (!name.is_null()) {
    ignored.check("aps.sound.name", name, name.is_string(), "a string");
  } else {
    ignored.note("aps.sound", "an object without a \"name\"");
  }
  const JSON& critical = member(sound, "critical");
  ignored.check("aps.sound.critical", critical, critical == 0 || critical == 1, "0 or 1");
  const JSON& volume = member(sound, "volume");
  if (volume.is_null()) return;
  if (!isVolume(volume)) {
    ignored.note("aps.sound.volume", volume.is_number() ? volume.dump() + " is not from 0 to 1"
                                                        : describe(volume) + ", not a number");
  } else if (critical != 1) {
    ignored.note("aps.sound.volume", "only a critical sound has a volume");
  }
}

}  // namespace

std::vector<std::string> ignoredFields(const NSDictionary& payload) {
  IgnoredFields ignored;
  const JSON& aps = member(payload.storage().value, "aps");
  if (!ignored.check("aps", aps, aps.is_object(), "an object") || !aps.is_object()) {
    return ignored.take();
  }
  checkAlert(ignored, member(aps, "alert"));
  const JSON& badge = member(aps, "badge");
  ignored.check("aps.badge", badge, integer(badge).has_value(), "an integer");
  checkSound(ignored, member(aps, "sound"));
  for (const char* key : {"category", "thread-id"}) {
    const JSON& value = member(aps, key);
    ignored.check("aps.", value, isText(value), "a string", key);
  }
  const JSON& level = member(aps, "interruption-level");
  if (level.is_string() && !interruptionLevel(level)) {
    ignored.note("aps.interruption-level",
                 level.dump() + " is not passive, active, time-sensitive or critical");
  } else {
    ignored.check("aps.interruption-level", level, level.is_string(), "a string");
  }
  for (const char* key : {"mutable-content", "content-available"}) {
    const JSON& flag = member(aps, key);
    ignored.check("aps.", flag, flag.is_number(), "the number 1", key);
  }
  return ignored.take();
}

std::optional<NotShown> reasonNotShown(std::string_view pushType, const NSDictionary& payload,
                                       const LocalizedStrings* strings) {
  if (pushType == "background") {
    return NotShown{"background",
                    "not shown: a background push wakes the app, which shows nothing"};
  }
  if (pushType != "alert") {
    const std::string type(pushType);
    return NotShown{type + " push",
                    "not shown: a " + type + " push goes to the app, not to the notification list"};
  }
  const JSON& aps = member(payload.storage().value, "aps");
  const JSON& badge = member(aps, "badge");
  const auto badgeNumber = integer(badge);
  const bool sound = soundName(member(aps, "sound")).has_value();
  if (member(aps, "content-available") == 1 && member(aps, "alert").is_null() && !sound &&
      badge.is_null()) {
    return NotShown{"background",
                    "not shown: aps.content-available without an alert, sound or badge is a "
                    "background push, which wakes the app and shows nothing"};
  }
  const AlertText alert = alertText(aps, strings);
  if (!alert.title.empty() || !alert.subtitle.empty() || !alert.body.empty()) return std::nullopt;
  std::string note = "not shown: nothing to show, no title, subtitle or body in aps.alert";
  if (badgeNumber || sound) {
    note += "; a device only ";
    if (badgeNumber) note += "sets the app's badge to " + std::to_string(*badgeNumber);
    if (badgeNumber && sound) note += " and ";
    if (sound) note += "plays the sound";
  }
  return NotShown{"nothing to show", note};
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
