// What the host delivers and when, through the built binary and a local origin: the
// content read from the payload, when the extension runs, attachments of each media kind,
// the expiry and the download's later delivery, and when the process ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/HostMediaOrigin.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::map<std::string, std::vector<json>> byRequest(const HostResult& result) {
  std::map<std::string, std::vector<json>> grouped;
  for (const auto& line : result.outLines()) {
    auto delivery = json::parse(line);
    grouped[delivery["request"].get<std::string>()].push_back(std::move(delivery));
  }
  return grouped;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class HostDeliveryTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(const std::string& timeLimit) const {
    return {"--container", container(), "--time-limit", timeLimit};
  }
  std::string container() const { return scratch.path() + "container"; }

  // An envelope line for a request whose extension runs, fetching `path` from the origin.
  std::string withMedia(const std::string& identifier, const std::string& path) const {
    json payload = {
        {"aps", {{"alert", {{"title", identifier}, {"body", "b"}}}, {"mutable-content", 1}}},
        {"att_url", origin.url(path)}};
    return json{{"identifier", identifier}, {"payload", payload}}.dump() + "\n";
  }

  HostMediaOrigin origin;
  ScratchDirectory scratch;
};

TEST_F(HostDeliveryTest, ContentIsFilledFromThePushPayload) {
  const json full = {{"aps",
                      {{"alert", {{"title", "T"}, {"subtitle", "S"}, {"body", "B"}}},
                       {"badge", 3},
                       {"sound", {{"name", "chime.caf"}, {"volume", 0.5}}},
                       {"category", "cat"},
                       {"thread-id", "th"},
                       {"mutable-content", 1}}},
                     {"custom", {1, 2}}};
  const json plain = {{"aps", {{"alert", "just a body"}, {"sound", "default"}}}};
  const auto result = runHost(args("5"), full.dump() + "\n" + plain.dump() + "\n");
  ASSERT_EQ(result.status, 0) << result.err;

  auto grouped = byRequest(result);
  ASSERT_EQ(grouped["1"].size(), 1u);
  const json& first = grouped["1"][0];
  EXPECT_EQ(first["delivery"], 1);
  EXPECT_EQ(first["displayed"], true);
  EXPECT_EQ(first["extension"], true);
  EXPECT_EQ(first["expired"], false);
  EXPECT_TRUE(first["elapsed_ms"].is_number());
  EXPECT_EQ(first["notes"], json::array());
  EXPECT_EQ(first["content"], (json{{"title", "T"},
                                    {"subtitle", "S"},
                                    {"body", "B"},
                                    {"badge", 3},
                                    {"sound", "chime.caf"},
                                    {"category", "cat"},
                                    {"thread", "th"},
                                    {"userInfo", full},
                                    {"attachments", json::array()}}));

  ASSERT_EQ(grouped["2"].size(), 1u);
  const json& second = grouped["2"][0];
  EXPECT_EQ(second["content"]["body"], "just a body");
  EXPECT_EQ(second["content"]["title"], "");
  EXPECT_EQ(second["content"]["sound"], "default");
  EXPECT_EQ(second["content"]["badge"], nullptr);
}

TEST_F(HostDeliveryTest, ExtensionRunsOnlyForMutableContentWithAlertText) {
  const std::vector<std::pair<std::string, json>> notRun = {
      {"absent", {{"alert", "a"}}},
      {"zero", {{"alert", "a"}, {"mutable-content", 0}}},
      {"string", {{"alert", "a"}, {"mutable-content", "1"}}},
      {"true", {{"alert", "a"}, {"mutable-content", true}}},
      {"two", {{"alert", "a"}, {"mutable-content", 2}}},
      {"empty-alert", {{"alert", ""}, {"mutable-content", 1}}},
      {"no-text", {{"alert", {{"title", ""}, {"launch-image", "x"}}}, {"mutable-content", 1}}},
      {"no-alert", {{"badge", 1}, {"mutable-content", 1}}},
  };
  std::string input;
  for (const auto& [identifier, aps] : notRun) {
    input += json{{"identifier", identifier},
                  {"payload", {{"aps", aps}, {"att_url", origin.url("/media/pic.png")}}}}
                 .dump() +
             "\n";
  }
  input += json{{"identifier", "subtitle-only"},
                {"payload",
                 {{"aps", {{"alert", {{"subtitle", "s"}}}, {"mutable-content", 1}}},
                  {"att_url", origin.url("/media/pic.png")}}}}
               .dump() +
           "\n";

  const auto result = runHost(args("5"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);
  for (const auto& [identifier, aps] : notRun) {
    ASSERT_EQ(grouped[identifier].size(), 1u) << identifier;
    const json& delivery = grouped[identifier][0];
    EXPECT_EQ(delivery["extension"], false) << identifier;
    EXPECT_EQ(delivery["content"]["attachments"], json::array()) << identifier;
    ASSERT_EQ(delivery["notes"].size(), 1u) << identifier;
    EXPECT_NE(delivery["notes"][0].get<std::string>().find("did not run"), std::string::npos);
  }
  ASSERT_EQ(grouped["subtitle-only"].size(), 1u);
  EXPECT_EQ(grouped["subtitle-only"][0]["extension"], true);
  EXPECT_EQ(grouped["subtitle-only"][0]["content"]["attachments"].size(), 1u);
  EXPECT_EQ(origin.requests(), 1) << "only the request whose extension ran may download";
}

TEST_F(HostDeliveryTest, EachMediaKindIsAttachedFromTheStoresOwnCopy) {
  const std::map<std::string, std::pair<std::string, std::string>> media = {
      {"pic.png", {"image/png", "image"}},  {"photo.jpg", {"image/jpeg", "image"}},
      {"anim.gif", {"image/gif", "image"}}, {"tone.mp3", {"audio/mpeg", "audio"}},
      {"clip.mp4", {"video/mp4", "movie"}},
  };
  std::string input;
  for (const auto& [name, expected] : media) input += withMedia(name, "/media/" + name);
  input += withMedia("missing", "/media/missing.png");
  input += withMedia("server-error", "/status/500");
  input += withMedia("unnamed", "/media/download");

  const auto result = runHost(args("10"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);

  for (const auto& [name, expected] : media) {
    ASSERT_EQ(grouped[name].size(), 1u) << name;
    const json& delivery = grouped[name][0];
    EXPECT_EQ(delivery["expired"], false);
    ASSERT_EQ(delivery["content"]["attachments"].size(), 1u) << name;
    const json& attachment = delivery["content"]["attachments"][0];
    EXPECT_EQ(attachment["identifier"], "Corvanta");
    EXPECT_EQ(attachment["url"], "file://" + container() + "/tmp/" + name) << "its staging file";
    EXPECT_EQ(attachment["type"], expected.first) << name;
    EXPECT_EQ(attachment["kind"], expected.second) << name;
    const std::string bytes = HostMediaOrigin::bytesOf(name);
    EXPECT_EQ(attachment["size"], bytes.size()) << name;
    const std::string file = attachment["file"];
    EXPECT_EQ(file.rfind(container() + "/Attachments/run-", 0), 0u) << file;
    EXPECT_EQ(readFile(file), bytes) << name;
  }
  for (const char* failed : {"missing", "server-error"}) {
    ASSERT_EQ(grouped[failed].size(), 1u) << failed;
    EXPECT_EQ(grouped[failed][0]["content"]["attachments"], json::array()) << failed;
    EXPECT_EQ(grouped[failed][0]["extension"], true);
  }
  ASSERT_EQ(grouped["unnamed"].size(), 1u);
  EXPECT_EQ(grouped["unnamed"][0]["content"]["attachments"].size(), 1u);
  EXPECT_FALSE(grouped["unnamed"][0]["notes"].empty())
      << "a file name without a media extension deserves a note";
}

TEST_F(HostDeliveryTest, ExpiryDeliversTheBestAttemptThenTheDownloadDeliversAgain) {
  const auto result = runHost(args("1.2"), withMedia("slow", "/stall/1.7/pic.png"));
  ASSERT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);
  ASSERT_EQ(grouped["slow"].size(), 2u) << result.out;

  const json& expiry = grouped["slow"][0];
  EXPECT_EQ(expiry["delivery"], 1);
  EXPECT_EQ(expiry["displayed"], true);
  EXPECT_EQ(expiry["expired"], true);
  EXPECT_EQ(expiry["content"]["attachments"], json::array());
  EXPECT_GE(expiry["elapsed_ms"].get<double>(), 1150);

  const json& download = grouped["slow"][1];
  EXPECT_EQ(download["delivery"], 2);
  EXPECT_EQ(download["displayed"], false);
  EXPECT_EQ(download["expired"], true);
  EXPECT_EQ(download["content"]["attachments"].size(), 1u);
  EXPECT_GE(download["elapsed_ms"].get<double>(), 1650);
}

TEST_F(HostDeliveryTest, DownloadsStillRunningAreAbandonedAtTwiceTheTimeLimit) {
  const auto result = runHost(args("0.5"), withMedia("stuck", "/stall/30/pic.png"));
  EXPECT_EQ(result.status, 0) << result.err;
  auto grouped = byRequest(result);
  ASSERT_EQ(grouped["stuck"].size(), 1u);
  EXPECT_EQ(grouped["stuck"][0]["expired"], true);
  EXPECT_GE(result.elapsed, 0.95s);
  EXPECT_LT(result.elapsed, 15s) << "the host waited for the stalled download";
}

TEST_F(HostDeliveryTest, ExitsOnceEveryRequestIsDisplayedWithoutWaitingForTheLimit) {
  const auto result =
      runHost(args("60"), withMedia("media", "/media/pic.png") + "{\"aps\":{\"alert\":\"x\"}}\n");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.outLines().size(), 2u);
  EXPECT_LT(result.elapsed, 30s) << "the host waited for the time limit";
}

TEST_F(HostDeliveryTest, RequestsAreHandledAsTheyArriveAndOnlyUndeliveredOnesExpire) {
  HostProcess host(kHostBinary, args("0.3"));
  host.write(
      "{\"identifier\":\"first\",\"payload\":{\"aps\":{\"alert\":\"x\",\"mutable-content\":1}}}\n");
  const auto first = host.readLine(20s);
  ASSERT_TRUE(first.has_value()) << "no delivery before the input ended";
  EXPECT_EQ(json::parse(*first)["request"], "first");

  // Well past the first request's limit: a request already delivered gets no expiry.
  std::this_thread::sleep_for(900ms);
  host.write(
      "{\"identifier\":\"second\",\"payload\":{\"aps\":{\"alert\":\"y\",\"mutable-content\":1}}}"
      "\n");
  const auto second = host.readLine(20s);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(json::parse(*second)["request"], "second");

  const auto result = host.wait();
  EXPECT_EQ(result.status, 0) << result.err;
  const auto lines = result.outLines();
  ASSERT_EQ(lines.size(), 2u) << result.out;
  for (const auto& line : lines) {
    EXPECT_EQ(json::parse(line)["extension"], true) << line;
    EXPECT_EQ(json::parse(line)["expired"], false) << line;
  }
}

}  // namespace
}  // namespace corvanta::testing
