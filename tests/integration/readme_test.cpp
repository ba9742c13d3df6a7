// The README's examples are what the host prints: its demo transcript (run for real through
// scripts/demo), line for line but for times, ports and paths, and its JSON example, key for
// key and type for type.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta::testing {
namespace {

using OrderedJSON = nlohmann::ordered_json;

// The first fenced block after `heading`, without its fences.
std::string blockAfter(const std::string& text, const std::string& heading) {
  const auto at = text.find(heading);
  if (at == std::string::npos) return "";
  const auto open = text.find("```", at);
  const auto start = text.find('\n', open) + 1;
  return text.substr(start, text.find("```", start) - start);
}

// The lines of `text` that say something, with what differs from run to run (times, sizes,
// ports, counts) made alike and the build folder called "build", sorted: deliveries of
// different requests may come in any order.
std::vector<std::string> comparable(const std::string& text, const std::string& build) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    for (auto at = line.find(build); at != std::string::npos; at = line.find(build, at)) {
      line.replace(at, build.size(), "build");
    }
    lines.push_back(std::regex_replace(line, std::regex("[0-9]+(\\.[0-9]+)?"), "#"));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Each key, in order, with the shape of its value; an array by its first element.
std::string shape(const OrderedJSON& value) {
  if (value.is_object()) {
    std::string text = "{";
    for (const auto& [key, member] : value.items()) text += key + ":" + shape(member) + ",";
    return text + "}";
  }
  if (value.is_array()) return "[" + (value.empty() ? "" : shape(value.front())) + "]";
  return value.is_number() ? "number" : value.type_name();
}

TEST(ReadmeTest, TheDemoTranscriptIsWhatTheDemoPrints) {
  const std::string build = std::filesystem::path(kHostBinary).parent_path();
  // A container of its own: other runs of the demo may hold the default one.
  const ScratchDirectory scratch;
  HostProcess demo(sourcePath("scripts/demo"), {build, build + "/preview.html"},
                   {"TMPDIR=" + scratch.path()});
  const HostResult result = demo.wait();
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string readme = readFile(sourcePath("README.md"));
  EXPECT_EQ(comparable(result.out + result.err, build),
            comparable(blockAfter(readme, "### Demo"), build));
}

TEST(ReadmeTest, TheJSONExampleHasTheShapeOfADelivery) {
  const TestOrigin origin(servePicture);
  const ScratchDirectory scratch;
  const OrderedJSON request = {
      {"identifier", "png"},
      {"payload",
       {{"aps", {{"alert", {{"title", "PNG"}, {"body", "An image"}}}, {"mutable-content", 1}}},
        {"att_url", origin.url("/pic.png")}}}};
  const HostResult result =
      runHost({"--container", scratch.path() + "container"}, request.dump() + "\n");
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string example = blockAfter(readFile(sourcePath("README.md")), "With `--format json`");
  EXPECT_EQ(shape(OrderedJSON::parse(result.outLines().at(0))), shape(OrderedJSON::parse(example)));
}

}  // namespace
}  // namespace corvanta::testing
