// Where downloads are staged: the name taken from the URL text, and the file a staging URL
// reaches once parsed.
#include <gtest/gtest.h>

#include "attachment/StagingFileURL.h"
#include "platform/foundation/NSURL.h"

namespace corvanta {
namespace {

TEST(StagingFileURL, NameComesFromTheURLTextAndTheFileFromTheParsedURL) {
  // The attachment URL, the staging URL's text and the file it reaches; "none" for none.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"https://cdn.test/media/pic.png", "file:///T/pic.png", "/T/pic.png"},
      {"https://cdn.test/pic.png?v=2", "file:///T/pic.png?v=2", "/T/pic.png"},
      {"https://cdn.test/pic.png?p=a/b.jpg", "file:///T/b.jpg", "/T/b.jpg"},
      {"https://cdn.test/a/b//", "file:///T/b", "/T/b"},
      {"https://cdn.test/my pic.png", "file:///T/my%20pic.png", "/T/my pic.png"},
      {"https://cdn.test/my%20pic.png", "file:///T/my%2520pic.png", "/T/my%20pic.png"},
      {"https://cdn.test/pic#1.png", "file:///T/pic%231.png", "/T/pic#1.png"},
      {"https://cdn.test", "file:///T/cdn.test", "/T/cdn.test"},
      {"pic.png", "file:///T/pic.png", "/T/pic.png"},
      {"", "file:///T/", "/T/"},
      {"/", "file:///T//", "/T//"},
      // Everything outside the query set is encoded, as uppercase UTF-8 octets.
      {"https://cdn.test/\xC3\xA9t\xC3\xA9.png", "file:///T/%C3%A9t%C3%A9.png",
       "/T/\xC3\xA9t\xC3\xA9.png"},
      {"[]\"<>\\^`{|}\x7F\xE2\x82\xAC", "file:///T/%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D%7F%E2%82%AC",
       "/T/[]\"<>\\^`{|}\x7F\xE2\x82\xAC"},
      {"https://cdn.test/\xFF.png", "none", "none"},  // not UTF-8
  };
  for (const auto& [attachmentURL, urlText, file] : cases) {
    const auto text = stagingFileURLString(attachmentURL, "/T/");
    const auto url = NSURL::URLWithString(text.value_or(""));
    EXPECT_EQ(std::pair(text.value_or("none"), url ? url->path() : "none"),
              std::pair(urlText, file))
        << attachmentURL;
  }
}

}  // namespace
}  // namespace corvanta
