// The provider endpoint's judgement of one request: the rules a push backend applies to
// `POST /3/device/<token>` before it takes a push, with the status and reason it answers when
// it refuses. The endpoint's server reads the stream into a ProviderRequest, asks for the
// verdict, sends the answer and hands an accepted request to the host; nothing here reads,
// writes or blocks.
//
// The rules are applied in this order, and the first one broken is the answer:
//   method and path; header fields larger than kept (403 when the provider token is what
//   overflowed, else 431); a header that may appear once appearing more often; the provider token;
//   the device token; apns-id; apns-push-type; apns-priority; apns-expiration;
//   apns-collapse-id; apns-topic; the body; the registered devices.
//
// Threads: judgeProviderRequest may run on several threads at once, as long as the policy's
// judgeToken may, and nothing changes the policy meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/extension_host/device/PushService.h"  // isDeviceToken

namespace corvanta {

// One request to the provider endpoint as its stream ended.
struct ProviderRequest {
  std::string method, path;  // :method, :path
  // Regular header fields in arrival order, names lower-case (HTTP/2 requires it);
  // pseudo-headers are not here. A name may appear more than once.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;                                    // at most kKeptBodyBytes bytes
  bool bodyTruncated = false;                          // more than kKeptBodyBytes arrived
  static constexpr std::size_t kKeptBodyBytes = 5121;  // the largest limit, plus one
  // The first header field that did not fit in kKeptHeaderBytes (names and values together),
  // or empty; it and the fields after it are not in `headers`.
  std::string oversizedHeader = {};
  static constexpr std::size_t kKeptHeaderBytes = 16 * 1024;
  // The policy's judgeToken verdict on bearerToken(*this), when it was judged beforehand
  // (off the endpoint's loop): the judge uses it instead of judging the token again.
  std::optional<std::string> tokenVerdict = {};
};

// The JWT of the request's first authorization header when it has the form
// "bearer <JWT>" (the scheme in any case), else nothing.
std::optional<std::string_view> bearerToken(const ProviderRequest& request);

// What the endpoint was told to accept. Read only; the caller keeps `devices` alive.
struct ProviderPolicy {
  std::optional<std::string> topic;  // --topic: the app's bundle ID
  // --devices: registered tokens (lower-case); nullptr: any well-formed token is a device.
  const std::unordered_set<std::string>* devices = nullptr;
  // Judges the JWT of an "authorization: bearer <JWT>" header: "" when it passes, else the
  // 403 reason ("InvalidProviderToken", "ExpiredProviderToken"). Empty: every JWT passes.
  std::function<std::string(std::string_view jwt)> judgeToken;
  // Whether judgeToken answers this JWT without checking a signature (it is one that
  // verified before). Empty: every JWT is cheap to judge. Any thread.
  std::function<bool(std::string_view jwt)> tokenIsCheap = {};
  bool tokenRequired = false;  // an auth key is configured: no token is MissingProviderToken
  std::int64_t unregisteredSince = 0;  // ms since the epoch, for 410's "timestamp"
};

struct ProviderVerdict {
  int status = 200;
  std::string reason;       // empty on 200
  std::string description;  // for reasons of our own making only (BadPayload), else ""
  std::string fault;        // the header or field at fault and why (PushServiceRefusal)
  std::optional<std::int64_t> timestamp;  // 410 only
  // The answer's apns-id, on every verdict: the request's (as given) when it sent one
  // well-formed apns-id, else a new random one.
  std::string apnsId;
  std::optional<IncomingRequest> request;  // set on 200
  // On a refusal, what was read of the push before it: the device, type and topic stay empty
  // when the rule that refused it came first.
  PushDetails push;
};

// Never throws for any content of `request` (a malformed body is a 400, not an exception).
ProviderVerdict judgeProviderRequest(const ProviderRequest& request, const ProviderPolicy& policy);

// The body of an error answer: {"reason":"..."} plus "timestamp" (410) and "description"
// when set, compact. Empty for 200.
std::string providerAnswerBody(const ProviderVerdict& verdict);

}  // namespace corvanta
