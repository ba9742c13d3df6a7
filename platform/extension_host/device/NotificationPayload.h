// What a device makes of a push payload: the content a request arrives with, and whether it
// runs the extension for it at all. Pure functions; any thread may call them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/foundation/NSDictionary.h"
#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

// The content filled from `payload`: aps.alert (a string is the body; an object gives
// title, subtitle and body), aps.badge (an integer), aps.sound (a string, or an object's
// "name"), aps.category, aps["thread-id"] and aps["interruption-level"] (passive, active,
// time-sensitive or critical); userInfo is the whole payload. Values of another JSON type
// than these are ignored.
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

}  // namespace corvanta
