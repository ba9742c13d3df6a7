#include "platform/extension_host/intake/ProviderRequest.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "platform/extension_host/device/PushService.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;

constexpr std::string_view kDevicePath = "/3/device/";
constexpr int kDeepestNesting = 1000;

constexpr std::array<std::string_view, 7> kSingleHeaders = {
    "apns-id",          "apns-expiration", "apns-priority", "apns-topic",
    "apns-collapse-id", "apns-push-type",  "authorization"};

// A rule's refusal; `description` only for reasons of our own making (BadPayload).
struct Refusal {
  PushServiceRefusal refusal;
  std::string description = {};

  Refusal(PushServiceRefusal r) : refusal(std::move(r)) {}
  Refusal(int status, const char* reason, std::string fault)
      : refusal{status, reason, std::move(fault)} {}
};

// Exactly the 8-4-4-4-12 hex form, in either case, which is all uuid_parse_range takes; not
// uuid_parse, which would stop at a NUL inside the value.
bool isCanonicalUUID(std::string_view text) {
  uuid_t parsed;
  return uuid_parse_range(text.data(), text.data() + text.size(), parsed) == 0;
}

// A random (version 4) UUID, upper-case as the push service writes its own. An apns-id names
// a push and need not be secret: a generator seeded once a thread from the system's
// randomness makes it without the two system calls a push that libuuid's costs.
std::string newUUID() {
  thread_local std::mt19937_64 random = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  uuid_t id;
  const std::uint64_t high = random(), low = random();
  std::memcpy(id, &high, sizeof high);
  std::memcpy(id + sizeof high, &low, sizeof low);
  id[6] = static_cast<unsigned char>((id[6] & 0x0f) | 0x40);  // version 4
  id[8] = static_cast<unsigned char>((id[8] & 0x3f) | 0x80);  // the RFC 4122 variant
  char text[UUID_STR_LEN];
  uuid_unparse_upper(id, text);
  return text;
}

// One request under judgement: each rule is a member that refuses the request or records
// what it read for the ones after it.
class Judgement {
 public:
  Judgement(const ProviderRequest& request, const ProviderPolicy& policy)
      : _request(request), _policy(policy) {}

  // The first rule the request breaks, or nothing when it may be taken.
  std::optional<Refusal> firstRefusal() {
    using Rule = std::optional<Refusal> (Judgement::*)();
    constexpr Rule kRulesInOrder[] = {
        &Judgement::methodAndPath, &Judgement::headerSize,  &Judgement::singleHeaders,
        &Judgement::providerToken, &Judgement::deviceToken, &Judgement::messageId,
        &Judgement::pushType,      &Judgement::priority,    &Judgement::expiration,
        &Judgement::collapseId,    &Judgement::topic,       &Judgement::payload,
        &Judgement::registration};
    for (const auto rule : kRulesInOrder) {
      if (auto refusal = (this->*rule)()) return refusal;
    }
    return std::nullopt;
  }

  // What the rules have read of the push so far.
  const PushDetails& pushSoFar() const { return _push; }

  // Once no rule refused the request: what it carries into the host.
  IncomingRequest accepted(std::string identifier) {
    IncomingRequest request{std::move(identifier), dictionaryWithJSON(std::move(_payload)),
                            std::make_shared<const PushDetails>(std::move(_push)),
                            std::move(_notes)};
    request.payloadText = _request.body;
    return request;
  }

 private:
  // The first value of header `name`, or nullptr.
  const std::string* header(std::string_view name) const {
    const auto found = std::find_if(_request.headers.begin(), _request.headers.end(),
                                    [&](const auto& field) { return field.first == name; });
    return found == _request.headers.end() ? nullptr : &found->second;
  }

  std::optional<Refusal> methodAndPath() {
    if (_request.method != "POST") {
      return Refusal{405, "MethodNotAllowed", ":method: " + quotedForFault(_request.method)};
    }
    const std::string_view path = _request.path;
    const auto badPath = Refusal{404, "BadPath", ":path: " + quotedForFault(path)};
    if (!path.starts_with(kDevicePath)) return badPath;
    _deviceText = path.substr(kDevicePath.size());
    if (_deviceText.empty()) return Refusal{400, "MissingDeviceToken", ":path: no device token"};
    if (_deviceText.find_first_of("/?") != std::string_view::npos) return badPath;
    return std::nullopt;
  }

  std::optional<Refusal> headerSize() {
    const std::string& name = _request.oversizedHeader;
    if (name.empty()) return std::nullopt;
    const std::string fault = name + ": does not fit in the " +
                              std::to_string(ProviderRequest::kKeptHeaderBytes / 1024) +
                              " KiB the header fields may take";
    // A token that large is not one a provider signed.
    if (name == "authorization") return Refusal{403, "InvalidProviderToken", fault};
    return Refusal{431, "HeaderFieldsTooLarge", fault};
  }

  std::optional<Refusal> singleHeaders() {
    for (const auto name : kSingleHeaders) {
      const auto count = std::count_if(_request.headers.begin(), _request.headers.end(),
                                       [&](const auto& field) { return field.first == name; });
      if (count > 1) {
        return Refusal{400, "DuplicateHeaders",
                       std::string(name) + ": sent " + std::to_string(count) + " times"};
      }
    }
    return std::nullopt;
  }

  std::optional<Refusal> providerToken() {
    const auto* authorization = header("authorization");
    if (!authorization) {
      if (_policy.tokenRequired) {
        return Refusal{403, "MissingProviderToken", "authorization: missing; --auth-key wants one"};
      }
      _notes.push_back("no provider token: sent as a certificate-authenticated provider would");
      return std::nullopt;
    }
    _tokenGiven = true;
    const auto jwt = bearerToken(_request);
    if (!jwt) return Refusal{403, "InvalidProviderToken", "authorization: not \"bearer <JWT>\""};
    const std::string reason = _request.tokenVerdict ? *_request.tokenVerdict
                               : _policy.judgeToken  ? _policy.judgeToken(*jwt)
                                                     : "";
    if (!reason.empty()) return Refusal{403, reason.c_str(), "authorization: the provider token"};
    if (!_policy.tokenRequired) {
      _notes.push_back("the provider token was not verified: no --auth-key was given");
    }
    return std::nullopt;
  }

  std::optional<Refusal> deviceToken() {
    if (auto refusal = deviceTokenRefusal(":path", _deviceText)) return *refusal;
    _push.device = asciiLowercase(_deviceText);
    return std::nullopt;
  }

  std::optional<Refusal> messageId() {
    const auto* id = header("apns-id");
    if (id && !isCanonicalUUID(*id)) {
      return Refusal{400, "BadMessageId", "apns-id: " + quotedForFault(*id) + " is not a UUID"};
    }
    return std::nullopt;
  }

  std::optional<Refusal> pushType() {
    const auto* given = header("apns-push-type");
    const std::string_view name = given ? std::string_view(*given) : "alert";
    if (auto refusal = pushTypeRefusal("apns-push-type", name)) return *refusal;
    _push.type = name;
    return std::nullopt;
  }

  std::optional<Refusal> priority() {
    const auto* given = header("apns-priority");
    if (given) {
      if (auto refusal = priorityRefusal("apns-priority", *given, _push.type)) return *refusal;
    }
    _push.priority = priorityOf(given, _push.type);
    return std::nullopt;
  }

  std::optional<Refusal> expiration() {
    const auto* given = header("apns-expiration");
    if (!given) return std::nullopt;
    if (auto refusal = expirationRefusal("apns-expiration", *given)) return *refusal;
    return std::nullopt;
  }

  std::optional<Refusal> collapseId() {
    const auto* given = header("apns-collapse-id");
    if (!given) return std::nullopt;
    if (auto refusal = collapseIdRefusal("apns-collapse-id", *given)) return *refusal;
    _push.collapseId = *given;
    return std::nullopt;
  }

  // A provider without a token names its app through its certificate; ours is --topic, and
  // the topic it stands for is the one the push type is sent to.
  std::optional<Refusal> topic() {
    std::optional<std::string> expected;
    if (_policy.topic) expected = *_policy.topic + std::string(*topicSuffixOf(_push.type));
    const auto* given = header("apns-topic");
    if (!given && _tokenGiven) {
      return Refusal{400, "MissingTopic", "apns-topic: missing; a provider token names no app"};
    }
    _push.topic = given ? *given : expected.value_or("");
    if (expected && _push.topic != *expected) {
      return Refusal{
          400, "BadTopic",
          "apns-topic: " + quotedForFault(_push.topic) + ", not " + quotedForFault(*expected)};
    }
    return std::nullopt;
  }

  std::optional<Refusal> payload() {
    if (auto refusal =
            payloadSizeRefusal(_push.type, _request.body.size(), _request.bodyTruncated)) {
      return *refusal;
    }
    if (_request.body.empty()) return Refusal{400, "PayloadEmpty", "payload: empty"};
    // The parser takes a NUL for the end of its input and would pass what follows unread.
    if (const auto nul = _request.body.find('\0'); nul != std::string::npos) {
      return badPayload("the payload is not valid JSON: a NUL byte at offset " +
                        std::to_string(nul));
    }
    // What the quick parser refuses, a payload nested too deep among it, is judged by the
    // library's parser, which gives the refusal.
    if (parseJSONQuickly(_request.body, _payload, kDeepestNesting)) {
      if (!_payload.is_object()) return badPayload("the payload is not a JSON object");
      return std::nullopt;
    }
    bool tooDeep = false;
    const auto watchDepth = [&](int depth, JSON::parse_event_t event, JSON&) {
      const bool opens =
          event == JSON::parse_event_t::object_start || event == JSON::parse_event_t::array_start;
      if (opens && depth >= kDeepestNesting) tooDeep = true;
      return true;
    };
    try {
      _payload = JSON::parse(_request.body, watchDepth);
    } catch (const JSON::exception& error) {
      // Syntax errors, and what the parser cannot hold: a number beyond a double's range.
      return badPayload("the payload is not valid JSON: " + parserMessage(error));
    }
    if (tooDeep) {
      return badPayload("the payload is nested deeper than " + std::to_string(kDeepestNesting) +
                        " levels");
    }
    if (!_payload.is_object()) return badPayload("the payload is not a JSON object");
    return std::nullopt;
  }

  static Refusal badPayload(std::string description) {
    Refusal refusal{400, "BadPayload", "payload: " + description};
    refusal.description = std::move(description);
    return refusal;
  }

  std::optional<Refusal> registration() {
    if (_policy.devices && !_policy.devices->contains(_push.device)) {
      return Refusal{410, "Unregistered", ":path: the device is not among --devices"};
    }
    return std::nullopt;
  }

  const ProviderRequest& _request;
  const ProviderPolicy& _policy;
  std::string_view _deviceText;  // the path after kDevicePath, as sent
  bool _tokenGiven = false;
  PushDetails _push;
  JSON _payload;
  std::vector<std::string> _notes;
};

// The request's apns-id when it sent exactly one well-formed; otherwise the answer still
// needs one, so that the provider can name the push it asks about.
std::string answerId(const ProviderRequest& request) {
  const std::string* given = nullptr;
  for (const auto& [name, value] : request.headers) {
    if (name != "apns-id") continue;
    if (given) return newUUID();
    given = &value;
  }
  return given && isCanonicalUUID(*given) ? *given : newUUID();
}

}  // namespace

std::optional<std::string_view> bearerToken(const ProviderRequest& request) {
  const auto found = std::find_if(request.headers.begin(), request.headers.end(),
                                  [](const auto& field) { return field.first == "authorization"; });
  if (found == request.headers.end()) return std::nullopt;
  const std::string_view value = found->second;
  const auto space = value.find(' ');
  if (space == std::string_view::npos || asciiLowercase(value.substr(0, space)) != "bearer") {
    return std::nullopt;
  }
  const auto jwt = value.substr(std::min(value.find_first_not_of(' ', space), value.size()));
  if (jwt.empty()) return std::nullopt;
  return jwt;
}

ProviderVerdict judgeProviderRequest(const ProviderRequest& request, const ProviderPolicy& policy) {
  ProviderVerdict verdict;
  verdict.apnsId = answerId(request);
  Judgement judgement(request, policy);
  if (auto refusal = judgement.firstRefusal()) {
    verdict.status = refusal->refusal.status;
    verdict.reason = std::move(refusal->refusal.reason);
    verdict.fault = std::move(refusal->refusal.fault);
    verdict.description = std::move(refusal->description);
    verdict.push = judgement.pushSoFar();
    if (verdict.status == 410) verdict.timestamp = policy.unregisteredSince;
    return verdict;
  }
  verdict.request = judgement.accepted(verdict.apnsId);
  return verdict;
}

std::string providerAnswerBody(const ProviderVerdict& verdict) {
  if (verdict.status == 200) return "";
  // Most refusals are a reason alone, a word of ASCII letters: no JSON library needed.
  if (!verdict.timestamp && verdict.description.empty()) {
    return "{\"reason\":\"" + verdict.reason + "\"}";
  }
  nlohmann::ordered_json body = {{"reason", verdict.reason}};
  if (verdict.timestamp) body["timestamp"] = *verdict.timestamp;
  if (!verdict.description.empty()) body["description"] = verdict.description;
  // The parser's message quotes the payload, which need not be UTF-8.
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvanta
