// What a device makes of a push payload: the content a request arrives with, and whether it
// runs the extension for it at all. Pure functions; any thread may call them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/foundation/NSDictionary.h"
#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

// The content filled from `payload`: aps.alert (a string is the body; an object gives
// title, subtitle and body), aps.badge (an integer), aps.sound (a string, or an object's
// "name", with "critical": 1 a critical sound at its "volume", 1 when it gives none),
// aps.category, aps["thread-id"] and aps["interruption-level"] (passive, active,
// time-sensitive or critical); userInfo is the whole payload. Values of another JSON type
// than these are ignored (see ignoredFields).
//
// An alert's title-loc-key, subtitle-loc-key and loc-key (the body) are looked up in
// `strings` and their format filled from title-loc-args, subtitle-loc-args and loc-args
// (see formatWithArguments). A key the table lacks, or any key when `strings` is nullptr, is
// its own format. A key the table has wins over a literal title, subtitle or body beside it;
// one it lacks gives way to a non-empty literal. `strings` is not kept past the call.
std::shared_ptr<UNMutableNotificationContent> contentFromPayload(
    std::shared_ptr<const NSDictionary> payload, const LocalizedStrings* strings);

// Why a device would deliver a push of `pushType` ("alert" for a line of a file) carrying
// `payload` without running the extension: it runs only for alerts, whose
// aps["mutable-content"] is the number 1 and whose alert, localized with `strings` as above,
// has a title, subtitle or body. nullopt when it runs it.
std::optional<std::string> reasonExtensionDoesNotRun(std::string_view pushType,
                                                     const NSDictionary& payload,
                                                     const LocalizedStrings* strings);

// Why a device shows nothing in its notification list for a push of `pushType` ("alert" for
// a line of a file) carrying `payload`; nullopt when it shows a notification. A background
// push (the type, or an alert push whose aps holds content-available and no alert, sound or
// badge) wakes the app; another type than alert goes to the app; an alert without a title,
// subtitle or body (localized as above) has nothing to show, though its badge and sound
// still take effect.
struct NotShown {
  std::string group;  // a few words alike for every push it happens to: "background"
  std::string note;   // a line for people: "not shown: a background push wakes the app ..."
};
std::optional<NotShown> reasonNotShown(std::string_view pushType, const NSDictionary& payload,
                                       const LocalizedStrings* strings);

// Each value under aps that a device reads but ignores, for its type or its value, with why,
// the alert's first: "aps.badge ignored: a string, not an integer".
std::vector<std::string> ignoredFields(const NSDictionary& payload);

}  // namespace corvanta
