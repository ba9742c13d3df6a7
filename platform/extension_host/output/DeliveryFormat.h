// The two ways a delivery is written for a person or a program: one JSON object (the object
// the README documents) or one readable line, never with a newline inside.
#pragma once

#include <string>
#include <string_view>

#include "platform/extension_host/core/Delivery.h"
#include "platform/foundation/Result.h"

namespace corvanta {

enum class DeliveryFormat { json, text };

// One line of JSON, without the newline. A push that came over the endpoint adds "device"
// and "push" after "request"; a push the push service refused adds "refusal" after
// "not_shown".
std::string formatDeliveryAsJSON(const Delivery& delivery);

// The delivery that formatDeliveryAsJSON wrote `json` for: every field it writes, the payload
// as userInfo. What it does not write stays as a default Delivery has it (the sequence, and
// whether the download still runs). Fails, saying what is wrong, on text that is not such an
// object.
Result<Delivery> deliveryFromJSON(std::string_view json);

// One readable line, without the newline:
//   [id] delivery N (displayed|not displayed|not shown: <why>[, after expiry]) 12.5 ms
//   [ [time-sensitive]]: "Title" — "Body"
//   + image/png pic.png (65593 bytes); note: ...
// and, for a push that came over the endpoint, "; device 1a2b…9f, alert push, priority 10,
// topic com.example.app[, collapse-id X]" before the notes.
// Text from the payload is quoted and escaped as JSON strings, so a line never breaks.
std::string formatDeliveryAsText(const Delivery& delivery);

// A device token as a person tells devices apart: a hex token longer than 12 digits as its
// first and last six around "…"; anything else (a file's envelope may name any text) whole,
// for the caller to escape.
std::string shortDeviceToken(const std::string& device);

// One or the other, as `format` says.
std::string formatDelivery(const Delivery& delivery, DeliveryFormat format);

}  // namespace corvanta
