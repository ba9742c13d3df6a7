// Localized alerts: the --strings table, loaded from either kind of file, and the alert text
// that the payload mapping gives with it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/extension_host/app/HostOptions.h"
#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/extension_host/device/NotificationPayload.h"
#include "platform/foundation/JSONValue.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

using nlohmann::json;

constexpr const char* kStringsFile = R"(/* The shop's alerts. */
"SHOP" = "Shop";  // a trailing comment
"ORDER" = "Order %@ of %@ \"%%\"\t\U00e9";
"SWAP" = "%2$@ then %1$@";
EMPTY = "";
)";

// The same table as a JSON object.
const json kStringsJSON = {{"SHOP", "Shop"},
                           {"ORDER", "Order %@ of %@ \"%%\"\t\u00e9"},
                           {"SWAP", "%2$@ then %1$@"},
                           {"EMPTY", ""}};

class LocalizedAlertTest : public ::testing::Test {
 protected:
  // Runs the option parser on --strings FILE as the host does; gives its exit status and
  // leaves its message in `_stderr`.
  int loadStrings(const std::string& name, const std::string& text) {
    return loadStrings(_scratch.write(name, text));
  }
  int loadStrings(const std::string& path) {
    std::vector<std::string> words = {"corvanta-nse", "--strings", path};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    ::testing::internal::CaptureStderr();
    const HostOptionsResult result = parseHostOptions(static_cast<int>(argv.size()), argv.data());
    _stderr = ::testing::internal::GetCapturedStderr();
    _strings = result.options ? result.options->strings : nullptr;
    return result.options ? -1 : result.exitStatus;
  }

  testing::ScratchDirectory _scratch;
  std::string _stderr;
  std::shared_ptr<const LocalizedStrings> _strings;  // the table the options loaded
};

TEST_F(LocalizedAlertTest, KeysResolveThroughEitherKindOfFileAndFillTheirArguments) {
  struct Case {
    json aps;
    const char* title;
    const char* subtitle;
    const char* body;
    bool runs = true;
    bool withTable = true;
  };
  const json order = {{"title-loc-key", "SHOP"}, {"loc-key", "ORDER"}, {"loc-args", {"42"}}};
  const std::vector<Case> cases = {
      // A missing argument fills nothing; %% is a percent sign; escapes are read.
      {{{"alert", order}}, "Shop", "", "Order 42 of  \"%\"\t\u00e9"},
      {{{"alert", order}}, "SHOP", "", "ORDER", true, false},
      {{{"alert", {{"subtitle-loc-key", "SWAP"}, {"subtitle-loc-args", {1, "b"}}}}},
       "",
       "b then 1",
       ""},
      // A key that resolves wins over a literal; one that does not gives way to it.
      {{{"alert", {{"title", "literal"}, {"title-loc-key", "SHOP"}}}}, "Shop", "", ""},
      {{{"alert", {{"body", "literal"}, {"loc-key", "NOPE"}}}}, "", "", "literal"},
      {{{"alert", {{"loc-key", "NOPE %@"}, {"loc-args", {"x"}}}}}, "", "", "NOPE x"},
      {{{"alert", {{"loc-key", "EMPTY"}}}}, "", "", "", false},
  };
  for (const auto& [name, text] : {std::pair{"en.strings", std::string(kStringsFile)},
                                   std::pair{"en.json", kStringsJSON.dump(2)}}) {
    ASSERT_EQ(loadStrings(name, text), -1) << _stderr;
    for (const Case& c : cases) {
      SCOPED_TRACE(name + (" " + c.aps.dump()));
      json aps = c.aps;
      aps["mutable-content"] = 1;
      const auto payload = dictionaryWithJSON({{"aps", aps}});
      const LocalizedStrings* strings = c.withTable ? _strings.get() : nullptr;
      const auto content = contentFromPayload(payload, strings);
      EXPECT_EQ(content->title(), c.title);
      EXPECT_EQ(content->subtitle(), c.subtitle);
      EXPECT_EQ(content->body(), c.body);
      const auto reason = reasonExtensionDoesNotRun("alert", *payload, strings);
      EXPECT_EQ(!reason, c.runs) << reason.value_or("");
    }
  }
}

TEST_F(LocalizedAlertTest, ABadStringsFileIsAUsageErrorNamingItsLine) {
  const struct {
    const char* name;
    std::string text;
    const char* says;
  } cases[] = {
      {"semicolon.strings", "\"A\" = \"x\";\n\"B\" = \"y\"\n\"C\" = \"z\";\n",
       "semicolon.strings:2: expected ';'"},
      {"comment.strings", "/* never closed\n\"A\" = \"x\";\n",
       "comment.strings:1: unclosed comment"},
      {"syntax.json", "{\n  \"A\": \"x\",\n  \"B\" \"y\"\n}\n", "syntax.json:3: not valid JSON"},
      {"value.json", "{\n  \"A\": \"x\",\n  \"B\": 2\n}\n", "value.json:3: the format for \"B\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(loadStrings(c.name, c.text), 2) << c.name;
    EXPECT_NE(_stderr.find(c.says), std::string::npos) << _stderr;
  }
  EXPECT_EQ(loadStrings(_scratch.path()), 2) << "a directory is no file to read";
  EXPECT_NE(_stderr.find(_scratch.path() + ": cannot read"), std::string::npos) << _stderr;
}

}  // namespace
}  // namespace corvanta
