// The provider endpoint through the built binary and a real HTTP/2 client: what each push
// is answered, what the device then shows, and how the endpoint behaves at scale, when a
// client goes away and when it is told to stop.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
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
#include "support/TestOrigin.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::int64_t secondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

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

std::vector<json> deliveries(const HostResult& result) {
  return jsonLines(result.out);
}

Push alert(const std::string& token, const std::string& body = R"({"aps":{"alert":"Hi"}})") {
  return Push{"/3/device/" + token, {}, body};
}

class ProviderEndpointTest : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
};

TEST_F(ProviderEndpointTest, EachFaultOfAPushGetsItsDocumentedStatusAndReason) {
  const ProviderSigningKey key;
  const std::string keyFile = scratch.path() + "AuthKey.p8";
  std::ofstream(keyFile) << key.pkcs8PEM();
  const std::string registered = deviceToken(1);
  std::ofstream(scratch.path() + "devices") << "# test devices\n" << registered << "\n";
  Endpoint endpoint(scratch,
                    {"--h2c", "--devices", scratch.path() + "devices", "--topic", "com.example.app",
                     "--auth-key", keyFile, "--key-id", "KEY1", "--team-id", "TEAM1"});
  const std::string bearer = "authorization: bearer " + key.token("KEY1", "TEAM1", secondsNow());

  const auto push = [&](std::vector<std::string> headers = {},
                        std::string body = R"({"aps":{"alert":"Hi"}})", std::string path = "") {
    const bool topic = std::any_of(headers.begin(), headers.end(),
                                   [](const auto& h) { return h.starts_with("apns-topic:"); });
    if (!topic) headers.insert(headers.begin(), "apns-topic: com.example.app");
    headers.insert(headers.begin(), bearer);
    return Push{path.empty() ? "/3/device/" + registered : path, headers, body};
  };
  // A push to the registered device under `token` ("" for none).
  const auto signedBy = [&](const std::string& token) {
    Push signed_{"/3/device/" + registered, {"apns-topic: com.example.app"}, "{}"};
    if (!token.empty()) signed_.headers.push_back("authorization: bearer " + token);
    return signed_;
  };
  struct Case {
    std::string what;
    Push push;
    long status;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"a token that is not hex", push({}, R"({"aps":{}})", "/3/device/xyz"), 400,
       "BadDeviceToken"},
      {"an odd-length token", push({}, R"({"aps":{}})", "/3/device/" + registered + "a"), 400,
       "BadDeviceToken"},
      {"an unregistered device", push({}, R"({"aps":{}})", "/3/device/" + deviceToken(2)), 410,
       "Unregistered"},
      {"an apns-id that is no UUID", push({"apns-id: 42"}), 400, "BadMessageId"},
      {"a priority of 7", push({"apns-priority: 7"}), 400, "BadPriority"},
      {"an expiration that is not a number", push({"apns-expiration: soon"}), 400,
       "BadExpirationDate"},
      {"a collapse-id over 64 bytes", push({"apns-collapse-id: " + std::string(65, 'c')}), 400,
       "BadCollapseId"},
      {"another app's topic", push({"apns-topic: com.example.other"}), 400, "BadTopic"},
      {"a push type of its own", push({"apns-push-type: shout"}), 400, "InvalidPushType"},
      {"two priorities", push({"apns-priority: 10", "apns-priority: 5"}), 400, "DuplicateHeaders"},
      {"an alert over 4096 bytes",
       push({}, R"({"aps":{"alert":")" + std::string(4100, 'x') + "\"}}"), 413, "PayloadTooLarge"},
      {"an empty body", push({}, ""), 400, "PayloadEmpty"},
      {"a body that is not JSON", push({}, "{\"aps\":"), 400, "BadPayload"},
      {"a body that is an array", push({}, "[1]"), 400, "BadPayload"},
      {"a body that is not UTF-8", push({}, "{\"aps\":\x81}"), 400, "BadPayload"},
      {"another path", push({}, "{}", "/3/devices/" + registered), 404, "BadPath"},
      {"a GET", Push{"/3/device/" + registered, {bearer}, "", "GET"}, 405, "MethodNotAllowed"},
      {"no provider token", signedBy(""), 403, "MissingProviderToken"},
      {"a token signed by another key",
       signedBy(ProviderSigningKey().token("KEY1", "TEAM1", secondsNow())), 403,
       "InvalidProviderToken"},
      {"a token from two hours ago", signedBy(key.token("KEY1", "TEAM1", secondsNow() - 7200)), 403,
       "ExpiredProviderToken"},
      {"a token naming another key", signedBy(key.token("KEY2", "TEAM1", secondsNow())), 403,
       "InvalidProviderToken"},
  };
  std::vector<Push> pushes;
  for (const auto& c : cases) pushes.push_back(c.push);
  // What passes, beside them: a voip push may be larger than an alert.
  pushes.push_back(push({"apns-push-type: voip", "apns-topic: com.example.app.voip",
                         "apns-id: 0f3c5a1e-1b2c-4d5e-8f90-a1b2c3d4e5f6"},
                        R"({"aps":{},"call":")" + std::string(4500, 'v') + "\"}"));
  pushes.push_back(push());
  const auto answers = endpoint.send(pushes);

  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(answers[i].status, cases[i].status) << answers[i].body << answers[i].error;
    EXPECT_EQ(answers[i].httpVersion, CURL_HTTP_VERSION_2_0);
    const json body = json::parse(answers[i].body, nullptr, false);
    EXPECT_EQ(body.value("reason", ""), cases[i].reason) << answers[i].body;
    if (cases[i].status == 410) {
      EXPECT_TRUE(body["timestamp"].is_number_integer());
    }
  }
  const PushAnswer& voip = answers[cases.size()];
  EXPECT_EQ(voip.status, 200) << voip.body;
  EXPECT_EQ(voip.apnsId, "0f3c5a1e-1b2c-4d5e-8f90-a1b2c3d4e5f6");
  const PushAnswer& plain = answers[cases.size() + 1];
  EXPECT_EQ(plain.status, 200) << plain.body;
  EXPECT_TRUE(
      std::regex_match(plain.apnsId, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << plain.apnsId;

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  // Only what was taken reaches the device, each under its apns-id.
  const auto lines = deliveries(result);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  std::map<std::string, json> byId;
  for (const auto& line : lines) byId[line["request"]] = line;
  const json& call = byId.at(voip.apnsId);
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
  ASSERT_TRUE(std::filesystem::exists(endpoint.authority)) << endpoint.authority;
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
    ASSERT_EQ(answer.httpVersion, CURL_HTTP_VERSION_2_0);
    ids.insert(answer.apnsId);
  }
  EXPECT_EQ(ids.size(), 1000u);

  // A client that will not speak HTTP/2 is refused in the handshake, as the service does.
  const auto http1 =
      std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>(curl_easy_init(), curl_easy_cleanup);
  curl_easy_setopt(http1.get(), CURLOPT_URL,
                   (endpoint.base + "/3/device/" + deviceToken(1)).c_str());
  curl_easy_setopt(http1.get(), CURLOPT_CAINFO, endpoint.authority.c_str());
  curl_easy_setopt(http1.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(http1.get(), CURLOPT_POSTFIELDS, "{}");
  curl_easy_setopt(http1.get(), CURLOPT_NOPROXY, "*");
  EXPECT_NE(curl_easy_perform(http1.get()), CURLE_OK);

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  std::map<std::string, std::vector<json>> byId;
  for (auto& line : deliveries(result)) byId[line["request"]].push_back(line);
  ASSERT_EQ(byId.size(), 1000u);
  std::size_t attached = 0, background = 0;
  for (const auto& [id, lines] : byId) {
    EXPECT_TRUE(ids.contains(id)) << id;
    EXPECT_TRUE(lines.front()["displayed"]) << lines.front();
    EXPECT_EQ(lines.front()["device"].get<std::string>().size(), 64u);
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
  std::size_t replaced = 0;
  for (auto at = html.find("class=\"entry replaced\""); at != std::string::npos;
       at = html.find("class=\"entry replaced\"", at + 1)) {
    ++replaced;
  }
  EXPECT_EQ(replaced, 3u);
}

TEST_F(ProviderEndpointTest, AClientThatLeavesMidStreamOrSpeaksHTTP1CostsOnlyItsOwnPush) {
  // Over cleartext HTTP/2, where the other clients then multiplex.
  Endpoint endpoint(scratch, {"--h2c"});
  // Headers and half a body, then the connection is gone.
  {
    struct HalfBody {
      std::string data = R"({"aps":{"alert":"never finished"}})";
      bool sent = false;
    } source;
    const auto easy =
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>(curl_easy_init(), curl_easy_cleanup);
    curl_easy_setopt(easy.get(), CURLOPT_URL,
                     (endpoint.base + "/3/device/" + deviceToken(5)).c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE);
    curl_easy_setopt(easy.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE, 1000L);
    curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy.get(), CURLOPT_READDATA, &source);
    curl_easy_setopt(
        easy.get(), CURLOPT_READFUNCTION,
        +[](char* buffer, size_t size, size_t count, void* data) -> size_t {
          auto& half = *static_cast<HalfBody*>(data);
          if (half.sent) return CURL_READFUNC_ABORT;
          half.sent = true;
          const std::size_t n = std::min(size * count, half.data.size() / 2);
          std::memcpy(buffer, half.data.data(), n);
          return n;
        });
    curl_easy_setopt(easy.get(), CURLOPT_FORBID_REUSE, 1L);
    EXPECT_NE(curl_easy_perform(easy.get()), CURLE_OK);
  }
  // An HTTP/1 client is told in its own protocol, not left with a closed connection.
  {
    std::string said;
    const auto easy =
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>(curl_easy_init(), curl_easy_cleanup);
    curl_easy_setopt(easy.get(), CURLOPT_URL,
                     (endpoint.base + "/3/device/" + deviceToken(5)).c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, "{}");
    curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &said);
    curl_easy_setopt(
        easy.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
          static_cast<std::string*>(out)->append(data, size * count);
          return size * count;
        });
    ASSERT_EQ(curl_easy_perform(easy.get()), CURLE_OK);
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    EXPECT_EQ(status, 505);
    EXPECT_NE(said.find("HTTP/2 only"), std::string::npos) << said;
  }
  const PushAnswer after = endpoint.send(alert(deviceToken(6)));
  EXPECT_EQ(after.status, 200) << after.body << after.error;
  // And many streams on one cleartext connection (nghttp multiplexes there; libcurl cannot).
  const std::string body = scratch.path() + "push.json";
  std::ofstream(body) << R"({"aps":{"alert":"Many"}})";
  const std::string command = "nghttp -n -s -m 50 -d " + body + " " + endpoint.base + "/3/device/" +
                              deviceToken(7) + " 2>&1";
  std::string stats;
  FILE* nghttp = ::popen(command.c_str(), "r");
  ASSERT_NE(nghttp, nullptr);
  char chunk[4096];
  while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, nghttp)) stats.append(chunk, n);
  EXPECT_EQ(::pclose(nghttp), 0) << stats;
  std::size_t answered = 0;
  for (auto at = stats.find("  200 "); at != std::string::npos; at = stats.find("  200 ", at + 1)) {
    ++answered;
  }
  EXPECT_EQ(answered, 50u) << stats;

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  const auto lines = deliveries(result);
  ASSERT_EQ(lines.size(), 51u) << result.out;
  EXPECT_EQ(lines[0]["request"], after.apnsId);
}

TEST_F(ProviderEndpointTest, APushBeyondMaxInFlightIsTooManyRequestsAndTheOthersGoOn) {
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

  const HostResult result = endpoint.stop();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(deliveries(result).size(), 3u) << result.out;
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
  for (const auto& delivery : deliveries(result)) {
    if (delivery["displayed"]) displayed.insert(delivery["request"]);
  }
  EXPECT_EQ(displayed, std::multiset<std::string>(taken.begin(), taken.end()));
}

}  // namespace
}  // namespace corvanta::testing
