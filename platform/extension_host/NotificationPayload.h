// What the host reads from a push payload: the content a request arrives with, and whether
// a device would run the extension for it at all. Pure functions; any thread may call them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSDictionary.h"
#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

// The content filled from `payload`: aps.alert (a string is the body; an object gives
// title, subtitle and body), aps.badge (an integer), aps.sound (a string, or an object's
// "name"), aps.category and aps["thread-id"]; userInfo is the whole payload. Values of
// another JSON type than these are ignored.
std::shared_ptr<UNMutableNotificationContent> contentFromPayload(
    std::shared_ptr<const NSDictionary> payload);

// Why a device would deliver `payload` without running the extension: aps["mutable-content"]
// is not the number 1, or the alert has no title, subtitle or body. nullopt when it runs it.
std::optional<std::string> reasonExtensionDoesNotRun(const NSDictionary& payload);

}  // namespace corvanta
