#include "platform/extension_host/RequestReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/JSONValue.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;
constexpr std::size_t kMaximum = RequestReader::kMaximumRequestBytes;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

bool isSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), isSpace);
}

// Follows strings and brackets byte by byte: enough to find where a value ends and how
// deeply it nests, without parsing it.
class NestingTracker {
 public:
  // Returns true when `c` closed the outermost bracket or string.
  bool feed(char c) {
    if (_inString) {
      if (_escape) {
        _escape = false;
      } else if (c == '\\') {
        _escape = true;
      } else if (c == '"') {
        _inString = false;
        return _depth == 0;
      }
    } else if (c == '"') {
      _inString = true;
    } else if (c == '{' || c == '[') {
      _nesting = std::max(_nesting, ++_depth);
    } else if (c == '}' || c == ']') {
      return --_depth == 0;
    }
    return false;
  }
  int nesting() const { return _nesting; }

 private:
  int _depth = 0;
  int _nesting = 0;
  bool _inString = false;
  bool _escape = false;
};

int nestingOf(const std::string& text) {
  NestingTracker tracker;
  for (const char c : text) tracker.feed(c);
  return tracker.nesting();
}

enum class Shape { notOneValue, object, array, other };

// Notes the shape of the top-level value while the parser checks the whole input; builds
// nothing, so a large file costs no memory.
class ShapeSniffer : public nlohmann::json_sax<JSON> {
 public:
  Shape shape() const { return _shape; }

  bool null() override { return note(Shape::other); }
  bool boolean(bool) override { return note(Shape::other); }
  bool number_integer(number_integer_t) override { return note(Shape::other); }
  bool number_unsigned(number_unsigned_t) override { return note(Shape::other); }
  bool number_float(number_float_t, const string_t&) override { return note(Shape::other); }
  bool string(string_t&) override { return note(Shape::other); }
  bool binary(binary_t&) override { return note(Shape::other); }
  bool start_object(std::size_t) override { return note(Shape::object); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return note(Shape::array); }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool note(Shape shape) {
    if (_shape == Shape::notOneValue) _shape = shape;
    return true;
  }
  Shape _shape = Shape::notOneValue;
};

Shape sniffShape(std::FILE* file) {
  ShapeSniffer sniffer;
  const bool whole = JSON::sax_parse(file, &sniffer, JSON::input_format_t::json, true);
  std::rewind(file);
  return whole ? sniffer.shape() : Shape::notOneValue;
}

// Reads JSON values out of a file known to be valid JSON, counting lines as it goes.
class ValueScanner {
 public:
  explicit ValueScanner(std::FILE* file) : _file(file) {}

  std::size_t line() const { return _line; }

  int next() {
    const int c = getc_unlocked(_file);
    if (c == '\n') ++_line;
    return c;
  }

  // The first byte after white space (and a byte order mark at the very start), or EOF.
  int skipSpace() {
    int c = next();
    if (_atStart && c == 0xEF) {
      next();
      next();
      c = next();
    }
    _atStart = false;
    while (isSpace(c)) c = next();
    return c;
  }

  // Reads the value that starts with `first`: its bytes (at most kMaximum + 1 of them) into
  // `text`, its full length and nesting.
  void readValue(int first, std::string& text, std::size_t& length, int& nesting) {
    text.clear();
    length = 0;
    auto keep = [&](int c) {
      ++length;
      if (text.size() <= kMaximum) text.push_back(static_cast<char>(c));
    };
    NestingTracker tracker;
    if (first != '{' && first != '[' && first != '"') {
      int c = first;
      while (c != EOF && !isSpace(c) && c != ',' && c != ']' && c != '}') {
        keep(c);
        c = next();
      }
      putBack(c);
    } else {
      for (int c = first; c != EOF; c = next()) {
        keep(c);
        if (tracker.feed(static_cast<char>(c))) break;
      }
    }
    nesting = tracker.nesting();
  }

 private:
  void putBack(int c) {
    if (c == EOF) return;
    if (c == '\n') --_line;
    std::ungetc(c, _file);
  }

  std::FILE* _file;
  std::size_t _line = 1;
  bool _atStart = true;
};

// One line without its newline (and a '\r' before it): at most kMaximum + 1 bytes of it in
// `text`, its full length in `length`. False at the end of the input.
bool readLine(std::FILE* file, std::string& text, std::size_t& length) {
  text.clear();
  length = 0;
  int c = getc_unlocked(file);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = getc_unlocked(file)) {
    ++length;
    if (text.size() <= kMaximum) text.push_back(static_cast<char>(c));
  }
  if (length == text.size() && !text.empty() && text.back() == '\r') {
    text.pop_back();
    --length;
  }
  return true;
}

// "at column 7: syntax error ..." from the parser's message, which names line 1 of a text
// that is always a single request.
std::string describeParseError(const JSON::parse_error& error) {
  const std::string message = error.what();
  const auto column = message.find("column ");
  if (column == std::string::npos) return message;
  return "at " + message.substr(column);
}

// Files that are not regular (a pipe, a terminal) are copied first, so that they too can be
// read twice: once to learn their shape, once for their requests.
OwnedFile openInput(const std::string& name, int* error) {
  OwnedFile file(std::fopen(name.c_str(), "rbe"));
  if (!file) {
    *error = errno;
    return nullptr;
  }
  struct stat status {};
  if (::fstat(::fileno(file.get()), &status) != 0) {
    *error = errno;
    return nullptr;
  }
  if (S_ISDIR(status.st_mode)) {
    *error = EISDIR;
    return nullptr;
  }
  if (S_ISREG(status.st_mode)) return file;
  OwnedFile copy(std::tmpfile());
  if (!copy) {
    *error = errno;
    return nullptr;
  }
  char buffer[65536];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (std::fwrite(buffer, 1, count, copy.get()) != count) {
      *error = errno;
      return nullptr;
    }
  }
  if (std::ferror(file.get())) {
    *error = errno;
    return nullptr;
  }
  std::rewind(copy.get());
  return copy;
}

}  // namespace

void RequestReader::read(const std::string& input) {
  if (input == "-") {
    std::clearerr(stdin);
    readJSONLines(stdin, "<stdin>");
    return;
  }
  int error = 0;
  const OwnedFile file = openInput(input, &error);
  if (!file) {
    reportUnreadable(input, error);
    return;
  }
  switch (sniffShape(file.get())) {
    case Shape::notOneValue:
      readJSONLines(file.get(), input);
      break;
    case Shape::array:
      readArray(file.get(), input);
      break;
    case Shape::object:
    case Shape::other:
      readSingleValue(file.get(), input);
      break;
  }
}

void RequestReader::readJSONLines(std::FILE* file, const std::string& name) {
  std::string text;
  std::size_t length = 0;
  for (std::size_t line = 1; readLine(file, text, length); ++line) {
    if (length <= kMaximum && isBlank(text)) continue;
    take(text, length, length <= kMaximum ? nestingOf(text) : 0, name, line);
  }
  if (std::ferror(file)) reportUnreadable(name, errno);
}

void RequestReader::readArray(std::FILE* file, const std::string& name) {
  ValueScanner scanner(file);
  scanner.skipSpace();  // the '['
  std::string text;
  std::size_t length = 0;
  int nesting = 0;
  for (int c = scanner.skipSpace(); c != EOF && c != ']'; c = scanner.skipSpace()) {
    const std::size_t line = scanner.line();
    scanner.readValue(c, text, length, nesting);
    take(text, length, nesting, name, line);
    if (scanner.skipSpace() != ',') break;
  }
  if (std::ferror(file)) reportUnreadable(name, errno);
}

void RequestReader::readSingleValue(std::FILE* file, const std::string& name) {
  ValueScanner scanner(file);
  const int first = scanner.skipSpace();
  const std::size_t line = scanner.line();
  std::string text;
  std::size_t length = 0;
  int nesting = 0;
  scanner.readValue(first, text, length, nesting);
  if (std::ferror(file)) {
    reportUnreadable(name, errno);
    return;
  }
  take(text, length, nesting, name, line);
}

void RequestReader::take(const std::string& text, std::size_t length, int nesting,
                         const std::string& name, std::size_t line) {
  if (length > kMaximum) {
    return reject(name, line, "longer than 1 MiB (" + std::to_string(length) + " bytes)");
  }
  if (nesting > kMaximumNesting) {
    return reject(name, line, "nested deeper than " + std::to_string(kMaximumNesting) + " levels");
  }
  JSON value;
  try {
    value = JSON::parse(text);
  } catch (const JSON::parse_error& error) {
    return reject(name, line, "not valid JSON " + describeParseError(error));
  }
  if (!value.is_object()) {
    return reject(name, line, std::string("not a JSON object but ") + value.type_name());
  }

  std::optional<std::string> identifier;
  const auto payload = value.find("payload");
  const bool envelope = payload != value.end() && payload->is_object() && !value.contains("aps");
  if (envelope) {
    if (const auto given = value.find("identifier"); given != value.end()) {
      if (!given->is_string()) {
        return reject(name, line, "the envelope's \"identifier\" is not a string");
      }
      identifier = given->get<std::string>();
    }
    value = JSON(std::move(*payload));
  }
  ++_accepted;
  _receive({identifier ? std::move(*identifier) : std::to_string(_accepted),
            dictionaryWithJSON(std::move(value))});
}

void RequestReader::reject(const std::string& name, std::size_t line, const std::string& reason) {
  _allAccepted = false;
  std::fprintf(stderr, "corvanta-nse: %s:%zu: %s\n", name.c_str(), line, reason.c_str());
  std::fflush(stderr);
}

void RequestReader::reportUnreadable(const std::string& name, int error) {
  _allAccepted = false;
  std::fprintf(stderr, "corvanta-nse: %s: cannot read: %s\n", name.c_str(), std::strerror(error));
  std::fflush(stderr);
}

}  // namespace corvanta
