// The judge of a push: each refusal at its edges, which rule answers when several are broken,
// what an accepted push carries, and the answer's body. The endpoint's own test sends a push
// through each piece of wiring; the rules are checked here.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>

#include "platform/extension_host/intake/ProviderRequest.h"

namespace corvanta {
namespace {

const std::string kDevice(64, 'a'), kTopic = "com.example.app";
const std::unordered_set<std::string> kNoDevices, kDevices = {kDevice};

using Change = std::function<void(ProviderRequest&, ProviderPolicy&)>;
using Changes = std::vector<Change>;

Change add(std::string name, std::string value) {
  return [=](auto& request, auto&) { request.headers.emplace_back(name, value); };
}
Change path(std::string text) {
  return [=](auto& request, auto&) { request.path = text; };
}
Change body(std::string text) {
  return [=](auto& request, auto&) { request.body = text; };
}
Change oversized(std::string name) {
  return [=](auto& request, auto&) { request.oversizedHeader = name; };
}
const Change kTokenRequired = [](auto&, auto& policy) { policy.tokenRequired = true; };
const Change kNoDeviceRegistered = [](auto&, auto& policy) { policy.devices = &kNoDevices; };

std::string expiredIfSaid(std::string_view jwt) {
  return jwt == "expired" ? "ExpiredProviderToken" : "";
}

// The verdict on a push that every rule accepts (no apns-* headers, no provider token) once
// `changes`, then `more`, are made to it and to the policy.
ProviderVerdict judge(const Changes& changes, const Changes& more = {}) {
  ProviderRequest request{"POST", "/3/device/" + kDevice, {}, R"({"aps":{"alert":"hi"}})"};
  ProviderPolicy policy{
      .topic = kTopic, .judgeToken = expiredIfSaid, .unregisteredSince = 1700000000123};
  for (const Changes* list : {&changes, &more}) {
    for (const Change& change : *list) change(request, policy);
  }
  return judgeProviderRequest(request, policy);
}

std::string nested(int levels) {
  return R"({"a":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

std::string object(std::size_t bytes) {
  return R"({"a":")" + std::string(bytes - 8, 'x') + R"("})";
}

// The edges of the rules; TheEarlierRuleAnswersWhenTwoAreBroken names the other reasons, and
// EndpointLimits sends a NUL inside the body and an oversized provider token over the wire.
TEST(ProviderRequest, EachRuleRefusesAtItsEdges) {
  const struct {
    Changes changes;
    int status;
    const char* reason;
    const char* description = "";  // a pattern
  } cases[] = {
      {{path("/3/device/")}, 400, "MissingDeviceToken"},
      {{path("/3/device/" + kDevice + "/x")}, 404, "BadPath"},
      {{kTokenRequired}, 403, "MissingProviderToken"},
      {{add("authorization", "basic abc")}, 403, "InvalidProviderToken"},
      {{path("/3/device/" + std::string(62, 'a'))}, 400, "BadDeviceToken"},
      {{add("apns-push-type", "background"), add("apns-priority", "10")}, 400, "BadPriority"},
      {{add("apns-expiration", "-1")}, 400, "BadExpirationDate"},
      {{add("apns-expiration", "9223372036854775808")}, 400, "BadExpirationDate"},
      {{add("authorization", "bearer good")}, 400, "MissingTopic"},  // a JWT names no app
      {{add("apns-push-type", "voip"), add("apns-topic", kTopic)}, 400, "BadTopic"},  // no .voip
      {{body(object(4097))}, 413, "PayloadTooLarge"},
      {{[](auto& request, auto&) { request.bodyTruncated = true; }}, 413, "PayloadTooLarge"},
      {{body(R"({"a":1e400})")}, 400, "BadPayload", "the payload is not valid JSON: .+"},
      {{body(nested(1001))}, 400, "BadPayload", "the payload is nested deeper than 1000 levels"},
      {{oversized("x-padding")}, 431, "HeaderFieldsTooLarge"},
  };
  for (const auto& c : cases) {
    const auto verdict = judge(c.changes);
    EXPECT_EQ(std::tuple(verdict.status, verdict.reason, verdict.request.has_value(),
                         std::regex_match(verdict.description, std::regex(c.description))),
              std::tuple(c.status, c.reason, false, true))
        << verdict.description;
  }
}

// Each change breaks one rule and no other; listed in the order the rules are applied.
TEST(ProviderRequest, TheEarlierRuleAnswersWhenTwoAreBroken) {
  const std::pair<Changes, const char*> faults[] = {
      {{[](auto& request, auto&) { request.method = "PUT"; }}, "MethodNotAllowed"},
      {{add("apns-collapse-id", "c"), add("apns-collapse-id", "c")}, "DuplicateHeaders"},
      {{add("authorization", "bearer expired")}, "ExpiredProviderToken"},
      {{path("/3/device/abcd")}, "BadDeviceToken"},
      {{add("apns-id", "not-a-uuid")}, "BadMessageId"},
      {{add("apns-push-type", "bogus")}, "InvalidPushType"},
      {{add("apns-priority", "2")}, "BadPriority"},
      {{add("apns-expiration", "soon")}, "BadExpirationDate"},
      {{add("apns-collapse-id", std::string(65, 'c'))}, "BadCollapseId"},
      {{add("apns-topic", "com.example.other")}, "BadTopic"},
      {{body("[]")}, "BadPayload"},
      {{kNoDeviceRegistered}, "Unregistered"},
  };
  for (std::size_t earlier = 0; earlier < std::size(faults); ++earlier) {
    for (std::size_t later = earlier + 1; later < std::size(faults); ++later) {
      EXPECT_EQ(judge(faults[later].first, faults[earlier].first).reason, faults[earlier].second)
          << "with " << faults[later].second;
    }
  }
}

// The details the sender named, the defaults for those it did not, and a note on how far its
// provider token was checked.
TEST(ProviderRequest, AnAcceptedPushCarriesItsDetailsAndTheDefaults) {
  const std::vector<std::string>
      noToken = {"no provider token: sent as a certificate-authenticated provider would"},
      unverified = {"the provider token was not verified: no --auth-key was given"};
  const std::string collapseId(64, 'c');
  const struct {
    Changes changes;
    // type, priority, topic, collapse-id, notes
    std::tuple<std::string, int, std::string, std::optional<std::string>, std::vector<std::string>>
        expected;
  } cases[] = {
      {{path("/3/device/" + std::string(64, 'A'))}, {"alert", 10, kTopic, {}, noToken}},
      // Everything named, an unchecked token, the largest voip body.
      {{add("authorization", "BEARER good"), add("apns-push-type", "voip"),
        add("apns-priority", "5"), add("apns-expiration", "0"), add("apns-collapse-id", collapseId),
        add("apns-topic", kTopic + ".voip"), body(object(5120))},
       {"voip", 5, kTopic + ".voip", collapseId, unverified}},
      // Background under a verified token, 1000 levels deep.
      {{kTokenRequired, [](auto&, auto& policy) { policy.devices = &kDevices; },
        add("authorization", "bearer good"), add("apns-push-type", "background"),
        add("apns-topic", kTopic), body(nested(1000))},
       {"background", 5, kTopic, {}, {}}},
      {{add("apns-push-type", "voip")}, {"voip", 10, kTopic + ".voip", {}, noToken}},  // to --topic
  };
  std::set<std::string> apnsIds;
  for (const auto& c : cases) {
    const auto verdict = judge(c.changes);
    ASSERT_EQ(verdict.status, 200) << verdict.reason << verdict.description;
    // One of its own, as the push service makes them: a version 4 UUID in capitals.
    EXPECT_TRUE(std::regex_match(verdict.apnsId, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                            "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << verdict.apnsId;
    EXPECT_TRUE(apnsIds.insert(verdict.apnsId).second);
    const PushDetails& push = *verdict.request->push;
    EXPECT_EQ(
        std::tuple(push.type, push.priority, push.topic, push.collapseId, verdict.request->notes),
        c.expected);
    EXPECT_EQ(push.device, kDevice);  // from an upper-case path too
  }
}

// The endpoint's test sees a given apns-id come back; the bodies are checked here.
TEST(ProviderRequest, TheAnswerBodyNamesTheReasonThenItsDetails) {
  EXPECT_EQ(providerAnswerBody(judge({})), "");
  EXPECT_EQ(providerAnswerBody(judge({body("[1]")})),
            R"({"reason":"BadPayload","description":"the payload is not a JSON object"})");
  EXPECT_EQ(providerAnswerBody(judge({kNoDeviceRegistered})),
            R"({"reason":"Unregistered","timestamp":1700000000123})");
}

}  // namespace
}  // namespace corvanta
