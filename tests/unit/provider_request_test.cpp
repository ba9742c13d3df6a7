// The judge of a push: each refusal at its edges, which rule answers when several are broken,
// what an accepted push carries, and the answer's body. The endpoint's own test sends a push
// through each piece of wiring; the rules are checked here.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>

#include "platform/extension_host/intake/ProviderRequest.h"

namespace corvanta {
namespace {

const std::string kDevice(64, 'a');
const std::string kTopic = "com.example.app";
const std::unordered_set<std::string> kNoDevices;

using Change = std::function<void(ProviderRequest&, ProviderPolicy&)>;

Change add(std::string name, std::string value) {
  return [=](auto& request, auto&) { request.headers.emplace_back(name, value); };
}
Change path(std::string text) {
  return [=](auto& request, auto&) { request.path = text; };
}
Change body(std::string text) {
  return [=](auto& request, auto&) { request.body = text; };
}
Change both(Change first, Change second) {
  return [=](auto& request, auto& policy) {
    first(request, policy);
    second(request, policy);
  };
}
const Change kTokenRequired = [](auto&, auto& policy) { policy.tokenRequired = true; };
const Change kNoDeviceRegistered = [](auto&, auto& policy) { policy.devices = &kNoDevices; };

// The verdict on a push that every rule accepts (no apns-* headers, no provider token) once
// `change` is made to it and to the policy.
ProviderVerdict judge(const Change& change) {
  ProviderRequest request{"POST", "/3/device/" + kDevice, {}, R"({"aps":{"alert":"hi"}})"};
  ProviderPolicy policy;
  policy.topic = kTopic;
  policy.judgeToken = [](std::string_view jwt) {
    return std::string(jwt == "expired" ? "ExpiredProviderToken" : "");
  };
  policy.unregisteredSince = 1700000000123;
  if (change) change(request, policy);
  return judgeProviderRequest(request, policy);
}

std::string nested(int levels) {
  return R"({"a":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

std::string object(std::size_t bytes) {
  return R"({"a":")" + std::string(bytes - 8, 'x') + R"("})";
}

// The edges of the rules; TheEarlierRuleAnswersWhenTwoAreBroken names the other reasons.
TEST(ProviderRequest, EachRuleRefusesAtItsEdges) {
  const struct {
    const char* what;
    Change change;
    int status;
    const char* reason;
    const char* description = "";  // its beginning
  } cases[] = {
      {"no device token", path("/3/device/"), 400, "MissingDeviceToken"},
      {"more path", path("/3/device/" + kDevice + "/x"), 404, "BadPath"},
      {"no JWT, required", kTokenRequired, 403, "MissingProviderToken"},
      {"basic scheme", add("authorization", "basic abc"), 403, "InvalidProviderToken"},
      {"62 hex digits", path("/3/device/" + std::string(62, 'a')), 400, "BadDeviceToken"},
      {"background at 10", both(add("apns-push-type", "background"), add("apns-priority", "10")),
       400, "BadPriority"},
      {"negative expiry", add("apns-expiration", "-1"), 400, "BadExpirationDate"},
      {"expiry too large", add("apns-expiration", "9223372036854775808"), 400, "BadExpirationDate"},
      {"no topic with JWT", add("authorization", "bearer good"), 400, "MissingTopic"},
      {"voip without suffix", both(add("apns-push-type", "voip"), add("apns-topic", kTopic)), 400,
       "BadTopic"},
      {"4097 bytes", body(object(4097)), 413, "PayloadTooLarge"},
      {"truncated", [](auto& r, auto&) { r.bodyTruncated = true; }, 413, "PayloadTooLarge"},
      {"out of range", body(R"({"a":1e400})"), 400, "BadPayload",
       "the payload is not valid JSON: "},
      {"too deep", body(nested(1001)), 400, "BadPayload",
       "the payload is nested deeper than 1000 levels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto verdict = judge(c.change);
    EXPECT_EQ(verdict.status, c.status);
    EXPECT_EQ(verdict.reason, c.reason);
    EXPECT_TRUE(verdict.description.starts_with(c.description)) << verdict.description;
    EXPECT_EQ(verdict.description.empty(), *c.description == '\0');
    EXPECT_FALSE(verdict.request);
  }
}

// Each change breaks one rule and no other; listed in the order the rules are applied.
TEST(ProviderRequest, TheEarlierRuleAnswersWhenTwoAreBroken) {
  const std::pair<Change, const char*> faults[] = {
      {[](auto& r, auto&) { r.method = "PUT"; }, "MethodNotAllowed"},
      {both(add("apns-collapse-id", "c"), add("apns-collapse-id", "c")), "DuplicateHeaders"},
      {add("authorization", "bearer expired"), "ExpiredProviderToken"},
      {path("/3/device/abcd"), "BadDeviceToken"},
      {add("apns-id", "not-a-uuid"), "BadMessageId"},
      {add("apns-push-type", "bogus"), "InvalidPushType"},
      {add("apns-priority", "2"), "BadPriority"},
      {add("apns-expiration", "soon"), "BadExpirationDate"},
      {add("apns-collapse-id", std::string(65, 'c')), "BadCollapseId"},
      {add("apns-topic", "com.example.other"), "BadTopic"},
      {body("[]"), "BadPayload"},
      {kNoDeviceRegistered, "Unregistered"},
  };
  for (std::size_t earlier = 0; earlier < std::size(faults); ++earlier) {
    for (std::size_t later = earlier + 1; later < std::size(faults); ++later) {
      SCOPED_TRACE(std::string(faults[earlier].second) + " with " + faults[later].second);
      EXPECT_EQ(judge(both(faults[later].first, faults[earlier].first)).reason,
                faults[earlier].second);
    }
  }
}

// The details the sender named, the defaults for those it did not, and a note on how far its
// provider token was checked.
TEST(ProviderRequest, AnAcceptedPushCarriesItsDetailsAndTheDefaults) {
  const std::vector<std::string> noToken = {
      "no provider token: sent as a certificate-authenticated provider would"};
  const std::string collapseId(64, 'c');
  const std::unordered_set<std::string> registered = {kDevice};
  using Fields = std::tuple<std::string, int, std::string, std::optional<std::string>,
                            std::vector<std::string>>;
  const struct {
    const char* what;
    Change change;
    Fields expected;  // type, priority, topic, collapse-id, notes
  } cases[] = {
      {"the defaults, from an upper-case device token",
       path("/3/device/" + std::string(64, 'A')),
       {"alert", 10, kTopic, {}, noToken}},
      {"everything named, an unchecked token, the largest voip body",
       [&](auto& r, auto&) {
         r.headers = {{"authorization", "BEARER good"}, {"apns-push-type", "voip"},
                      {"apns-priority", "5"},           {"apns-expiration", "0"},
                      {"apns-collapse-id", collapseId}, {"apns-topic", kTopic + ".voip"}};
         r.body = object(5120);
       },
       {"voip",
        5,
        kTopic + ".voip",
        collapseId,
        {"the provider token was not verified: no --auth-key was given"}}},
      {"background under a verified token, 1000 levels deep",
       [&](auto& r, auto& policy) {
         kTokenRequired(r, policy);
         policy.devices = &registered;
         r.headers = {{"authorization", "bearer good"},
                      {"apns-push-type", "background"},
                      {"apns-topic", kTopic}};
         r.body = nested(1000);
       },
       {"background", 5, kTopic, {}, {}}},
      {"voip to --topic",
       add("apns-push-type", "voip"),
       {"voip", 10, kTopic + ".voip", {}, noToken}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto verdict = judge(c.change);
    ASSERT_EQ(verdict.status, 200) << verdict.reason << verdict.description;
    const PushDetails& push = *verdict.request->push;
    EXPECT_EQ(push.device, kDevice);
    EXPECT_EQ(Fields(push.type, push.priority, push.topic, push.collapseId,
                     verdict.request->notes),
              c.expected);
    EXPECT_EQ(verdict.request->identifier, verdict.apnsId);
  }
}

TEST(ProviderRequest, TheAnswerCarriesTheGivenApnsIdAndABodyNamingTheReasonThenItsDetails) {
  const std::string id = "123e4567-e89b-12d3-A456-426614174000";
  const auto accepted = judge(add("apns-id", id));
  EXPECT_EQ(accepted.apnsId, id);
  EXPECT_EQ(accepted.request->payload->JSONString(), R"({"aps":{"alert":"hi"}})");
  EXPECT_EQ(providerAnswerBody(accepted), "");
  EXPECT_EQ(providerAnswerBody(judge(body("[1]"))),
            R"({"reason":"BadPayload","description":"the payload is not a JSON object"})");
  EXPECT_EQ(providerAnswerBody(judge(kNoDeviceRegistered)),
            R"({"reason":"Unregistered","timestamp":1700000000123})");
}

}  // namespace
}  // namespace corvanta
