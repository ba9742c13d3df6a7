// The host's guarantees, in process, on a clock the test moves and wired to its output as the
// app wires it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/extension_host/core/NotificationHost.h"
#include "platform/extension_host/output/DeliveryLines.h"
#include "platform/foundation/JSONValue.h"
#include "support/FakeClock.h"
#include "support/FakeURLLoader.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Runs a hook inside start(), that is inside the extension's receive call.
class HookedLoader : public FakeURLLoader {
 public:
  std::function<void()> onStart;
  std::atomic<int> cancellations = 0;
  void start(DataTaskRequest request) override {
    FakeURLLoader::start(std::move(request));
    if (onStart) onStart();
  }
  void noticeCancellations() override { ++cancellations; }
};

IncomingRequest downloading(int n) {
  return {std::to_string(n),
          dictionaryWithJSON({{"aps", {{"alert", "r" + std::to_string(n)}, {"mutable-content", 1}}},
                              {"att_url", "http://origin.invalid/pic.png"}})};
}

// Each delivery line as [its number, displayed, expired].
std::vector<json> outline(const std::string& text) {
  std::vector<json> all;
  for (const auto& line : jsonLines(text))
    all.push_back({line["delivery"], line["displayed"], line["expired"]});
  return all;
}

// Delivery lines on a descriptor, written by a thread of their own; a failed write stops the
// host.
struct LinesTo {
  explicit LinesTo(int fd)
      : writer(fd, [this] { host->stop(); }), lines(writer, DeliveryFormat::json) {}
  OutputWriter writer;
  DeliveryLines lines;
  NotificationHost* host = nullptr;
};

class NotificationHostTest : public ::testing::Test {
 protected:
  NotificationHost::Settings settings(LinesTo& out) const {
    NotificationHost::Settings s;
    s.timeLimit = 1s;
    s.sink = &out.lines;
    return s;
  }
  std::string written() const {
    std::string text(static_cast<std::size_t>(::lseek(_output, 0, SEEK_END)), '\0');
    if (::pread(_output, text.data(), text.size(), 0) < 0) text.clear();
    return text;
  }

  FakeClock clock;
  HookedLoader loader;
  ScopedBackend<URLLoader> installed{loader};
  const int _output = ::memfd_create("deliveries", MFD_CLOEXEC);
};

TEST_F(NotificationHostTest, TheExpiryWaitsForTheReceiveCallThenTheDownloadDeliversAgain) {
  LinesTo out(_output);
  NotificationHost host(settings(out));
  std::size_t displayedInsideReceive = 1;
  loader.onStart = [&] {
    clock.advance(1500ms);  // past the limit, while the receive call still runs
    clock.settle();
    displayedInsideReceive = host.counts().delivered;
  };
  ASSERT_TRUE(host.receive(downloading(1)));
  EXPECT_EQ(displayedInsideReceive, 0u) << "an expiry overtook the receive call";

  // finish() waits for the expiry's display; the download then delivers again.
  std::thread download([&] {
    while (host.counts().delivered == 0) std::this_thread::sleep_for(1ms);
    loader.finish(0, std::nullopt);
  });
  const auto outcome = host.finish();
  download.join();
  out.writer.drain();
  EXPECT_TRUE(outcome.settled);
  EXPECT_EQ(outline(written()), (std::vector<json>{{1, true, true}, {2, false, true}}));
}

TEST_F(NotificationHostTest, AStoppedReaderCostsNoDisplayAndNoLine) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
  constexpr int kRequests = 300;
  std::string read;
  {
    LinesTo out(pipe[1]);
    NotificationHost host(settings(out));
    for (int n = 1; n <= kRequests; ++n) ASSERT_TRUE(host.receive(downloading(n)));
    // Every request expires and then is abandoned while nothing reads the output.
    clock.advance(1500ms);
    clock.settle();
    EXPECT_EQ(host.counts().delivered, static_cast<std::size_t>(kRequests));
    clock.advance(1s);
    clock.settle();
    std::thread reader([&] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) read.append(buffer, n);
    });
    EXPECT_FALSE(host.finish().settled);
    EXPECT_TRUE(out.writer.drain());
    ::close(pipe[1]);
    reader.join();
    loader.finishAll(std::nullopt);  // late: dropped, as after an abandonment
  }
  ::close(pipe[0]);
  EXPECT_EQ(outline(read), std::vector<json>(kRequests, {1, true, true}));
}

TEST_F(NotificationHostTest, TheIntakeWaitsAtMaxInFlightAndAFailedWriteStopsIt) {
  LinesTo out(_output);
  auto s = settings(out);
  s.maxInFlight = 2;
  NotificationHost host(s);
  ASSERT_TRUE(host.receive(downloading(1)));
  ASSERT_TRUE(host.receive(downloading(2)));
  // The third download may start only once one of the first two has ended.
  std::atomic<bool> released = false, startedAfterRelease = false;
  loader.onStart = [&] { startedAfterRelease = released.load(); };
  std::thread intake([&] { EXPECT_TRUE(host.receive(downloading(3))); });
  released = true;
  loader.finish(0, std::nullopt);
  intake.join();
  EXPECT_TRUE(startedAfterRelease) << "a third request was taken with two in flight";
  loader.finishAll(std::nullopt);
  EXPECT_TRUE(host.finish().settled);

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  std::atomic<int> stops = 0;
  LinesTo failingOut(full);
  auto failing = settings(failingOut);
  failing.onStop = [&] { ++stops; };
  NotificationHost broken(failing);
  failingOut.host = &broken;
  broken.receive(downloading(4));
  loader.finishAll(std::nullopt);
  while (stops == 0) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(broken.receive(downloading(5))) << "took a request after the output failed";
  broken.finish();
  EXPECT_EQ(std::pair(failingOut.writer.drain(), failingOut.writer.error()),
            std::pair(false, ENOSPC));
  ::close(full);
}

// A download that outlives twice the limit is given up: its slot goes to the next request,
// and its work is cancelled so that it frees what it holds.
TEST_F(NotificationHostTest, ADownloadIsAbandonedAtTwiceTheLimitAndCancelled) {
  LinesTo out(_output);
  auto s = settings(out);
  s.maxInFlight = 1;
  NotificationHost host(s);
  ASSERT_TRUE(host.receive(downloading(1)));
  std::atomic<bool> second = false;
  std::thread intake([&] { second = host.receive(downloading(2)); });
  clock.advance(1500ms);  // the first is displayed at its expiry, its download goes on
  clock.settle();
  EXPECT_EQ(std::pair(host.counts().inFlight, loader.cancellations.load()), std::pair(1ul, 0));
  clock.advance(1s);
  intake.join();
  EXPECT_TRUE(second);
  // The timer frees the slot first and cancels right after, outside its lock.
  clock.settle();
  EXPECT_EQ(loader.cancellations, 1);
  loader.finish(0, std::nullopt);  // as the cancellation ends it: its delivery is dropped
  clock.advance(3s);
  host.finish();
  out.writer.drain();
  EXPECT_EQ(outline(written()), (std::vector<json>{{1, true, true}, {1, true, true}}));
}

}  // namespace
}  // namespace corvanta::testing
