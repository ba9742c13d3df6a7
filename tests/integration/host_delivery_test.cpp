// What the host delivers and when, through the built binary and a local origin: the content
// read from the payload, when the extension runs, attachments of each media kind, the expiry
// and the download's later delivery, and when the process ends. The text format is the
// README's demo transcript (readme_test).
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestOrigin.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Sample {
  std::string bytes, type, kind;
};

// What the origin serves under /media/<name>.
const std::map<std::string, Sample>& samples() {
  static const std::map<std::string, Sample> all = {
      {"pic.png", {media("pic.png"), "image/png", "image"}},
      {"photo.jpg", {media("photo.jpg"), "image/jpeg", "image"}},
      {"anim.gif", {media("anim.gif"), "image/gif", "image"}},
      {"tone.mp3", {media("tone.mp3"), "audio/mpeg", "audio"}},
      {"clip.mp4", {media("clip.mp4"), "video/mp4", "movie"}},
  };
  return all;
}

std::map<std::string, std::vector<json>> byRequest(const HostResult& result) {
  std::map<std::string, std::vector<json>> grouped;
  for (auto& delivery : jsonLines(result.out)) {
    grouped[delivery["request"].get<std::string>()].push_back(std::move(delivery));
  }
  return grouped;
}

// Each delivery of a request as "<number> displayed|hidden [expired] with <attachments>;".
std::string outline(const std::vector<json>& deliveries) {
  std::string text;
  for (const json& delivery : deliveries) {
    text += delivery["delivery"].dump() +
            (delivery["displayed"] == true ? " displayed" : " hidden") +
            (delivery["expired"] == true ? " expired" : "") + " with " +
            std::to_string(delivery["content"]["attachments"].size()) + ";";
  }
  return text;
}

class HostDeliveryTest : public ::testing::Test {
 protected:
  // Cuts stalled responses short, so that the origin stops at once.
  ~HostDeliveryTest() override { stopping = true; }

  std::vector<std::string> args(const std::string& timeLimit,
                                std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"--container", container(), "--time-limit", timeLimit});
    return more;
  }
  std::string container() const { return scratch.path() + "container"; }

  // An envelope line whose extension runs and fetches `path` from the origin, when given.
  std::string request(const std::string& identifier, const std::string& path,
                      const json& alert = {{"title", "t"}, {"body", "b"}}) const {
    json payload = {{"aps", {{"alert", alert}, {"mutable-content", 1}}}};
    if (!path.empty()) payload["att_url"] = origin.url(path);
    return json{{"identifier", identifier}, {"payload", payload}}.dump() + "\n";
  }

  ScratchDirectory scratch;
  std::atomic<int> served{0};  // requests the origin answered
  std::atomic<bool> stopping{false};
  // /media/<name> serves a sample ("download": a PNG under a name without a media extension),
  // /stall/<seconds>/<name> the same after a wait; anything else is 404.
  TestOrigin origin{[this](httplib::Server& server) {
    server.Get(R"(/(media|stall/([0-9.]+))/([^/]+))", [this](const httplib::Request& request,
                                                             httplib::Response& response) {
      ++served;
      const double wait = request.matches[2].length() ? std::stod(request.matches[2]) : 0;
      const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
      while (!stopping && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
      }
      const auto name = request.matches[3] == "download" ? "pic.png" : request.matches[3].str();
      const auto found = samples().find(name);
      if (found == samples().end()) {
        response.status = 404;
      } else {
        response.set_content(found->second.bytes, found->second.type);
      }
    });
  }};
};

TEST_F(HostDeliveryTest, ContentComesFromThePayloadAndTheExtensionRunsOnlyForMutableAlerts) {
  const json full = json::parse(R"({"aps": {"alert": {"title": "T", "subtitle": "S", "body": "B"},
      "badge": 3, "sound": {"name": "chime.caf", "volume": 0.5}, "category": "cat",
      "thread-id": "th", "interruption-level": "critical", "mutable-content": 1},
      "custom": [1, 2]})");
  const json plain = {
      {"aps", {{"alert", "just a body"}, {"sound", "default"}, {"interruption-level", "loud"}}}};
  const std::vector<std::pair<std::string, json>> notRun = {
      {"absent", {{"alert", "a"}}},
      {"string", {{"alert", "a"}, {"mutable-content", "1"}}},
      {"true", {{"alert", "a"}, {"mutable-content", true}}},
      {"two", {{"alert", "a"}, {"mutable-content", 2}}},
      {"empty-alert", {{"alert", ""}, {"mutable-content", 1}}},
      {"no-text", {{"alert", {{"title", ""}, {"launch-image", "x"}}}, {"mutable-content", 1}}},
      {"no-alert", {{"badge", 1}, {"mutable-content", 1}}},
  };
  std::string input = full.dump() + "\n" + plain.dump() + "\n";
  for (const auto& [identifier, aps] : notRun) {
    const json payload = {{"aps", aps}, {"att_url", origin.url("/media/pic.png")}};
    input += json{{"identifier", identifier}, {"payload", payload}}.dump() + "\n";
  }
  input += request("subtitle-only", "/media/pic.png", {{"subtitle", "s"}});

  const auto result = runHost(args("60"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_LT(result.elapsed, 30s) << "the host waited for the time limit, not for the displays";
  auto grouped = byRequest(result);
  ASSERT_EQ(grouped["1"].size(), 1u);
  json expected = json::parse(R"({"request": "1", "delivery": 1, "displayed": true,
      "extension": true, "expired": false, "notes": [], "diagnostics": [], "content": {"title": "T", "subtitle": "S",
      "body": "B", "badge": 3, "sound": "chime.caf", "category": "cat", "thread": "th",
      "interruption_level": "critical", "attachments": []}})");
  expected["content"]["userInfo"] = full;
  expected["elapsed_ms"] = grouped["1"][0]["elapsed_ms"].get<double>();
  EXPECT_EQ(grouped["1"][0], expected);
  ASSERT_EQ(grouped["2"].size(), 1u);
  const json& second = grouped["2"][0]["content"];
  EXPECT_EQ(json::array({second["title"], second["body"], second["sound"], second["badge"],
                         second["interruption_level"]}),
            json::array({"", "just a body", "default", nullptr, nullptr}));

  for (const auto& [identifier, aps] : notRun) {
    ASSERT_EQ(grouped[identifier].size(), 1u) << identifier;
    const json& delivery = grouped[identifier][0];
    EXPECT_EQ(delivery["extension"], false) << identifier;
    ASSERT_EQ(delivery["notes"].size(), 1u) << identifier;
    EXPECT_NE(delivery["notes"][0].get<std::string>().find("did not run"), std::string::npos);
  }
  ASSERT_EQ(grouped["subtitle-only"].size(), 1u);
  EXPECT_EQ(grouped["subtitle-only"][0]["content"]["attachments"].size(), 1u);
  EXPECT_EQ(served, 1) << "only the requests whose extension ran may download";
}

TEST_F(HostDeliveryTest, AttachmentsExpiryLaterDeliveriesAndTheExitShowInOutputAndPreview) {
  std::string input = request("missing", "/media/missing.png") +
                      request("unnamed", "/media/download") +
                      request("slow", "/stall/1.7/pic.png") + request("stuck", "/stall/30/pic.png");
  for (const auto& [name, sample] : samples()) input += request(name, "/media/" + name);
  const auto result = runHost(args("1.2", {"--preview", scratch.path() + "preview.html"}), input);
  ASSERT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);

  for (const auto& [name, sample] : samples()) {
    ASSERT_EQ(outline(grouped[name]), "1 displayed with 1;") << name;
    const json& attachment = grouped[name][0]["content"]["attachments"][0];
    EXPECT_EQ(attachment["identifier"], "Corvanta");
    EXPECT_EQ(attachment["url"], "file://" + container() + "/tmp/" + name) << "its staging file";
    EXPECT_EQ(attachment["type"], sample.type);
    EXPECT_EQ(attachment["kind"], sample.kind);
    EXPECT_EQ(attachment["size"], sample.bytes.size()) << name;
    const std::string file = attachment["file"];
    ASSERT_TRUE(file.starts_with(container() + "/Attachments/run-")) << file;
    EXPECT_EQ(scratch.read(file.substr(scratch.path().size())), sample.bytes) << name;
  }
  EXPECT_EQ(outline(grouped["missing"]), "1 displayed with 0;");
  // Why it has none: the answer was a 404 (its body staged), and the store refused the body.
  const json& why = grouped["missing"].at(0)["diagnostics"];
  ASSERT_EQ(why.size(), 2u) << why;
  EXPECT_EQ(why[0]["stage"], "download");
  EXPECT_EQ(why[0]["domain"], "HTTP");
  EXPECT_EQ(why[0]["code"], 404);
  EXPECT_EQ(why[1]["stage"], "attachment");
  EXPECT_EQ(why[1]["domain"], "UNErrorDomain");
  EXPECT_EQ(outline(grouped["unnamed"]), "1 displayed with 0;") << "a device refuses its name";
  // The stalled download delivers after the expiry, the other is abandoned at twice the limit.
  EXPECT_EQ(outline(grouped["slow"]), "1 displayed expired with 0;2 hidden expired with 1;");
  EXPECT_GE(grouped["slow"].at(0)["elapsed_ms"].get<double>(), 1150);
  EXPECT_GE(grouped["slow"].at(1)["elapsed_ms"].get<double>(), 1650);
  EXPECT_EQ(outline(grouped["stuck"]), "1 displayed expired with 0;");
  EXPECT_GE(result.elapsed, 2.35s);
  EXPECT_LT(result.elapsed, 15s) << "the host waited for the stalled download";
  // At exit, a staging file no attachment was made from (the 404's empty body) is gone; those
  // the store linked stay.
  for (const auto& entry : fs::directory_iterator(container() + "/tmp")) {
    EXPECT_GE(fs::hard_link_count(entry.path()), 2u) << entry.path();
  }
  EXPECT_TRUE(fs::exists(container() + "/tmp/pic.png"));

  // What the page shows is the preview's own tests' concern; here, that the run wrote it.
  EXPECT_NE(scratch.read("preview.html").find("<!DOCTYPE html>"), std::string::npos);
}

}  // namespace
}  // namespace corvanta::testing
