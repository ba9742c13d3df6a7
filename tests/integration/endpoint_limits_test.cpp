// The provider endpoint's limits against hostile and broken clients: an endpoint in this
// process with small limits, attacked over loopback by endpoint_attack.py (raw HTTP/2 frames),
// while a fresh client's push must still be answered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "platform/extension_host/intake/ProviderEndpoint.h"
#include "support/HostProcess.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Runs an endpoint that takes every push on a thread of its own, until destroyed.
class RunningEndpoint {
 public:
  explicit RunningEndpoint(ProviderEndpoint::Limits limits) {
    ProviderEndpoint::Settings settings;
    settings.cleartext = true;
    settings.limits = limits;
    // "slow" stands for a token whose signature must be checked.
    settings.policy.judgeToken = [](std::string_view jwt) {
      if (jwt == "slow") std::this_thread::sleep_for(500ms);
      return jwt == "good" ? "" : "InvalidProviderToken";
    };
    settings.policy.tokenIsCheap = [](std::string_view jwt) { return jwt != "slow"; };
    auto opened = ProviderEndpoint::open(std::move(settings),
                                         [](IncomingRequest) { return Admission::accepted; });
    EXPECT_TRUE(opened) << opened.failure().message;
    if (!opened) return;
    _endpoint = std::move(*opened);
    _thread = std::thread([this] { _endpoint->run(); });
  }
  ~RunningEndpoint() {
    if (!_endpoint) return;
    _endpoint->stop();
    _thread.join();
  }

  ProviderEndpoint* operator->() { return _endpoint.get(); }

 private:
  std::unique_ptr<ProviderEndpoint> _endpoint;
  std::thread _thread;
};

json attack(int port, const std::vector<std::string>& args) {
  std::vector<std::string> all = {sourcePath("tests/integration/endpoint_attack.py"),
                                  std::to_string(port)};
  all.insert(all.end(), args.begin(), args.end());
  HostProcess attacker("/usr/bin/python3", all);
  const HostResult result = attacker.wait(120s);
  EXPECT_EQ(result.status, 0) << result.err;
  return json::parse(result.out, nullptr, false);
}

ProviderEndpoint::Limits smallLimits() {
  return {.connections = 40,
          .handshake = 400ms,
          .idle = 800ms,
          .stream = 1000ms,
          .connectionBytes = 128 << 10,
          .totalBytes = 2 << 20,
          .unsentBytes = 16 << 10,
          .invalidTokens = 3};
}

// One row per attack family: what the endpoint must have done to the attackers, and a fresh
// push answered (200) each time one was tried while they held on.
TEST(EndpointLimits, HostileClientsAreClosedOrRefusedWhileFreshPushesAreAnswered) {
  const auto allClosed = [](const json& got) { return got["closed"] == got["opened"]; };
  const struct {
    std::vector<std::string> args;
    std::function<bool(const json&)> held;
  } cases[] = {
      // More than the cap, idle after their SETTINGS: the longest idle make room, the rest
      // time out.
      {{"idle", "--connections", "60", "--hold", "3"}, allClosed},
      // Stuck in the preface, or trickling it a byte a second: never established.
      {{"hello", "--connections", "60", "--hold", "2"}, allClosed},
      {{"trickle", "--connections", "60", "--hold", "3", "--trickle", "1"}, allClosed},
      // Never-ending streams, each holding 16 KB of headers from 8 bytes on the wire: refused
      // past the budgets, and reset at the stream limit.
      {{"streams", "--connections", "30", "--streams", "50", "--hold", "2"},
       [](const json& got) { return got["refused"] > 0 && got["reset"] > 0; }},
      // Invalid provider tokens: told to go after the third.
      {{"forged", "--streams", "10", "--token", "forged", "--hold", "2"},
       [](const json& got) { return got["goaway"] == 1 && got["closed"] == 1; }},
      // Tokens slow to judge: judged off the loop, so a known token is answered meanwhile.
      {{"slowtoken", "--streams", "3", "--hold", "2"},
       [](const json& got) {
         // Each slow one is answered, or reset once it outlives the stream limit.
         return got["slow_answered_before_fresh"] == 0 &&
                got["answered"].get<int>() + got["reset"].get<int>() == 3;
       }},
      // Clients that never read their answers, past the cap.
      {{"noread", "--connections", "60", "--streams", "2000", "--hold", "3"},
       [](const json&) { return true; }},
  };
  for (const auto& c : cases) {
    RunningEndpoint endpoint(smallLimits());
    const json got = attack(endpoint->port(), c.args);
    const bool freshAnswered =
        got["fresh"].is_array() && !got["fresh"].empty() &&
        std::ranges::none_of(got["fresh"], [](const json& seconds) { return seconds.is_null(); });
    EXPECT_TRUE(c.held(got) && freshAnswered) << c.args[0] << ": " << got.dump();
    // What the attackers held is given back once they have gone.
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(endpoint->counts().heldBytes, 256u << 10) << c.args[0];
  }
}

// Requests the judge refuses for what the endpoint reads of them: a HEAD's answer has no
// body; a provider token too large to keep is refused, not the connection closed; bytes after
// a NUL are not ignored. And a burst in one write, taken over several turns, is all answered.
TEST(EndpointLimits, OddRequestsAreAnsweredOnTheirStreams) {
  RunningEndpoint endpoint(ProviderEndpoint::Limits{});
  const json burst = attack(endpoint->port(), {"burst", "--streams", "190", "--hold", "1"});
  EXPECT_EQ(std::tuple(burst["answered"], burst["refused"], burst["reset"]), std::tuple(190, 0, 0))
      << burst.dump();
  EXPECT_EQ(attack(endpoint->port(), {"probes"}), json::parse(R"({"head": [405, ""],
              "huge_authorization": [403, "{\"reason\":\"InvalidProviderToken\"}"],
              "nul_then_junk": [400, "{\"reason\":\"BadPayload\",\"description\":\"the payload is not valid JSON: a NUL byte at offset 21\"}"]})"));
}

// A session that cannot be made (its allocations exceed the budget) closes its connection
// and only that; the loop goes on serving. Under ASan this is where a connection used after
// its close would show.
TEST(EndpointLimits, ASessionThatCannotBeMadeClosesItsConnectionAlone) {
  RunningEndpoint endpoint({.totalBytes = 1024});
  for (int i = 0; i < 3; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(endpoint->port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    ASSERT_EQ(::send(fd, preface.data(), preface.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(preface.size()));
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // closed, not left hanging
    ::close(fd);
  }
  EXPECT_EQ(endpoint->counts().open, 0u);
}

}  // namespace
}  // namespace corvanta::testing
