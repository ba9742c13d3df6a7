// The live page's API through the built binary: pushes sent over HTTP/2 as a backend sends
// them, then asked about over HTTP/1.1 as a backend's test asks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/HostProcess.h"
#include "support/PushClient.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kDevice(64, 'a');

// The address after `marker` in the host's standard error, up to the next space or "/".
std::string addressAfter(HostProcess& host, const std::string& marker) {
  const auto said = host.waitForError(marker, 10s);
  if (!said) return "";
  std::string address = said->substr(said->find(marker) + marker.size());
  return address.substr(0, address.find_first_of(" /\n"));
}

int portOf(const std::string& address) {
  return std::stoi(address.substr(address.rfind(':') + 1));
}

// One push over cleartext HTTP/2 with prior knowledge, as the endpoint's --h2c takes it.
PushAnswer push(const std::string& endpoint, const std::string& body,
                const std::vector<std::string>& headers = {}) {
  return sendPushes("http://" + endpoint, "", {{kDevice, headers, body}}).front();
}

// GET /api/events read on a connection and a thread of its own, from construction until
// destruction, which closes the connection.
class EventStream {
 public:
  explicit EventStream(int port) : _socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      [[maybe_unused]] auto sent = ::send(_socket, request.data(), request.size(), MSG_NOSIGNAL);
    }
    _thread = std::thread([this] {
      char buffer[4096];
      for (ssize_t got; (got = ::recv(_socket, buffer, sizeof buffer, 0)) > 0;) {
        const std::lock_guard lock(_mutex);
        _text.append(buffer, static_cast<std::size_t>(got));
        _changed.notify_all();
      }
      const std::lock_guard lock(_mutex);
      _ended = true;
      _changed.notify_all();
    });
  }
  ~EventStream() {
    ::shutdown(_socket, SHUT_RDWR);
    _thread.join();
    ::close(_socket);
  }

  bool waitFor(const std::string& part, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] {
      return _text.find(part) != std::string::npos || _ended;
    }) && _text.find(part) != std::string::npos;
  }
  // Waits for the stream's first bytes, which say it is open (or refused).
  std::string opening() {
    waitFor("\r\n\r\n");
    const std::lock_guard lock(_mutex);
    return _text.substr(0, _text.find("\r\n"));
  }
  std::string text() {
    const std::lock_guard lock(_mutex);
    return _text;
  }

 private:
  int _socket;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::string _text;
  bool _ended = false;
  std::thread _thread;
};

class LiveAPITest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--listen", "127.0.0.1:0", "--h2c", "--ui", "127.0.0.1:0",
                             "--container", scratch.path() + "container", "--time-limit", "2"});
    host = std::make_unique<HostProcess>(kHostBinary, args);
    endpoint = addressAfter(*host, "listening on http://");
    const std::string ui = addressAfter(*host, "live page at http://");
    ASSERT_FALSE(ui.empty()) << host->wait().err;
    api = std::make_unique<httplib::Client>("127.0.0.1", portOf(ui));
    api->set_read_timeout(10);
    port = portOf(ui);
  }

  json get(const std::string& path, int status = 200) {
    const auto answer = api->Get(path.c_str());
    EXPECT_TRUE(answer) << path;
    if (!answer) return nullptr;
    EXPECT_EQ(answer->status, status) << path << ": " << answer->body;
    return json::parse(answer->body, nullptr, false);
  }

  ScratchDirectory scratch;
  std::unique_ptr<HostProcess> host;
  std::string endpoint;
  int port = 0;
  std::unique_ptr<httplib::Client> api;
};

// The path a backend's test takes: wait on the events for the push's delivery, then read what
// the phone showed, by the apns-id the push was answered with, and its media's bytes.
TEST_F(LiveAPITest, APushIsToldAsAnEventThenItsStoryAndMediaAreServedByItsId) {
  const TestOrigin origin(servePicture);
  start();
  EventStream events(port);
  ASSERT_EQ(events.opening(), "HTTP/1.1 200 OK");
  const PushAnswer sent = push(endpoint,
                               R"({"aps":{"alert":{"title":"Photo"},"mutable-content":1},)"
                               R"("att_url":")" +
                                   origin.url("/pic.png") + "\"}",
                               {"apns-collapse-id: album"});
  ASSERT_EQ(sent.status, 200) << sent.body;
  ASSERT_TRUE(events.waitFor("event: delivery\ndata: {")) << events.text();
  EXPECT_NE(events.text().find("\"identifier\":\"" + sent.apnsId + "\""), std::string::npos);

  const json story = get("/api/requests/" + sent.apnsId);
  EXPECT_EQ(story["outcome"], "attached") << story.dump(1);
  EXPECT_EQ(story["push"]["device"], kDevice);
  EXPECT_EQ(story["push"]["collapseId"], "album");
  EXPECT_EQ(story["payload"]["aps"]["alert"]["title"], "Photo");
  ASSERT_EQ(story["deliveries"].size(), 1u);
  EXPECT_TRUE(story["deliveries"][0]["displayed"].get<bool>());
  EXPECT_EQ(get("/api/requests/" + story["id"].dump())["identifier"], sent.apnsId);

  const auto media = api->Get(story["attachment"]["url"].get<std::string>().c_str());
  ASSERT_TRUE(media);
  EXPECT_EQ(media->status, 200);
  EXPECT_EQ(media->get_header_value("Content-Type"), "image/png");
  EXPECT_TRUE(media->body == testing::media("pic.png")) << media->body.size() << " bytes";

  // The filters: one match, then none, then a filter refused.
  EXPECT_EQ(get("/api/requests?device=" + kDevice + "&outcome=attached").size(), 1u);
  EXPECT_EQ(get("/api/requests?outcome=not%20shown").size(), 0u);
  EXPECT_EQ(get("/api/requests?since=" + std::to_string(story["arrivedMs"].get<long>() + 1)).size(),
            0u);
  EXPECT_EQ(get("/api/requests?outcome=lost", 400)["error"],
            "outcome must be attached, without attachment, not shown, refused or pending");
  EXPECT_EQ(get("/api/requests?limit=0", 400).count("error"), 1u);
  EXPECT_EQ(get("/api/requests/nothing-here", 404).count("error"), 1u);
  const auto posted = api->Post("/api/requests", "", "application/json");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 405);
  EXPECT_EQ(posted->get_header_value("Allow"), "GET, DELETE");
}

// A refused push is kept apart from the requests, and DELETE starts a test from clean, told
// to the streams as well.
TEST_F(LiveAPITest, RefusalsAreListedAndDeleteClearsEverything) {
  start();
  EventStream events(port);
  ASSERT_EQ(events.opening(), "HTTP/1.1 200 OK");
  ASSERT_EQ(push(endpoint, kHi).status, 200);
  ASSERT_EQ(push(endpoint, kHi, {"apns-priority: 7"}).status, 400);
  ASSERT_TRUE(events.waitFor("event: refusal\n")) << events.text();
  ASSERT_TRUE(events.waitFor("event: delivery\n")) << events.text();

  const json refused = get("/api/refused");
  ASSERT_EQ(refused.size(), 1u) << refused.dump(1);
  EXPECT_EQ(std::tuple(refused[0]["status"], refused[0]["reason"], refused[0]["push"]["device"]),
            std::tuple(json(400), json("BadPriority"), json(kDevice)));
  EXPECT_EQ(get("/api/refused?outcome=attached").size(), 0u);
  EXPECT_EQ(get("/api/requests").size(), 1u);

  const auto deleted = api->Delete("/api/requests");
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 204);
  EXPECT_EQ(get("/api/requests").size(), 0u);
  EXPECT_EQ(get("/api/refused").size(), 0u);
  EXPECT_TRUE(events.waitFor("event: cleared\ndata: {\"id\":0}\n\n")) << events.text();

  // Every answer, an error's included, forbids scripts but the host's own.
  const auto missing = api->Get("/no/such/page");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(json::parse(missing->body)["error"], "no route /no/such/page");
  EXPECT_NE(missing->get_header_value("Content-Security-Policy").find("script-src 'self'"),
            std::string::npos);
  EXPECT_EQ(missing->get_header_value("X-Content-Type-Options"), "nosniff");
}

// Streams hold a thread each, so their number is capped; one that goes frees its place.
TEST_F(LiveAPITest, EventStreamsBeyondTheCapAreAnswered503UntilOneCloses) {
  start();
  std::vector<std::unique_ptr<EventStream>> open;
  for (int i = 0; i < 8; ++i) {
    open.push_back(std::make_unique<EventStream>(port));
    ASSERT_EQ(open.back()->opening(), "HTTP/1.1 200 OK") << i;
  }
  EXPECT_EQ(EventStream(port).opening(), "HTTP/1.1 503 Service Unavailable");
  // The page and the API keep threads of their own.
  EXPECT_EQ(get("/api/requests").size(), 0u);
  open.pop_back();
  bool reopened = false;  // the server notices the closed stream at its next write
  for (int i = 0; i < 100 && !reopened; ++i) {
    reopened = EventStream(port).opening() == "HTTP/1.1 200 OK";
    if (!reopened) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(reopened);
}

// Its address rules are among HostInputTest's usage errors.
TEST(LiveOptionsTest, TheUIOutlivesAFileRunUntilSignalled) {
  ScratchDirectory scratch;
  const std::string container = scratch.path() + "container";
  HostProcess host(kHostBinary, {"--ui", "127.0.0.1:0", "--container", container, "--time-limit",
                                 "2", "--quiet"});
  host.write("{\"aps\":{\"alert\":\"From a file\"}}\n");
  const std::string ui = addressAfter(host, "live page at http://");
  ASSERT_FALSE(ui.empty());
  host.closeInput();
  ASSERT_TRUE(host.waitForError(
      "input done; the live page stays at http://" + ui + "/ until interrupted", 10s));
  httplib::Client client("127.0.0.1", portOf(ui));
  const auto listed = client.Get("/api/requests");
  ASSERT_TRUE(listed);
  EXPECT_EQ(json::parse(listed->body)[0]["payload"]["aps"]["alert"], "From a file");
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait().status, 0);
}

}  // namespace
}  // namespace corvanta::testing
