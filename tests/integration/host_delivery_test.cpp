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
#include <thread>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Each request's deliveries, by identifier.
std::map<std::string, std::vector<json>> byRequest(const HostResult& result) {
  std::map<std::string, std::vector<json>> grouped;
  for (auto& delivery : jsonLines(result.out)) {
    grouped[delivery["request"].get<std::string>()].push_back(std::move(delivery));
  }
  return grouped;
}

// A request's deliveries as "<number> displayed|hidden [expired] with <attachments>;".
std::string outline(const std::vector<json>& deliveries) {
  std::string text;
  for (const json& d : deliveries) {
    text += d["delivery"].dump() + (d["displayed"] == true ? " displayed" : " hidden") +
            (d["expired"] == true ? " expired" : "") + " with " +
            std::to_string(d["content"]["attachments"].size()) + ";";
  }
  return text;
}

class HostDeliveryTest : public ::testing::Test {
 protected:
  ~HostDeliveryTest() override { stopping = true; }  // cuts stalled answers short

  std::vector<std::string> args(const std::string& timeLimit,
                                std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"--container", container(), "--time-limit", timeLimit});
    return more;
  }
  std::string container() const { return scratch.path() + "container"; }

  // An envelope line whose extension runs, fetching `path` from the origin when given.
  std::string request(const std::string& identifier, const std::string& path,
                      const json& aps = {{"alert", "b"}, {"mutable-content", 1}}) const {
    json payload = {{"aps", aps}};
    if (!path.empty()) payload["att_url"] = origin.url(path);
    return json{{"identifier", identifier}, {"payload", payload}}.dump() + "\n";
  }

  ScratchDirectory scratch;
  std::atomic<int> served{0};
  std::atomic<bool> stopping{false};
  // /media/<name> serves a media file ("download": a PNG under a name with no media
  // extension); /stall/<seconds>/<name> the same after a wait; anything else is 404.
  TestOrigin origin{[this](httplib::Server& server) {
    server.Get(R"(/(media|stall/([0-9.]+))/([^/]+))", [this](const httplib::Request& request,
                                                             httplib::Response& response) {
      ++served;
      const auto until = std::chrono::steady_clock::now() +
                         std::chrono::duration<double>(
                             request.matches[2].length() ? std::stod(request.matches[2]) : 0);
      while (!stopping && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
      }
      const std::string name =
          request.matches[3] == "download" ? "pic.png" : request.matches[3].str();
      if (name == "missing.png") return void(response.status = 404);
      response.set_content(media(name), "application/octet-stream");
    });
  }};
};

TEST_F(HostDeliveryTest, ContentComesFromThePayloadAndTheExtensionRunsOnlyForMutableAlerts) {
  const json full = json::parse(R"({"aps": {"alert": {"title": "T", "subtitle": "S", "body": "B"},
      "badge": 3, "sound": {"name": "chime.caf", "volume": 0.5}, "category": "cat",
      "thread-id": "th", "interruption-level": "critical", "mutable-content": 1},
      "custom": [1, 2]})");
  // Whose extension does not run: mutable-content other than the number 1, or nothing to show.
  const std::map<std::string, json> notRun = {
      {"absent", {{"alert", "a"}}},
      {"string", {{"alert", "a"}, {"mutable-content", "1"}}},
      {"true", {{"alert", "a"}, {"mutable-content", true}}},
      {"two", {{"alert", "a"}, {"mutable-content", 2}}},
      {"empty-alert", {{"alert", ""}, {"mutable-content", 1}}},
      {"no-text", {{"alert", {{"launch-image", "x"}}}, {"mutable-content", 1}}},
      {"no-alert", {{"badge", 1}, {"mutable-content", 1}}},
  };
  std::string input = full.dump() + "\n" +
                      R"({"aps": {"alert": "just a body", "interruption-level": "loud"}})" + "\n";
  for (const auto& [identifier, aps] : notRun) input += request(identifier, "/media/pic.png", aps);
  input += request("subtitle-only", "/media/pic.png",
                   {{"alert", {{"subtitle", "s"}}}, {"mutable-content", 1}});

  const auto result = runHost(args("60"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_LT(result.elapsed, 30s) << "the host waited for the time limit, not for the displays";
  auto grouped = byRequest(result);
  json expected = json::parse(R"({"title": "T", "subtitle": "S", "body": "B", "badge": 3,
      "sound": "chime.caf", "category": "cat", "thread": "th", "interruption_level": "critical",
      "attachments": []})");
  expected["userInfo"] = full;
  EXPECT_EQ(grouped["1"].at(0)["content"], expected);
  const json& second = grouped["2"].at(0)["content"];
  EXPECT_EQ(json::array({second["body"], second["interruption_level"]}),
            json::array({"just a body", nullptr}));
  for (const auto& [identifier, aps] : notRun) {
    EXPECT_EQ(grouped[identifier].at(0)["extension"], false) << identifier;
  }
  EXPECT_EQ(outline(grouped["subtitle-only"]), "1 displayed with 1;");
  EXPECT_EQ(served, 1) << "only the requests whose extension ran may download";
}

TEST_F(HostDeliveryTest, AttachmentsExpiryLaterDeliveriesAndTheExit) {
  const std::map<std::string, std::string> types = {
      {"pic.png", "image/png"}, {"tone.mp3", "audio/mpeg"}, {"clip.mp4", "video/mp4"}};
  std::string input = request("missing", "/media/missing.png") +
                      request("unnamed", "/media/download") +
                      request("slow", "/stall/1.7/pic.png") + request("stuck", "/stall/30/pic.png");
  for (const auto& [name, type] : types) input += request(name, "/media/" + name);
  const auto result = runHost(args("1.2"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);

  for (const auto& [name, type] : types) {
    ASSERT_EQ(outline(grouped[name]), "1 displayed with 1;") << name;
    const json& attachment = grouped[name][0]["content"]["attachments"][0];
    EXPECT_EQ(json::array({attachment["identifier"], attachment["url"], attachment["type"],
                           attachment["size"]}),
              json::array({"Corvanta", "file://" + container() + "/tmp/" + name, type,
                           media(name).size()}));
    const std::string file = attachment["file"];
    EXPECT_TRUE(file.starts_with(container() + "/Attachments/run-")) << file;
    EXPECT_EQ(readFile(file), media(name)) << "the store keeps the bytes staged";
  }
  // No attachment for a 404 (its body staged, refused) nor for a name without an extension.
  EXPECT_EQ(outline(grouped["missing"]) + outline(grouped["unnamed"]),
            "1 displayed with 0;1 displayed with 0;");
  EXPECT_EQ(grouped["missing"][0]["diagnostics"][0]["code"], 404);
  // The stalled download delivers after the expiry; the other is abandoned at twice the limit.
  EXPECT_EQ(outline(grouped["slow"]), "1 displayed expired with 0;2 hidden expired with 1;");
  EXPECT_GE(grouped["slow"].at(1)["elapsed_ms"].get<double>(), 1650);
  EXPECT_EQ(outline(grouped["stuck"]), "1 displayed expired with 0;");
  EXPECT_GE(result.elapsed, 2.35s);
  EXPECT_LT(result.elapsed, 15s) << "the host waited for the stalled download";
  // At exit the staging files no attachment was made from are gone; those the store took stay.
  for (const auto& entry : fs::directory_iterator(container() + "/tmp")) {
    EXPECT_GE(fs::hard_link_count(entry.path()), 2u) << entry.path();
  }
  EXPECT_TRUE(fs::exists(container() + "/tmp/pic.png"));
}

}  // namespace
}  // namespace corvanta::testing
