#include "platform/extension_host/intake/ProviderRequest.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;

constexpr std::string_view kDevicePath = "/3/device/";
constexpr std::size_t kLongestCollapseId = 64;
constexpr std::size_t kLargestPayload = 4096;
constexpr std::size_t kLargestVoIPPayload = 5120;
constexpr int kDeepestNesting = 1000;

constexpr std::array<std::string_view, 7> kSingleHeaders = {
    "apns-id",          "apns-expiration", "apns-priority", "apns-topic",
    "apns-collapse-id", "apns-push-type",  "authorization"};

// Each push type, and what it adds to the app's bundle ID to make the topic it is sent to.
struct PushType {
  std::string_view name;
  std::string_view topicSuffix;
};
constexpr std::array<PushType, 11> kPushTypes = {{
    {"alert", ""},
    {"background", ""},
    {"location", ".location-query"},
    {"voip", ".voip"},
    {"complication", ".complication"},
    {"fileprovider", ".pushkit.fileprovider"},
    {"mdm", ""},
    {"liveactivity", ".push-type.liveactivity"},
    {"pushtotalk", ".voip-ptt"},
    {"widgets", ".push-type.widgets"},
    {"controls", ".push-type.controls"},
}};

struct Refusal {
  int status;
  std::string reason;
  std::string description = {};
};

bool isHex(char c) {
  return hexDigitValue(c) >= 0;
}

// Exactly the 8-4-4-4-12 hex form, in either case, which is all uuid_parse_range takes; not
// uuid_parse, which would stop at a NUL inside the value.
bool isCanonicalUUID(std::string_view text) {
  uuid_t parsed;
  return uuid_parse_range(text.data(), text.data() + text.size(), parsed) == 0;
}

// A random (version 4) UUID, upper-case as the push service writes its own.
std::string newUUID() {
  uuid_t id;
  uuid_generate_random(id);
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
        &Judgement::methodAndPath, &Judgement::singleHeaders, &Judgement::providerToken,
        &Judgement::deviceToken,   &Judgement::messageId,     &Judgement::pushType,
        &Judgement::priority,      &Judgement::expiration,    &Judgement::collapseId,
        &Judgement::topic,         &Judgement::payload,       &Judgement::registration};
    for (const auto rule : kRulesInOrder) {
      if (auto refusal = (this->*rule)()) return refusal;
    }
    return std::nullopt;
  }

  // Once no rule refused the request: what it carries into the host.
  IncomingRequest accepted(std::string identifier) {
    return IncomingRequest{std::move(identifier), dictionaryWithJSON(std::move(_payload)),
                           std::make_shared<const PushDetails>(std::move(_push)),
                           std::move(_notes)};
  }

 private:
  // The first value of header `name`, or nullptr.
  const std::string* header(std::string_view name) const {
    const auto found = std::find_if(_request.headers.begin(), _request.headers.end(),
                                    [&](const auto& field) { return field.first == name; });
    return found == _request.headers.end() ? nullptr : &found->second;
  }

  std::optional<Refusal> methodAndPath() {
    if (_request.method != "POST") return Refusal{405, "MethodNotAllowed"};
    const std::string_view path = _request.path;
    if (!path.starts_with(kDevicePath)) return Refusal{404, "BadPath"};
    _deviceText = path.substr(kDevicePath.size());
    if (_deviceText.empty()) return Refusal{400, "MissingDeviceToken"};
    if (_deviceText.find_first_of("/?") != std::string_view::npos) return Refusal{404, "BadPath"};
    return std::nullopt;
  }

  std::optional<Refusal> singleHeaders() {
    for (const auto name : kSingleHeaders) {
      const auto count = std::count_if(_request.headers.begin(), _request.headers.end(),
                                       [&](const auto& field) { return field.first == name; });
      if (count > 1) return Refusal{400, "DuplicateHeaders"};
    }
    return std::nullopt;
  }

  std::optional<Refusal> providerToken() {
    const auto* authorization = header("authorization");
    if (!authorization) {
      if (_policy.tokenRequired) return Refusal{403, "MissingProviderToken"};
      _notes.push_back("no provider token: sent as a certificate-authenticated provider would");
      return std::nullopt;
    }
    _tokenGiven = true;
    std::string_view value = *authorization;
    const auto space = value.find(' ');
    if (space == std::string_view::npos || asciiLowercase(value.substr(0, space)) != "bearer") {
      return Refusal{403, "InvalidProviderToken"};
    }
    const auto jwt = value.substr(std::min(value.find_first_not_of(' ', space), value.size()));
    if (jwt.empty()) return Refusal{403, "InvalidProviderToken"};
    if (_policy.judgeToken) {
      if (auto reason = _policy.judgeToken(jwt); !reason.empty()) return Refusal{403, reason};
    }
    if (!_policy.tokenRequired) {
      _notes.push_back("the provider token was not verified: no --auth-key was given");
    }
    return std::nullopt;
  }

  std::optional<Refusal> deviceToken() {
    if (!isDeviceToken(_deviceText)) return Refusal{400, "BadDeviceToken"};
    _push.device = asciiLowercase(_deviceText);
    return std::nullopt;
  }

  std::optional<Refusal> messageId() {
    const auto* id = header("apns-id");
    if (id && !isCanonicalUUID(*id)) return Refusal{400, "BadMessageId"};
    return std::nullopt;
  }

  std::optional<Refusal> pushType() {
    const auto* given = header("apns-push-type");
    const std::string_view name = given ? std::string_view(*given) : "alert";
    const auto found = std::find_if(kPushTypes.begin(), kPushTypes.end(),
                                    [&](const PushType& type) { return type.name == name; });
    if (found == kPushTypes.end()) return Refusal{400, "InvalidPushType"};
    _type = &*found;
    _push.type = name;
    return std::nullopt;
  }

  std::optional<Refusal> priority() {
    const bool background = _push.type == "background";
    const auto* given = header("apns-priority");
    if (!given) {
      _push.priority = background ? 5 : 10;
      return std::nullopt;
    }
    if (*given != "10" && *given != "5" && *given != "1") return Refusal{400, "BadPriority"};
    _push.priority = std::stoi(*given);
    // Background pushes wake the app without showing anything: never at once.
    if (background && _push.priority == 10) return Refusal{400, "BadPriority"};
    return std::nullopt;
  }

  std::optional<Refusal> expiration() {
    const auto* given = header("apns-expiration");
    if (!given) return std::nullopt;
    const char* end = given->data() + given->size();
    std::int64_t seconds = 0;
    const auto [stop, error] = std::from_chars(given->data(), end, seconds);
    // from_chars takes a leading '-'; a deadline before the epoch is refused all the same.
    if (given->empty() || !std::isdigit(static_cast<unsigned char>(given->front())) ||
        error != std::errc() || stop != end) {
      return Refusal{400, "BadExpirationDate"};
    }
    return std::nullopt;
  }

  std::optional<Refusal> collapseId() {
    const auto* given = header("apns-collapse-id");
    if (!given) return std::nullopt;
    if (given->size() > kLongestCollapseId) return Refusal{400, "BadCollapseId"};
    _push.collapseId = *given;
    return std::nullopt;
  }

  // A provider without a token names its app through its certificate; ours is --topic, and
  // the topic it stands for is the one the push type is sent to.
  std::optional<Refusal> topic() {
    std::optional<std::string> expected;
    if (_policy.topic) expected = *_policy.topic + std::string(_type->topicSuffix);
    const auto* given = header("apns-topic");
    if (!given && _tokenGiven) return Refusal{400, "MissingTopic"};
    _push.topic = given ? *given : expected.value_or("");
    if (expected && _push.topic != *expected) return Refusal{400, "BadTopic"};
    return std::nullopt;
  }

  std::optional<Refusal> payload() {
    const auto largest = _push.type == "voip" ? kLargestVoIPPayload : kLargestPayload;
    if (_request.bodyTruncated || _request.body.size() > largest) {
      return Refusal{413, "PayloadTooLarge"};
    }
    if (_request.body.empty()) return Refusal{400, "PayloadEmpty"};
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
    return Refusal{400, "BadPayload", std::move(description)};
  }

  std::optional<Refusal> registration() {
    if (_policy.devices && !_policy.devices->contains(_push.device)) {
      return Refusal{410, "Unregistered"};
    }
    return std::nullopt;
  }

  const ProviderRequest& _request;
  const ProviderPolicy& _policy;
  std::string_view _deviceText;  // the path after kDevicePath, as sent
  bool _tokenGiven = false;
  const PushType* _type = nullptr;
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

ProviderVerdict judgeProviderRequest(const ProviderRequest& request, const ProviderPolicy& policy) {
  ProviderVerdict verdict;
  verdict.apnsId = answerId(request);
  Judgement judgement(request, policy);
  if (auto refusal = judgement.firstRefusal()) {
    verdict.status = refusal->status;
    verdict.reason = std::move(refusal->reason);
    verdict.description = std::move(refusal->description);
    if (verdict.status == 410) verdict.timestamp = policy.unregisteredSince;
    return verdict;
  }
  verdict.request = judgement.accepted(verdict.apnsId);
  return verdict;
}

bool isDeviceToken(std::string_view token) {
  return token.size() % 2 == 0 && token.size() >= 64 && token.size() <= 200 &&
         std::all_of(token.begin(), token.end(), isHex);
}

std::string providerAnswerBody(const ProviderVerdict& verdict) {
  if (verdict.status == 200) return "";
  nlohmann::ordered_json body = {{"reason", verdict.reason}};
  if (verdict.timestamp) body["timestamp"] = *verdict.timestamp;
  if (!verdict.description.empty()) body["description"] = verdict.description;
  // The parser's message quotes the payload, which need not be UTF-8.
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvanta
