// The real URL loader against local origins: what a completion is handed, and when.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <set>

#include "platform/extension_host/intake/EndpointCertificates.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/url_loading/CurlEngine.h"
#include "platform/url_loading/NSURLError.h"
#include "support/FakeClock.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using testing::pattern;

// Long enough that the origin, which compresses text but not binary, sends it compressed.
const std::string kMissingPage = "no such page" + std::string(1000, '.');

struct Outcome {
  std::shared_ptr<NSData> data;
  std::shared_ptr<NSURLResponse> response;
  std::shared_ptr<NSError> error;
  std::thread::id thread;  // that ran the completion
  std::string body() const { return data ? std::string(data->bytes()) : "<no data>"; }
  long code() const { return error ? error->code() : 0; }
  std::string message() const { return error ? error->localizedDescription() : ""; }
};

struct Batch {
  std::vector<std::shared_future<Outcome>> outcomes;
  std::vector<std::weak_ptr<NSURLSession>> sessions;

  // A task that never ends holds the test until its time limit.
  std::vector<Outcome> results() const {
    std::vector<Outcome> all;
    for (const auto& outcome : outcomes) all.push_back(outcome.get());
    return all;
  }
};

// A task per URL ("" for none); each completion waits for `gate` when one is given.
Batch start(const std::vector<std::string>& urls, const NSURLSessionConfiguration& settings = {},
            std::shared_future<void> gate = {}) {
  Batch batch;
  const auto configuration = std::make_shared<NSURLSessionConfiguration>(settings);
  for (const auto& url : urls) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    batch.outcomes.push_back(promise->get_future().share());
    auto completion = [promise, gate](auto data, auto response, auto error) {
      if (gate.valid()) gate.wait();
      // A second call throws here, which ends the test program.
      promise->set_value({data, response, error, std::this_thread::get_id()});
    };
    auto session = NSURLSession::sessionWithConfiguration(configuration);
    batch.sessions.push_back(session);
    session->dataTaskWithURL(NSURL::URLWithString(url), completion)->resume();
  }
  return batch;
}

Outcome fetch(const std::string& url, int redirects = 20) {
  NSURLSessionConfiguration settings;
  settings.HTTPMaximumRedirects = redirects;
  return start({url}, settings).results().front();
}

// A failure hands over an error naming its cause, and nothing else.
void expectFailure(const Outcome& got, long code, const std::string& cause = "") {
  ASSERT_NE(got.error, nullptr) << got.body();
  EXPECT_EQ(std::pair(got.error->domain(), got.code()),
            std::pair(std::string(NSURLErrorDomain), code));
  EXPECT_NE(got.message().find(cause), std::string::npos) << got.message();
  EXPECT_TRUE(!got.data && !got.response);
}

std::vector<std::string> numbered(const std::string& prefix, int count) {
  std::vector<std::string> all;
  for (int i = 0; i < count; ++i) all.push_back(prefix + std::to_string(i));
  return all;
}

// Each task's body is its index or, where `code` gives one, it failed with that code; stops
// at the first that is not.
void expectNumbered(const std::vector<Outcome>& outcomes,
                    const std::function<long(std::size_t)>& code = {}) {
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const long failure = code ? code(i) : 0;
    ASSERT_EQ(outcomes[i].code(), failure) << i << ": " << outcomes[i].message();
    ASSERT_EQ(outcomes[i].body(), failure ? "<no data>" : std::to_string(i)) << i;
  }
}

bool eventually(const std::function<bool()>& condition) {
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (!condition() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(2ms);
  return condition();
}

// One request per connection, so that no worker idles on a kept-alive one and thousands are
// served quickly; with `keepAlive`, as many as come. Connections are told by the client's port.
struct Origin {
  explicit Origin(bool keepAlive = false)
      : server([this, keepAlive](httplib::Server& s) { routes(s, keepAlive); }) {}
  ~Origin() { released = true; }  // first, so that every stalled handler ends
  std::string url(const std::string& path) const { return server.url(path); }

  std::atomic<bool> released{false};
  std::atomic<int> served{0};  // requests to /n/, /cut/ and /stall/
  std::atomic<long long> sent{0};
  std::mutex mutex;
  std::set<int> clientPorts;
  testing::TestOrigin server;

  void routes(httplib::Server& s, bool keepAlive) {
    // Kept alive, each answer would wait for the client's delayed ACK but for no-delay; else the
    // keep-alive timeout bounds the wait for the first request, long under thousands.
    keepAlive ? s.set_keep_alive_max_count(1'000'000).set_tcp_nodelay(true)
              : s.set_keep_alive_max_count(1).set_keep_alive_timeout(30);
    s.Get("/missing", [](const auto&, auto& res) {
      res.status = 404;
      res.set_content(kMissingPage, "text/plain");
    });
    // `/n/<text>` answers <text> as the request line has it.
    s.Get("/n/.*", [this](const auto& req, auto& res) {
      std::lock_guard lock(mutex);
      clientPorts.insert(req.remote_port);
      ++served;
      res.set_content(req.target.substr(3), "Application/Octet-Stream; name=x");
    });
    s.Get(R"(/pattern/(\d+))", [](const auto& req, auto& res) {
      res.set_content(pattern(std::stoull(req.matches[1])), "application/octet-stream");
    });
    // `/hop/N` redirects N times, the last time to /n/0123456789.
    s.Get(R"(/hop/(\d+))", [](const auto& req, auto& res) {
      const int left = std::stoi(req.matches[1]) - 1;
      res.set_redirect(left ? "/hop/" + std::to_string(left) : "/n/0123456789");
    });
    s.Get("/to-file", [](const auto&, auto& res) { res.set_redirect("file:///etc/passwd"); });
    // `/cut/N` and `/stall/N` declare N bytes and send one, then close at once or once released.
    s.Get(R"(/(cut|stall)/(\d+))", [this](const auto& req, auto& res) {
      const bool stall = req.matches[1] == "stall";
      const auto declared = std::stoull(req.matches[2]);
      ++served;
      res.set_content_provider(declared, "", [this, stall](size_t at, size_t, auto& out) {
        while (stall && at > 0 && !released) std::this_thread::sleep_for(1ms);
        return at == 0 && out.write("x", 1);
      });
    });
    // N bytes without their length, so the client counts.
    s.Get(R"(/chunked/(\d+))", [this](const auto& req, auto& res) {
      const size_t length = std::stoull(req.matches[1]);
      res.set_chunked_content_provider("", [this, length](size_t offset, auto& sink) {
        static const std::string chunk(64 * 1024, 'b');
        const auto size = std::min(chunk.size(), length - offset);
        sent += static_cast<long long>(size);
        return size == 0 ? (sink.done(), true) : sink.write(chunk.data(), size);
      });
    });
  }
};

// A body past kLargestBodyInMemory comes in an unnamed temporary file, which leaves no trace
// (the soak places such bodies and compares their bytes).
TEST(URLLoading, HandsOverTheFinalResponseAndTheWholeBodyForAnyStatus) {
  Origin origin;
  testing::ScratchDirectory temporary;
  WithTemporaryDirectory scratchTemporary(FileSystem::Default(), temporary.path());
  ScopedBackend<FileSystem> useScratch(scratchTemporary);
  const std::string digits = "0123456789", n = "/n/" + digits, binary = "application/octet-stream";
  const std::string large = "/pattern/3000000", chunked = "/chunked/300000";
  // The path, the final one, the status, the MIME type, the body and whether it is in a file.
  const std::vector<std::tuple<std::string, std::string, long, std::string, std::string, bool>>
      cases = {
          {n, n, 200, binary, digits, false},
          {"/missing", "/missing", 404, "text/plain", kMissingPage, false},
          {"/hop/2", n, 200, binary, digits, false},
          {large, large, 200, binary, pattern(3'000'000), true},         // large by its length
          {chunked, chunked, 200, "", std::string(300'000, 'b'), true},  // found large on the way
          // The request goes out as parsed: dot segments stay, escapes are not decoded.
          {"/n/./a/../b%2Fc", "/n/./a/../b%2Fc", 200, binary, "./a/../b%2Fc", false},
      };
  for (const auto& [path, last, status, type, body, inFile] : cases) {
    SCOPED_TRACE(path);
    const auto got = fetch(origin.url(path));
    ASSERT_TRUE(got.data && got.response) << got.message();
    const auto& response = *got.response;
    // A compressed body announces fewer bytes than it hands over, a chunked one none.
    const long long sent = response.expectedContentLength(), size = std::ssize(body);
    EXPECT_TRUE(type == binary ? sent == size : sent < size) << sent;
    EXPECT_EQ(std::tuple(response.URL()->absoluteString(), response.statusCode(),
                         response.MIMEType(), got.data->isFileBacked()),
              std::tuple(origin.url(last), status, type, inFile));
    EXPECT_TRUE(got.body() == body) << got.data->length();
  }
  EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
  EXPECT_EQ(fetch(origin.url("/hop/1"), 1).body(), digits);  // a redirect limit of one
}

TEST(URLLoading, FailsWithACodeThatNamesTheCause) {
  Origin origin;
  testing::FakeClock clock;
  NSURLSessionConfiguration settings;
  settings.timeoutIntervalForRequest = 30;
  const auto stalled = start({origin.url("/stall/10")}, settings);
  const auto most = kMaximumBodyBytes;
  const auto tls = "https://127.0.0.1:" + std::to_string(origin.server.port()) + "/";
  const std::vector<std::tuple<std::string, long, std::string>> cases = {
      {"", NSURLErrorBadURL, ""},
      {"file:///etc/passwd", NSURLErrorUnsupportedURL, "file:///etc/passwd"},
      {origin.url("/hop/21"), NSURLErrorHTTPTooManyRedirects, "more than 20"},
      {origin.url("/to-file"), NSURLErrorUnsupportedURL, "file"},
      {origin.url("/cut/10"), NSURLErrorNetworkConnectionLost, "127.0.0.1"},
      {"http://127.0.0.1:1/", NSURLErrorCannotConnectToHost, "127.0.0.1:1: Connection refused"},
      {"http://no-such-host.invalid/", NSURLErrorCannotFindHost, "no-such-host.invalid"},
      {tls, NSURLErrorSecureConnectionFailed, ""},
      // Its length is in the header, so it fails before the body is cut short.
      {origin.url("/cut/" + std::to_string(most + 1)), NSURLErrorDataLengthExceedsMaximum, ""},
      {origin.url("/chunked/" + std::to_string(4 * most)), NSURLErrorDataLengthExceedsMaximum, ""},
  };
  for (const auto& [url, code, cause] : cases) {
    SCOPED_TRACE(url);
    expectFailure(fetch(url), code, cause);
  }
  EXPECT_LT(origin.sent, 2 * most);  // the chunked body ended soon after the limit
  EXPECT_EQ(std::ssize(fetch(origin.url("/chunked/" + std::to_string(most))).body()), most);
  expectFailure(fetch(origin.url("/hop/2"), 1), NSURLErrorHTTPTooManyRedirects);
  // Nothing after the first byte: the request timeout, on the platform's clock, ends it.
  auto advanced = 0s;
  const auto& timedOut = stalled.outcomes[0];
  for (; advanced < 120s && timedOut.wait_for(10ms) != std::future_status::ready; advanced += 1s)
    clock.advance(1s);
  EXPECT_TRUE(advanced >= 30s && advanced < 120s) << advanced.count();
  expectFailure(stalled.results()[0], NSURLErrorTimedOut, "nothing received for 30 s");
}

TEST(URLLoading, TenThousandAtOnceCompleteOnceOffTheLoadingThreadAndFreeTheirSessions) {
  Origin origin;
  auto threadCount = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  };
  EXPECT_EQ(fetch(origin.url("/n/0")).body(), "0");  // every thread of engine and origin is up
  const auto threadsBefore = threadCount();
  auto mostThreads = threadsBefore;
  auto urls = numbered(origin.url("/n/"), 10'000);
  // Every hundredth has no URL, so fails without reaching the loading thread.
  for (std::size_t i = 0; i < urls.size(); i += 100) urls[i] = "";
  const auto batch = start(urls);
  // A session goes once its task's completion has run and been let go: no second call after.
  ASSERT_TRUE(eventually([&] {
    mostThreads = std::max(mostThreads, threadCount());
    return std::ranges::all_of(batch.sessions, [](auto& session) { return session.expired(); });
  }));
  const auto outcomes = batch.results();
  expectNumbered(outcomes, [](auto i) { return i % 100 ? 0 : long{NSURLErrorBadURL}; });
  EXPECT_EQ(mostThreads, threadsBefore);
  // Completions run on the pool's two threads: never inside resume(), nor on the loading one.
  const auto loading = dynamic_cast<CurlEngine&>(URLLoader::Default()).loadingThreadId();
  std::set<std::thread::id> threads;
  for (const auto& outcome : outcomes) threads.insert(outcome.thread);
  EXPECT_TRUE(threads.size() <= 2 && !threads.count(std::this_thread::get_id()) &&
              !threads.count(loading));
}

// A session keeps to its own cap; a default one to the cap its loader was made with.
TEST(ConnectionPool, TransfersBeyondTheCapPerHostWaitForAKeptAliveConnection) {
  CurlEngine engine({.certificateAuthorityFile = "", .maximumConnectionsPerHost = 3});
  ScopedBackend<URLLoader> useEngine(engine);
  const auto byDefault = *NSURLSessionConfiguration::defaultSessionConfiguration();
  auto two = byDefault;
  two.HTTPMaximumConnectionsPerHost = 2;
  for (const auto& [settings, cap] : {std::pair{byDefault, 3u}, {two, 2u}}) {
    SCOPED_TRACE(cap);
    Origin origin(/*keepAlive=*/true);  // a new port, so a new host to the pool
    expectNumbered(start(numbered(origin.url("/n/"), 40), settings).results());
    std::lock_guard lock(origin.mutex);
    EXPECT_LE(origin.clientPorts.size(), cap);
  }
}

// With few connections in all, a host that never answers holds only its own share, and
// cancelling the request they serve ends its transfers, running or waiting.
TEST(ConnectionPool, AStalledHostHoldsOnlyItsShareUntilItsRequestIsCancelled) {
  Origin stalled, healthy;
  CurlEngine engine({.certificateAuthorityFile = "", .connectionLimit = 16});
  ScopedBackend<URLLoader> useEngine(engine);
  const auto activity = std::make_shared<RequestActivity>();
  const auto stalls = [&] {
    const RequestActivity::Scope serving(activity);
    return start(std::vector<std::string>(40, stalled.url("/stall/10")));
  }();
  ASSERT_TRUE(eventually([&] { return stalled.served == 8; }));  // its cap, of the 16
  EXPECT_EQ(fetch(healthy.url("/n/7")).body(), "7");
  activity->cancel();
  for (const auto& outcome : stalls.results()) expectFailure(outcome, NSURLErrorCancelled);
}

// Completions that cannot keep up hold loading back, so downloaded bodies do not pile up.
TEST(ConnectionPool, LoadingWaitsWhileCompletionsBackUp) {
  Origin origin;
  std::promise<void> release;
  const auto batch = start(numbered(origin.url("/n/"), 300), {}, release.get_future().share());
  ASSERT_TRUE(eventually([&] { return origin.served >= CurlEngine::kMostCompletionsWaiting; }));
  // That loading has stopped shows only as its staying stopped.
  for (int last = -1; last != origin.served; std::this_thread::sleep_for(300ms))
    last = origin.served;
  EXPECT_LE(origin.served, CurlEngine::kMostCompletionsWaiting + 8);
  release.set_value();
  expectNumbered(batch.results());
}

// nghttpd, an HTTP/2 server over TLS, whose log names the connection of each line "[id=N]".
TEST(URLLoading, HTTPSTrustsTheAuthorityItIsGivenAndSharesOneHTTP2Connection) {
  if (std::system("command -v nghttpd >/dev/null") != 0) GTEST_SKIP() << "needs nghttpd";
  testing::ScratchDirectory dir;
  const auto tls = endpointCertificates(dir.path() + "tls");
  ASSERT_TRUE(tls) << tls.failure().message;
  for (int i = 0; i < 20; ++i) dir.write("n" + std::to_string(i), std::to_string(i));
  const auto port = std::to_string(testing::TestOrigin([](httplib::Server&) {}).port());
  // Its log line-buffered, so that a request's lines are there before its answer.
  testing::HostProcess server(
      "/bin/sh",
      {"-c", "exec stdbuf -oL nghttpd -v -a 127.0.0.1 -d " + dir.path() + " " + port + " " +
                 tls->keyFile + " " + tls->certificateFile + " >" + dir.path() + "log 2>&1"});
  // Any outcome but a refused connection, even a refused certificate, says the server is up.
  ASSERT_TRUE(eventually([&] {
    return fetch("https://127.0.0.1:" + port + "/n7").code() != NSURLErrorCannotConnectToHost;
  }));
  // The engine reads $SSL_CERT_FILE only as it is made.
  const std::string saved = std::getenv("SSL_CERT_FILE") ? std::getenv("SSL_CERT_FILE") : "";
  const auto setCertificateFile = [](const std::string& value) {
    value.empty() ? ::unsetenv("SSL_CERT_FILE") : ::setenv("SSL_CERT_FILE", value.c_str(), 1);
  };
  // The file the engine is given, $SSL_CERT_FILE ("" for unset), the failure (0 for none).
  const std::string missing = dir.path() + "missing.pem";
  const std::vector<std::tuple<std::string, std::string, long>> cases = {
      {"", "", NSURLErrorServerCertificateUntrusted},
      {missing, "", NSURLErrorSecureConnectionFailed},
      {"", tls->authorityFile, 0},
      {tls->authorityFile, missing, 0},
  };
  for (const auto& [file, environment, code] : cases) {
    SCOPED_TRACE(file + " " + environment);
    setCertificateFile(environment);
    CurlEngine engine({.certificateAuthorityFile = file});
    setCertificateFile(saved);
    ScopedBackend<URLLoader> useEngine(engine);
    // A new engine has no connection to the host: these wait for the one being made, and share it.
    const auto outcomes = start(numbered("https://localhost:" + port + "/n", 20)).results();
    expectNumbered(outcomes, [&](auto) { return code; });
  }
  // The connections that carried requests: one for each case that trusted the server.
  const std::string log = dir.read("log");
  const std::regex request(R"((\[id=\d+\]).* :path: /n\d+\n)");
  const std::set<std::string> carriers(
      std::sregex_token_iterator(log.begin(), log.end(), request, 1), {});
  EXPECT_EQ(carriers.size(), 2u);
}

}  // namespace
}  // namespace corvanta
