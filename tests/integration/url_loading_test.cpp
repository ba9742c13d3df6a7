// The real URL loader against a local origin: what a completion is handed, and when.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/url_loading/CurlEngine.h"
#include "platform/url_loading/NSURLError.h"
#include "support/TestOrigin.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Request = httplib::Request;
using Response = httplib::Response;

// Long enough that the origin, which compresses text but not binary, sends it compressed.
const std::string kMissingPage = "no such page" + std::string(1000, '.');

struct Outcome {
  std::shared_ptr<NSData> data;
  std::shared_ptr<NSURLResponse> response;
  std::shared_ptr<NSError> error;
  std::string body() const { return data ? std::string(data->bytes()) : "<no data>"; }
  std::string message() const { return error ? error->localizedDescription() : ""; }
};

// Runs one task on a session of its own and waits for its completion; "" stands for no URL.
Outcome fetch(const std::string& text, double requestTimeout = 60, int redirects = 20) {
  auto settings = std::make_shared<NSURLSessionConfiguration>();
  settings->timeoutIntervalForRequest = requestTimeout;
  settings->HTTPMaximumRedirects = redirects;
  auto done = std::make_shared<std::promise<Outcome>>();
  auto completion = [done](auto data, auto response, auto error) {
    done->set_value({data, response, error});
  };
  NSURLSession::sessionWithConfiguration(settings)
      ->dataTaskWithURL(text.empty() ? nullptr : NSURL::URLWithString(text), completion)
      ->resume();
  auto outcome = done->get_future();
  return outcome.wait_for(60s) == std::future_status::ready ? outcome.get() : Outcome{};
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

}  // namespace
}  // namespace corvanta
