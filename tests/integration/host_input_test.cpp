// The host's input contract, through the built binary: where requests come from, how they
// are named, which are rejected and how, and the command line's usage errors.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;

class HostInputTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"--container", scratch.path() + "container", "--time-limit", "5"});
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
      "{\"identifier\": 7, \"payload\": {}}\n" +
      prefix + exactlyOneMiB + "a" + suffix + "\n" + prefix + exactlyOneMiB + suffix + "\n" +
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
  std::vector<json> deliveries;
  for (const auto& line : result.outLines()) {
    deliveries.push_back(json::parse(line));
    found.push_back(deliveries.back()["request"].get<std::string>() + "=" +
                    deliveries.back()["content"]["body"].get<std::string>());
  }
  EXPECT_EQ(found, (std::vector<std::string>{"1=single", "2=one", "named=two", "4=three", "5=four",
                                             "6=five", "7=" + exactlyOneMiB, "8=last", "9=first",
                                             "kept=second", "11=l1", "12=l2", "13=e"}));
  ASSERT_EQ(deliveries.size(), 13u);
  EXPECT_EQ(deliveries[4]["content"]["userInfo"]["payload"]["aps"]["alert"], "inner");
  EXPECT_EQ(deliveries[5]["content"]["userInfo"]["identifier"], "x");

  const auto errors = result.errLines();
  ASSERT_EQ(errors.size(), 7u) << result.err;
  EXPECT_TRUE(errors[0].starts_with("corvanta-nse: <stdin>:8: not valid JSON")) << errors[0];
  EXPECT_EQ(errors[1], "corvanta-nse: <stdin>:9: not a JSON object but array");
  EXPECT_EQ(errors[2], "corvanta-nse: <stdin>:10: the envelope's \"identifier\" is not a string");
  EXPECT_TRUE(errors[3].starts_with("corvanta-nse: <stdin>:11: longer than 1 MiB")) << errors[3];
  EXPECT_TRUE(errors[4].starts_with("corvanta-nse: <stdin>:13: nested deeper than")) << errors[4];
  EXPECT_EQ(errors[5], "corvanta-nse: " + array + ":5: not a JSON object but string");
  EXPECT_TRUE(errors[6].starts_with("corvanta-nse: " + missing + ": cannot read")) << errors[6];
}

TEST_F(HostInputTest, UsageErrorsExitWithTwoAndSayWhatWasWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--time-limit", "0"}, "--time-limit"},
      {{"--time-limit", "abc"}, "--time-limit"},
      {{"--time-limit", "nan"}, "--time-limit"},
      {{"--time-limit", "1e9"}, "--time-limit"},
      {{"--format", "xml"}, "--format"},
      {{"--bogus"}, "--bogus"},
      {{"--preview", scratch.path() + "no-such-dir/page.html"}, "--preview"},
  };
  for (const auto& [extra, named] : cases) {
    const auto result = runHost(args(extra));
    EXPECT_EQ(result.status, 2) << extra[0];
    EXPECT_EQ(result.out, "") << extra[0];
    EXPECT_TRUE(result.err.starts_with("corvanta-nse: ")) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
  }

  const auto version = runHost({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("corvanta-nse [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  const auto help = runHost({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--time-limit", "--container", "--format", "--preview"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace corvanta::testing
