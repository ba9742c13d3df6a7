#include "platform/extension_host/NotificationPayload.h"

#include <limits>

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

}  // namespace

std::shared_ptr<UNMutableNotificationContent> contentFromPayload(
    std::shared_ptr<const NSDictionary> payload) {
  auto content = std::make_shared<UNMutableNotificationContent>();
  const JSON& aps = member(payload->storage().value, "aps");
  const JSON& alert = member(aps, "alert");
  if (alert.is_string()) {
    content->setBody(alert.get<std::string>());
  } else {
    content->setTitle(text(member(alert, "title")));
    content->setSubtitle(text(member(alert, "subtitle")));
    content->setBody(text(member(alert, "body")));
  }
  content->setBadge(integer(member(aps, "badge")));
  content->setSound(soundName(member(aps, "sound")));
  content->setCategoryIdentifier(text(member(aps, "category")));
  content->setThreadIdentifier(text(member(aps, "thread-id")));
  content->setUserInfo(std::move(payload));
  return content;
}

std::optional<std::string> reasonExtensionDoesNotRun(const NSDictionary& payload) {
  const JSON& aps = member(payload.storage().value, "aps");
  const JSON& mutableContent = member(aps, "mutable-content");
  if (!mutableContent.is_number() || mutableContent != 1) {
    return "the extension did not run: aps.mutable-content is not 1";
  }
  const JSON& alert = member(aps, "alert");
  const bool hasText = alert.is_string() ? !alert.get_ref<const std::string&>().empty()
                                         : !text(member(alert, "title")).empty() ||
                                               !text(member(alert, "subtitle")).empty() ||
                                               !text(member(alert, "body")).empty();
  if (!hasText) return "the extension did not run: the alert has no title, subtitle or body";
  return std::nullopt;
}

}  // namespace corvanta
