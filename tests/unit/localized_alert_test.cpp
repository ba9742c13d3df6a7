// Localized alerts: the --strings table, read from either kind of file, and the alert text
// that the payload mapping gives with it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/extension_host/device/NotificationPayload.h"
#include "platform/foundation/JSONValue.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

using nlohmann::json;

TEST(LocalizedAlertTest, KeysResolveThroughEitherKindOfFileAndFillTheirArguments) {
  const std::string stringsFile = R"(/* The shop's alerts. */
"SHOP" = "Shop";  // a trailing comment
"ORDER" = "Order %@ of %@ \"%%\"\t\U00e9";
"SWAP" = "%2$@ then %1$@";
EMPTY = "";
)";
  const json sameAsJSON = {{"SHOP", "Shop"},
                           {"ORDER", "Order %@ of %@ \"%%\"\t\u00e9"},
                           {"SWAP", "%2$@ then %1$@"},
                           {"EMPTY", ""}};
  const json order = {{"title-loc-key", "SHOP"}, {"loc-key", "ORDER"}, {"loc-args", {"42"}}};
  // The alert, then what shows (title|subtitle|body) and whether the extension runs.
  const std::vector<std::tuple<json, std::string, bool>> cases = {
      // A missing argument fills nothing; %% is a percent sign; escapes are read.
      {order, "Shop||Order 42 of  \"%\"\t\u00e9", true},
      {{{"subtitle-loc-key", "SWAP"}, {"subtitle-loc-args", {1, "b"}}}, "|b then 1|", true},
      // A key that resolves wins over a literal; one that does not gives way to it.
      {{{"title", "literal"}, {"title-loc-key", "SHOP"}}, "Shop||", true},
      {{{"body", "literal"}, {"loc-key", "NOPE"}}, "||literal", true},
      {{{"loc-key", "NOPE %@"}, {"loc-args", {"x"}}}, "||NOPE x", true},
      {{{"loc-key", "EMPTY"}}, "||", false},
  };
  const auto shown = [](const json& alert, const LocalizedStrings* table) {
    const auto payload = dictionaryWithJSON({{"aps", {{"alert", alert}, {"mutable-content", 1}}}});
    const auto content = contentFromPayload(payload, table);
    const bool runs = !reasonExtensionDoesNotRun("alert", *payload, table);
    return std::pair{content->title() + "|" + content->subtitle() + "|" + content->body(), runs};
  };
  testing::ScratchDirectory scratch;
  for (const auto& [name, text] :
       {std::pair{"en.strings", stringsFile}, std::pair{"en.json", sameAsJSON.dump(2)}}) {
    const auto table = LocalizedStrings::load(scratch.write(name, text));
    ASSERT_TRUE(table.ok()) << table.failure().message;
    for (const auto& [alert, expected, runs] : cases) {
      EXPECT_EQ(shown(alert, &*table), std::pair(expected, runs)) << name << " " << alert;
    }
  }
  // Without a table, each key is its own format.
  EXPECT_EQ(shown(order, nullptr), std::pair(std::string("SHOP||ORDER"), true));
}

TEST(LocalizedAlertTest, ABadStringsFileFailsNamingItsLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"A\" = \"x\";\n\"B\" = \"y\"\n\"C\" = \"z\";\n", "en:2: expected ';'"},
      {"/* never closed\n\"A\" = \"x\";\n", "en:1: unclosed comment"},
      {"{\n  \"A\": \"x\",\n  \"B\" \"y\"\n}\n", "en:3: not valid JSON"},
      {"{\n  \"A\": \"x\",\n  \"B\": 2\n}\n", "en:3: the format for \"B\" is not a string"},
  };
  for (const auto& [text, says] : cases) {
    const auto table = LocalizedStrings::parse(text, "en");
    ASSERT_FALSE(table.ok()) << says;
    EXPECT_TRUE(table.failure().message.starts_with(says)) << table.failure().message;
  }
}

}  // namespace
}  // namespace corvanta
