// A file URL's path must name the file that was written, so its escapes are decoded exactly
// once and query and fragment stay out; and where downloads are staged: the name taken from
// the URL text, and the file a staging URL reaches once parsed.
#include <gtest/gtest.h>

#include "attachment/StagingFileURL.h"
#include "platform/foundation/NSURL.h"

namespace corvanta {
namespace {

// The absolute string when it is not `text`, then "scheme|host|port|path", then "?query" and
// "#fragment" when present; '-' for no port. "none" when the text does not parse.
std::string parsed(const char* text) {
  const auto url = NSURL::URLWithString(text);
  if (!url) return "none";
  return (url->absoluteString() == text ? "" : url->absoluteString() + " ") + url->scheme() + "|" +
         url->host() + "|" + (url->port() ? std::to_string(*url->port()) : "-") + "|" +
         url->path() + (url->query() ? "?" + *url->query() : "") +
         (url->fragment() ? "#" + *url->fragment() : "");
}

TEST(URLParsing, EncodesWhatMayNotStandAndSplitsIntoPartsDecodingThePathOnce) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/a b", "http://h/a%20b http|h|-|/a b"},
      {"http://h/\"<>\\^`{|}", "http://h/%22%3C%3E%5C%5E%60%7B%7C%7D http|h|-|/\"<>\\^`{|}"},
      {"http://h/caf\xC3\xA9\t", "http://h/caf%C3%A9%09 http|h|-|/caf\xC3\xA9\t"},
      {"http://h/p?q#f#g", "http://h/p?q#f%23g http|h|-|/p?q#f%23g"},
      {"http://h/100%", "http://h/100%25 http|h|-|/100%"},
      {"http://h/%zz%41", "http://h/%25zz%41 http|h|-|/%zzA"},
      {"http://h/a[1]?x=[2]", "http://h/a%5B1%5D?x=%5B2%5D http|h|-|/a[1]?x=%5B2%5D"},
      {"file:///T/a/../b", "file||-|/T/a/../b"},
      {"HTTPS://Ex.com:0443/a%2Fb?x=1&y=%20#f", "https|Ex.com|443|/a/b?x=1&y=%20#f"},
      {"http://host", "http|host|-|"},
      {"http://host:/p?#", "http|host|-|/p?#"},
      {"http://[2001:db8::7]:65535/v6", "http|2001:db8::7|65535|/v6"},
      {"a/b", "||-|a/b"},
      {"//h/p", "|h|-|/p"},
      {"file:///T/pic.png#top", "file||-|/T/pic.png#top"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
  // Not UTF-8: truncated, overlong, a surrogate, past U+10FFFF, a byte no character starts.
  for (const char* text :
       {"", "\xC3", "\xE2\x82", "\xC0\xAF", "http://h/\xED\xA0\x80", "\xF4\x90\x80\x80",
        "http://h/\xFF", "1http://x", "ht tp://x", "http://h:65536/",
        "http://h:99999999999999999999/", "http://h:8a/", "http://a]b/"}) {
    EXPECT_EQ(parsed(text), "none") << text;
  }
}

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
