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

// A displayed delivery of a request that asked for an attachment, as `change` leaves it.
Delivery wanting(const std::function<void(Delivery&)>& change = {}) {
  Delivery d;
  d.userInfo = NSDictionary::dictionaryWithJSONString(R"({"att_url": "http://127.0.0.1/a.png"})");
  if (change) change(d);
  return d;
}

const auto attached = [](Delivery& d) {
  d.attachments.push_back({"Corvanta", std::nullopt, "/store/a.png", "image/png", "image", 9});
};
// The attachment's refusal of the error page follows from the 404: the download is the cause.
const auto notFound = [](Delivery& d) {
  d.diagnostics = {{"download", 404, "HTTP", "HTTP 404, text/plain, 9 bytes"},
                   {"attachment", 101, "UNErrorDomain", "a.png: type text/plain is not accepted"}};
};
const auto refusedAs = [](std::string message) {
  return [message](Delivery& d) {
    d.diagnostics = {{"download", 200, "HTTP", "HTTP 200, image/png, 9 bytes"},
                     {"attachment", 101, "UNErrorDomain", message}};
  };
};

TEST(RunSummaryTest, CountsDisplayedDeliveriesAndGroupsReasonsCommonestFirst) {
  RunSummary summary;
  for (std::size_t i = 0; i < 10; ++i) summary.taken(i, IncomingRequest{});
  Delivery background;
  background.displayed = false;
  background.notShown = "background";
  for (const Delivery& d :
       // Naming no medium, it would have none had the extension run.
       {[] {
          Delivery plain;
          plain.extension = false;
          return plain;
        }(),
        wanting(attached), wanting(notFound), wanting([](Delivery& d) { d.extension = false; }),
        wanting(notFound), wanting([](Delivery& d) { d.expired = true; }), wanting([](Delivery& d) {
          attached(d);
          d.download = DownloadRecord{"http://127.0.0.1/a.png", {}, true, false};
        }),
        // A device ignores what follows the first delivery.
        wanting([](Delivery& d) { d.number = 2, d.displayed = false; }),
        wanting(refusedAs("download: no media extension; the content is image/png")),
        wanting(refusedAs("a.png: type text/html is not accepted")), background}) {
    summary.delivered(d);
  }
  summary.refused(RefusedPush{"id", {400, "BadTopic", "apns-topic: \"x\""}, {}});
  summary.setRejectedLines(1);
  summary.setPreviewPath("out/preview.html");
  summary.setElapsed(std::chrono::milliseconds(4040));
  EXPECT_EQ(summary.format(),
            "corvanta-nse: 10 requests in 4.0 s: 9 displayed, 1 not shown, 2 with an attachment, "
            "7 without, 1 expired, 1 rejected input line\n"
            "corvanta-nse: not shown: 1 background\n"
            "corvanta-nse: refused pushes: 1 BadTopic\n"
            "corvanta-nse: without attachment: 2 download: HTTP 404, 1 extension did not run, 1 no "
            "att_url, 1 no media extension, 1 time ran out, 1 type not accepted\n"
            "corvanta-nse: 1 download over plain http: a device refuses it unless the app allows "
            "insecure loads\n"
            "corvanta-nse: preview written to out/preview.html\n");
  RunSummary one;
  one.taken(0, IncomingRequest{});
  one.setUnwrittenLines(1);
  EXPECT_TRUE(one.format().starts_with("corvanta-nse: 1 request in ") &&
              one.format().ends_with(" expired; 1 delivery line not written\n"))
      << one.format();
}

// The progress line draws only on a terminal, over itself, and erases itself; anywhere else
// it writes nothing at all.
TEST(ProgressLineTest, DrawsOnATerminalOnlyAndErasesItself) {
  const auto counts = [] { return NotificationHost::Counts{3, 2, 1}; };
  const std::string drawn = "\r\033[Kcorvanta-nse: 3 received, 2 delivered, 1 in flight";
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
