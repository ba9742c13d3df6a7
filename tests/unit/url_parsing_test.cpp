#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/NSURL.h"

namespace corvanta {
namespace {

struct Case {
  const char* text;
  const char* expected;
};

// "scheme|host|port|path" then "?query" and "#fragment" when present; '-' for no port.
std::string parts(const NSURL& url) {
  return url.scheme() + "|" + url.host() + "|" + (url.port() ? std::to_string(*url.port()) : "-") +
         "|" + url.path() + (url.query() ? "?" + *url.query() : "") +
         (url.fragment() ? "#" + *url.fragment() : "");
}

TEST(URLParsing, EncodesWhatMayNotStandAndKeepsValidEscapes) {
  const Case cases[] = {
      {"http://h/a b", "http://h/a%20b"},
      {"http://h/\"<>\\^`{|}", "http://h/%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"http://h/caf\xC3\xA9\t", "http://h/caf%C3%A9%09"},
      {"http://h/p?q#f#g", "http://h/p?q#f%23g"},
      {"http://h/100%", "http://h/100%25"},
      {"http://h/%zz%41", "http://h/%25zz%41"},
      {"http://h/a[1]?x=[2]", "http://h/a%5B1%5D?x=%5B2%5D"},
      {"http://[::1]:8080/x", "http://[::1]:8080/x"},
      {"file:///T/a/../b", "file:///T/a/../b"},
  };
  for (const auto& c : cases) {
    const auto url = NSURL::URLWithString(c.text);
    ASSERT_NE(url, nullptr) << c.text;
    EXPECT_EQ(url->absoluteString(), c.expected) << c.text;
  }
  for (const char* text :
       {"", "\xC3", "http://h/\xFF", "http://h/\xED\xA0\x80", "1http://x", "ht tp://x",
        "http://h:65536/", "http://h:99999999999999999999/", "http://h:8a/", "http://a]b/"}) {
    EXPECT_EQ(NSURL::URLWithString(text), nullptr) << text;
  }
}

// A file URL's path must name the file that was written, so escapes are decoded exactly once
// and query and fragment stay out (the staging file tests hold the names themselves).
TEST(URLParsing, SplitsIntoPartsDecodingThePathOnce) {
  const Case cases[] = {
      {"HTTPS://Ex.com:0443/a%2Fb?x=1&y=%20#f", "https|Ex.com|443|/a/b?x=1&y=%20#f"},
      {"http://host", "http|host|-|"},
      {"http://host:/p?#", "http|host|-|/p?#"},
      {"http://[2001:db8::7]:65535/v6", "http|2001:db8::7|65535|/v6"},
      {"a/b", "||-|a/b"},
      {"//h/p", "|h|-|/p"},
      {"file:///T/a%20b?x#y", "file||-|/T/a b?x#y"},
      {"file:///T/pic.png#top", "file||-|/T/pic.png#top"},
  };
  for (const auto& c : cases) {
    const auto url = NSURL::URLWithString(c.text);
    ASSERT_NE(url, nullptr) << c.text;
    EXPECT_EQ(parts(*url), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace corvanta
