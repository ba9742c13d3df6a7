// An absolute or relative URL, parsed from text. Immutable; safe to share between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvanta {

class NSURL {
 public:
  // Parses `text` as the platform does. Characters not allowed where they stand (space,
  // non-ASCII bytes, " < > \ ^ ` { | }, a second '#') are percent-encoded first; valid
  // escapes are kept; a '%' not followed by two hex digits becomes "%25". Gives nullptr for
  // the empty text, for text that is not valid UTF-8, and for text that still is not an
  // RFC 3986 URI reference with a valid scheme and port.
  static std::shared_ptr<NSURL> URLWithString(std::string_view text);

  // The whole URL text, after the encoding above.
  const std::string& absoluteString() const { return _absoluteString; }
  // Lower-cased scheme, "" for a relative reference.
  const std::string& scheme() const { return _scheme; }
  // The host as written (escapes kept), "" when there is none.
  const std::string& host() const { return _host; }
  std::optional<int> port() const { return _port; }
  // The path with its escapes decoded once; query and fragment are not part of it.
  const std::string& path() const { return _path; }
  // The query without its '?', still encoded; nullopt when the URL has none.
  const std::optional<std::string>& query() const { return _query; }
  const std::optional<std::string>& fragment() const { return _fragment; }
  bool isFileURL() const { return _scheme == "file"; }

  struct Parts {
    std::string absoluteString, scheme, host, path;
    std::optional<int> port;
    std::optional<std::string> query, fragment;
  };
  explicit NSURL(Parts parts);

 private:
  std::string _absoluteString;
  std::string _scheme;
  std::string _host;
  std::optional<int> _port;
  std::string _path;
  std::optional<std::string> _query;
  std::optional<std::string> _fragment;
};

}  // namespace corvanta
