#include "platform/foundation/NSURL.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/NSCharacterSet.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

// Characters that may stand anywhere in a URI reference. '%', '#', '[' and ']' are not here:
// whether they may stand depends on what surrounds them.
const NSCharacterSet& uriCharacters() {
  static const NSCharacterSet set(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
      "-._~:/?@!$&'()*+,;=");
  return set;
}

bool isAsciiAlpha(char c) {
  return asciiLowercase(c) >= 'a' && asciiLowercase(c) <= 'z';
}

// Where the path begins: after "scheme:" and after "//authority" when the text has them.
std::size_t pathBegin(std::string_view text) {
  std::size_t position = 0;
  if (!text.empty() && isAsciiAlpha(text[0])) {
    const auto end =
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-.");
    if (end != std::string_view::npos && text[end] == ':') position = end + 1;
  }
  if (text.substr(position, 2) != "//") return position;
  return std::min(text.find_first_of("/?#", position + 2), text.size());
}

// Percent-encodes what may not stand where it is, keeping valid escapes. Brackets may stand
// only in the authority (around an IP literal); a '#' only once, to open the fragment.
std::optional<std::string> encodeDisallowed(std::string_view text) {
  const std::size_t authorityEnd = pathBegin(text);
  std::string encoded;
  encoded.reserve(text.size());
  std::size_t runStart = 0;
  bool inFragment = false;
  // Runs between the context-dependent characters are split only at ASCII bytes, so each
  // run stays valid UTF-8 when the whole text is.
  auto flushRun = [&](std::size_t end) {
    const auto run = stringByAddingPercentEncodingWithAllowedCharacters(
        text.substr(runStart, end - runStart), uriCharacters());
    if (!run) return false;
    encoded += *run;
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '%' && c != '#' && c != '[' && c != ']') continue;
    if (!flushRun(i)) return std::nullopt;
    runStart = i + 1;
    if (c == '%') {
      const bool escape = i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0;
      encoded += escape ? "%" : "%25";
    } else if (c == '#') {
      encoded += inFragment ? "%23" : "#";
      inFragment = true;
    } else if (i < authorityEnd) {
      encoded += c;
    } else {
      encoded += c == '[' ? "%5B" : "%5D";
    }
  }
  if (!flushRun(text.size())) return std::nullopt;
  return encoded;
}

class ParsedUri {
 public:
  ParsedUri() = default;
  ~ParsedUri() {
    if (_parsed) uriFreeUriMembersA(&_uri);
  }
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;

  // `text` must outlive this object: the parsed ranges point into it.
  bool parse(const std::string& text) {
    const char* errorPosition = nullptr;
    _parsed = uriParseSingleUriA(&_uri, text.c_str(), &errorPosition) == URI_SUCCESS;
    return _parsed;
  }
  const UriUriA& uri() const { return _uri; }

 private:
  UriUriA _uri{};
  bool _parsed = false;
};

std::optional<std::string> rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr) return std::nullopt;
  return std::string(range.first, range.afterLast);
}

// nullopt when no port is written; an error when it is outside 0..65535.
std::pair<std::optional<int>, bool> parsePort(const UriTextRangeA& range) {
  if (range.first == nullptr || range.first == range.afterLast) return {std::nullopt, true};
  int port = 0;
  const auto [end, error] = std::from_chars(range.first, range.afterLast, port);
  if (error != std::errc() || end != range.afterLast || port > 65535) return {std::nullopt, false};
  return {port, true};
}

}  // namespace

NSURL::NSURL(Parts parts)
    : _absoluteString(std::move(parts.absoluteString)),
      _scheme(std::move(parts.scheme)),
      _host(std::move(parts.host)),
      _port(parts.port),
      _path(std::move(parts.path)),
      _query(std::move(parts.query)),
      _fragment(std::move(parts.fragment)) {}

std::shared_ptr<NSURL> NSURL::URLWithString(std::string_view text) {
  if (text.empty() || !isValidUTF8(text)) return nullptr;
  const auto encoded = encodeDisallowed(text);
  if (!encoded) return nullptr;
  ParsedUri parsed;
  if (!parsed.parse(*encoded)) return nullptr;
  const UriUriA& uri = parsed.uri();
  const auto [port, portValid] = parsePort(uri.portText);
  if (!portValid) return nullptr;

  Parts parts;
  parts.absoluteString = *encoded;
  parts.scheme = asciiLowercase(rangeText(uri.scheme).value_or(""));
  parts.host = rangeText(uri.hostText).value_or("");
  parts.port = port;
  parts.query = rangeText(uri.query);
  parts.fragment = rangeText(uri.fragment);
  // The query and fragment ranges start just past their '?' or '#'.
  const char* pathEnd = uri.query.first      ? uri.query.first - 1
                        : uri.fragment.first ? uri.fragment.first - 1
                                             : encoded->data() + encoded->size();
  const std::size_t begin = pathBegin(*encoded);
  const auto end = static_cast<std::size_t>(pathEnd - encoded->data());
  parts.path = stringByRemovingPercentEncoding(
      std::string_view(*encoded).substr(begin, end > begin ? end - begin : 0));
  return std::make_shared<NSURL>(std::move(parts));
}

}  // namespace corvanta
