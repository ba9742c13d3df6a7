// The preview and live pages drawn from the store's records, and the delivery lines they keep.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/extension_host/output/DeliveryFormat.h"
#include "platform/extension_host/output/PreviewPage.h"
#include "platform/foundation/Base64.h"
#include "support/FakeClock.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

using testing::media, testing::ScratchDirectory;

// Records as the store's reads give them, newest first: each request with its delivery as
// the line the host wrote, numbered from 1 in the order added, a millisecond apart unless the
// test says when.
struct Records : PreviewRecords {
  std::int64_t arrivedMs = 1;  // the next record's arrival

  void add(const std::string& identifier, std::optional<Delivery> delivery) {
    RequestStory story;
    StoredRequest& request = story.request;
    request = {static_cast<std::int64_t>(requests.size()) + 1,
               "run",
               requests.size(),
               identifier,
               arrivedMs++,
               "{}",
               nullptr};
    story.outcome = "pending";
    if (delivery) {
      delivery->sequence = request.sequence;
      if (delivery->userInfo) request.payload = delivery->userInfo->JSONString();
      request.push = delivery->push;
      story.outcome = !delivery->notShown.empty()     ? "not shown"
                      : delivery->attachments.empty() ? "without attachment"
                                                      : "attached";
      story.deliveries.push_back({request.sequence, delivery->number, delivery->displayed,
                                  story.outcome, formatDeliveryAsJSON(*delivery), "", ""});
    }
    requests.insert(requests.begin(), std::move(story));
  }

  void refuse(RefusedPush push) {
    refusals.insert(refusals.begin(), {static_cast<std::int64_t>(refusals.size()) + 1, "run",
                                       arrivedMs++, std::move(push)});
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
  Records records;
  // Listed newest first: the small one first.
  records.add("large", withAttachment(scratch.write("clip.mp4", large), "video/mp4", "movie"));
  records.add("small",
              withAttachment(scratch.write("pic.png", media("pic.png")), "image/png", "image"));
  std::filesystem::create_directories(scratch.path() + "out");
  const testing::FakeClock clock;  // ages stand still between the pages compared below
  const PreviewPage page;
  const Result<> written = page.write(scratch.path() + "out/preview.html", records);
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

  // The live page links each medium by its request's id in the store, never by a path, and
  // its cards are the ones its script is given to replace them with.
  const std::string live = page.livePage(records);
  EXPECT_EQ(sources(live), (std::vector<std::string>{"/live.js", "/api/requests/2/attachment",
                                                     "/api/requests/1/attachment"}));
  const std::string main = "<main id=\"cards\">\n";
  const auto cards = live.find(main) + main.size();
  EXPECT_EQ(live.substr(cards, live.rfind("</main>") - cards), page.liveCards(records));
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
  Records records;
  records.add(hostile, delivery);
  records.refuse(RefusedPush{hostile, {400, hostile, hostile}, *delivery.push});
  const PreviewPage page;
  const std::string html = page.html(records);
  for (const char* markup : {"<script", "<img src=x", "\"'>", "script-src"}) {
    EXPECT_EQ(html.find(markup), std::string::npos) << markup;
  }
  // The policy comes before anything from the payload, and lets no script run at all.
  const auto policy =
      html.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; ");
  EXPECT_LT(policy, html.find("<body>"));

  // The live page runs its host's script only, and nothing a payload wrote.
  const std::string live = page.livePage(records);
  for (const char* markup : {"<img src=x", "\"'>"}) {
    EXPECT_EQ(live.find(markup), std::string::npos) << markup;
  }
  const auto script = live.find("<script");
  EXPECT_EQ(live.substr(script, 39), "<script src=\"/live.js\" defer></script>\n");
  EXPECT_EQ(live.find("<script", script + 1), std::string::npos);
  EXPECT_LT(live.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                      "'none'; script-src 'self'; connect-src 'self'; img-src 'self' data:; "
                      "media-src 'self'; style-src 'unsafe-inline'\">"),
            script);
}

// Newest first, as a device lists them: a thread's stack where its newest arrived, its newest
// on top and the rest behind "N more"; each age as it was when the page was written.
TEST(PreviewPageTest, NewestFirstInStacksWithAgesAsWhenWritten) {
  testing::FakeClock clock;
  using namespace std::chrono;
  const sys_seconds started = sys_days{2026y / 12 / 7} + 16h;
  const PreviewPage page({started, {"--time-limit 30 s"}});
  Records records;
  // Identifier and thread, 30 s apart; no thread: nothing was delivered.
  const std::vector<std::pair<std::string, std::optional<std::string>>> requests = {
      {"a", "t1"}, {"b", ""}, {"c", "t2"}, {"d", "t1"}, {"e", std::nullopt}, {"f", "t2"}};
  for (const auto& [identifier, thread] : requests) {
    std::optional<Delivery> delivery;
    if (thread) delivery.emplace().thread = *thread;
    records.arrivedMs = duration_cast<milliseconds>(started.time_since_epoch()).count() +
                        30000 * records.requests.size();
    records.add(identifier, delivery);
  }
  clock.advance(seconds(180));
  const std::string html = page.html(records);
  std::string order;
  const std::regex marks(
      "<section class=\"stack\" data-thread=\"([^\"]*)\">|</section>|"
      "<article class=\"entry\" id=\"r[0-9]+\" data-request=\"([^\"]*)\"|"
      "<summary><span>([0-9]+) more<|"
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
  Records records;
  Delivery background;
  background.displayed = false;
  background.notShown = "background";
  records.add("quiet", background);
  records.refuse(RefusedPush{
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
  records.add("missing", missing);
  // Newest first, each card with its id in the store, its device and its outcome.
  const std::string html = PreviewPage().html(records);
  const std::string article = "<article class=\"entry\" id=\"";
  std::size_t after = 0;
  for (const std::string& part : std::vector<std::string>{
           article + "r2\" data-request=\"missing\" data-device=\"" + device +
               "\" data-outcome=\"without attachment\">",
           "no attachment: download: HTTP 404<", "<li>download: HTTP 404, text/plain, 9 bytes</li>",
           "<details class=\"raw\">",
           "apns-push-type: alert, apns-priority: 10, apns-topic: app, apns-collapse-id: c, device "
           "<code title=\"aaaa",
           ">aaaaaa…aaaaaa</code>",
           "<code>https://a/x.png</code>, redirected to <code>http://b/y.png", "over plain http",
           "download HTTP 404 · attachment UNErrorDomain 101",
           "<dt>attachment</dt><dd class=\"no-attachment\">none: download: HTTP 404</dd>",
           "&quot;att_url&quot;: &quot;https://a",
           article + "x1\" data-request=\"ID-1\" data-device=\"" + device +
               "\" data-outcome=\"refused\">",
           "<div class=\"card refused\">", "400 BadTopic, apns-id <code>ID-1",
           "apns-topic: &quot;x&quot;",
           article + "r1\" data-request=\"quiet\" data-device=\"\" data-outcome=\"not shown\">",
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

// The store keeps each delivery as its line and the page reads it back: whatever a line
// says survives the trip, so that written again it is the same bytes.
TEST(PreviewPageTest, DeliveryLinesReadBackAsWritten) {
  Delivery full = withAttachment("/s/0/a b.png", "image/png", "image");
  full.attachments.push_back(
      {"second", "file:///t/x.mp4", "/s/0/x.mp4", "video/mp4", "movie", 493});
  full.request = "id \"1\"\n";
  full.number = 2;
  full.displayed = full.extension = false;
  full.expired = true;
  full.elapsedMs = 3012.3;
  full.notes = {"download: HTTP 200", "é ✓"};
  full.diagnostics = {{"download", 200, "HTTP", "HTTP 200, image/png, 5 bytes"},
                      {"staging", 28, "errno", "No space left on device"}};
  full.push = std::make_shared<PushDetails>(PushDetails{"ab12", "background", 5, "t", "c"});
  full.title = "T";
  full.subtitle = "S";
  full.body = "line\nline";
  full.badge = -3;
  full.sound = "s.caf";
  full.category = "C";
  full.thread = "th";
  full.interruptionLevel = "critical";
  full.criticalSoundVolume = 0.25;
  full.userInfo = NSDictionary::dictionaryWithJSONString(
      R"({"aps": {"alert": {"title": "T"}, "badge": -3}, "att_url": "https://a", "n": [1.5, null]})");
  full.download = DownloadRecord{"https://a", {"https://b", "http://c"}, true, false};
  Delivery refused;
  refused.displayed = false;
  refused.notShown = "refused: BadPriority";
  refused.refusal = PushServiceRefusal{400, "BadPriority", "priority: \"7\" is not 10, 5 or 1"};
  for (const Delivery& delivery : {Delivery{}, full, refused}) {
    const std::string line = formatDeliveryAsJSON(delivery);
    const Result<Delivery> read = deliveryFromJSON(line);
    ASSERT_TRUE(read) << read.failure().message;
    EXPECT_EQ(formatDeliveryAsJSON(*read), line);
  }
  const std::string line = formatDeliveryAsJSON(full);
  for (const std::string& wrong :
       std::vector<std::string>{"{", "[]", line.substr(0, 40) + "}",
                                std::regex_replace(line, std::regex("\"elapsed_ms\":[0-9.]+"),
                                                   "\"elapsed_ms\":\"3 s\"")}) {
    EXPECT_FALSE(deliveryFromJSON(wrong)) << wrong;
  }
}

}  // namespace
}  // namespace corvanta
