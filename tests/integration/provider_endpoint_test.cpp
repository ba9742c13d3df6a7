// The provider endpoint through the built binary and a real HTTP/2 client: a push through each
// piece of wiring between the command line, the stream and the judge (whose rules
// provider_request_test checks), what the device then shows, and how the endpoint behaves at
// scale, with faulty clients, when the host is full and when it is told to stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "support/HostProcess.h"
#include "support/ProviderTokens.h"
#include "support/PushClient.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The host listening on a free port; its address is read from what it says at start.
class Endpoint {
 public:
  Endpoint(const ScratchDirectory& scratch, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--listen",     "127.0.0.1:0",
                                     "--container",  scratch.path() + "container",
                                     "--time-limit", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    host = std::make_unique<HostProcess>(kHostBinary, args);
    const auto said = host->waitForError("listening on", 10s);
    if (!said) {
      ADD_FAILURE() << "the endpoint did not start: " << host->wait().err;
      return;
    }
    std::smatch match;
    if (std::regex_search(*said, match, std::regex("listening on (https?://[^ ]+)"))) {
      base = match[1];
    }
    const std::string trust =
        base.starts_with("https") ? host->waitForError("trust the CA", 2s).value_or("") : "";
    if (std::regex_search(trust, match, std::regex("trust the CA ([^\n]+)"))) authority = match[1];
  }

  PushClient client() const { return PushClient(base, authority); }

  // Sends the pushes while reading the host's output, so that neither waits on the other.
  std::vector<PushAnswer> send(const std::vector<Push>& pushes, long streams = 100) {
    auto answers = std::async(std::launch::async, [&] { return client().send(pushes, streams); });
    host->serveUntil([&] { return answers.wait_for(0s) == std::future_status::ready; }, 120s);
    return answers.get();
  }
  PushAnswer send(const Push& push) { return send(std::vector<Push>{push}).front(); }

  // Stops the endpoint as a service manager would, and collects what it wrote.
  HostResult stop() {
    host->signal(SIGTERM);
    return host->wait();
  }

  std::unique_ptr<HostProcess> host;
  std::string base, authority;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

Push alert(const std::string& token, const std::string& body = R"({"aps":{"alert":"Hi"}})") {
  return Push{"/3/device/" + token, {}, body};
}

class ProviderEndpointTest : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
};

TEST_F(ProviderEndpointTest, TheOptionsAndEachPartOfAStreamReachTheJudge) {
  const ProviderSigningKey key;
  const std::string registered = deviceToken(1);
  Endpoint endpoint(
      scratch, {"--h2c", "--topic", "com.example.app", "--devices",
                scratch.write("devices", "# test devices\n" + registered + "\n"), "--auth-key",
                scratch.write("AuthKey.p8", key.pem()), "--key-id", "KEY1", "--team-id", "TEAM1"});
  const auto push = [&](std::vector<std::string> headers, std::string body,
                        const ProviderSigningKey& signer, const std::string& device) {
    headers.push_back("authorization: bearer " + signer.token("KEY1", "TEAM1", std::time(nullptr)));
    return Push{"/3/device/" + device, headers, body};
  };
  const std::string topic = "apns-topic: com.example.app", hi = R"({"aps":{"alert":"Hi"}})";
  const struct {
    const char* what;
    Push push;
    long status;
    std::string reason;
  } cases[] = {
      {"--auth-key: signed by another key", push({topic}, hi, ProviderSigningKey(), registered),
       403, "InvalidProviderToken"},
      {"--topic: another app's", push({"apns-topic: com.example.other"}, hi, key, registered), 400,
       "BadTopic"},
      {"--devices: another device", push({topic}, hi, key, deviceToken(2)), 410, "Unregistered"},
      {"a body beyond what is kept", push({topic}, std::string(6000, ' ') + hi, key, registered),
       413, "PayloadTooLarge"},
      {"a body that is not UTF-8", push({topic}, "{\"aps\":\x81}", key, registered), 400,
       "BadPayload"},
  };
  std::vector<Push> pushes;
  for (const auto& c : cases) pushes.push_back(c.push);
  // Beside them, what passes: a voip push with its own apns-id, larger than an alert may be.
  const std::string id = "0f3c5a1e-1b2c-4d5e-8f90-a1b2c3d4e5f6";
  pushes.push_back(
      push({"apns-push-type: voip", "apns-topic: com.example.app.voip", "apns-id: " + id},
           R"({"aps":{},"call":")" + std::string(4500, 'v') + "\"}", key, registered));
  pushes.push_back(push({topic}, hi, key, registered));
  const auto answers = endpoint.send(pushes);

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(answers[i].status, cases[i].status) << answers[i].body << answers[i].error;
    const json body = json::parse(answers[i].body, nullptr, false);
    EXPECT_EQ(body.value("reason", ""), cases[i].reason) << answers[i].body;
    EXPECT_EQ(body.contains("timestamp"), cases[i].status == 410) << answers[i].body;
  }
  const PushAnswer& voip = answers[std::size(cases)];
  EXPECT_EQ(voip.status, 200) << voip.body;
  EXPECT_EQ(voip.apnsId, id);
  const PushAnswer& plain = answers[std::size(cases) + 1];
  EXPECT_EQ(plain.status, 200) << plain.body;
  EXPECT_TRUE(
      std::regex_match(plain.apnsId, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << plain.apnsId;

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  // Only what was taken reaches the device, each under its apns-id.
  std::map<std::string, json> byId;
  for (const auto& line : jsonLines(result.out)) byId[line["request"]] = line;
  ASSERT_EQ(byId.size(), 2u) << result.out;
  const json& call = byId.at(id);
  EXPECT_EQ(call["device"], registered);
  EXPECT_EQ(call["push"], json({{"type", "voip"},
                                {"priority", 10},
                                {"topic", "com.example.app.voip"},
                                {"collapse_id", nullptr}}));
  EXPECT_FALSE(call["extension"]);
  EXPECT_NE(call["notes"].dump().find("voip"), std::string::npos) << call["notes"];
  EXPECT_EQ(byId.at(plain.apnsId)["push"]["type"], "alert");
}

TEST_F(ProviderEndpointTest, AThousandPushesOverOneTLSConnectionAreEachAnsweredAndShown) {
  const TestOrigin origin([](httplib::Server& server) {
    server.Get("/pic.png", [](const httplib::Request&, httplib::Response& response) {
      static const std::string png = media("pic.png");
      response.set_content(png, "image/png");
    });
  });
  Endpoint endpoint(scratch, {"--preview", scratch.path() + "page.html"});
  ASSERT_TRUE(endpoint.base.starts_with("https://")) << endpoint.base;
  EXPECT_EQ(endpoint.authority, scratch.path() + "container/endpoint/ca.crt");

  std::vector<Push> pushes;
  for (unsigned i = 0; i < 1000; ++i) {
    Push push = alert(deviceToken(i % 7));
    if (i % 100 == 0) {
      push.body = json({{"aps", {{"alert", {{"title", "Photo"}}}, {"mutable-content", 1}}},
                        {"att_url", origin.url("/pic.png")}})
                      .dump();
      push.headers = {"apns-collapse-id: photos"};
    } else if (i % 100 == 1) {
      push.body = R"({"aps":{"content-available":1}})";
      push.headers = {"apns-push-type: background", "apns-priority: 5"};
    }
    pushes.push_back(push);
  }
  const auto answers = endpoint.send(pushes, 100);
  std::set<std::string> ids;
  for (const auto& answer : answers) {
    ASSERT_EQ(answer.status, 200) << answer.body << answer.error;
    ids.insert(answer.apnsId);
  }
  EXPECT_EQ(ids.size(), 1000u);

  // A client that will not speak HTTP/2 is refused in the handshake, as the service does.
  const PushAnswer refused =
      endpoint.send(Push{.path = "/3/device/" + deviceToken(1), .body = "{}", .http1 = true});
  EXPECT_EQ(refused.status, 0);
  EXPECT_FALSE(refused.error.empty());

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  std::map<std::string, std::vector<json>> byId;
  for (auto& line : jsonLines(result.out)) byId[line["request"]].push_back(line);
  ASSERT_EQ(byId.size(), 1000u);
  std::size_t attached = 0, background = 0;
  for (const auto& [id, lines] : byId) {
    EXPECT_TRUE(ids.contains(id)) << id;
    EXPECT_TRUE(lines.front()["displayed"]) << lines.front();
    attached += lines.front()["content"]["attachments"].size();
    if (lines.front()["push"]["type"] == "background") {
      ++background;
      EXPECT_FALSE(lines.front()["extension"]);
      EXPECT_EQ(lines.front()["push"]["priority"], 5);
    }
  }
  EXPECT_EQ(attached, 10u) << result.err;
  EXPECT_EQ(background, 10u);
  const std::string html = readFile(scratch.path() + "page.html");
  EXPECT_NE(html.find(deviceToken(3).substr(0, 6)), std::string::npos);
  // The photos went to seven devices under one collapse-id: where a device got two, the later
  // replaced the earlier, as it does on a device.
  EXPECT_EQ(occurrences(html, "class=\"entry replaced\""), 3u);
}

// Over cleartext HTTP/2, where each client has its own connection and nghttp multiplexes
// (libcurl cannot there).
TEST_F(ProviderEndpointTest, AClientThatLeavesSpeaksHTTP1OrFindsTheHostFullCostsOnlyItsOwnPush) {
  // An origin that takes connections and never answers: its downloads stay in flight until
  // the host gives them up, however slowly the test runs.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(silent, 16), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a.png";
  Endpoint endpoint(scratch, {"--h2c", "--max-in-flight", "2"});
  const std::string path = "/3/device/" + deviceToken(5);
  EXPECT_FALSE(
      endpoint.send(Push{.path = path, .body = "{}", .leavesMidBody = true}).error.empty());
  // An HTTP/1 client is told in its own protocol, not left with a closed connection.
  const PushAnswer refused = endpoint.send(Push{.path = path, .body = "{}", .http1 = true});
  EXPECT_EQ(refused.status, 505);
  EXPECT_NE(refused.body.find("HTTP/2 only"), std::string::npos) << refused.body;

  const std::string slow =
      json({{"aps", {{"alert", "Slow"}, {"mutable-content", 1}}}, {"att_url", url}}).dump();
  std::vector<long> statuses;
  for (const char* body : {slow.c_str(), slow.c_str(), slow.c_str(), R"({"aps":{"alert":"Hi"}})"}) {
    const PushAnswer answer = endpoint.send(alert(deviceToken(1), body));
    statuses.push_back(answer.status);
    if (answer.status == 429) {
      EXPECT_EQ(json::parse(answer.body)["reason"], "TooManyRequests");
    }
  }
  // A plain alert holds no place in flight, so it passes even when the host is full.
  EXPECT_EQ(statuses, (std::vector<long>{200, 200, 429, 200}));
  const std::string command = "nghttp -n -s -m 50 -d " +
                              scratch.write("push.json", R"({"aps":{"alert":"Many"}})") + " " +
                              endpoint.base + "/3/device/" + deviceToken(7) + " 2>&1";
  std::string stats;
  FILE* nghttp = ::popen(command.c_str(), "r");
  ASSERT_NE(nghttp, nullptr);
  char chunk[4096];
  while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, nghttp)) stats.append(chunk, n);
  EXPECT_EQ(::pclose(nghttp), 0) << stats;
  EXPECT_EQ(occurrences(stats, "  200 "), 50u) << stats;

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(jsonLines(result.out).size(), 2u + 1u + 50u) << result.out;
  ::close(silent);
}

TEST_F(ProviderEndpointTest, SIGTERMAnswersThePushesInFlightShowsThemAndExitsZero) {
  // Every attachment takes longer than the time limit, so the pushes are still running
  // when the endpoint is told to stop.
  const TestOrigin origin([](httplib::Server& server) {
    server.Get("/slow.png", [](const httplib::Request&, httplib::Response& response) {
      std::this_thread::sleep_for(1500ms);
      response.set_content("late", "text/plain");
    });
  });
  Endpoint endpoint(scratch, {});
  const std::string body = json({{"aps", {{"alert", "Slow"}, {"mutable-content", 1}}},
                                 {"att_url", origin.url("/slow.png")}})
                               .dump();
  // The client keeps sending, a batch of streams at a time, until a batch finds no endpoint.
  auto sending = std::async(std::launch::async, [&] {
    std::vector<PushAnswer> all;
    for (unsigned batch = 0; batch < 1000; ++batch) {
      std::vector<Push> pushes;
      for (unsigned i = 0; i < 20; ++i) pushes.push_back(alert(deviceToken(batch * 20 + i), body));
      const auto got = endpoint.client().send(pushes, 20);
      all.insert(all.end(), got.begin(), got.end());
      if (std::all_of(got.begin(), got.end(), [](const auto& a) { return a.status == 0; })) break;
      std::this_thread::sleep_for(50ms);
    }
    return all;
  });
  const auto sent = [&] { return sending.wait_for(0s) == std::future_status::ready; };
  // The first line comes at the first expiry: by then pushes are taken, downloads run and
  // streams are open.
  endpoint.host->serveUntil([&] { return endpoint.host->readLine(0ms).has_value() || sent(); },
                            60s);
  endpoint.host->signal(SIGTERM);
  endpoint.host->serveUntil(sent, 60s);
  const auto answers = sending.get();
  const HostResult result = endpoint.host->wait();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("SIGTERM: stopping"), std::string::npos) << result.err;

  std::set<std::string> taken;
  for (const auto& answer : answers) {
    if (answer.status == 200) {
      taken.insert(answer.apnsId);
    } else {
      // Only pushes the endpoint never took: the client was told (no connection, or the
      // stream refused by the final GOAWAY), never left with a half answer.
      EXPECT_EQ(answer.status, 0) << answer.body;
      EXPECT_FALSE(answer.error.empty());
    }
  }
  EXPECT_GT(taken.size(), 20u);
  // Every push answered 200 was displayed, once, before the exit.
  std::multiset<std::string> displayed;
  for (const auto& delivery : jsonLines(result.out)) {
    if (delivery["displayed"]) displayed.insert(delivery["request"]);
  }
  EXPECT_EQ(displayed, std::multiset<std::string>(taken.begin(), taken.end()));
}

}  // namespace
}  // namespace corvanta::testing
