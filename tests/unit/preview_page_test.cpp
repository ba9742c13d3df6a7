// The preview page: media that survive the page's move and the store's cleanup, payload text
// that can never become markup, and notifications stacked by thread where a device stacks
// them.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/extension_host/output/PreviewPage.h"
#include "platform/foundation/Base64.h"
#include "support/FakeClock.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

using testing::media, testing::ScratchDirectory;

// A page fed as the host feeds it: each request taken, then its delivery when it has one.
struct Feed {
  PreviewPage page{};
  std::size_t taken = 0;
  void add(const std::string& identifier, std::optional<Delivery> delivery) {
    page.taken(taken, IncomingRequest{identifier, nullptr});
    if (delivery) {
      delivery->sequence = taken;
      page.delivered(*delivery);
    }
    ++taken;
  }
};

Delivery withAttachment(const std::string& file, const std::string& type, const std::string& kind) {
  Delivery delivery;
  delivery.attachments.push_back({"Corvanta", std::nullopt, file, type, kind, 0});
  return delivery;
}

// Every src attribute, in order. Not std::regex: its matcher recurses per character, and an
// inline medium is megabytes long.
std::vector<std::string> sources(const std::string& html) {
  std::vector<std::string> found;
  for (auto at = html.find(" src=\""); at != std::string::npos; at = html.find(" src=\"", at)) {
    at += 6;
    found.push_back(html.substr(at, html.find('"', at) - at));
  }
  return found;
}

TEST(PreviewPageTest, MediaStillShowWhenThePageMovesAndTheStoreIsGone) {
  const ScratchDirectory scratch;
  // Just past the inline limit: the one medium that has to travel beside the page.
  std::string large = media("clip.mp4");
  large.resize(PreviewPage::kInlineMediaBytes + 1, '\0');
  Feed feed;
  // Listed newest first: the small one first.
  feed.add("large", withAttachment(scratch.write("clip.mp4", large), "video/mp4", "movie"));
  feed.add("small",
           withAttachment(scratch.write("pic.png", media("pic.png")), "image/png", "image"));
  std::filesystem::create_directories(scratch.path() + "out");
  const Result<> written = feed.page.write(scratch.path() + "out/preview.html");
  ASSERT_TRUE(written) << written.failure().message;
  // The copies are as private as the page that links them.
  namespace fs = std::filesystem;
  const auto mode = [&](const std::string& name) {
    return fs::status(scratch.path() + name).permissions();
  };
  EXPECT_EQ(std::tuple(mode("out/preview.html"), mode("out/preview.html_files"),
                       mode("out/preview.html_files/1-clip.mp4")),
            std::tuple(fs::perms(0600), fs::perms(0700), fs::perms(0600)));
  std::filesystem::rename(scratch.path() + "out", scratch.path() + "moved");
  std::filesystem::remove(scratch.path() + "pic.png");
  std::filesystem::remove(scratch.path() + "clip.mp4");

  const std::string html = scratch.read("moved/preview.html");
  const auto found = sources(html);
  ASSERT_EQ(found.size(), 2u);
  const std::string inlined = "data:image/png;base64,";
  ASSERT_TRUE(found[0].starts_with(inlined)) << found[0].substr(0, 40);
  EXPECT_EQ(decodeBase64(found[0].substr(inlined.size())), media("pic.png"));
  // Beside the page, by a relative name that cannot climb out of its folder.
  EXPECT_EQ(found[1].find_first_of(":"), std::string::npos) << found[1];
  EXPECT_EQ(found[1].find(".."), std::string::npos) << found[1];
  EXPECT_EQ(scratch.read("moved/" + found[1]), large);
  EXPECT_EQ(html.find(scratch.path()), std::string::npos) << "a reference to the store";
}

TEST(PreviewPageTest, PayloadTextNeverBecomesMarkup) {
  const ScratchDirectory scratch;
  const std::string hostile = "\"'><script>alert(1)</script><img src=x onerror=alert(2)>";
  Delivery delivery =
      withAttachment(scratch.write("\"'><script>alert(3).png", media("pic.png")), hostile, "image");
  delivery.title = delivery.subtitle = delivery.body = delivery.thread = hostile;
  delivery.sound = delivery.interruptionLevel = hostile;
  delivery.notes = {hostile};
  delivery.diagnostics = {{hostile, 7, hostile, hostile}};
  delivery.push =
      std::make_shared<PushDetails>(PushDetails{hostile, hostile, 10, hostile, hostile});
  delivery.download = DownloadRecord{hostile, {hostile}, false, false};
  delivery.userInfo = NSDictionary::dictionaryWithJSONString(
      R"({"x": "\"'><script>alert(1)</script><img src=x onerror=alert(2)>"})");
  Feed feed;
  feed.add(hostile, delivery);
  const std::string html = feed.page.html();
  for (const char* markup : {"<script", "<img src=x", "\"'>", "script-src"}) {
    EXPECT_EQ(html.find(markup), std::string::npos) << markup;
  }
  // The policy comes before anything from the payload, and lets no script run at all.
  const auto policy =
      html.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; ");
  EXPECT_LT(policy, html.find("<body>"));
}

// Newest first, as a device lists them: a thread's stack where its newest arrived, its newest
// on top and the rest behind "N more"; each age as it was when the page was written.
TEST(PreviewPageTest, NewestFirstInStacksWithAgesAsWhenWritten) {
  testing::FakeClock clock;
  using namespace std::chrono;
  Feed feed{PreviewPage({sys_days{2026y / 12 / 7} + 16h, {"--time-limit 30 s"}})};
  // Identifier and thread; no thread: nothing was delivered.
  const std::vector<std::pair<std::string, std::optional<std::string>>> requests = {
      {"a", "t1"}, {"b", ""}, {"c", "t2"}, {"d", "t1"}, {"e", std::nullopt}, {"f", "t2"}};
  for (const auto& [identifier, thread] : requests) {
    std::optional<Delivery> delivery;
    if (thread) delivery.emplace().thread = *thread;
    feed.add(identifier, delivery);
    clock.advance(seconds(30));
  }
  const std::string html = feed.page.html();
  std::string order;
  const std::regex marks(
      "<section class=\"stack\" data-thread=\"([^\"]*)\">|</section>|"
      "<article class=\"entry\" data-request=\"([^\"]*)\">|<summary><span>([0-9]+) more<|"
      "<time title=\"arrived ([^\"]*)\">([^<]*)</time>");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), marks);
       it != std::sregex_iterator(); ++it) {
    const auto& m = *it;
    order += m[1].matched   ? "[" + m[1].str() + " "
             : m[2].matched ? m[2].str() + " "
             : m[3].matched ? "+" + m[3].str() + " "
             : m[4].matched ? "(" + m[5].str() + ") "
                            : "] ";
  }
  EXPECT_EQ(order,
            "[t2 f (30s ago) +1 c (2m ago) ] e (1m ago) [t1 d (1m ago) +1 a (3m ago) ] "
            "b (2m ago) ");
  for (const char* part :
       {"run of 2026-12-07 16:00:00 UTC, written 180.0 s later", "<li>--time-limit 30 s</li>",
        "<time title=\"arrived 2026-12-07 16:02:30.000 UTC\">30s ago<"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
}

// What a device did not show, and why: a push refused before it reached it, one it kept from
// its list, an attachment's first cause said once; one account per card, the push's headers,
// where the download went and the payload collapsed under it, device tokens shortened.
TEST(PreviewPageTest, AccountsTellWhatWasNotShownAndWhereTheDownloadWent) {
  const std::string device(64, 'a');
  Feed feed;
  Delivery background;
  background.displayed = false;
  background.notShown = "background";
  feed.add("quiet", background);
  feed.page.refused(RefusedPush{
      "ID-1", {400, "BadTopic", "apns-topic: \"x\""}, {device, "alert", 10, "", std::nullopt}});
  Delivery missing;
  missing.userInfo = NSDictionary::dictionaryWithJSONString(R"({"att_url": "https://a/x.png"})");
  missing.diagnostics = {
      {"download", 404, "HTTP", "HTTP 404, text/plain, 9 bytes"},
      {"attachment", 101, "UNErrorDomain", "x.png: type text/plain is not accepted"}};
  missing.notes = {"download: HTTP 404, text/plain, 9 bytes"};
  missing.download = DownloadRecord{"https://a/x.png", {"http://b/y.png"}, true, false};
  missing.push = std::make_shared<PushDetails>(PushDetails{device, "alert", 10, "app", "c"});
  missing.sound = "alarm.caf";
  missing.criticalSoundVolume = 0.8;
  feed.add("missing", missing);
  // Newest first.
  const std::string html = feed.page.html();
  std::size_t after = 0;
  for (const char* part :
       {"data-request=\"missing\"", "no attachment: download: HTTP 404<",
        "<li>download: HTTP 404, text/plain, 9 bytes</li>", "<details class=\"raw\">",
        "apns-push-type: alert, apns-priority: 10, apns-topic: app, apns-collapse-id: c, device "
        "<code title=\"aaaa",
        ">aaaaaa…aaaaaa</code>", "<code>https://a/x.png</code>, redirected to <code>http://b/y.png",
        "over plain http", "download HTTP 404 · attachment UNErrorDomain 101",
        "&quot;att_url&quot;: &quot;https://a", "<div class=\"card refused\">",
        "400 BadTopic, apns-id <code>ID-1", "apns-topic: &quot;x&quot;", "data-request=\"quiet\"",
        "nothing shown: background"}) {
    const auto at = html.find(part, after);
    EXPECT_NE(at, std::string::npos) << part;
    after = std::min(at, html.size());
  }
  EXPECT_NE(html.find("2 requests, 1 push refused, newest first</p>"), std::string::npos);
  // Said once: a diagnostic's message is its note, not a row of a table beside it.
  EXPECT_EQ(html.find("HTTP 404, text/plain", html.find("HTTP 404, text/plain") + 1),
            std::string::npos);
}

}  // namespace
}  // namespace corvanta
