// The real URL loader against a local origin: what a completion is handed, and when.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/url_loading/CurlEngine.h"
#include "platform/url_loading/NSURLError.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestOrigin.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Request = httplib::Request;
using Response = httplib::Response;
using testing::pattern;

// Long enough that the origin, which compresses text but not binary, sends it compressed.
const std::string kMissingPage = "no such page" + std::string(1000, '.');

struct Outcome {
  std::shared_ptr<NSData> data;
  std::shared_ptr<NSURLResponse> response;
  std::shared_ptr<NSError> error;
  std::string body() const { return data ? std::string(data->bytes()) : "<no data>"; }
  std::string message() const { return error ? error->localizedDescription() : ""; }
};

// Runs one task per URL, each on a session of its own, and waits up to `wait` for them all;
// a task not done by then has an empty outcome.
std::vector<Outcome> fetchAll(const std::vector<std::string>& urls,
                              const NSURLSessionConfiguration& settings,
                              Clock::duration wait = 60s) {
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Outcome> outcomes;
    std::size_t finished = 0;
  };
  auto state = std::make_shared<State>();
  state->outcomes.resize(urls.size());
  const auto configuration = std::make_shared<NSURLSessionConfiguration>(settings);
  for (std::size_t i = 0; i < urls.size(); ++i) {
    auto completion = [state, i](auto data, auto response, auto error) {
      std::lock_guard lock(state->mutex);
      state->outcomes[i] = {data, response, error};
      if (++state->finished == state->outcomes.size()) state->done.notify_all();
    };
    NSURLSession::sessionWithConfiguration(configuration)
        ->dataTaskWithURL(NSURL::URLWithString(urls[i]), completion)
        ->resume();
  }
  std::unique_lock lock(state->mutex);
  state->done.wait_for(lock, wait, [&] { return state->finished == urls.size(); });
  return state->outcomes;
}

// Runs one task and waits for its completion; "" stands for no URL.
Outcome fetch(const std::string& text, double requestTimeout = 60, int redirects = 20) {
  NSURLSessionConfiguration settings;
  settings.timeoutIntervalForRequest = requestTimeout;
  settings.HTTPMaximumRedirects = redirects;
  return fetchAll({text}, settings).front();
}

// A failure hands over an error naming its cause, and nothing else.
void expectFailure(const Outcome& outcome, long code, const std::string& cause = "") {
  ASSERT_NE(outcome.error, nullptr) << outcome.body();
  EXPECT_EQ(outcome.error->code(), code) << outcome.message();
  EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
  EXPECT_NE(outcome.message().find(cause), std::string::npos) << outcome.message();
  EXPECT_EQ(outcome.data, nullptr);
  EXPECT_EQ(outcome.response, nullptr);
}

struct Origin {
  std::atomic<bool> released{false};  // set first on destruction, so a stalled handler ends
  std::atomic<long long> sent{0};
  testing::TestOrigin server{[this](httplib::Server& s) { routes(s); }};
  ~Origin() { released = true; }
  std::string url(const std::string& path) const { return server.url(path); }

  void routes(httplib::Server& s) {
    // One request per connection: no worker idles on a kept-alive one, so thousands are
    // served quickly and the origin stops at once. The keep-alive timeout also bounds the
    // wait for a connection's first request, which under that load can be long.
    s.set_keep_alive_max_count(1);
    s.set_keep_alive_timeout(30);
    s.Get("/missing", [](const Request&, Response& res) {
      res.status = 404;
      res.set_content(kMissingPage, "text/plain");
    });
    s.Get(R"(/echo/.*)",
          [](const Request& req, Response& res) { res.set_content(req.target, "text/plain"); });
    s.Get(R"(/n/(\d+))", [](const Request& req, Response& res) {
      res.set_content(req.matches[1].str(), "Application/Octet-Stream; name=x");
    });
    s.Get(R"(/pattern/(\d+))", [](const Request& req, Response& res) {
      res.set_content(pattern(std::stoull(req.matches[1].str())), "application/octet-stream");
    });
    for (auto [from, to] : {std::pair{"/hop/2", "/hop/1"},
                            {"/hop/1", "/n/0123456789"},
                            {"/loop", "/loop"},
                            {"/to-file", "file:///etc/passwd"}}) {
      s.Get(from, [to](const Request&, Response& res) { res.set_redirect(to); });
    }
    // One byte of a longer body, then the connection closes, at once or once released.
    s.Get(R"(/(cut|stall))", [this](const Request& req, Response& res) {
      const bool stall = req.matches[1] == "stall";
      res.set_content_provider(10, "", [this, stall](size_t at, size_t, httplib::DataSink& out) {
        while (stall && at > 0 && !released) std::this_thread::sleep_for(1ms);
        return at == 0 && out.write("x", 1);
      });
    });
    // `/declared/N` sends N bytes with their length; `/chunked/N` without, so the client counts.
    s.Get(R"(/(declared|chunked)/(\d+))", [this](const Request& req, Response& res) {
      const size_t length = std::stoull(req.matches[2].str());
      auto body = [this, length](size_t offset, httplib::DataSink& sink) {
        static const std::string chunk(64 * 1024, 'b');
        const auto size = std::min(chunk.size(), length - offset);
        sent += static_cast<long long>(size);
        return size == 0 ? (sink.done(), true) : sink.write(chunk.data(), size);
      };
      if (req.matches[1] == "chunked") return res.set_chunked_content_provider("", body);
      res.set_content_provider(length, "", [body](size_t offset, size_t, httplib::DataSink& sink) {
        return body(offset, sink);
      });
    });
  }
};

TEST(URLLoading, HandsOverTheFinalResponseAndTheWholeBodyForAnyStatus) {
  Origin origin;
  const std::string digits = "0123456789", n = "/n/" + digits, binary = "application/octet-stream";
  const struct {
    std::string path;
    long status;
    std::string body, type, last;
  } cases[] = {
      {n, 200, digits, binary, n},
      {"/missing", 404, kMissingPage, "text/plain", "/missing"},
      {"/hop/2", 200, digits, binary, n},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto got = fetch(origin.url(c.path));
    EXPECT_EQ(got.error, nullptr) << got.message();
    EXPECT_EQ(got.body(), c.body);
    ASSERT_NE(got.response, nullptr);
    EXPECT_EQ(got.response->statusCode(), c.status);
    EXPECT_EQ(got.response->MIMEType(), c.type);
    const long long sent = got.response->expectedContentLength(), size = std::ssize(c.body);
    EXPECT_TRUE(c.type == binary ? sent == size : sent < size) << sent;  // handed over decoded
    EXPECT_EQ(got.response->URL()->absoluteString(), origin.url(c.last));
  }
  EXPECT_EQ(fetch(origin.url("/hop/1"), 60, 1).body(), digits);  // a redirect limit of one
  // The request goes out as parsed: dot segments stay, escapes are not decoded.
  EXPECT_EQ(fetch(origin.url("/echo/./a/../b%2Fc")).body(), "/echo/./a/../b%2Fc");
}

TEST(URLLoading, FailsWithACodeThatNamesTheCause) {
  Origin origin;
  const struct {
    std::string url;
    long code;
    std::string cause;
  } cases[] = {
      {"", NSURLErrorBadURL, ""},
      {"file:///etc/passwd", NSURLErrorUnsupportedURL, "file:///etc/passwd"},
      {origin.url("/loop"), NSURLErrorHTTPTooManyRedirects, "more than 20"},
      {origin.url("/to-file"), NSURLErrorUnsupportedURL, "file"},
      {origin.url("/cut"), NSURLErrorNetworkConnectionLost, "127.0.0.1"},
      {"http://127.0.0.1:1/", NSURLErrorCannotConnectToHost, "127.0.0.1:1: Connection refused"},
      {"http://no-such-host.invalid/", NSURLErrorCannotFindHost, "no-such-host.invalid"},
      {"https://127.0.0.1:" + std::to_string(origin.server.port()) + "/",
       NSURLErrorSecureConnectionFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    expectFailure(fetch(c.url), c.code, c.cause);
  }
  expectFailure(fetch(origin.url("/hop/2"), 60, 1), NSURLErrorHTTPTooManyRedirects);
  // Nothing after the first byte: the request timeout ends it long before the server would.
  const auto began = Clock::now();
  expectFailure(fetch(origin.url("/stall"), 0.5), NSURLErrorTimedOut, "nothing received for 0.5 s");
  EXPECT_LT(Clock::now() - began, 4s);
}

TEST(URLLoading, ABodyOverTheLimitFailsAsSoonAsThatIsKnown) {
  Origin origin;
  const auto most = kMaximumBodyBytes;
  expectFailure(fetch(origin.url("/declared/" + std::to_string(most + 1))),
                NSURLErrorDataLengthExceedsMaximum);
  EXPECT_LT(origin.sent.exchange(0), 20'000'000);  // stopped at the header, not the body
  expectFailure(fetch(origin.url("/chunked/" + std::to_string(4 * most))),
                NSURLErrorDataLengthExceedsMaximum);
  EXPECT_LT(origin.sent.load(), 2 * most);
  const auto exact = fetch(origin.url("/chunked/" + std::to_string(most)));
  ASSERT_NE(exact.data, nullptr) << exact.message();
  EXPECT_EQ(exact.data->length(), static_cast<size_t>(most));
}

TEST(URLLoading, TenThousandAtOnceCompleteOnceOffTheLoadingThreadAndFreeTheirSessions) {
  Origin origin;
  constexpr int kTasks = 10'000;
  auto threadCount = [] {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return std::distance(begin(tasks), end(tasks));
  };
  EXPECT_EQ(fetch(origin.url("/n/0")).body(), "0");  // every thread of engine and origin is up
  const auto threadsBefore = threadCount();
  std::mutex mutex;
  std::vector<int> calls(kTasks);
  std::set<std::thread::id> threads;
  std::atomic<int> completed{0};
  int wrong = 0;
  std::vector<std::weak_ptr<NSURLSession>> sessions;
  for (int i = 0; i < kTasks; ++i) {
    auto session = NSURLSession::sessionWithConfiguration(nullptr);
    sessions.push_back(session);
    // Every hundredth has no URL, so fails without reaching the loading thread.
    const bool none = i % 100 == 0;
    auto url = none ? nullptr : NSURL::URLWithString(origin.url("/n/" + std::to_string(i)));
    auto completion = [&, i, none](auto data, auto, auto error) {
      std::lock_guard lock(mutex);
      wrong += none ? !error : !data || data->bytes() != std::to_string(i);
      completed += ++calls[i] == 1;
      threads.insert(std::this_thread::get_id());
    };
    session->dataTaskWithURL(url, completion)->resume();
  }
  auto alive = [&] {
    return std::count_if(sessions.begin(), sessions.end(), [](auto& s) { return !s.expired(); });
  };
  auto mostThreads = threadsBefore;
  for (auto until = Clock::now() + 60s; (completed < kTasks || alive()) && Clock::now() < until;) {
    std::this_thread::sleep_for(20ms);
    mostThreads = std::max(mostThreads, threadCount());
  }
  std::this_thread::sleep_for(100ms);  // time for a second call, were there one
  std::lock_guard lock(mutex);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), 1), kTasks);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(alive(), 0);
  EXPECT_EQ(mostThreads, threadsBefore);
  EXPECT_LE(threads.size(), 2u);
  EXPECT_FALSE(threads.count(std::this_thread::get_id()));  // never inside resume()
  EXPECT_FALSE(threads.count(dynamic_cast<CurlEngine&>(URLLoader::Default()).loadingThreadId()));
}

// An origin that keeps connections alive and counts those it accepted (by the client's
// port); `/stall` answers nothing until the origin goes.
struct CountingOrigin {
  std::atomic<bool> released{false};
  std::atomic<int> served{0};
  std::mutex mutex;
  std::set<int> clientPorts;
  testing::TestOrigin server{[this](httplib::Server& s) {
    s.set_keep_alive_max_count(1'000'000);
    s.Get(R"(/n/(\d+))", [this](const Request& req, Response& res) {
      {
        std::lock_guard lock(mutex);
        clientPorts.insert(req.remote_port);
      }
      std::this_thread::sleep_for(2ms);  // so that requests overlap
      res.set_content(req.matches[1].str(), "text/plain");
      ++served;
    });
    s.Get("/stall", [this](const Request&, Response& res) {
      while (!released) std::this_thread::sleep_for(5ms);
      res.set_content("late", "text/plain");
    });
  }};
  ~CountingOrigin() { released = true; }

  std::size_t connections() {
    std::lock_guard lock(mutex);
    return clientPorts.size();
  }
  std::vector<std::string> urls(int count) const {
    std::vector<std::string> all;
    for (int i = 0; i < count; ++i) all.push_back(server.url("/n/" + std::to_string(i)));
    return all;
  }
};

TEST(ConnectionPool, TransfersBeyondTheCapPerHostWaitForAKeptAliveConnection) {
  const struct {
    int cap, tasks;  // cap 0: the default
    std::size_t most;
  } cases[] = {{0, 100, 8}, {2, 40, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cap);
    CountingOrigin origin;  // a new port, so a new host to the pool
    NSURLSessionConfiguration settings;
    if (c.cap) settings.HTTPMaximumConnectionsPerHost = c.cap;
    const auto outcomes = fetchAll(origin.urls(c.tasks), settings);
    for (int i = 0; i < c.tasks; ++i) EXPECT_EQ(outcomes[i].body(), std::to_string(i)) << i;
    EXPECT_GE(origin.connections(), 1u);
    EXPECT_LE(origin.connections(), c.most);
  }
}

// With few connections in all, a host that never answers must still leave room for others.
TEST(ConnectionPool, AStalledHostDoesNotHoldUpAnother) {
  CountingOrigin stalled, healthy;
  CurlEngine engine(/*connectionLimit=*/16);
  ScopedBackend<URLLoader> useEngine(engine);
  const std::vector<std::string> stalls(40, stalled.server.url("/stall"));
  fetchAll(stalls, NSURLSessionConfiguration(), 1s);  // gives up waiting, they go on
  const auto outcomes = fetchAll(healthy.urls(10), NSURLSessionConfiguration(), 30s);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(outcomes[i].body(), std::to_string(i)) << i;
}

// Cancelling a request's work ends its transfers at once, running or still queued, each
// completion running once with NSURLErrorCancelled.
TEST(ConnectionPool, CancellingARequestEndsItsRunningAndWaitingTransfers) {
  CountingOrigin stalled;
  const auto settings = std::make_shared<NSURLSessionConfiguration>();
  settings->HTTPMaximumConnectionsPerHost = 1;  // one runs, the others wait
  const auto activity = std::make_shared<RequestActivity>();
  std::vector<std::future<long>> codes;
  {
    const RequestActivity::Scope serving(activity);
    for (int i = 0; i < 4; ++i) {
      auto done = std::make_shared<std::promise<long>>();
      codes.push_back(done->get_future());
      NSURLSession::sessionWithConfiguration(settings)
          ->dataTaskWithURL(
              NSURL::URLWithString(stalled.server.url("/stall")),
              [done](auto, auto, auto error) { done->set_value(error ? error->code() : 0); })
          ->resume();
    }
  }
  std::this_thread::sleep_for(200ms);  // the first is on the wire
  activity->cancel();
  for (auto& code : codes) {
    ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(code.get(), NSURLErrorCancelled);
  }
}

// Completions that cannot keep up hold loading back, so downloaded bodies do not pile up.
TEST(ConnectionPool, LoadingWaitsWhileCompletionsBackUp) {
  CountingOrigin origin;
  constexpr int kTasks = 300;
  auto release = std::make_shared<std::promise<void>>();
  auto released = release->get_future().share();
  auto finished = std::make_shared<std::atomic<int>>(0);
  for (const auto& url : origin.urls(kTasks)) {
    NSURLSession::sessionWithConfiguration(nullptr)
        ->dataTaskWithURL(NSURL::URLWithString(url),
                          [released, finished](auto data, auto, auto) {
                            released.wait();
                            *finished += data != nullptr;
                          })
        ->resume();
  }
  for (int last = -1; last != origin.served;) {  // until loading has stopped
    last = origin.served;
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_GE(origin.served, CurlEngine::kMostCompletionsWaiting);
  EXPECT_LE(origin.served, CurlEngine::kMostCompletionsWaiting + 2 * 8);
  release->set_value();
  for (auto until = Clock::now() + 60s; *finished < kTasks && Clock::now() < until;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(*finished, kTasks);
}

TEST(URLLoading, ALargeBodyArrivesWholeInAnUnnamedFileAndIsPlacedAsIs) {
  Origin origin;
  testing::ScratchDirectory temporary, out;
  WithTemporaryDirectory scratchTemporary(FileSystem::Default(), temporary.path());
  ScopedBackend<FileSystem> useScratch(scratchTemporary);
  const struct {
    std::string path, body;
    bool inFile;
  } cases[] = {
      {"/pattern/3000000", pattern(3'000'000), true},        // known large from its length
      {"/chunked/300000", std::string(300'000, 'b'), true},  // found large on the way
      {"/pattern/1000", pattern(1000), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto got = fetch(origin.url(c.path));
    ASSERT_NE(got.data, nullptr) << got.message();
    EXPECT_EQ(got.data->isFileBacked(), c.inFile);
    EXPECT_TRUE(got.body() == c.body) << got.data->length();
    const auto target = NSURL::URLWithString("file://" + out.path() + "placed");
    ASSERT_TRUE(got.data->writeToURL(target, /*atomically=*/true));
    EXPECT_TRUE(out.read("placed") == c.body);
  }
  auto entries = [](const std::string& path) {
    return std::distance(std::filesystem::directory_iterator(path), {});
  };
  EXPECT_EQ(entries(temporary.path()), 0);
  EXPECT_EQ(entries(out.path()), 1);
}

// A port on 127.0.0.1 that was free a moment ago.
int freePort() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(probe);
  return ntohs(address.sin_port);
}

// nghttpd, an HTTP/2 server over TLS, with a certificate from an authority of the test's own;
// its log names each connection "[id=N]".
TEST(URLLoading, HTTPSTrustsTheAuthorityItIsGivenAndSharesOneHTTP2Connection) {
  if (std::system("command -v nghttpd >/dev/null && command -v openssl >/dev/null") != 0) {
    GTEST_SKIP() << "needs nghttpd (nghttp2-server) and openssl";
  }
  testing::ScratchDirectory dir;
  const std::string d = dir.path(), ca = d + "ca.pem";
  const std::string makeCertificates =
      "cd " + d + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 " +
      "-nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestAuthority && " +
      "openssl req -x509 -CA ca.pem -CAkey ca.key -newkey ec -pkeyopt " +
      "ec_paramgen_curve:prime256v1 -nodes -keyout key.pem -out cert.pem -days 2 " +
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -addext "
      "basicConstraints=CA:FALSE";
  ASSERT_EQ(std::system((makeCertificates + " 2>/dev/null").c_str()), 0);
  std::filesystem::create_directory(d + "docs");
  for (int i = 0; i < 20; ++i) dir.write("docs/n" + std::to_string(i), std::to_string(i));
  const int port = freePort();
  testing::HostProcess server(
      "/bin/sh", {"-c", "exec nghttpd -v -a 127.0.0.1 -d " + d + "docs " + std::to_string(port) +
                            " " + d + "key.pem " + d + "cert.pem >" + d + "log 2>&1"});
  const std::string origin = "https://127.0.0.1:" + std::to_string(port) + "/";
  // Any outcome but a refused connection, even a refused certificate, says the server is up.
  auto refused = [&] {
    const auto got = fetch(origin + "n7");
    return got.error && got.error->code() == NSURLErrorCannotConnectToHost;
  };
  for (int i = 0; i < 500 && refused(); ++i) std::this_thread::sleep_for(10ms);
  auto connections = [&] {
    const std::string log = dir.read("log");
    std::set<std::string> ids;
    const std::regex id(R"(\[id=\d+\])");
    for (std::sregex_iterator at(log.begin(), log.end(), id), end; at != end; ++at) {
      ids.insert(at->str());
    }
    return ids.size();
  };

  const char* savedEnvironment = std::getenv("SSL_CERT_FILE");
  const std::string saved = savedEnvironment ? savedEnvironment : "";
  // The file set for the process, $SSL_CERT_FILE ("" for unset), the failure (0 for none).
  const struct {
    std::string set, environment;
    long code;
  } cases[] = {
      {"", "", NSURLErrorServerCertificateUntrusted},
      {d + "missing.pem", "", NSURLErrorSecureConnectionFailed},
      {"", ca, 0},
      {ca, d + "missing.pem", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set + " " + c.environment);
    c.environment.empty() ? ::unsetenv("SSL_CERT_FILE")
                          : ::setenv("SSL_CERT_FILE", c.environment.c_str(), 1);
    setCertificateAuthorityFile(c.set);
    const auto got = fetch(origin + "n7");
    if (c.code) {
      expectFailure(got, c.code);
    } else {
      EXPECT_EQ(got.body(), "7") << got.message();
    }
  }

  // Transfers started together to a host not yet connected to (by another name) wait for
  // the one connection and share it.
  const auto before = connections();
  std::vector<std::string> urls;
  for (int i = 0; i < 20; ++i) {
    urls.push_back("https://localhost:" + std::to_string(port) + "/n" + std::to_string(i));
  }
  const auto outcomes = fetchAll(urls, NSURLSessionConfiguration());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(outcomes[i].body(), std::to_string(i)) << i;
  EXPECT_LE(connections() - before, 1u);
  saved.empty() ? ::unsetenv("SSL_CERT_FILE") : ::setenv("SSL_CERT_FILE", saved.c_str(), 1);
  setCertificateAuthorityFile("");
}

}  // namespace
}  // namespace corvanta
