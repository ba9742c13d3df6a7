// The real URL loader against local origins: what a completion is handed, and when.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

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

// What the completions of tasks started together record. They hold it, so it may outlive
// the test's wait for them.
struct Batch {
  std::mutex mutex;
  std::condition_variable done;
  std::vector<Outcome> outcomes;
  std::set<std::thread::id> threads;  // that ran completions
  std::vector<std::weak_ptr<NSURLSession>> sessions;
  std::size_t finished = 0;  // completions run, counting any second call

  bool finishedWithin(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    return done.wait_for(lock, wait, [&] { return finished >= outcomes.size(); });
  }
  // Waits up to a minute; a task not ended by then has an empty outcome.
  std::vector<Outcome> results() {
    finishedWithin(60s);
    std::lock_guard lock(mutex);
    return outcomes;
  }
};

// A task per URL ("" for none), each on a session of its own; each completion waits for
// `gate` when one is given.
std::shared_ptr<Batch> start(const std::vector<std::string>& urls,
                             const NSURLSessionConfiguration& settings = {},
                             std::shared_future<void> gate = {}) {
  auto batch = std::make_shared<Batch>();
  batch->outcomes.resize(urls.size());
  const auto configuration = std::make_shared<NSURLSessionConfiguration>(settings);
  for (std::size_t i = 0; i < urls.size(); ++i) {
    auto completion = [batch, gate, i](auto data, auto response, auto error) {
      if (gate.valid()) gate.wait();
      std::lock_guard lock(batch->mutex);
      batch->outcomes[i] = {data, response, error};
      batch->threads.insert(std::this_thread::get_id());
      if (++batch->finished >= batch->outcomes.size()) batch->done.notify_all();
    };
    auto session = NSURLSession::sessionWithConfiguration(configuration);
    batch->sessions.push_back(session);
    session->dataTaskWithURL(NSURL::URLWithString(urls[i]), completion)->resume();
  }
  return batch;
}

Outcome fetch(const std::string& url, int redirects = 20) {
  NSURLSessionConfiguration settings;
  settings.HTTPMaximumRedirects = redirects;
  return start({url}, settings)->results().front();
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

// Whether `condition` comes to hold within half a minute.
bool eventually(const std::function<bool()>& condition) {
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Answers one request per connection, so that no worker idles on a kept-alive one and
// thousands are served quickly; with `keepAlive`, as many as come, and counts connections by
// the client's port.
struct Origin {
  explicit Origin(bool keepAlive = false)
      : server([this, keepAlive](httplib::Server& s) { routes(s, keepAlive); }) {}
  ~Origin() { released = true; }  // first, so that every stalled handler ends
  std::string url(const std::string& path) const { return server.url(path); }
  std::vector<std::string> urls(int count) const {
    std::vector<std::string> all;
    for (int i = 0; i < count; ++i) all.push_back(url("/n/" + std::to_string(i)));
    return all;
  }
  std::size_t connections() {
    std::lock_guard lock(mutex);
    return clientPorts.size();
  }

  std::atomic<bool> released{false};
  std::atomic<int> served{0}, stalls{0};
  std::atomic<long long> sent{0};
  std::mutex mutex;
  std::set<int> clientPorts;
  testing::TestOrigin server;

  void routes(httplib::Server& s, bool keepAlive) {
    // Without no-delay each answer on a kept-alive connection waits for the client's delayed
    // ACK. One request per connection, the keep-alive timeout bounds instead the wait for a
    // connection's first request, which under the load of thousands can be long.
    keepAlive ? s.set_keep_alive_max_count(1'000'000).set_tcp_nodelay(true)
              : s.set_keep_alive_max_count(1).set_keep_alive_timeout(30);
    s.Get("/missing", [](const Request&, Response& res) {
      res.status = 404;
      res.set_content(kMissingPage, "text/plain");
    });
    s.Get(R"(/echo/.*)",
          [](const Request& req, Response& res) { res.set_content(req.target, "text/plain"); });
    s.Get(R"(/n/(\d+))", [this](const Request& req, Response& res) {
      std::lock_guard lock(mutex);
      clientPorts.insert(req.remote_port);
      ++served;
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
      stalls += stall;
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

// A body past kLargestBodyInMemory comes in an unnamed file in the temporary directory, and
// is placed from there as it is.
TEST(URLLoading, HandsOverTheFinalResponseAndTheWholeBodyForAnyStatus) {
  Origin origin;
  testing::ScratchDirectory temporary, out;
  WithTemporaryDirectory scratchTemporary(FileSystem::Default(), temporary.path());
  ScopedBackend<FileSystem> useScratch(scratchTemporary);
  const std::string digits = "0123456789", n = "/n/" + digits, binary = "application/octet-stream";
  const std::string large = "/pattern/3000000", chunked = "/chunked/300000";
  const struct {
    std::string path;
    long status;
    std::string body, type, last;
    bool inFile;
  } cases[] = {
      {n, 200, digits, binary, n, false},
      {"/missing", 404, kMissingPage, "text/plain", "/missing", false},
      {"/hop/2", 200, digits, binary, n, false},
      {large, 200, pattern(3'000'000), binary, large, true},         // large by its length
      {chunked, 200, std::string(300'000, 'b'), "", chunked, true},  // found large on the way
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto got = fetch(origin.url(c.path));
    ASSERT_NE(got.data, nullptr) << got.message();
    EXPECT_TRUE(got.body() == c.body) << got.data->length();
    EXPECT_EQ(got.data->isFileBacked(), c.inFile);
    ASSERT_NE(got.response, nullptr);
    EXPECT_EQ(got.response->statusCode(), c.status);
    EXPECT_EQ(got.response->MIMEType(), c.type);
    // A compressed body announces fewer bytes than it hands over, a chunked one none.
    const long long sent = got.response->expectedContentLength(), size = std::ssize(c.body);
    EXPECT_TRUE(c.type == binary ? sent == size : sent < size) << sent;
    EXPECT_EQ(got.response->URL()->absoluteString(), origin.url(c.last));
    const auto placed = NSURL::URLWithString("file://" + out.path() + "placed");
    ASSERT_TRUE(got.data->writeToURL(placed, /*atomically=*/true));
    EXPECT_TRUE(out.read("placed") == c.body);
  }
  EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
  EXPECT_EQ(fetch(origin.url("/hop/1"), 1).body(), digits);  // a redirect limit of one
  // The request goes out as parsed: dot segments stay, escapes are not decoded.
  EXPECT_EQ(fetch(origin.url("/echo/./a/../b%2Fc")).body(), "/echo/./a/../b%2Fc");
}

TEST(URLLoading, FailsWithACodeThatNamesTheCause) {
  Origin origin;
  testing::FakeClock clock;
  NSURLSessionConfiguration settings;
  settings.timeoutIntervalForRequest = 30;
  const auto stalled = start({origin.url("/stall")}, settings);
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
  expectFailure(fetch(origin.url("/hop/2"), 1), NSURLErrorHTTPTooManyRedirects);
  // Nothing after the first byte: the request timeout, on the platform's clock, ends it.
  auto advanced = 0s;
  for (; advanced < 120s && !stalled->finishedWithin(10ms); advanced += 1s) clock.advance(1s);
  EXPECT_GE(advanced, 30s);
  EXPECT_LT(advanced, 120s);
  expectFailure(stalled->results().front(), NSURLErrorTimedOut, "nothing received for 30 s");
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
  auto threadCount = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  };
  EXPECT_EQ(fetch(origin.url("/n/0")).body(), "0");  // every thread of engine and origin is up
  const auto threadsBefore = threadCount();
  auto urls = origin.urls(10'000);
  // Every hundredth has no URL, so fails without reaching the loading thread.
  for (std::size_t i = 0; i < urls.size(); i += 100) urls[i] = "";
  const auto batch = start(urls);
  // A session goes once its task's completion has run and been let go: no second call can
  // come after that.
  auto mostThreads = threadsBefore;
  ASSERT_TRUE(eventually([&] {
    mostThreads = std::max(mostThreads, threadCount());
    return std::all_of(batch->sessions.begin(), batch->sessions.end(),
                       [](auto& session) { return session.expired(); });
  }));
  const auto outcomes = batch->results();
  int wrong = 0;
  std::string first;  // of the wrong ones, to say what went wrong
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const auto& got = outcomes[i];
    if (urls[i].empty() ? !!got.error : got.body() == std::to_string(i)) continue;
    if (wrong++ == 0) first = urls[i] + ": " + got.body() + " " + got.message();
  }
  EXPECT_EQ(wrong, 0) << first;
  EXPECT_EQ(mostThreads, threadsBefore);
  std::lock_guard lock(batch->mutex);
  EXPECT_EQ(batch->finished, urls.size());  // none was left out (`wrong`), so none ran twice
  EXPECT_LE(batch->threads.size(), 2u);
  EXPECT_FALSE(batch->threads.count(std::this_thread::get_id()));  // never inside resume()
  const auto& engine = dynamic_cast<CurlEngine&>(URLLoader::Default());
  EXPECT_FALSE(batch->threads.count(engine.loadingThreadId()));
}

// A session keeps to its own cap; a default one to the cap its loader was made with.
TEST(ConnectionPool, TransfersBeyondTheCapPerHostWaitForAKeptAliveConnection) {
  CurlEngine::Settings three;
  three.maximumConnectionsPerHost = 3;
  CurlEngine engine(three);
  ScopedBackend<URLLoader> useEngine(engine);
  const auto byDefault = *NSURLSessionConfiguration::defaultSessionConfiguration();
  auto two = byDefault;
  two.HTTPMaximumConnectionsPerHost = 2;
  for (const auto& [settings, cap] : {std::pair{byDefault, 3u}, {two, 2u}}) {
    SCOPED_TRACE(cap);
    Origin origin(/*keepAlive=*/true);  // a new port, so a new host to the pool
    const auto outcomes = start(origin.urls(40), settings)->results();
    for (int i = 0; i < 40; ++i) EXPECT_EQ(outcomes[i].body(), std::to_string(i));
    EXPECT_LE(origin.connections(), cap);
  }
}

// With few connections in all, a host that never answers holds only its own share, and
// cancelling the request they serve ends its transfers, running or waiting.
TEST(ConnectionPool, AStalledHostHoldsOnlyItsShareUntilItsRequestIsCancelled) {
  Origin stalled, healthy;
  CurlEngine::Settings fewConnections;
  fewConnections.connectionLimit = 16;
  CurlEngine engine(fewConnections);
  ScopedBackend<URLLoader> useEngine(engine);
  const auto activity = std::make_shared<RequestActivity>();
  const auto stalls = [&] {
    const RequestActivity::Scope serving(activity);
    return start(std::vector<std::string>(40, stalled.url("/stall")));
  }();
  ASSERT_TRUE(eventually([&] { return stalled.stalls == 8; }));  // its cap, of the 16
  EXPECT_EQ(fetch(healthy.url("/n/7")).body(), "7");
  activity->cancel();
  for (const auto& outcome : stalls->results()) expectFailure(outcome, NSURLErrorCancelled);
}

// Completions that cannot keep up hold loading back, so downloaded bodies do not pile up.
TEST(ConnectionPool, LoadingWaitsWhileCompletionsBackUp) {
  Origin origin;
  std::promise<void> release;
  const auto batch = start(origin.urls(300), {}, release.get_future().share());
  ASSERT_TRUE(eventually([&] { return origin.served >= CurlEngine::kMostCompletionsWaiting; }));
  // That loading has stopped shows only as its staying stopped.
  for (int last = -1; last != origin.served; std::this_thread::sleep_for(300ms)) {
    last = origin.served;
  }
  EXPECT_LE(origin.served, CurlEngine::kMostCompletionsWaiting + 8);
  release.set_value();
  const auto outcomes = batch->results();
  EXPECT_TRUE(std::all_of(outcomes.begin(), outcomes.end(), [](auto& o) { return o.data; }));
}

// The project's own CA and a server certificate it signed for the loopback names.
EndpointCertificates certificatesIn(const std::string& directory) {
  auto made = endpointCertificates(directory);
  if (!made) throw std::runtime_error("cannot make certificates: " + made.failure().message);
  return *made;
}

// $SSL_CERT_FILE as `value` ("" unsets it) while the object lives.
class CertificateFileVariable {
 public:
  explicit CertificateFileVariable(const std::string& value) { set(value); }
  ~CertificateFileVariable() { set(_saved); }

 private:
  static void set(const std::string& value) {
    value.empty() ? ::unsetenv("SSL_CERT_FILE") : ::setenv("SSL_CERT_FILE", value.c_str(), 1);
  }
  const std::string _saved = std::getenv("SSL_CERT_FILE") ? std::getenv("SSL_CERT_FILE") : "";
};

// nghttpd, an HTTP/2 server over TLS, whose log names the connection of each line "[id=N]".
TEST(URLLoading, HTTPSTrustsTheAuthorityItIsGivenAndSharesOneHTTP2Connection) {
  if (std::system("command -v nghttpd >/dev/null") != 0) GTEST_SKIP() << "needs nghttpd";
  testing::ScratchDirectory dir;
  const auto tls = certificatesIn(dir.path() + "tls");
  for (int i = 0; i < 20; ++i) dir.write("n" + std::to_string(i), std::to_string(i));
  const auto port = std::to_string(testing::TestOrigin([](httplib::Server&) {}).port());
  // Its log line-buffered, so that a request's lines are there before its answer.
  testing::HostProcess server(
      "/bin/sh",
      {"-c", "exec stdbuf -oL nghttpd -v -a 127.0.0.1 -d " + dir.path() + " " + port + " " +
                 tls.keyFile + " " + tls.certificateFile + " >" + dir.path() + "log 2>&1"});
  // Any outcome but a refused connection, even a refused certificate, says the server is up.
  ASSERT_TRUE(eventually([&] {
    const auto got = fetch("https://127.0.0.1:" + port + "/n7");
    return !got.error || got.error->code() != NSURLErrorCannotConnectToHost;
  }));
  // The file the engine is given, $SSL_CERT_FILE ("" for unset), the failure (0 for none).
  const std::string missing = dir.path() + "missing.pem";
  const struct {
    std::string file, environment;
    long code;
  } cases[] = {
      {"", "", NSURLErrorServerCertificateUntrusted},
      {missing, "", NSURLErrorSecureConnectionFailed},
      {"", tls.authorityFile, 0},
      {tls.authorityFile, missing, 0},
  };
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    SCOPED_TRACE(c.file + " " + c.environment);
    const CertificateFileVariable variable(c.environment);
    CurlEngine engine({.certificateAuthorityFile = c.file});
    ScopedBackend<URLLoader> useEngine(engine);
    // The engine's pool is its own, so these find no connection to the host: they wait for
    // the one being made and share it.
    const std::string tag = "?case=" + std::to_string(k);
    std::vector<std::string> urls;
    for (int i = 0; i < 20; ++i)
      urls.push_back("https://localhost:" + port + "/n" + std::to_string(i) + tag);
    const auto outcomes = start(urls)->results();
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(outcomes[i].error ? outcomes[i].error->code() : 0, c.code) << outcomes[i].message();
      EXPECT_EQ(outcomes[i].body(), c.code ? "<no data>" : std::to_string(i));
    }
    const std::string log = dir.read("log");
    const std::regex request(R"((\[id=\d+\]).* :path: /n\d+\)" + tag + "\n");
    const std::set<std::string> carriers(
        std::sregex_token_iterator(log.begin(), log.end(), request, 1), {});
    EXPECT_EQ(carriers.size(), c.code ? 0u : 1u);
  }
}

}  // namespace
}  // namespace corvanta
