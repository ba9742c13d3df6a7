// The real URL loader against local origins: what a completion is handed, and when.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/url_loading/CurlEngine.h"
#include "platform/url_loading/NSURLError.h"
#include "support/ScratchDirectory.h"
#include "support/TestOrigin.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Request = httplib::Request;
using Response = httplib::Response;

struct Outcome {
  std::shared_ptr<NSData> data;
  std::shared_ptr<NSURLResponse> response;
  std::shared_ptr<NSError> error;
  Clock::duration elapsed{};
  std::string body() const { return data ? std::string(data->bytes()) : "<no data>"; }
  std::string message() const { return error ? error->localizedDescription() : ""; }
};

// Runs one task on a session of its own and waits for its completion.
Outcome fetch(const std::string& text, double requestTimeout = 60, double resourceTimeout = 604'800,
              int redirects = 20) {
  auto settings = std::make_shared<NSURLSessionConfiguration>();
  settings->timeoutIntervalForRequest = requestTimeout;
  settings->timeoutIntervalForResource = resourceTimeout;
  settings->HTTPMaximumRedirects = redirects;
  auto done = std::make_shared<std::promise<Outcome>>();
  const auto began = Clock::now();
  NSURLSession::sessionWithConfiguration(settings)
      ->dataTaskWithURL(text.empty() ? nullptr : NSURL::URLWithString(text),
                        [done, began](auto data, auto response, auto error) {
                          done->set_value({data, response, error, Clock::now() - began});
                        })
      ->resume();
  auto outcome = done->get_future();
  if (outcome.wait_for(60s) != std::future_status::ready) return {};
  return outcome.get();
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

// Waits until `released` or `limit` has passed, so that a failing test still ends.
bool waitFor(const std::atomic<bool>& released, Clock::duration limit) {
  for (auto until = Clock::now() + limit; !released && Clock::now() < until;) {
    std::this_thread::sleep_for(1ms);
  }
  return released;
}

// The origin's routes, one per behaviour under test, with what they saw and sent.
struct Origin {
  std::atomic<bool> released{false};
  std::mutex mutex;
  std::vector<std::string> targets;
  std::string acceptEncoding;
  std::atomic<long long> sent{0};
  testing::TestOrigin server{[this](httplib::Server& s) { routes(s); }};
  ~Origin() { released = true; }
  std::string url(const std::string& path) const { return server.url(path); }

  void provide(httplib::Server& s, const char* path, size_t length, httplib::ContentProvider p) {
    s.Get(path, [=](const Request&, Response& res) { res.set_content_provider(length, "", p); });
  }
  void stream(httplib::Server& s, const char* path, httplib::ContentProviderWithoutLength p) {
    s.Get(path, [=](const Request&, Response& res) { res.set_chunked_content_provider("", p); });
  }
  void redirect(httplib::Server& s, const char* path, const char* to) {
    s.Get(path, [=](const Request&, Response& res) { res.set_redirect(to); });
  }
  void routes(httplib::Server& s) {
    // One request per connection: no worker idles on a kept-alive one, so thousands are
    // served quickly and the origin stops at once. The keep-alive timeout also bounds the
    // wait for a connection's first request, which under that load can be long.
    s.set_keep_alive_max_count(1);
    s.set_keep_alive_timeout(30);
    s.Get("/bytes", [](const Request&, Response& res) {
      res.set_content("0123456789", "Application/Octet-Stream; name=x");
    });
    s.Get("/missing", [](const Request&, Response& res) {
      res.status = 404;
      res.set_content("no such page", "text/plain");
    });
    s.Get("/text", [this](const Request& req, Response& res) {
      std::lock_guard lock(mutex);
      acceptEncoding = req.get_header_value("Accept-Encoding");
      res.set_content(std::string(100'000, 'z'), "text/plain");
    });
    s.Get(R"(/n/(\d+))", [](const Request& req, Response& res) {
      res.set_content(req.matches[1].str(), "text/plain");
    });
    redirect(s, "/hop/2", "/hop/1");
    redirect(s, "/hop/1", "/bytes");
    redirect(s, "/loop", "/loop");
    redirect(s, "/to-file", "file:///etc/passwd");
    redirect(s, "/to-ftp", "ftp://127.0.0.1:1/x");
    provide(s, "/cut", 1000, [](size_t offset, size_t, httplib::DataSink& sink) {
      return offset == 0 && sink.write("cut", 3);  // false closes the connection
    });
    provide(s, "/stall", 10, [this](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset == 0) return sink.write("s", 1);
      waitFor(released, 5s);
      return false;
    });
    provide(s, "/trickle", 100, [this](size_t, size_t, httplib::DataSink& sink) {
      return !waitFor(released, 100ms) && sink.write("t", 1);
    });
    static const std::string chunk(64 * 1024, 'b');
    const auto most = static_cast<size_t>(kMaximumBodyBytes);
    provide(s, "/declared", most + 1, [this](size_t offset, size_t, httplib::DataSink& sink) {
      const auto size = std::min(chunk.size(), most + 1 - offset);
      if (!sink.write(chunk.data(), size)) return false;
      sent += static_cast<long long>(size);
      return true;
    });
    // Four times the limit and no length: the client has to count.
    stream(s, "/unbounded", [this, most](size_t offset, httplib::DataSink& sink) {
      if (offset >= 4 * most || !sink.write(chunk.data(), chunk.size())) return false;
      sent += static_cast<long long>(chunk.size());
      return true;
    });
    stream(s, "/exact", [most](size_t offset, httplib::DataSink& sink) {
      if (offset == most) sink.done();
      return offset == most || sink.write(chunk.data(), std::min(chunk.size(), most - offset));
    });
    s.Get(".*", [this](const Request& req, Response& res) {
      std::lock_guard lock(mutex);
      targets.push_back(req.target);
      res.set_content("seen", "text/plain");
    });
  }
};

TEST(URLLoading, HandsOverTheWholeBodyAndTheResponseForAnyStatus) {
  Origin origin;
  const auto bytes = fetch(origin.url("/bytes"));
  EXPECT_EQ(bytes.body(), "0123456789");
  ASSERT_NE(bytes.response, nullptr) << bytes.message();
  EXPECT_EQ(bytes.response->statusCode(), 200);
  EXPECT_EQ(bytes.response->MIMEType(), "application/octet-stream");
  EXPECT_EQ(bytes.response->expectedContentLength(), 10);
  EXPECT_EQ(bytes.response->URL()->absoluteString(), origin.url("/bytes"));

  const auto missing = fetch(origin.url("/missing"));
  EXPECT_EQ(missing.error, nullptr);
  EXPECT_EQ(missing.body(), "no such page");
  ASSERT_NE(missing.response, nullptr);
  EXPECT_EQ(missing.response->statusCode(), 404);

  // Sent as parsed, dot segments and escapes as they were.
  EXPECT_EQ(fetch(origin.url("/a/../b/./c%2Fd")).body(), "seen");
  const auto text = fetch(origin.url("/text"));
  EXPECT_EQ(text.body(), std::string(100'000, 'z'));
  ASSERT_NE(text.response, nullptr);
  EXPECT_LT(text.response->expectedContentLength(), 100'000);  // it travelled compressed
  std::lock_guard lock(origin.mutex);
  EXPECT_EQ(origin.targets, std::vector<std::string>{"/a/../b/./c%2Fd"});
  EXPECT_NE(origin.acceptEncoding.find("gzip"), std::string::npos) << origin.acceptEncoding;
}

TEST(URLLoading, FollowsRedirectsWithinTheLimitAndOnlyToHTTP) {
  Origin origin;
  const auto followed = fetch(origin.url("/hop/2"));
  EXPECT_EQ(followed.body(), "0123456789");
  ASSERT_NE(followed.response, nullptr);
  EXPECT_EQ(followed.response->URL()->absoluteString(), origin.url("/bytes"));
  EXPECT_EQ(fetch(origin.url("/hop/1"), 60, 60, 1).body(), "0123456789");
  expectFailure(fetch(origin.url("/hop/2"), 60, 60, 1), NSURLErrorHTTPTooManyRedirects);
  expectFailure(fetch(origin.url("/loop")), NSURLErrorHTTPTooManyRedirects, "more than 20");
  expectFailure(fetch(origin.url("/to-file")), NSURLErrorUnsupportedURL, "file");
  expectFailure(fetch(origin.url("/to-ftp")), NSURLErrorUnsupportedURL, "ftp");
}

TEST(URLLoading, FailsWithACodeThatNamesTheCause) {
  Origin origin;
  expectFailure(fetch(""), NSURLErrorBadURL);
  expectFailure(fetch("file:///etc/passwd"), NSURLErrorUnsupportedURL, "file:///etc/passwd");
  expectFailure(fetch("ftp://127.0.0.1:" + std::to_string(origin.server.port()) + "/"),
                NSURLErrorUnsupportedURL);
  expectFailure(fetch("relative/page"), NSURLErrorUnsupportedURL);
  expectFailure(fetch("http://127.0.0.1:1/"), NSURLErrorCannotConnectToHost,
                "127.0.0.1:1: Connection refused");
  expectFailure(fetch("http://no-such-host.invalid/"), NSURLErrorCannotFindHost,
                "no-such-host.invalid");
  expectFailure(fetch("https://127.0.0.1:" + std::to_string(origin.server.port()) + "/"),
                NSURLErrorSecureConnectionFailed);

  // A certificate that no trust store knows.
  testing::ScratchDirectory files;
  const auto key = files.path() + "key.pem", cert = files.path() + "cert.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                         "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                         key + " -out " + cert + " 2>/dev/null")
                            .c_str()),
            0);
  httplib::SSLServer tls(cert.c_str(), key.c_str());
  tls.Get("/", [](const Request&, Response& res) { res.set_content("secret", "text/plain"); });
  const int port = tls.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { tls.listen_after_bind(); });
  while (!tls.is_running()) std::this_thread::sleep_for(1ms);
  expectFailure(fetch("https://127.0.0.1:" + std::to_string(port) + "/"),
                NSURLErrorServerCertificateUntrusted, "127.0.0.1");
  tls.stop();
  serving.join();
}

TEST(URLLoading, ABodyCutShortOrStalledFailsWithoutData) {
  Origin origin;
  expectFailure(fetch(origin.url("/cut")), NSURLErrorNetworkConnectionLost, "127.0.0.1");
  // Nothing more after the first byte: the request timeout ends it long before the server
  // would have given up.
  const auto stalled = fetch(origin.url("/stall"), 0.5);
  expectFailure(stalled, NSURLErrorTimedOut, "nothing received for 0.5 s");
  EXPECT_LT(stalled.elapsed, 4s);
  // A byte every 0.1 s keeps a 0.5 s request timeout from firing; the 1.5 s resource
  // timeout ends it instead, well before the body's ten seconds.
  const auto trickled = fetch(origin.url("/trickle"), 0.5, 1.5);
  expectFailure(trickled, NSURLErrorTimedOut);
  EXPECT_GT(trickled.elapsed, 1.2s);
  EXPECT_LT(trickled.elapsed, 6s);
}

TEST(URLLoading, ABodyOverTheLimitFailsAsSoonAsThatIsKnown) {
  Origin origin;
  expectFailure(fetch(origin.url("/declared")), NSURLErrorDataLengthExceedsMaximum);
  EXPECT_LT(origin.sent.exchange(0), 20'000'000);  // stopped at the header, not the body
  expectFailure(fetch(origin.url("/unbounded")), NSURLErrorDataLengthExceedsMaximum);
  EXPECT_LT(origin.sent.load(), 2 * kMaximumBodyBytes);
  const auto exact = fetch(origin.url("/exact"));
  ASSERT_NE(exact.data, nullptr) << exact.message();
  EXPECT_EQ(exact.data->length(), static_cast<size_t>(kMaximumBodyBytes));
}

TEST(URLLoading, TenThousandAtOnceCompleteOnceOnThePoolAndFreeTheirSessions) {
  Origin origin;
  constexpr int kTasks = 10'000;
  auto threadCount = [] {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return std::distance(begin(tasks), end(tasks));
  };
  EXPECT_EQ(fetch(origin.url("/n/0")).body(), "0");  // every thread of engine and origin is up
  const auto threadsBefore = threadCount();
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> calls(kTasks);
  std::set<std::thread::id> threads;
  int completed = 0, wrong = 0;
  std::vector<std::weak_ptr<NSURLSession>> sessions;
  const auto began = Clock::now();
  for (int i = 0; i < kTasks; ++i) {
    auto session = NSURLSession::sessionWithConfiguration(nullptr);
    sessions.push_back(session);
    // Every hundredth has no URL, so fails without reaching the loading thread.
    const bool none = i % 100 == 0;
    auto url = none ? nullptr : NSURL::URLWithString(origin.url("/n/" + std::to_string(i)));
    session
        ->dataTaskWithURL(url,
                          [&, i, none](auto data, auto, auto error) {
                            std::lock_guard lock(mutex);
                            wrong += none ? !error : !data || data->bytes() != std::to_string(i);
                            completed += ++calls[i] == 1;
                            threads.insert(std::this_thread::get_id());
                            changed.notify_all();
                          })
        ->resume();
  }
  auto mostThreads = threadsBefore;
  std::unique_lock lock(mutex);
  for (auto until = Clock::now() + 60s; completed < kTasks && Clock::now() < until;) {
    changed.wait_for(lock, 20ms);
    mostThreads = std::max(mostThreads, threadCount());
  }
  const auto finished = Clock::now();
  lock.unlock();
  auto alive = [&] {
    return std::count_if(sessions.begin(), sessions.end(), [](auto& s) { return !s.expired(); });
  };
  for (auto until = Clock::now() + 10s; alive() > 0 && Clock::now() < until;) {
    std::this_thread::sleep_for(10ms);
  }
  std::cout << "[ timings  ] " << kTasks << " tasks completed after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(finished - began).count()
            << " ms\n";
  std::this_thread::sleep_for(100ms);  // time for a second call, were there one
  lock.lock();
  EXPECT_EQ(completed, kTasks);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), 1), kTasks);
  EXPECT_EQ(alive(), 0);
  EXPECT_EQ(mostThreads, threadsBefore);
  EXPECT_LE(threads.size(), 2u);
  EXPECT_FALSE(threads.count(std::this_thread::get_id()));
  EXPECT_FALSE(threads.count(dynamic_cast<CurlEngine&>(URLLoader::Default()).loadingThreadId()));
}

TEST(URLLoading, AnEngineStopsWithoutWaitingForCompletionsOrRunningUnfinishedOnes) {
  Origin origin;
  auto blocked = std::make_shared<std::atomic<bool>>(false);  // outlives the engine
  std::atomic<bool> started{false};
  std::atomic<int> stalledCalls{0};
  std::weak_ptr<NSURLSession> stalledSession;
  {
    CurlEngine engine;
    ScopedBackend<URLLoader> installed(engine);
    auto session = NSURLSession::sessionWithConfiguration(nullptr);
    stalledSession = session;
    session
        ->dataTaskWithURL(NSURL::URLWithString(origin.url("/stall")),
                          [&](auto, auto, auto) { ++stalledCalls; })
        ->resume();
    NSURLSession::sessionWithConfiguration(nullptr)
        ->dataTaskWithURL(NSURL::URLWithString(origin.url("/bytes")),
                          [&started, blocked](auto, auto, auto) {
                            started = true;
                            waitFor(*blocked, 10s);
                          })
        ->resume();
    session.reset();
    ASSERT_TRUE(waitFor(started, 10s));
  }  // the blocked completion does not hold this up, nor does the stalled transfer
  EXPECT_TRUE(stalledSession.expired());
  *blocked = true;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(stalledCalls, 0);
}

}  // namespace
}  // namespace corvanta
