// The push service's rules for a push on its way to a device: push types and the topic each is
// sent to, priorities, expirations, collapse ids, device tokens and payload sizes, each with
// the status and reason the service answers a push that breaks it. The provider endpoint's
// judge applies them to headers, file mode to an envelope's fields, so a push is judged
// alike however it arrives. Pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvanta {

// Why the push service refused a push.
struct PushServiceRefusal {
  int status = 400;
  std::string reason;  // the provider API's word: "BadPriority", "PayloadTooLarge"
  // The header or field at fault and what was wrong with it, for people:
  // "apns-priority: \"7\" is not 10, 5 or 1".
  std::string fault;
};

// In each check, `field` names what is judged (a header such as "apns-priority", or an
// envelope's "priority") in the refusal's fault; `value` is its text as sent.

// The suffix a push type adds to the app's bundle ID to make the topic it is sent to; nullopt
// for a name that is not a push type.
std::optional<std::string_view> topicSuffixOf(std::string_view pushType);
// 400 InvalidPushType for a name that is not a push type.
std::optional<PushServiceRefusal> pushTypeRefusal(std::string_view field, std::string_view value);

// A push's priority: `value` (10, 5 or 1) when given, else 5 for a background push, 10 for
// the others. Only once priorityRefusal has passed it.
int priorityOf(const std::string* value, std::string_view pushType);
// 400 BadPriority for another value, or 10 for a background push, which wakes an app without
// showing anything and is never sent at once.
std::optional<PushServiceRefusal> priorityRefusal(std::string_view field, std::string_view value,
                                                  std::string_view pushType);

// 400 BadExpirationDate unless `value` is a whole number of seconds since the epoch.
std::optional<PushServiceRefusal> expirationRefusal(std::string_view field, std::string_view value);

inline constexpr std::size_t kLongestCollapseId = 64;
// 400 BadCollapseId for an id longer than kLongestCollapseId bytes.
std::optional<PushServiceRefusal> collapseIdRefusal(std::string_view field, std::string_view value);

// Whether `token` is a device token: hex digits in either case, an even number of 64 to 200.
bool isDeviceToken(std::string_view token);
// 400 BadDeviceToken for a `value` that is not a device token.
std::optional<PushServiceRefusal> deviceTokenRefusal(std::string_view field,
                                                     std::string_view value);

// The most bytes a payload of a push of `pushType` may have: 5120 for voip, else 4096.
std::size_t largestPayloadBytes(std::string_view pushType);
// 413 PayloadTooLarge for a payload of `bytes` bytes (`more`: at least that many) over what a
// push of `pushType` may carry.
std::optional<PushServiceRefusal> payloadSizeRefusal(std::string_view pushType, std::size_t bytes,
                                                     bool more = false);

// `value` as a fault shows it: quoted, anything but printable ASCII escaped, and long values
// cut, since headers and fields may hold any bytes.
std::string quotedForFault(std::string_view value);

}  // namespace corvanta
