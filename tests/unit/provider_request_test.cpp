// The provider endpoint's rules: each refusal with its status, what an accepted push carries,
// which rule answers when several are broken, and the answer's body.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_set>

#include "platform/extension_host/intake/ProviderRequest.h"

namespace corvanta {
namespace {

const std::string kDevice(64, 'a');
const std::string kTopic = "com.example.app";
const std::unordered_set<std::string> kNoDevices;

using Change = std::function<void(ProviderRequest&, ProviderPolicy&)>;

// A push every rule accepts, with no apns-* headers, from a provider without a token.
ProviderRequest goodRequest() {
  return ProviderRequest{"POST", "/3/device/" + kDevice, {}, R"({"aps":{"alert":"hi"}})"};
}

ProviderPolicy goodPolicy() {
  ProviderPolicy policy;
  policy.topic = kTopic;
  policy.judgeToken = [](std::string_view jwt) -> std::string {
    if (jwt == "expired") return "ExpiredProviderToken";
    if (jwt == "forged") return "InvalidProviderToken";
    return "";
  };
  policy.unregisteredSince = 1700000000123;
  return policy;
}

Change add(std::string name, std::string value) {
  return
      [=](ProviderRequest& request, ProviderPolicy&) { request.headers.emplace_back(name, value); };
}
Change path(std::string text) {
  return [=](ProviderRequest& request, ProviderPolicy&) { request.path = text; };
}
Change body(std::string text) {
  return [=](ProviderRequest& request, ProviderPolicy&) { request.body = text; };
}
Change both(Change first, Change second) {
  return [=](ProviderRequest& request, ProviderPolicy& policy) {
    first(request, policy);
    second(request, policy);
  };
}

ProviderVerdict judge(const Change& change) {
  auto request = goodRequest();
  auto policy = goodPolicy();
  change(request, policy);
  return judgeProviderRequest(request, policy);
}

std::string nested(int levels) {
  return R"({"a":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

struct RefusalCase {
  const char* what;
  Change change;
  int status;
  const char* reason;
  const char* description = "";  // its beginning
};

TEST(ProviderRequest, RefusesWithTheStatusAndReasonOfTheFirstBrokenRule) {
  const auto tokenRequired = [](ProviderRequest&, ProviderPolicy& policy) {
    policy.tokenRequired = true;
  };
  // The endpoint's own test sends the common faults over HTTP/2; these are the edges.
  const RefusalCase cases[] = {
      {"no token", path("/3/device/"), 400, "MissingDeviceToken"},
      {"more path", path("/3/device/" + kDevice + "/x"), 404, "BadPath"},
      {"no JWT, required", tokenRequired, 403, "MissingProviderToken"},
      {"basic scheme", add("authorization", "basic abc"), 403, "InvalidProviderToken"},
      {"forged JWT", add("authorization", "Bearer forged"), 403, "InvalidProviderToken"},
      {"short device", path("/3/device/" + std::string(62, 'a')), 400, "BadDeviceToken"},
      {"background at 10", both(add("apns-push-type", "background"), add("apns-priority", "10")),
       400, "BadPriority"},
      {"negative expiry", add("apns-expiration", "-1"), 400, "BadExpirationDate"},
      {"expiry too large", add("apns-expiration", "9223372036854775808"), 400, "BadExpirationDate"},
      {"no topic with JWT", add("authorization", "bearer good"), 400, "MissingTopic"},
      {"voip without suffix", both(add("apns-push-type", "voip"), add("apns-topic", kTopic)), 400,
       "BadTopic"},
      {"4097 bytes", body(R"({"a":")" + std::string(4097 - 8, 'x') + R"("})"), 413,
       "PayloadTooLarge"},
      {"truncated", [](ProviderRequest& r, ProviderPolicy&) { r.bodyTruncated = true; }, 413,
       "PayloadTooLarge"},
      {"out of range", body(R"({"a":1e400})"), 400, "BadPayload",
       "the payload is not valid JSON: "},
      {"array", body("[1]"), 400, "BadPayload", "the payload is not a JSON object"},
      {"too deep", body(nested(1001)), 400, "BadPayload",
       "the payload is nested deeper than 1000 levels"},
      {"unregistered",
       [](ProviderRequest&, ProviderPolicy& policy) { policy.devices = &kNoDevices; }, 410,
       "Unregistered"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto verdict = judge(c.change);
    EXPECT_EQ(verdict.status, c.status);
    EXPECT_EQ(verdict.reason, c.reason);
    EXPECT_TRUE(verdict.description.starts_with(c.description)) << verdict.description;
    EXPECT_EQ(verdict.description.empty(), *c.description == '\0');
    EXPECT_EQ(verdict.timestamp,
              c.status == 410 ? std::optional<std::int64_t>(1700000000123) : std::nullopt);
    EXPECT_FALSE(verdict.apnsId.empty());
    EXPECT_FALSE(verdict.request);
  }
}

// Each change breaks one rule and no other; listed in the order the rules are applied.
TEST(ProviderRequest, TheEarlierRuleAnswersWhenTwoAreBroken) {
  const std::pair<Change, const char*> faults[] = {
      {[](ProviderRequest& r, ProviderPolicy&) { r.method = "PUT"; }, "MethodNotAllowed"},
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
      {[](ProviderRequest&, ProviderPolicy& policy) { policy.devices = &kNoDevices; },
       "Unregistered"},
  };
  for (std::size_t earlier = 0; earlier < std::size(faults); ++earlier) {
    for (std::size_t later = earlier + 1; later < std::size(faults); ++later) {
      SCOPED_TRACE(std::string(faults[earlier].second) + " with " + faults[later].second);
      EXPECT_EQ(judge(both(faults[later].first, faults[earlier].first)).reason,
                faults[earlier].second);
    }
  }
}

TEST(ProviderRequest, AnAcceptedPushCarriesItsDetailsAndTheDefaults) {
  const std::string upperDevice(64, 'A');
  auto verdict = judge(path("/3/device/" + upperDevice));
  ASSERT_EQ(verdict.status, 200);
  EXPECT_EQ(verdict.reason, "");
  EXPECT_EQ(providerAnswerBody(verdict), "");
  ASSERT_TRUE(verdict.request);
  const auto& request = *verdict.request;
  EXPECT_EQ(request.identifier, verdict.apnsId);
  EXPECT_EQ(request.payload->JSONString(), R"({"aps":{"alert":"hi"}})");
  ASSERT_TRUE(request.push);
  EXPECT_EQ(request.push->device, kDevice);
  EXPECT_EQ(request.push->type, "alert");
  EXPECT_EQ(request.push->priority, 10);
  EXPECT_EQ(request.push->topic, kTopic);
  EXPECT_FALSE(request.push->collapseId);
  EXPECT_FALSE(request.push->expiration);
  EXPECT_EQ(request.notes,
            std::vector<std::string>{
                "no provider token: sent as a certificate-authenticated provider would"});

  // A provider that names everything, with a token no key was given to check.
  const std::string id = "123e4567-e89b-12d3-A456-426614174000";
  verdict = judge([&](ProviderRequest& r, ProviderPolicy&) {
    r.headers = {{"apns-id", id},
                 {"authorization", "BEARER good"},
                 {"apns-push-type", "voip"},
                 {"apns-priority", "5"},
                 {"apns-expiration", "0"},
                 {"apns-collapse-id", std::string(64, 'c')},
                 {"apns-topic", kTopic + ".voip"}};
    r.body = R"({"a":")" + std::string(5120 - 8, 'x') + R"("})";
  });
  ASSERT_EQ(verdict.status, 200) << verdict.reason;
  EXPECT_EQ(verdict.apnsId, id);
  EXPECT_EQ(verdict.request->push->priority, 5);
  EXPECT_EQ(verdict.request->push->expiration, 0);
  EXPECT_EQ(verdict.request->push->collapseId, std::string(64, 'c'));
  EXPECT_EQ(verdict.request->push->topic, kTopic + ".voip");
  EXPECT_EQ(
      verdict.request->notes,
      std::vector<std::string>{"the provider token was not verified: no --auth-key was given"});

  // With a key, a verified token is worth no note; a background push defaults to 5.
  const std::unordered_set<std::string> registered = {kDevice};
  verdict = judge([&](ProviderRequest& r, ProviderPolicy& policy) {
    policy.tokenRequired = true;
    policy.devices = &registered;
    r.headers = {
        {"authorization", "bearer good"}, {"apns-push-type", "background"}, {"apns-topic", kTopic}};
    r.body = nested(1000);
  });
  ASSERT_EQ(verdict.status, 200) << verdict.reason << verdict.description;
  EXPECT_EQ(verdict.request->push->priority, 5);
  EXPECT_TRUE(verdict.request->notes.empty());

  // No --topic and no apns-topic: any topic goes, and it is empty; the voip topic follows
  // --topic when the sender named none.
  verdict = judge([](ProviderRequest&, ProviderPolicy& policy) { policy.topic.reset(); });
  EXPECT_EQ(verdict.request->push->topic, "");
  verdict = judge(add("apns-push-type", "voip"));
  ASSERT_EQ(verdict.status, 200) << verdict.reason;
  EXPECT_EQ(verdict.request->push->topic, kTopic + ".voip");
}

TEST(ProviderRequest, AnswerBodyNamesTheReasonThenItsDetails) {
  EXPECT_EQ(providerAnswerBody(judge(body("[1]"))),
            R"({"reason":"BadPayload","description":"the payload is not a JSON object"})");
  EXPECT_EQ(providerAnswerBody(judge(
                [](ProviderRequest&, ProviderPolicy& policy) { policy.devices = &kNoDevices; })),
            R"({"reason":"Unregistered","timestamp":1700000000123})");
}

}  // namespace
}  // namespace corvanta
