// What the host delivers and when, through the built binary and a local origin. The text
// format is the README's demo transcript (readme_test).
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/extension_host/intake/EndpointCertificates.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
      "badge": 3, "sound": {"name": "chime.caf", "critical": 1, "volume": 0.5}, "category": "cat",
      "thread-id": "th", "interruption-level": "critical", "mutable-content": 1},
      "custom": [1, 2]})");
  // Whose extension does not run: mutable-content other than the number 1, or nothing to show.
  const std::map<std::string, json> notRun = {
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
      "attachments": [], "critical_sound": {"volume": 0.5}})");
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
  const auto result = runHost(args("1.2", {"--preview", scratch.path() + "page.html"}), input);
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
  // The stalled download delivers after the expiry; the other is abandoned at twice the limit.
  EXPECT_EQ(outline(grouped["slow"]), "1 displayed expired with 0;2 hidden expired with 1;");
  EXPECT_GE(grouped["slow"].at(1)["elapsed_ms"].get<double>(), 1650);
  EXPECT_EQ(outline(grouped["stuck"]), "1 displayed expired with 0;");
  // Given up at twice the limit, or a little later on a busy machine.
  const std::string page = readFile(scratch.path() + "page.html");
  const std::string abandoned = "<li>download: abandoned after ";
  const auto at = page.find(abandoned);
  ASSERT_NE(at, std::string::npos);
  std::size_t length = 0;
  EXPECT_GE(std::stod(page.substr(at + abandoned.size()), &length), 2.4);
  EXPECT_EQ(page.substr(at + abandoned.size() + length, 22), " s, still running</li>");
  EXPECT_LT(result.elapsed, 15s) << "the host waited for the stalled download";
  // At exit the staging files no attachment was made from are gone; those the store took stay.
  for (const auto& entry : fs::directory_iterator(container() + "/tmp")) {
    EXPECT_GE(fs::hard_link_count(entry.path()), 2u) << entry.path();
  }
  EXPECT_TRUE(fs::exists(container() + "/tmp/pic.png"));
}

// A first delivery is displayed only when a device would show it; when not, the delivery
// says why, and so does the summary. A file's envelope carries what the endpoint's headers
// carry, and is judged by the same rules.
TEST_F(HostDeliveryTest, DisplayedMeansADeviceWouldShowIt) {
  // A payload of exactly `bytes` bytes, written compactly.
  const auto sized = [](std::size_t bytes) {
    const json small = {{"aps", {{"alert", "a"}}}, {"pad", ""}};
    json payload = small;
    payload["pad"] = std::string(bytes - small.dump().size(), 'x');
    return payload;
  };
  std::string numbers = "1e5";
  for (int i = 1; i < 500; ++i) numbers += ",1e5";
  const struct {
    std::string line;
    const char* notShown;  // nullptr: displayed
    const char* note;
  } cases[] = {
      {R"({"identifier": "background", "push_type": "background", "payload": {"aps": {}}})",
       "background", "wakes the app"},
      {R"({"aps": {"content-available": 1}})", "background", "wakes the app"},
      {R"({"aps": {"alert": {"title": 42, "body": ["a"]}, "badge": "7",
                   "mutable-content": "1"}})",
       "nothing to show",
       "aps.alert.title ignored: a number, not a string\",\"aps.alert.body ignored: an array, not "
       "a string\",\"aps.badge ignored: a string, not an integer\",\"aps.mutable-content ignored: "
       "a string, not the number 1\"]"},
      {R"({"identifier": "voip", "push_type": "voip", "device": ")" + std::string(64, 'A') +
           R"(", "payload": )" + sized(5120).dump() + "}",
       "voip push", "goes to the app"},
      {sized(4096).dump(), nullptr, "aps.mutable-content is not 1"},
      {sized(4097).dump(), "refused: PayloadTooLarge", "4097 bytes, over the 4096"},
      {R"({"priority": 10, "push_type": "background", "payload": {"aps": {}}})",
       "refused: BadPriority", "priority: 10 is not allowed for a background push"},
      // Short as written, longer as sent: 1e5 is 100000.0.
      {R"({"aps": {"alert": "a"}, "n": [)" + numbers + "]}", "refused: PayloadTooLarge",
       "4527 bytes"},
      // A file may name any device; the text format still keeps each delivery on its line.
      {R"({"device": "ab\ncd\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u0007zzzzzzz", "payload": {"aps": {"alert": "a"}}})",
       "refused: BadDeviceToken", "is not hex"},
  };
  std::string input;
  for (const auto& c : cases) input += c.line + "\n";
  const auto result = runHost(args("5"), input);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = jsonLines(result.out);
  ASSERT_EQ(lines.size(), std::size(cases)) << result.out;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].line.substr(0, 80));
    EXPECT_EQ(lines[i]["displayed"], cases[i].notShown == nullptr);
    EXPECT_EQ(lines[i]["not_shown"], cases[i].notShown ? json(cases[i].notShown) : json());
    EXPECT_NE(lines[i]["notes"].dump().find(cases[i].note), std::string::npos) << lines[i]["notes"];
  }
  EXPECT_EQ(lines[0]["push"], json::parse(R"({"type": "background", "priority": 5, "topic": "",
                                             "collapse_id": null})"));
  EXPECT_EQ(lines[3]["device"], std::string(64, 'a'));
  EXPECT_NE(result.err.find("corvanta-nse: not shown: 2 background, 2 refused: PayloadTooLarge, "
                            "1 nothing to show, 1 refused: BadDeviceToken, 1 refused: BadPriority, "
                            "1 voip push\n"),
            std::string::npos)
      << result.err;
  const auto text = runHost(args("5", {"--format", "text"}), input);
  EXPECT_EQ(std::ranges::count(text.out, '\n'), std::ssize(cases)) << text.out;
}

// What a download fetched, each redirect included, is in every account; a failed download is
// the first cause; plain http is said, or refused as a device refuses it with --require-https.
TEST_F(HostDeliveryTest, TheDownloadsStoryFromItsURLToItsFirstCause) {
  const auto tls = endpointCertificates(scratch.path() + "tls");
  ASSERT_TRUE(tls) << tls.failure().message;
  const TestOrigin secure(
      [this](httplib::Server& server) {
        servePicture(server);
        server.Get("/to-plain.png", [this](const httplib::Request&, httplib::Response& response) {
          response.set_redirect(origin.url("/media/pic.png"));
        });
        // Announced larger than any download is kept: refused before its body.
        server.Get("/huge.png", [](const httplib::Request&, httplib::Response& response) {
          response.set_content_provider(
              60'000'000, "image/png",
              [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        });
      },
      tls->certificateFile, tls->keyFile);
  const auto input = [&](const std::string& name) {
    json payload = {{"aps", {{"alert", "b"}, {"mutable-content", 1}}},
                    {"att_url", secure.url("/" + name)}};
    if (name == "plain.png") payload["att_url"] = origin.url("/media/pic.png");
    if (name == "missing.png") payload["att_url"] = origin.url("/media/missing.png");
    return json{{"identifier", name}, {"payload", payload}}.dump() + "\n";
  };
  const std::string requests = input("pic.png") + input("to-plain.png") + input("plain.png") +
                               input("missing.png") + input("huge.png");
  const auto allowed = runHost(args("5", {"--cacert", tls->authorityFile}), requests);
  ASSERT_EQ(allowed.status, 0) << allowed.err;
  auto grouped = byRequest(allowed);
  EXPECT_EQ(grouped["to-plain.png"].at(0)["download"],
            json({{"url", secure.url("/to-plain.png")},
                  {"redirects", {origin.url("/media/pic.png")}},
                  {"plain_http", true}}));
  EXPECT_EQ(outline(grouped["to-plain.png"]), "1 displayed with 1;");
  EXPECT_EQ(grouped["pic.png"].at(0)["download"]["plain_http"], false);
  EXPECT_NE(grouped["huge.png"].at(0)["notes"].dump().find("at most 10000000 bytes"),
            std::string::npos)
      << grouped["huge.png"].at(0)["notes"];
  for (const char* line :
       {"without attachment: 1 download: HTTP 404, 1 download: too large\n",
        "corvanta-nse: 3 downloads over plain http: a device refuses these unless the app "
        "allows insecure loads\n"}) {
    EXPECT_NE(allowed.err.find(line), std::string::npos) << allowed.err;
  }

  const auto refused =
      runHost(args("5", {"--cacert", tls->authorityFile, "--require-https"}), requests);
  ASSERT_EQ(refused.status, 0) << refused.err;
  grouped = byRequest(refused);
  for (const char* name : {"to-plain.png", "plain.png"}) {
    EXPECT_EQ(grouped[name].at(0)["diagnostics"][0]["code"], -1022) << name;
  }
  EXPECT_EQ(grouped["to-plain.png"].at(0)["download"]["redirects"].size(), 1u);
  EXPECT_EQ(outline(grouped["pic.png"]), "1 displayed with 1;");
}

}  // namespace
}  // namespace corvanta::testing
