// A file URL's path must name the file that was written, so its escapes are decoded exactly
// once and query and fragment stay out (the staging file tests hold the names themselves).
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace corvanta
