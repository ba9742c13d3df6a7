// Where downloads are staged: the name taken from the URL text, and the file a staging URL
// reaches once parsed.
#include <gtest/gtest.h>

#include "attachment/StagingFileURL.h"
#include "platform/foundation/NSString.h"
#include "platform/foundation/NSURL.h"

namespace corvanta {
namespace {

struct StagingCase {
  const char* attachmentURL;
  const char* urlText;
  const char* file;
};

TEST(StagingFileURL, NameComesFromTheURLTextAndTheFileFromTheParsedURL) {
  const StagingCase cases[] = {
      {"https://cdn.test/media/pic.png", "file:///T/pic.png", "/T/pic.png"},
      {"https://cdn.test/pic.png?v=2", "file:///T/pic.png?v=2", "/T/pic.png"},
      {"https://cdn.test/pic.png?p=a/b.jpg", "file:///T/b.jpg", "/T/b.jpg"},
      {"https://cdn.test/a/b/", "file:///T/b", "/T/b"},
      {"https://cdn.test/my pic.png", "file:///T/my%20pic.png", "/T/my pic.png"},
      {"https://cdn.test/my%20pic.png", "file:///T/my%2520pic.png", "/T/my%20pic.png"},
      {"https://cdn.test/pic#1.png", "file:///T/pic%231.png", "/T/pic#1.png"},
      {"https://cdn.test", "file:///T/cdn.test", "/T/cdn.test"},
      {"", "file:///T/", "/T/"},
      {"https://cdn.test/\xC3\xA9t\xC3\xA9.png", "file:///T/%C3%A9t%C3%A9.png",
       "/T/\xC3\xA9t\xC3\xA9.png"},
      {"pic.png", "file:///T/pic.png", "/T/pic.png"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attachmentURL);
    const auto text = stagingFileURLString(c.attachmentURL, "/T/");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, c.urlText);
    const auto url = NSURL::URLWithString(*text);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(url->path(), c.file);
  }
}

TEST(StagingFileURL, TextThatIsNotUTF8HasNoStagingFile) {
  EXPECT_FALSE(stagingFileURLString("https://cdn.test/\xFF.png", "/T/"));
}

TEST(LastPathComponent, ReadsTheTextAsASlashSeparatedPath) {
  EXPECT_EQ(lastPathComponent("/a/b.png"), "b.png");
  EXPECT_EQ(lastPathComponent("a/b//"), "b");
  EXPECT_EQ(lastPathComponent("plain"), "plain");
  EXPECT_EQ(lastPathComponent("/"), "/");
  EXPECT_EQ(lastPathComponent(""), "");
  EXPECT_EQ(lastPathComponent("http://h/x.png?q=1/2"), "2");
}

TEST(PercentEncoding, EncodesEverythingOutsideTheQuerySetAsUppercaseUTF8Octets) {
  const auto& query = NSCharacterSet::URLQueryAllowedCharacterSet();
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("% #[]\"<>\\^`{|}\x7F", query),
            "%25%20%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D%7F");
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("\xE2\x82\xAC", query), "%E2%82%AC");
  // Overlong forms, surrogates and truncated sequences are not text.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(stringByAddingPercentEncodingWithAllowedCharacters(bad, query)) << bad;
  }
}

}  // namespace
}  // namespace corvanta
