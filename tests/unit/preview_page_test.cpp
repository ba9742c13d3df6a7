// The preview page: media that survive the page's move and the store's cleanup, payload text
// that can never become markup, and notifications stacked by thread where a device stacks
// them.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/extension_host/output/PreviewPage.h"
#include "platform/foundation/Base64.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

using testing::media, testing::ScratchDirectory;

Delivery deliveryWith(const std::string& file, const std::string& type, const std::string& kind) {
  Delivery delivery;
  delivery.title = kind;
  delivery.attachments.push_back({"Corvanta", std::nullopt, file, type, kind, 0});
  return delivery;
}

// A page fed as the host feeds it: each request taken, then its delivery when it has one.
struct Feed {
  PreviewPage page;
  std::size_t taken = 0;
  void add(const std::string& identifier, std::optional<Delivery> delivery) {
    page.taken(taken, identifier);
    if (delivery) {
      delivery->sequence = taken;
      page.delivered(*delivery);
    }
    ++taken;
  }
};

// Not std::regex: its matcher recurses per character, and an inline medium is megabytes long.
std::vector<std::string> sources(const std::string& html) {
  std::vector<std::string> found;
  const std::string attribute = " src=\"";
  for (auto at = html.find(attribute); at != std::string::npos; at = html.find(attribute, at)) {
    at += attribute.size();
    found.push_back(html.substr(at, html.find('"', at) - at));
  }
  return found;
}

TEST(PreviewPageTest, MediaStillShowWhenThePageMovesAndTheStoreIsGone) {
  const ScratchDirectory scratch;
  const std::string store = scratch.path() + "store/";
  std::filesystem::create_directories(store);
  std::filesystem::create_directories(scratch.path() + "out");
  // Just past the inline limit: the one medium that has to travel beside the page.
  std::string large = media("clip.mp4");
  large.resize(PreviewPage::kInlineMediaBytes + 1, '\0');
  const std::vector<std::pair<std::string, std::string>> files = {
      {"pic.png", media("pic.png")}, {"tone.mp3", media("tone.mp3")}, {"clip.mp4", large}};
  const std::vector<std::pair<const char*, const char*>> kinds = {
      {"image/png", "image"}, {"audio/mpeg", "audio"}, {"video/mp4", "movie"}};

  Feed feed;
  for (std::size_t i = 0; i < files.size(); ++i) {
    scratch.write("store/" + files[i].first, files[i].second);
    feed.add(files[i].first,
             deliveryWith(store + files[i].first, kinds[i].first, kinds[i].second));
  }
  const Result<> written = feed.page.write(scratch.path() + "out/preview.html");
  ASSERT_TRUE(written) << written.failure().message;
  std::filesystem::rename(scratch.path() + "out", scratch.path() + "moved");
  std::filesystem::remove_all(store);

  const std::string html = scratch.read("moved/preview.html");
  const auto found = sources(html);
  ASSERT_EQ(found.size(), files.size()) << html.substr(0, 4000);
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    const std::string& src = found[i];
    const std::string inlinePrefix = std::string("data:") + kinds[i].first + ";base64,";
    // Only a medium too large to inline goes beside the page.
    if (files[i].second.size() <= PreviewPage::kInlineMediaBytes) {
      ASSERT_EQ(src.rfind(inlinePrefix, 0), 0u) << src.substr(0, 40);
      EXPECT_EQ(decodeBase64(src.substr(inlinePrefix.size())).value_or(""), files[i].second);
    } else {
      EXPECT_EQ(src.find(':'), std::string::npos) << src.substr(0, 40);
      EXPECT_EQ(src.find(".."), std::string::npos) << src;
      EXPECT_EQ(scratch.read("moved/" + src), files[i].second) << src;
    }
  }
  EXPECT_EQ(html.find("file:"), std::string::npos);
  EXPECT_EQ(html.find(store), std::string::npos);
}

TEST(PreviewPageTest, PayloadTextNeverBecomesMarkup) {
  const ScratchDirectory scratch;
  const std::string hostile = "\"'><script>alert(1)</script><img src=x onerror=alert(2)>";
  const std::string hostileFile = scratch.write("\"'><script>alert(3).png", media("pic.png"));
  using Set = void (*)(Delivery&, const std::string&);
  const std::vector<std::pair<const char*, Set>> fields = {
      {"title", [](Delivery& d, const std::string& t) { d.title = t; }},
      {"subtitle", [](Delivery& d, const std::string& t) { d.subtitle = t; }},
      {"body", [](Delivery& d, const std::string& t) { d.body = t; }},
      {"thread", [](Delivery& d, const std::string& t) { d.thread = t; }},
      {"sound", [](Delivery& d, const std::string& t) { d.sound = t; }},
      {"interruption level", [](Delivery& d, const std::string& t) { d.interruptionLevel = t; }},
      {"note", [](Delivery& d, const std::string& t) { d.notes.push_back(t); }},
      {"diagnostic",
       [](Delivery& d, const std::string& t) {
         d.diagnostics.push_back({t, 7, t, t});
       }},
      {"media type",
       [](Delivery& d, const std::string& t) {
         d.attachments.push_back({"Corvanta", std::nullopt, "", t, "image", 0});
       }},
  };
  for (const auto& [field, set] : fields) {
    SCOPED_TRACE(field);
    Delivery delivery = deliveryWith(hostileFile, "image/png", "image");
    set(delivery, hostile);
    if (delivery.attachments.size() > 1) delivery.attachments.back().file = hostileFile;
    Feed feed;
    feed.add(hostile, delivery);
    const std::string html = feed.page.html();
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img src=x"), std::string::npos);
    EXPECT_EQ(html.find("\"'>"), std::string::npos);
    // The policy comes before anything from the payload, and lets no script run at all.
    const auto policy =
        html.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; ");
    ASSERT_NE(policy, std::string::npos);
    EXPECT_LT(policy, html.find("<body>"));
    EXPECT_EQ(html.find("script-src"), std::string::npos);
  }
}

TEST(PreviewPageTest, ThreadsStackWhereTheirFirstRequestArrived) {
  struct Request {
    const char* identifier;
    const char* thread;  // nullptr: nothing delivered
  };
  const std::vector<Request> requests = {{"a", "t1"}, {"b", ""},      {"c", "t2"},
                                         {"d", "t1"}, {"e", nullptr}, {"f", "t2"}};
  Feed feed;
  for (const auto& request : requests) {
    std::optional<Delivery> delivery;
    if (request.thread) delivery.emplace().thread = request.thread;
    feed.add(request.identifier, delivery);
  }
  const std::string html = feed.page.html();
  std::string order;
  const std::regex marks(
      "<section class=\"stack\" data-thread=\"([^\"]*)\">|</section>|"
      "<article class=\"entry\" data-request=\"([^\"]*)\">");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), marks);
       it != std::sregex_iterator(); ++it) {
    const auto& m = *it;
    order += m[1].matched ? "[" + m[1].str() + " " : m[2].matched ? m[2].str() + " " : "] ";
  }
  EXPECT_EQ(order, "[t1 a d ] b [t2 c f ] e ");
}

}  // namespace
}  // namespace corvanta
