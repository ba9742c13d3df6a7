// One request on its way into the host, from whichever intake read it: a line of a file or
// of standard input, or a push taken by the provider endpoint. Every intake hands the host
// the same thing, through NotificationHost::receive or offer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/extension_host/device/PushService.h"
#include "platform/foundation/NSDictionary.h"

namespace corvanta {

// How a push reached the device: what its sender said beside the payload.
struct PushDetails {
  std::string device;  // the device token, as the path named it
  std::string type;    // the push type; "alert" when the sender named none
  int priority = 10;   // 10, 5 or 1
  std::string topic;   // empty when the sender named none
  std::optional<std::string> collapseId;
};

struct IncomingRequest {
  std::string identifier;
  std::shared_ptr<NSDictionary> payload;
  std::shared_ptr<const PushDetails> push = nullptr;  // nullptr for a request read from a file
  // What the intake has to say about the request, shown with its first delivery.
  std::vector<std::string> notes = {};
  // Set when the push service would refuse the push (a request read from a file; the endpoint
  // answers its refusals itself): the host delivers it at once, not shown, saying why.
  std::optional<PushServiceRefusal> refusal = std::nullopt;
  // The payload as it was sent, when the intake kept it (the endpoint does): what the store
  // keeps to show the push again after a crash.
  std::string payloadText = {};
};

// A push the provider endpoint refused, which the host never took.
struct RefusedPush {
  std::string apnsId;  // the answer's
  PushServiceRefusal refusal;
  // What the endpoint had read of the push before it refused it: the device, type and
  // topic are empty when it refused the push before reading them.
  PushDetails push;
};

// What the host said to a request offered to it without waiting for room.
enum class Admission {
  accepted,
  busy,     // as many requests are in flight as the host admits
  stopped,  // the host takes no more requests
  behind,   // what the host would write is behind by more than its budget; try again later
};

}  // namespace corvanta
