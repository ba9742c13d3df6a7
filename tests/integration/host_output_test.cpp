// The host's two readable outputs, through the built binary: the text format's one line per
// delivery, and the HTML preview page read back as HTML.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "support/HostHtml.h"
#include "support/HostMediaOrigin.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;

std::string envelope(const std::string& identifier, const json& alert,
                     const std::optional<std::string>& attachmentURL, int mutableContent = 1) {
  json payload = {{"aps", {{"alert", alert}, {"mutable-content", mutableContent}}}};
  if (attachmentURL) payload["att_url"] = *attachmentURL;
  return json{{"identifier", identifier}, {"payload", payload}}.dump() + "\n";
}

class HostOutputTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> more) const {
    std::vector<std::string> all{"--container", scratch.path() + "container"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  HostMediaOrigin origin;
  ScratchDirectory scratch;
};

TEST_F(HostOutputTest, TextFormatPrintsOneReadableLinePerDelivery) {
  const std::string input =
      envelope("plain", {{"title", "Hi"}, {"subtitle", "There"}, {"body", "two\nlines"}},
               std::nullopt) +
      envelope("pic", {{"title", "P"}, {"body", "B"}}, origin.url("/media/pic.png")) +
      envelope("slow", {{"title", "S"}, {"body", "B"}}, origin.url("/stall/1.7/tone.mp3")) +
      envelope("skipped", "body only", std::nullopt, 0);
  const auto result = runHost(args({"--format", "text", "--time-limit", "1.2"}), input);
  ASSERT_EQ(result.status, 0) << result.err;

  std::map<std::string, std::vector<std::string>> lines;
  for (const auto& line : result.outLines()) {
    lines[line.substr(0, line.find(']') + 1)].push_back(line);
  }
  const std::string ms = "[0-9]+\\.[0-9] ms";
  auto matches = [](const std::string& line, const std::string& pattern) {
    return std::regex_match(line, std::regex(pattern));
  };
  ASSERT_EQ(lines["[plain]"].size(), 1u);
  EXPECT_TRUE(matches(lines["[plain]"][0], "\\[plain\\] delivery 1 \\(displayed\\) " + ms +
                                               ": \"Hi\" / \"There\" — \"two\\\\nlines\""))
      << lines["[plain]"][0];
  ASSERT_EQ(lines["[pic]"].size(), 1u);
  EXPECT_TRUE(matches(lines["[pic]"][0],
                      "\\[pic\\] delivery 1 \\(displayed\\) " + ms +
                          ": \"P\" — \"B\" \\+ image/png pic\\.png \\(" +
                          std::to_string(HostMediaOrigin::bytesOf("pic.png").size()) + " bytes\\)"))
      << lines["[pic]"][0];
  ASSERT_EQ(lines["[slow]"].size(), 2u);
  EXPECT_TRUE(matches(lines["[slow]"][0], "\\[slow\\] delivery 1 \\(displayed, after expiry\\) " +
                                              ms + ": \"S\" — \"B\""))
      << lines["[slow]"][0];
  EXPECT_TRUE(
      matches(lines["[slow]"][1], "\\[slow\\] delivery 2 \\(not displayed, after expiry\\) " + ms +
                                      ": \"S\" — \"B\" \\+ audio/mpeg tone\\.mp3 .*"))
      << lines["[slow]"][1];
  ASSERT_EQ(lines["[skipped]"].size(), 1u);
  EXPECT_TRUE(matches(lines["[skipped]"][0],
                      "\\[skipped\\] delivery 1 \\(displayed\\) " + ms +
                          ": \"\" — \"body only\"; note: the extension did not run: .*"))
      << lines["[skipped]"][0];
}

TEST_F(HostOutputTest, PreviewShowsEachNotificationAsADeviceWouldWithEverythingEscaped) {
  const std::string hostile = "<script>alert('x')</script> & \"friends\"";
  const std::string input =
      envelope("image", {{"title", "Image"}, {"body", "b"}}, origin.url("/media/pic.png")) +
      envelope("movie", {{"title", "Movie"}, {"body", "b"}}, origin.url("/media/clip.mp4")) +
      envelope("audio", {{"title", "Audio"}, {"body", "b"}}, origin.url("/media/tone.mp3")) +
      envelope("slow", {{"title", "Slow"}, {"body", "b"}}, origin.url("/stall/1.7/pic.png")) +
      envelope(hostile, {{"title", hostile}, {"subtitle", "s"}, {"body", hostile}}, std::nullopt);
  const std::string page = scratch.path() + "preview.html";
  const auto result = runHost(args({"--time-limit", "1.2", "--preview", page}), input);
  ASSERT_EQ(result.status, 0) << result.err;

  std::map<std::string, std::string> storedFile;  // request -> its displayed attachment
  for (const auto& line : result.outLines()) {
    const auto delivery = json::parse(line);
    if (delivery["displayed"] == true && !delivery["content"]["attachments"].empty()) {
      storedFile[delivery["request"]] = delivery["content"]["attachments"][0]["file"];
    }
  }
  ASSERT_EQ(storedFile.size(), 3u) << result.out;

  std::ifstream in(page);
  std::stringstream html;
  html << in.rdbuf();
  const HtmlDocument document = parseHtml(html.str());
  ASSERT_TRUE(document.wellFormed()) << document.problem;

  EXPECT_TRUE(document.all("script").empty()) << "payload text became markup";
  EXPECT_NE(document.text.find(hostile), std::string::npos);
  EXPECT_EQ(document.all("section").size(), 5u);

  auto single = [&](const std::string& name) -> const HtmlElement& {
    const auto found = document.all(name);
    EXPECT_EQ(found.size(), 1u) << name;
    static const HtmlElement none;
    return found.empty() ? none : *found.front();
  };
  EXPECT_EQ(single("img").attributes.at("src"), "file://" + storedFile["image"]);
  EXPECT_EQ(single("video").attributes.count("controls"), 1u);
  EXPECT_EQ(single("video").attributes.at("src"), "file://" + storedFile["movie"]);
  EXPECT_EQ(single("audio").attributes.count("controls"), 1u);
  EXPECT_EQ(single("audio").attributes.at("src"), "file://" + storedFile["audio"]);

  // The stalled request expired; its download's delivery is listed, not displayed.
  const auto later = document.all("ol");
  ASSERT_EQ(later.size(), 1u);
  EXPECT_NE(later[0]->text.find("pic.png"), std::string::npos) << later[0]->text;
  int expired = 0;
  for (const auto& element : document.elements) {
    if (element.attributes.count("class") && element.attributes.at("class") == "expired") {
      ++expired;
    }
  }
  EXPECT_EQ(expired, 1);
}

}  // namespace
}  // namespace corvanta::testing
