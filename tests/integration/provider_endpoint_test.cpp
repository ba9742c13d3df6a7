// The provider endpoint through the built binary and a real HTTP/2 client; the judge's rules
// are provider_request_test's.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

std::string deviceToken(unsigned seed) {
  return std::string(64, "0123456789abcdef"[seed % 16]);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ProviderEndpointTest : public ::testing::Test {
 protected:
  ~ProviderEndpointTest() override { ::close(_silent); }

  void start(std::vector<std::string> args) {
    args.insert(args.end(), {"--listen", "127.0.0.1:0", "--container", scratch.path() + "container",
                             "--time-limit", "1"});
    host = std::make_unique<HostProcess>(kHostBinary, args);
    const auto said = host->waitForError("listening on", 10s);
    ASSERT_TRUE(said) << host->wait().err;
    base = said->substr(said->find("listening on ") + 13);
    base.resize(base.find(' '));
  }

  // Sends the pushes while reading the host's output, so that neither waits on the other.
  std::vector<PushAnswer> send(const std::vector<Push>& pushes) {
    auto answers = std::async(std::launch::async, [&] { return sendPushes(base, ca, pushes); });
    host->serveUntil([&] { return answers.wait_for(0s) == std::future_status::ready; }, 120s);
    return answers.get();
  }

  // A push whose attachment is at an origin that takes connections and never answers: its
  // download stays in flight until the host gives it up, however slowly the test runs.
  std::string stalledPush() {
    _silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_TRUE(::bind(_silent, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(_silent, 16) == 0);
    ::getsockname(_silent, reinterpret_cast<sockaddr*>(&address), &length);
    return R"({"aps":{"alert":"Slow","mutable-content":1},"att_url":"http://127.0.0.1:)" +
           std::to_string(ntohs(address.sin_port)) + R"(/a.png"})";
  }

  ScratchDirectory scratch;
  const std::string ca = scratch.path() + "container/endpoint/ca.crt";
  std::unique_ptr<HostProcess> host;
  std::string base;
  int _silent = -1;
};

// Over cleartext HTTP/2, where each client has its own connection and nghttp multiplexes
// (libcurl cannot there): a push through each piece of wiring, and clients that leave, speak
// HTTP/1 or find the host full, each costing only its own push.
TEST_F(ProviderEndpointTest, EachPushIsJudgedAloneAndWhatPassesIsShownUnderItsApnsId) {
  const ProviderSigningKey key;
  const std::string device = deviceToken(1), id = "0f3c5a1e-1b2c-4D5E-8f90-a1b2c3d4e5f6";
  start({"--h2c", "--max-in-flight", "2", "--topic", "com.example.app", "--devices",
         scratch.write("devices", "# test devices\n" + device + "  # phone A\n"), "--auth-key",
         scratch.write("AuthKey.p8", key.pem()), "--key-id", "KEY1", "--team-id", "TEAM1"});
  const auto bearer = [](const ProviderSigningKey& signer) {
    return "authorization: bearer " + signer.token("KEY1", "TEAM1", std::time(nullptr));
  };
  const std::string topic = "apns-topic: com.example.app", auth = bearer(key);
  // What the device shows: the device, push type, topic, priority, whether the extension ran,
  // and whether the notes say a voip push does not run it.
  const json alert = {true, "alert", "com.example.app", 10, false, false},
             voip = {true, "voip", "com.example.app.voip", 10, false, true},
             extension = {true, "alert", "com.example.app", 10, true, false};
  const std::string stalled = stalledPush();
  const Push call{
      device,
      {"apns-push-type: voip", "apns-topic: com.example.app.voip", "apns-id: " + id, auth},
      R"({"aps":{},"call":")" + std::string(4500, 'v') + "\"}"};
  const struct {
    Push push;
    long status;
    std::string body;  // what the answer's body holds
    json shown = nullptr;
    std::string apnsId = "[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}";
  } cases[] = {
      {{device, {topic, bearer(ProviderSigningKey())}}, 403, R"("reason":"InvalidProviderToken"})"},
      {{device, {"apns-topic: com.example.other", auth}}, 400, R"("reason":"BadTopic"})"},
      {{deviceToken(2), {topic, auth}}, 410, R"("reason":"Unregistered","timestamp":)"},
      // Beyond what is kept, and not UTF-8.
      {{device, {topic, auth}, std::string(6000, ' ') + kHi},
       413,
       R"("reason":"PayloadTooLarge"})"},
      {{device, {topic, auth}, "{\"aps\":\x81}"}, 400, R"("reason":"BadPayload","description":)"},
      {call, 200, "", voip, id},  // a voip push may be larger than an alert
      {{device, {topic, auth}}, 200, "", alert},
      {{.device = device, .leavesMidBody = true}, 0, "", nullptr, ""},
      // An HTTP/1 client is told in its own protocol, not left with a closed connection.
      {{.device = device, .http1 = true}, 505, "HTTP/2 only", nullptr, ""},
      {{device, {topic, auth}, stalled}, 200, "", extension},
      {{device, {topic, auth}, stalled}, 200, "", extension},
      {{device, {topic, auth}, stalled}, 429, R"("reason":"TooManyRequests"})"},
      // A plain alert holds no place in flight, so it passes even when the host is full.
      {{device, {topic, auth}}, 200, "", alert},
  };
  std::vector<PushAnswer> answers;
  for (const auto& c : cases) answers.push_back(send({c.push}).front());
  HostProcess nghttp("/usr/bin/nghttp",
                     {"-n", "-s", "-m", "50", "-H", auth, "-H", topic, "-d",
                      scratch.write("push.json", kHi), base + "/3/device/" + device});
  const HostResult stats = nghttp.wait();
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_EQ(occurrences(stats.out, "  200 "), 50u) << stats.out;

  host->signal(SIGTERM);
  const HostResult result = host->wait();
  EXPECT_EQ(result.status, 0) << result.err;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::smatch reason;
    if (!std::regex_search(cases[i].body, reason, std::regex(R"re("reason":"(\w+)")re"))) continue;
    EXPECT_NE(result.err.find("corvanta-nse: refused push " + answers[i].apnsId + ": " +
                              std::to_string(cases[i].status) + " " + reason[1].str() + ": "),
              std::string::npos)
        << result.err;
  }
  EXPECT_NE(result.err.find("refused pushes: 1 BadPayload, 1 BadTopic, 1 InvalidProviderToken, "
                            "1 PayloadTooLarge, 1 TooManyRequests, 1 Unregistered\n"),
            std::string::npos)
      << result.err;
  std::map<std::string, json> shown;
  for (const auto& line : jsonLines(result.out)) {
    shown[line["request"]] = {
        line["device"] == device, line["push"]["type"],
        line["push"]["topic"],    line["push"]["priority"],
        line["extension"],        line["notes"].dump().find("voip") != std::string::npos};
  }
  EXPECT_EQ(shown.size(), 5u + 50u) << result.out;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const PushAnswer& answer = answers[i];
    EXPECT_EQ(std::tuple(answer.status, answer.body.find(cases[i].body) != std::string::npos,
                         std::regex_match(answer.apnsId, std::regex(cases[i].apnsId)),
                         shown[answer.apnsId]),
              std::tuple(cases[i].status, true, true, cases[i].shown))
        << i << ": " << answer.body << answer.error;
  }
}

TEST_F(ProviderEndpointTest, AThousandPushesOverOneTLSConnectionAreEachAnsweredAndShown) {
  const TestOrigin origin(servePicture);
  start({"--preview", scratch.path() + "page.html"});
  const Push photo{"",
                   {"apns-collapse-id: photos"},
                   R"({"aps":{"alert":{"title":"Photo"},"mutable-content":1},"att_url":")" +
                       origin.url("/pic.png") + "\"}"};
  const Push background{
      "", {"apns-push-type: background", "apns-priority: 5"}, R"({"aps":{"content-available":1}})"};
  std::vector<Push> pushes;
  for (unsigned i = 0; i < 1000; ++i) {
    pushes.push_back(i % 100 == 0 ? photo : i % 100 == 1 ? background : Push{});
    pushes.back().device = deviceToken(i % 7);
  }
  std::set<std::string> ids;
  for (const auto& answer : send(pushes)) {
    ASSERT_EQ(answer.status, 200) << answer.body << answer.error;
    ids.insert(answer.apnsId);
  }
  // A client that will not speak HTTP/2 is refused in the handshake, as the service does.
  EXPECT_EQ(send({{.device = deviceToken(1), .http1 = true}}).front().status, 0);

  host->signal(SIGTERM);
  const HostResult result = host->wait();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("clients trust the CA " + ca + "\n"), std::string::npos) << result.err;
  std::set<std::string> shown;
  std::map<json, int> kinds;  // what each request's first delivery showed
  for (const auto& line : jsonLines(result.out)) {
    if (!shown.insert(line["request"]).second) continue;
    ++kinds[{line["displayed"], line["push"]["type"], line["push"]["priority"], line["extension"],
             line["content"]["attachments"].size()}];
  }
  EXPECT_EQ(shown, ids);
  EXPECT_EQ(kinds, (std::map<json, int>{{{true, "alert", 10, false, 0}, 980},
                                        {{true, "alert", 10, true, 1}, 10},
                                        {{false, "background", 5, false, 0}, 10}}))
      << result.err;
  const std::string html = readFile(scratch.path() + "page.html");
  EXPECT_NE(html.find(deviceToken(3).substr(0, 6)), std::string::npos);
  // The photos went to seven devices under one collapse-id: where a device got two, the later
  // replaced the earlier, as it does on a device.
  EXPECT_EQ(occurrences(html, "class=\"entry replaced\""), 3u);
}

TEST_F(ProviderEndpointTest, SIGTERMAnswersThePushesInFlightShowsThemAndExitsZero) {
  // Every attachment stalls past the time limit, so pushes are still running when the
  // endpoint is told to stop.
  const std::string stalled = stalledPush();
  start({});
  // The client keeps sending, a batch of streams at a time, until a batch finds no endpoint.
  auto sending = std::async(std::launch::async, [&] {
    std::vector<PushAnswer> all;
    for (unsigned batch = 0; batch < 1000; ++batch) {
      const auto got = sendPushes(base, ca, std::vector(20, Push{deviceToken(batch), {}, stalled}));
      all.insert(all.end(), got.begin(), got.end());
      if (std::ranges::all_of(got, [](const auto& a) { return a.status == 0; })) break;
      std::this_thread::sleep_for(50ms);
    }
    return all;
  });
  const auto sent = [&] { return sending.wait_for(0s) == std::future_status::ready; };
  // The first line comes at the first expiry: by then pushes are taken, downloads run and
  // streams are open.
  host->serveUntil([&] { return host->readLine(0ms).has_value() || sent(); }, 60s);
  host->signal(SIGTERM);
  host->serveUntil(sent, 60s);
  const auto answers = sending.get();
  const HostResult result = host->wait();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("SIGTERM: stopping"), std::string::npos) << result.err;

  std::multiset<std::string> taken, displayed;
  for (const auto& answer : answers) {
    // The others the endpoint never took: the client was told (no connection, or the stream
    // refused by the final GOAWAY), never left with a half answer.
    if (answer.status == 200)
      taken.insert(answer.apnsId);
    else
      EXPECT_EQ(answer.status, 0) << answer.body << answer.error;
  }
  EXPECT_GT(taken.size(), 20u);
  for (const auto& line : jsonLines(result.out)) {
    if (line["displayed"]) displayed.insert(line["request"]);
  }
  EXPECT_EQ(displayed, taken);
}

// The endpoint's loop does not wait for a stalled reader of standard output; a second SIGTERM
// says how many lines of pushes answered 200 it could not write.
TEST_F(ProviderEndpointTest, AStalledOutputIsAnswered503AndEveryPushTakenIsWrittenOrCounted) {
  // About 4 KB a line: 2,000 of them are twice the output's budget.
  const std::string push =
      scratch.write("push.json", R"({"aps":{"alert":")" + std::string(3900, 'x') + R"("}})");
  const auto nghttp = [&](std::string count) {
    return std::async(std::launch::async, [=, this] {
      return HostProcess("/usr/bin/nghttp", {"-n", "-s", "-m", count, "-d", push,
                                             base + "/3/device/" + deviceToken(1)})
          .wait(60s);
    });
  };
  const auto whileStalled = [&](auto& client) {
    for (int i = 0; i < 300 && client.wait_for(0s) != std::future_status::ready; ++i) {
      host->pauseOutput(100ms);
    }
    return client.get();
  };
  for (const bool endAtOnce : {false, true}) {
    start({"--h2c"});
    auto pushing = nghttp("2000");
    const HostResult sent = whileStalled(pushing);
    const std::size_t taken = occurrences(sent.out, "  200 "),
                      behind = occurrences(sent.out, "  503 ");
    EXPECT_EQ(std::tuple(sent.status, taken + behind), std::tuple(0, 2000u)) << sent.err;
    EXPECT_GT(behind, 0u);

    host->signal(SIGTERM);
    host->pauseOutput(1500ms);  // the endpoint stops within this, the output still stalled
    auto late = nghttp("1");
    EXPECT_NE(whileStalled(late).err.find("Could not connect"), std::string::npos);
    if (endAtOnce) {
      host->signal(SIGTERM);
      host->pauseOutput(500ms);  // its count holds only if nothing is read before it exits
    }
    const HostResult result = host->wait();
    const std::size_t written = jsonLines(result.out).size();
    if (endAtOnce) {
      EXPECT_EQ(result.status, 128 + SIGTERM);
      EXPECT_NE(result.err.find("SIGTERM again: ending at once; " +
                                std::to_string(taken - written) + " delivery lines were not"),
                std::string::npos)
          << taken << " taken, " << written
          << " written: " << result.err.substr(result.err.size() - 300);
    } else {
      EXPECT_EQ(std::tuple(result.status, written), std::tuple(0, taken)) << result.err;
      EXPECT_NE(
          result.err.find("refused pushes: " + std::to_string(behind) + " ServiceUnavailable"),
          std::string::npos)
          << result.err.substr(result.err.size() - 500);
    }
  }
}

}  // namespace
}  // namespace corvanta::testing
