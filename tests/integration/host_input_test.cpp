// The host's input contract, through the built binary: where requests come from, how they
// are named, which are rejected and how, and the command line's usage errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class HostInputTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    // --quiet: the run summary would stand among the lines these tests count.
    more.insert(more.begin(),
                {"--quiet", "--container", scratch.path() + "container", "--time-limit", "5"});
    return more;
  }

  ScratchDirectory scratch;
};

TEST_F(HostInputTest, RequestsComeFromFilesAndStandardInputAndBadOnesAreReportedInPlace) {
  const std::string prefix = "{\"aps\":{\"alert\":\"", suffix = "\"}}";
  const std::string exactlyOneMiB(1024 * 1024 - prefix.size() - suffix.size(), 'a');
  const std::string standardInput =
      "{\"aps\":{\"alert\":\"one\"}}\n"
      "\n"
      "   \r\n"
      "{\"identifier\":\"named\",\"payload\":{\"aps\":{\"alert\":\"two\"}}}\r\n"
      "{\"payload\":{\"aps\":{\"alert\":\"three\"}}}\n"
      // Beside "aps", "payload" is just a custom key of the payload itself.
      "{\"aps\":{\"alert\":\"four\"},\"payload\":{\"aps\":{\"alert\":\"inner\"}}}\n"
      "{\"identifier\":\"x\",\"payload\":\"not an object\",\"aps\":{\"alert\":\"five\"}}\n"
      "{\"aps\": nope}\n"
      "[1, 2]\n"
      "{\"aps\":{\"alert\":\"huge\"},\"n\":1e400}\n"
      "{\"n\":" +
      std::string(1000, '7') + "}\n" + "{\"identifier\": 7, \"payload\": {}}\n" + prefix +
      exactlyOneMiB + "a" + suffix + "\n" + prefix + exactlyOneMiB + suffix + "\n" +
      "{\"x\":" + std::string(1000, '[') + std::string(1000, ']') + "}\n" +
      "{\"aps\":{\"alert\":\"last\"}}";
  const auto single =
      scratch.write("single.json", "{\n  \"aps\": {\n    \"alert\": \"single\"\n  }\n}\n");
  const auto array = scratch.write("array.json",
                                   "[\n  {\"aps\": {\"alert\": \"first\"}},\n"
                                   "  {\"identifier\": \"kept\",\n"
                                   "   \"payload\": {\"aps\": {\"alert\": \"second\"}}},\n"
                                   "  \"text\"\n]\n");
  const auto lines =
      scratch.write("lines.jsonl", "{\"aps\":{\"alert\":\"l1\"}}\n{\"aps\":{\"alert\":\"l2\"}}\n");
  // A one-line array file is one JSON value too: one request per element.
  const auto oneLine = scratch.write("one-line.json", "[{\"aps\":{\"alert\":\"e\"}}]");
  const auto missing = scratch.path() + "missing.json";

  const auto result = runHost(args({single, "-", array, missing, lines, oneLine}), standardInput);

  EXPECT_EQ(result.status, 1);
  // Identifiers count accepted requests only, across all inputs.
  std::vector<std::string> found;
  const std::vector<json> deliveries = jsonLines(result.out);
  for (const auto& delivery : deliveries) {
    found.push_back(delivery["request"].get<std::string>() + "=" +
                    delivery["content"]["body"].get<std::string>());
  }
  EXPECT_EQ(found, (std::vector<std::string>{"1=single", "2=one", "named=two", "4=three", "5=four",
                                             "6=five", "7=" + exactlyOneMiB, "8=last", "9=first",
                                             "kept=second", "11=l1", "12=l2", "13=e"}));
  ASSERT_EQ(deliveries.size(), 13u);
  EXPECT_EQ(deliveries[4]["content"]["userInfo"]["payload"]["aps"]["alert"], "inner");
  EXPECT_EQ(deliveries[5]["content"]["userInfo"]["identifier"], "x");

  const auto errors = result.errLines();
  ASSERT_EQ(errors.size(), 9u) << result.err;
  EXPECT_TRUE(errors[0].starts_with("corvanta-nse: <stdin>:8: not valid JSON")) << errors[0];
  EXPECT_EQ(errors[1], "corvanta-nse: <stdin>:9: not a JSON object but array");
  // Numbers the parser cannot hold are one rejected line each, not the end of the run.
  for (const int i : {2, 3}) {
    EXPECT_EQ(errors[i], "corvanta-nse: <stdin>:" + std::to_string(8 + i) +
                             ": not valid JSON: a number is beyond the range of a double");
  }
  EXPECT_EQ(errors[4], "corvanta-nse: <stdin>:12: the envelope's \"identifier\" is not a string");
  EXPECT_TRUE(errors[5].starts_with("corvanta-nse: <stdin>:13: longer than 1 MiB")) << errors[5];
  EXPECT_TRUE(errors[6].starts_with("corvanta-nse: <stdin>:15: nested deeper than")) << errors[6];
  EXPECT_EQ(errors[7], "corvanta-nse: " + array + ":5: not a JSON object but string");
  EXPECT_TRUE(errors[8].starts_with("corvanta-nse: " + missing + ": cannot read")) << errors[8];
}

// A pipe is read as it arrives, with nothing copied aside; a signal then ends the run in order.
TEST_F(HostInputTest, AFifoIsReadAsItArrivesAndSIGTERMStopsTheRunInOrder) {
  const std::string fifo = scratch.path() + "requests.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  HostProcess host(kHostBinary, args({fifo}));
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the host
  ASSERT_GE(writer, 0);
  const std::string request = "{\"aps\":{\"alert\":\"streamed\"}}\n";
  ASSERT_EQ(::write(writer, request.data(), request.size()), static_cast<ssize_t>(request.size()));

  const auto line = host.readLine(std::chrono::seconds(10));
  ASSERT_TRUE(line) << "nothing delivered while the pipe stayed open";
  EXPECT_EQ(json::parse(*line)["content"]["body"], "streamed");
  host.signal(SIGTERM);
  const auto result = host.wait();
  ::close(writer);
  EXPECT_EQ(result.status, 143);
  EXPECT_NE(result.err.find("SIGTERM: stopping"), std::string::npos) << result.err;
  EXPECT_TRUE(fs::is_empty(scratch.path() + "container/tmp"));
}

TEST_F(HostInputTest, UsageErrorsExitWithTwoAndSayWhatWasWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--time-limit", "0"}, "--time-limit"},
      {{"--time-limit", "1e9"}, "--time-limit"},
      {{"--format", "xml"}, "--format"},
      {{"--max-in-flight", "0"}, "--max-in-flight"},
      {{"--cacert", scratch.path() + "no-such.pem"}, "--cacert"},
      {{"--bogus"}, "--bogus"},
      {{"--preview", scratch.path() + "no-such-dir/page.html"}, "--preview"},
      {{"--listen", "127.0.0.1:70000"}, "--listen"},
      {{"--listen", "0", "requests.jsonl"}, "reads no FILE"},
      {{"--h2c"}, "--h2c goes with --listen"},
      {{"--listen", "0", "--tls-cert", "a.pem"}, "--tls-key"},
      {{"--listen", "0", "--auth-key", "k.p8"}, "--key-id"},
      {{"--listen", "0", "--devices", scratch.path() + "no-such-devices"}, "--devices"},
  };
  for (const auto& [extra, named] : cases) {
    const auto result = runHost(args(extra));
    EXPECT_EQ(result.status, 2) << extra[0];
    EXPECT_EQ(result.out, "") << extra[0];
    EXPECT_TRUE(result.err.starts_with("corvanta-nse: ")) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace corvanta::testing
