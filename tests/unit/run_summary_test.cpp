// The run's summary: what it counts (displayed deliveries only), how it names and orders the
// reasons a notification came without its attachment, and what it leaves out when unset.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/extension_host/output/ProgressLine.h"
#include "platform/extension_host/output/RunSummary.h"
#include "platform/foundation/NSDictionary.h"

namespace corvanta {
namespace {

Delivery delivery(bool wantsAttachment) {
  Delivery d;
  d.userInfo = NSDictionary::dictionaryWithJSONString(
      wantsAttachment ? R"({"aps": {}, "att_url": "http://127.0.0.1/a.png"})" : R"({"aps": {}})");
  return d;
}

// A delivery of a request that asked for an attachment, as `change` leaves it.
template <class Change>
Delivery wanting(Change change) {
  Delivery d = delivery(true);
  change(d);
  return d;
}

Delivery attached() {
  return wanting([](Delivery& d) {
    d.attachments.push_back({"Corvanta", std::nullopt, "/store/a.png", "image/png", "image", 9});
  });
}

TEST(RunSummaryTest, CountsDisplayedDeliveriesAndGroupsReasons) {
  struct Case {
    const char* name;
    std::size_t requests;
    std::vector<Delivery> deliveries;
    std::optional<std::size_t> rejected;
    std::optional<std::string> preview;
    std::string expected;
  };
  const Delivery notFound = wanting([](Delivery& d) {
    d.diagnostics.push_back({"download", 404, "HTTP", "HTTP 404 for http://127.0.0.1/a.png"});
  });
  const std::vector<Case> cases = {
      {"every kind of outcome",
       8,
       {delivery(false), attached(), wanting([](Delivery& d) {
          d = attached();
          d.number = 2;
          d.displayed = false;
        }),
        notFound, wanting([](Delivery& d) { d.extension = false; }), notFound,
        wanting([](Delivery& d) { d.expired = true; }), attached()},
       2,
       "out/preview.html",
       "corvanta-nse: 8 requests in 4.0 s: 7 displayed, 2 with an attachment, 5 without, 1 "
       "expired, 2 rejected input lines\n"
       "corvanta-nse: without attachment: 2 download: HTTP 404, 1 extension did not run, 1 no "
       "att_url, 1 time ran out\n"
       "corvanta-nse: preview written to out/preview.html\n"},
      {"all attached, nothing else known",
       1,
       {attached()},
       std::nullopt,
       std::nullopt,
       "corvanta-nse: 1 request in 4.0 s: 1 displayed, 1 with an attachment, 0 without, 0 "
       "expired\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunSummary summary;
    for (std::size_t i = 0; i < c.requests; ++i) summary.taken(i, "");
    for (const auto& d : c.deliveries) summary.delivered(d);
    if (c.rejected) summary.setRejectedLines(*c.rejected);
    if (c.preview) summary.setPreviewPath(*c.preview);
    summary.setElapsed(std::chrono::milliseconds(4040));
    EXPECT_EQ(summary.format(), c.expected);
  }
}

// The progress line draws only on a terminal, over itself, and erases itself; anywhere else
// it writes nothing at all.
TEST(ProgressLineTest, DrawsOnATerminalOnlyAndErasesItself) {
  const auto counts = [] { return NotificationHost::Counts{3, 2, 1}; };
  const std::string drawn = "\r\033[Kcorvanta-nse: 3 received, 2 displayed, 1 in flight";
  int terminal = -1, side = -1;
  ASSERT_EQ(::openpty(&side, &terminal, nullptr, nullptr, nullptr), 0);
  // A terminal hands over what was written in pieces: read until `enough` holds, or until
  // nothing more comes.
  std::string seen;
  const auto readSide = [&](const std::function<bool()>& enough) {
    char shown[256];
    pollfd ready{side, POLLIN, 0};
    while (!enough() && ::poll(&ready, 1, 1000) > 0) {
      const auto count = ::read(side, shown, sizeof shown);
      if (count <= 0) break;
      seen.append(shown, static_cast<std::size_t>(count));
    }
  };
  {
    ProgressLine line(terminal, true, counts);
    readSide([&] { return seen.size() >= drawn.size(); });
  }
  readSide([&] { return seen.ends_with("\r\033[K"); });
  EXPECT_TRUE(seen.starts_with(drawn)) << seen;
  EXPECT_TRUE(seen.ends_with(drawn + "\r\033[K")) << seen;

  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  EXPECT_FALSE(ProgressLine(pipe[1], true, counts).active());
  ::close(pipe[1]);
  char byte;
  EXPECT_EQ(::read(pipe[0], &byte, 1), 0);
  for (const int fd : {terminal, side, pipe[0]}) ::close(fd);
}

}  // namespace
}  // namespace corvanta
