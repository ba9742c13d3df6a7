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

std::vector<json> deliveries(const HostResult& result) {
  std::vector<json> parsed;
  for (const auto& line : result.outLines()) parsed.push_back(json::parse(line));
  return parsed;
}

// "identifier=body" for each delivery, in output order.
std::vector<std::string> namesAndBodies(const HostResult& result) {
  std::vector<std::string> found;
  for (const auto& delivery : deliveries(result)) {
    found.push_back(delivery["request"].get<std::string>() + "=" +
                    delivery["content"]["body"].get<std::string>());
  }
  return found;
}

class HostInputTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    std::vector<std::string> all{"--container", scratch.path() + "container", "--time-limit", "5"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  ScratchDirectory scratch;
};

TEST_F(HostInputTest, StandardInputIsJSONLinesOfPayloadsAndEnvelopes) {
  const std::string input =
      "{\"aps\":{\"alert\":\"one\"}}\n"
      "\n"
      "   \r\n"
      "{\"identifier\":\"named\",\"payload\":{\"aps\":{\"alert\":\"two\"}}}\r\n"
      "{\"payload\":{\"aps\":{\"alert\":\"three\"}}}\n"
      // Beside "aps", "payload" is just a custom key of the payload itself.
      "{\"aps\":{\"alert\":\"four\"},\"payload\":{\"aps\":{\"alert\":\"inner\"}}}\n"
      "{\"identifier\":\"x\",\"payload\":\"not an object\",\"aps\":{\"alert\":\"five\"}}";
  const auto result = runHost(args(), input);

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(namesAndBodies(result),
            (std::vector<std::string>{"1=one", "named=two", "3=three", "4=four", "5=five"}));
  const auto all = deliveries(result);
  EXPECT_EQ(all[3]["content"]["userInfo"]["payload"]["aps"]["alert"], "inner");
  EXPECT_EQ(all[4]["content"]["userInfo"]["identifier"], "x");
}

TEST_F(HostInputTest, FilesAreOneValueOrAnArrayOrJSONLinesAndNumberingSpansAllInputs) {
  const auto single =
      scratch.write("single.json", "{\n  \"aps\": {\n    \"alert\": \"single\"\n  }\n}\n");
  const auto array = scratch.write("array.json",
                                   "[\n  {\"aps\": {\"alert\": \"first\"}},\n"
                                   "  {\"identifier\": \"kept\",\n"
                                   "   \"payload\": {\"aps\": {\"alert\": \"second\"}}}\n]\n");
  const auto lines =
      scratch.write("lines.jsonl", "{\"aps\":{\"alert\":\"l1\"}}\n{\"aps\":{\"alert\":\"l2\"}}\n");
  // A one-line array file is one JSON value too: one request per element.
  const auto oneLine = scratch.write("one-line.json", "[{\"aps\":{\"alert\":\"e\"}}]");

  const auto result =
      runHost(args({single, "-", array, lines, oneLine}), "{\"aps\":{\"alert\":\"stdin\"}}\n");

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(namesAndBodies(result),
            (std::vector<std::string>{"1=single", "2=stdin", "3=first", "kept=second", "5=l1",
                                      "6=l2", "7=e"}));
}

TEST_F(HostInputTest, RejectedRequestsAreReportedWithTheirPlaceAndTheRunGoesOn) {
  const std::size_t mebibyte = 1024 * 1024;
  const std::string prefix = "{\"aps\":{\"alert\":\"";
  const std::string suffix = "\"}}";
  const std::string exactlyOneMiB =
      prefix + std::string(mebibyte - prefix.size() - suffix.size(), 'a') + suffix;
  const std::string overOneMiB =
      prefix + std::string(mebibyte + 1 - prefix.size() - suffix.size(), 'a') + suffix;
  const std::string tooDeep = "{\"x\":" + std::string(1000, '[') + std::string(1000, ']') + "}";
  const std::string input =
      "{\"aps\":{\"alert\":\"ok\"}}\n"
      "{\"aps\": nope}\n"
      "[1, 2]\n"
      "{\"identifier\": 7, \"payload\": {}}\n" +
      overOneMiB + "\n" + exactlyOneMiB + "\n" + tooDeep + "\n" +
      "{\"aps\":{\"alert\":\"last\"}}\n";
  const auto array =
      scratch.write("array.json", "[\n  {\"aps\": {\"alert\": \"in array\"}},\n  \"text\"\n]");

  const auto result = runHost(args({"-", scratch.path() + "missing.json", array}), input);

  EXPECT_EQ(result.status, 1);
  const auto errors = result.errLines();
  ASSERT_EQ(errors.size(), 7u) << result.err;
  EXPECT_EQ(errors[0].rfind("corvanta-nse: <stdin>:2: not valid JSON", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], "corvanta-nse: <stdin>:3: not a JSON object but array");
  EXPECT_EQ(errors[2], "corvanta-nse: <stdin>:4: the envelope's \"identifier\" is not a string");
  EXPECT_EQ(errors[3].rfind("corvanta-nse: <stdin>:5: longer than 1 MiB", 0), 0u) << errors[3];
  EXPECT_EQ(errors[4].rfind("corvanta-nse: <stdin>:7: nested deeper than", 0), 0u) << errors[4];
  EXPECT_EQ(
      errors[5].rfind("corvanta-nse: " + scratch.path() + "missing.json" + ": cannot read", 0), 0u)
      << errors[5];
  EXPECT_EQ(errors[6], "corvanta-nse: " + array + ":3: not a JSON object but string");

  // Identifiers count accepted requests only; the 1 MiB request itself is accepted.
  const auto all = deliveries(result);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0]["request"], "1");
  EXPECT_EQ(all[1]["request"], "2");
  EXPECT_EQ(all[1]["content"]["body"].get<std::string>().size(),
            mebibyte - prefix.size() - suffix.size());
  EXPECT_EQ(all[2]["request"], "3");
  EXPECT_EQ(all[2]["content"]["body"], "last");
  EXPECT_EQ(all[3]["request"], "4");
  EXPECT_EQ(all[3]["content"]["body"], "in array");
}

TEST_F(HostInputTest, UsageErrorsExitWithTwoAndSayWhatWasWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--time-limit", "0"}, "--time-limit"},
      {{"--time-limit", "-1"}, "--time-limit"},
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
    EXPECT_EQ(result.err.rfind("corvanta-nse: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
  }

  // Decimals are allowed, and a repeated option takes its last value.
  const auto decimals = runHost(args({"--time-limit", "0.25", "--format", "text"}));
  EXPECT_EQ(decimals.status, 0) << decimals.err;

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
