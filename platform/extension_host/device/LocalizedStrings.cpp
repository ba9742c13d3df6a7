#include "platform/extension_host/device/LocalizedStrings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using Formats = std::unordered_map<std::string, std::string>;

int lineAt(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
}

void appendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Reads the strings-file grammar: entries `KEY = VALUE;` (or `KEY;`, whose value is the key),
// each side a quoted string or a bare word. A failure records where it began, so the message
// points at the line a person would look at: the start of an unclosed string or comment.
class StringsScanner {
 public:
  explicit StringsScanner(std::string_view text) : _text(text) {}

  bool parse(Formats& formats) {
    while (skipSpaceAndComments()) {
      if (_at == _text.size()) return true;
      std::string key, value;
      if (!token(key, "a quoted key")) return false;
      std::size_t entryEnd = _at;  // where a missing ';' belongs
      if (!skipSpaceAndComments()) return false;
      if (peek() == '=') {
        ++_at;
        if (!skipSpaceAndComments() || !token(value, "a quoted value after '='")) return false;
        entryEnd = _at;
        if (!skipSpaceAndComments()) return false;
      } else {
        value = key;
      }
      if (peek() != ';') return fail("expected ';' after the entry for \"" + key + "\"", entryEnd);
      ++_at;
      formats.insert_or_assign(std::move(key), std::move(value));
    }
    return false;
  }

  int problemLine() const { return lineAt(_text, _problemAt); }
  const std::string& problem() const { return _problem; }

 private:
  char peek() const { return _at < _text.size() ? _text[_at] : '\0'; }

  bool fail(std::string problem, std::optional<std::size_t> at = std::nullopt) {
    _problem = std::move(problem);
    _problemAt = at.value_or(_at);
    return false;
  }

  bool skipSpaceAndComments() {
    while (_at < _text.size()) {
      if (std::isspace(static_cast<unsigned char>(_text[_at]))) {
        ++_at;
      } else if (_text.substr(_at, 2) == "//") {
        _at = std::min(_text.find('\n', _at), _text.size());
      } else if (_text.substr(_at, 2) == "/*") {
        const std::size_t end = _text.find("*/", _at + 2);
        if (end == std::string_view::npos) return fail("unclosed comment");
        _at = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_.$:/-", c);
  }

  bool token(std::string& out, const char* expected) {
    if (peek() == '"') return quoted(out);
    const std::size_t start = _at;
    while (_at < _text.size() && isWordCharacter(_text[_at])) ++_at;
    if (_at == start) return fail(std::string("expected ") + expected);
    out.assign(_text.substr(start, _at - start));
    return true;
  }

  bool quoted(std::string& out) {
    const std::size_t start = _at++;
    while (_at < _text.size()) {
      const char c = _text[_at++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
      } else if (!escape(out)) {
        return false;
      }
    }
    return fail("unclosed string", start);
  }

  // After a backslash: \n \t \r \a \b \f \v, up to three octal digits, \uXXXX or \UXXXX
  // (a surrogate pair making one character), or the character itself (\" \' \\).
  bool escape(std::string& out) {
    if (_at == _text.size()) return true;  // reported as the unclosed string
    const char c = _text[_at++];
    static constexpr std::string_view kLetters = "ntrabfv", kCodes = "\n\t\r\a\b\f\v";
    if (const std::size_t i = kLetters.find(c); i != std::string_view::npos) {
      out += kCodes[i];
    } else if (c >= '0' && c <= '7') {
      unsigned value = static_cast<unsigned>(c - '0');
      for (int digits = 1; digits < 3 && peek() >= '0' && peek() <= '7'; ++digits)
        value = value * 8 + static_cast<unsigned>(_text[_at++] - '0');
      appendUTF8(out, value);
    } else if (c == 'u' || c == 'U') {
      std::optional<char32_t> unit = hex4();
      if (!unit) return fail("expected four hex digits after \\" + std::string(1, c));
      if (*unit >= 0xD800 && *unit < 0xDC00 && _text.substr(_at, 2) == "\\u") {
        _at += 2;
        const std::optional<char32_t> low = hex4();
        if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail("unpaired surrogate");
        unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
      }
      appendUTF8(out, *unit);
    } else {
      out += c;
    }
    return true;
  }

  std::optional<char32_t> hex4() {
    if (_at + 4 > _text.size()) return std::nullopt;
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = _text[_at + i];
      const int digit = hexDigitValue(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<char32_t>(digit);
    }
    _at += 4;
    return value;
  }

  std::string_view _text;
  std::size_t _at = 0;
  std::string _problem;
  std::size_t _problemAt = 0;
};

// The line where `key` first appears quoted in `text`: the JSON parser gives no positions
// for values, and a person fixes the entry there.
int lineOfKey(std::string_view text, const std::string& key) {
  const std::size_t found = text.find(nlohmann::json(key).dump());
  return found == std::string_view::npos ? 1 : lineAt(text, found);
}

std::optional<std::string> parseJSON(std::string_view text, Formats& formats, int& line) {
  nlohmann::json object;
  try {
    object = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    line = lineAt(text, error.byte == 0 ? 0 : error.byte - 1);
    const std::string what = parserMessage(error);
    return "not valid JSON: " + what.substr(what.find(": ") + 2);
  }
  if (!object.is_object()) return "not a JSON object of key to format";
  for (const auto& [key, value] : object.items()) {
    if (!value.is_string()) {
      line = lineOfKey(text, key);
      return "the format for \"" + key + "\" is not a string";
    }
    formats.emplace(key, value.get<std::string>());
  }
  return std::nullopt;
}

}  // namespace

Result<LocalizedStrings> LocalizedStrings::load(const std::string& path) {
  // O_NONBLOCK: a FIFO given by mistake must not hang the start.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0)
    return Failure::ofErrno(path + ": cannot read");
  if (!S_ISREG(status.st_mode)) return Failure{path + ": cannot read: not a regular file"};
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Failure::ofErrno(path + ": cannot read");
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return parse(text, path);
}

Result<LocalizedStrings> LocalizedStrings::parse(std::string_view text, const std::string& name) {
  const auto fail = [&name](int line, const std::string& problem) {
    return Failure{name + ":" + std::to_string(line) + ": " + problem};
  };
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF"))
    return fail(1, "UTF-16 is not read; save the file as UTF-8");

  LocalizedStrings strings;
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '{') {
    int line = 1;
    if (auto problem = parseJSON(text, strings._formats, line)) return fail(line, *problem);
  } else {
    StringsScanner scanner(text);
    if (!scanner.parse(strings._formats)) return fail(scanner.problemLine(), scanner.problem());
  }
  return strings;
}

const std::string* LocalizedStrings::formatFor(const std::string& key) const {
  const auto found = _formats.find(key);
  return found == _formats.end() ? nullptr : &found->second;
}

std::string formatWithArguments(std::string_view format,
                                const std::vector<std::string>& arguments) {
  std::string out;
  std::size_t next = 0;  // the argument a plain %@ takes
  auto argument = [&](std::size_t index) {
    if (index < arguments.size()) out += arguments[index];
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
    } else if (format.substr(i, 2) == "%%") {
      out += '%';
      ++i;
    } else if (format.substr(i, 2) == "%@") {
      argument(next++);
      ++i;
    } else {
      std::size_t end = i + 1, position = 0;
      while (end < format.size() && std::isdigit(static_cast<unsigned char>(format[end])) &&
             position < 1000)
        position = position * 10 + static_cast<std::size_t>(format[end++] - '0');
      if (end > i + 1 && position > 0 && format.substr(end, 2) == "$@") {
        argument(position - 1);
        i = end + 1;
      } else {
        out += '%';
      }
    }
  }
  return out;
}

}  // namespace corvanta
