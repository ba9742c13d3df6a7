#include "platform/extension_host/intake/RequestReader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>  // EOF
#include <cstring>
#include <string_view>

#include "platform/extension_host/device/PushService.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/JSONValue.h"
#include "platform/foundation/Result.h"

namespace corvanta {
namespace {

using JSON = nlohmann::json;
constexpr std::size_t kMaximum = RequestReader::kMaximumRequestBytes;

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
  void feed(std::string_view text) {
    for (const char c : text) feed(c);
  }
  // Whether a bracket or string opened so far is still open.
  bool open() const { return _depth > 0 || _inString; }
  int nesting() const { return _nesting; }

 private:
  int _depth = 0;
  int _nesting = 0;
  bool _inString = false;
  bool _escape = false;
};

// What the parser objected to, without its exception's name, and short: the text it quotes
// may be a thousand-digit number.
std::string describeParseError(const nlohmann::json::exception& error) {
  if (error.id == 406) return "not valid JSON: a number is beyond the range of a double";
  std::string message = parserMessage(error);
  // "at column 7: syntax error ..." names line 1 of a text that is always one request.
  if (const auto column = message.find("column "); column != std::string::npos) {
    message = "at " + message.substr(column);
  } else {
    message = ": " + message;
  }
  constexpr std::size_t kLongest = 200;
  if (message.size() > kLongest) message = message.substr(0, kLongest) + "...";
  return "not valid JSON " + message;
}

// A syntax error fails, and so does what the parser cannot represent: a number beyond the
// range of a double (1e400), a thousand-digit integer.
Result<JSON> parse(const std::string& text) {
  if (JSON quick; parseJSONQuickly(text, quick)) return quick;
  try {
    return JSON::parse(text);
  } catch (const JSON::exception& error) {
    return Failure{describeParseError(error)};
  }
}

// The numbers with a fraction or an exponent in `value`. Only they can print longer than they
// were written: a string is printed with no more escapes than its text needed, and an integer
// as its digits, while "1e5", three bytes, prints as "100000.0" and no double prints in more
// than kLongestDouble bytes.
std::size_t fractionalNumbers(const JSON& value) {
  if (value.is_number_float()) return 1;
  std::size_t count = 0;
  if (value.is_structured()) {
    for (const JSON& item : value) count += fractionalNumbers(item);
  }
  return count;
}
constexpr std::size_t kShortestFractional = 3;  // "1e5", "0.5"
constexpr std::size_t kLongestDouble = 24;      // "-1.2345678901234567e+308"

// Whether `payload`, parsed from `textLength` bytes, is more than `largest` bytes as compact
// text: printing it is the one exact measure, and costs as much as the rest of a request's
// intake, so it is printed only when its text, allowing for its numbers, could be that long.
bool longerThan(const JSON& payload, std::size_t textLength, std::size_t largest,
                std::size_t* length) {
  const std::size_t bound =
      textLength + fractionalNumbers(payload) * (kLongestDouble - kShortestFractional);
  if (bound <= largest) return false;
  *length = payload.dump().size();
  return *length > largest;
}

// An envelope field's text as a header would carry it: a string as it is, anything else as its
// JSON text (a number's digits), which the push service's rules then judge.
std::string fieldText(const JSON& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// What an envelope says of how its push came, judged by the rules the endpoint applies to the
// same headers; nullptr when it names none of them.
std::shared_ptr<const PushDetails> envelopePush(const JSON& envelope,
                                                std::optional<PushServiceRefusal>& refusal) {
  const auto field = [&](const char* name) -> std::optional<std::string> {
    const auto found = envelope.find(name);
    if (found == envelope.end()) return std::nullopt;
    return fieldText(*found);
  };
  const auto device = field("device"), type = field("push_type"), priority = field("priority"),
             topic = field("topic"), collapseId = field("collapse_id"),
             expiration = field("expiration");
  if (!device && !type && !priority && !topic && !collapseId && !expiration) return nullptr;
  auto push = std::make_shared<PushDetails>();
  push->type = type.value_or("alert");
  push->topic = topic.value_or("");
  push->collapseId = collapseId;
  if (device) push->device = asciiLowercase(*device);
  if (device) refusal = deviceTokenRefusal("device", *device);
  if (!refusal && type) refusal = pushTypeRefusal("push_type", *type);
  if (!refusal && priority) refusal = priorityRefusal("priority", *priority, push->type);
  if (!refusal && expiration) refusal = expirationRefusal("expiration", *expiration);
  if (!refusal && collapseId) refusal = collapseIdRefusal("collapse_id", *collapseId);
  push->priority = refusal ? 10 : priorityOf(priority ? &*priority : nullptr, push->type);
  return push;
}

}  // namespace

// An input read in large blocks. When the input may block (a pipe, a terminal, a device),
// each read first waits for it or for the reader's stop.
class RequestReader::Stream {
 public:
  Stream(int fd, int wake, bool mayBlock) : _fd(fd), _wake(wake), _mayBlock(mayBlock) {}

  // The next byte, or EOF at the end, on an error (see error()) or once stopped.
  int next() {
    if (_position == _end && !fill()) return EOF;
    return static_cast<unsigned char>(_buffer[_position++]);
  }
  void putBack() { --_position; }  // only right after next() gave a byte

  // One line without its newline (and a '\r' before it): at most kMaximum + 1 bytes of it
  // in `text`, its full length in `length`. False at the end of the input.
  bool readLine(std::string& text, std::size_t& length) {
    text.clear();
    length = 0;
    bool any = false;
    while (_position < _end || fill()) {
      any = true;
      const char* start = _buffer + _position;
      const std::size_t available = _end - _position;
      const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
      const std::size_t count = newline ? static_cast<std::size_t>(newline - start) : available;
      length += count;
      if (text.size() <= kMaximum) text.append(start, std::min(count, kMaximum + 1 - text.size()));
      _position += count;
      if (newline) {
        ++_position;
        break;
      }
    }
    if (length == text.size() && !text.empty() && text.back() == '\r') {
      text.pop_back();
      --length;
    }
    return any;
  }

  int error() const { return _error; }

 private:
  bool fill() {
    if (_error != 0 || _ended) return false;
    if (_mayBlock && !awaitInput()) return false;
    ssize_t count;
    do {
      count = ::read(_fd, _buffer, sizeof _buffer);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
      if (count < 0) _error = errno;
      _ended = true;
      return false;
    }
    _position = 0;
    _end = static_cast<std::size_t>(count);
    return true;
  }

  // Whether the input has something to read (or has ended) before the reader stops.
  bool awaitInput() {
    pollfd fds[2] = {{_fd, POLLIN, 0}, {_wake, POLLIN, 0}};
    while (true) {
      const int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        _error = errno;
        return false;
      }
      if (fds[1].revents != 0) {
        _ended = true;
        return false;
      }
      return true;
    }
  }

  const int _fd;
  const int _wake;
  const bool _mayBlock;
  char _buffer[65536];
  std::size_t _position = 0;
  std::size_t _end = 0;
  int _error = 0;
  bool _ended = false;
};

RequestReader::RequestReader(Receive receive, Reject reject)
    : _receive(std::move(receive)), _reject(std::move(reject)) {}

void RequestReader::stop() {
  _stopped.store(true, std::memory_order_release);
  _wake.notify();
}

void RequestReader::read(const std::string& input) {
  if (stopped()) return;
  const bool standardInput = input == "-";
  FileDescriptor opened;
  if (!standardInput) {
    opened = FileDescriptor(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (!opened.valid()) return rejectUnreadable(input, errno);
  }
  const int fd = standardInput ? STDIN_FILENO : opened.get();
  struct stat status {};
  if (::fstat(fd, &status) != 0) return rejectUnreadable(input, errno);
  if (S_ISDIR(status.st_mode)) return rejectUnreadable(input, EISDIR);

  const std::string name = standardInput ? "<stdin>" : input;
  auto stream = std::make_unique<Stream>(fd, _wake.fd(), !S_ISREG(status.st_mode));
  std::size_t line = 1;
  int c = stream->next();
  if (c == 0xEF) {  // a byte order mark
    stream->next();
    stream->next();
    c = stream->next();
  }
  for (; isSpace(c); c = stream->next()) line += c == '\n';
  if (c == '[') {
    stream->putBack();
    line = readArray(*stream, name, line);
  } else if (c != EOF) {
    stream->putBack();
  }
  readValues(*stream, name, line);
  if (stream->error() != 0) rejectUnreadable(name, stream->error());
}

// Line by line; a value left open at the end of a line goes on over the next lines.
void RequestReader::readValues(Stream& stream, const std::string& name, std::size_t line) {
  std::string text, pending;
  std::size_t length = 0, pendingLine = 0;
  NestingTracker tracker;
  for (; !stopped() && stream.readLine(text, length); ++line) {
    if (!pending.empty()) {
      pending += '\n';
      pending += text;
      if (length <= kMaximum) tracker.feed(text);
      if (pending.size() > kMaximum) {
        takeLines(pending, name, pendingLine);
        pending.clear();
      } else if (!tracker.open()) {
        // Parsed here, so that a value that does not parse is read again line by line.
        if (auto value = parse(pending); value && tracker.nesting() <= kMaximumNesting) {
          accept(std::move(*value), pending.size(), name, pendingLine);
        } else {
          takeLines(pending, name, pendingLine);
        }
        pending.clear();
      }
      continue;
    }
    if (length <= kMaximum && isBlank(text)) continue;
    tracker = NestingTracker();
    if (length <= kMaximum) tracker.feed(text);
    if (length <= kMaximum && tracker.open()) {
      pending = text;
      pendingLine = line;
      continue;
    }
    take(text, length, tracker.nesting(), name, line);
  }
  if (!pending.empty()) takeLines(pending, name, pendingLine);
}

void RequestReader::takeLines(const std::string& text, const std::string& name, std::size_t line) {
  std::size_t start = 0;
  for (; start <= text.size() && !stopped(); ++line) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(start, end - start);
    if (!isBlank(part)) {
      NestingTracker tracker;
      tracker.feed(part);
      take(part, part.size(), tracker.nesting(), name, line);
    }
    start = end + 1;
  }
}

std::size_t RequestReader::readArray(Stream& stream, const std::string& name, std::size_t line) {
  auto next = [&] {
    const int c = stream.next();
    if (c == '\n') ++line;
    return c;
  };
  auto skipSpace = [&] {
    int c = next();
    while (isSpace(c)) c = next();
    return c;
  };
  std::string text;
  skipSpace();  // the '['
  for (int c = skipSpace(); c != EOF && c != ']' && !stopped(); c = skipSpace()) {
    const std::size_t start = line;
    std::size_t length = 0;
    text.clear();
    auto keep = [&](int byte) {
      ++length;
      if (text.size() <= kMaximum) text.push_back(static_cast<char>(byte));
    };
    NestingTracker tracker;
    if (c != '{' && c != '[' && c != '"') {
      for (; c != EOF && !isSpace(c) && c != ',' && c != ']' && c != '}'; c = next()) keep(c);
      if (c != EOF) {
        stream.putBack();
        if (c == '\n') --line;
      }
    } else {
      for (; c != EOF; c = next()) {
        keep(c);
        if (tracker.feed(static_cast<char>(c))) break;
      }
    }
    take(text, length, tracker.nesting(), name, start);
    if (skipSpace() != ',') break;
  }
  return line;
}

void RequestReader::take(const std::string& text, std::size_t length, int nesting,
                         const std::string& name, std::size_t line) {
  if (length > kMaximum) {
    return reject(name, line, "longer than 1 MiB (" + std::to_string(length) + " bytes)");
  }
  if (nesting > kMaximumNesting) {
    return reject(name, line, "nested deeper than " + std::to_string(kMaximumNesting) + " levels");
  }
  auto value = parse(text);
  if (!value) return reject(name, line, value.failure().message);
  accept(std::move(*value), text.size(), name, line);
}

void RequestReader::accept(nlohmann::json value, std::size_t textLength, const std::string& name,
                           std::size_t line) {
  if (!value.is_object()) {
    return reject(name, line, std::string("not a JSON object but ") + value.type_name());
  }
  std::optional<std::string> identifier;
  std::shared_ptr<const PushDetails> push;
  std::optional<PushServiceRefusal> refusal;
  const auto payload = value.find("payload");
  const bool envelope = payload != value.end() && payload->is_object() && !value.contains("aps");
  if (envelope) {
    if (const auto given = value.find("identifier"); given != value.end()) {
      if (!given->is_string()) {
        return reject(name, line, "the envelope's \"identifier\" is not a string");
      }
      // An empty one names nothing: the request is named by its position, as without one.
      if (auto text = given->get<std::string>(); !text.empty()) identifier = std::move(text);
    }
    push = envelopePush(value, refusal);
    value = JSON(std::move(*payload));
  }
  // The push service counts the payload as sent; the fewest bytes a sender could send it in
  // is its compact text.
  const std::string_view type = push ? std::string_view(push->type) : "alert";
  if (std::size_t length = 0;
      !refusal && longerThan(value, textLength, largestPayloadBytes(type), &length)) {
    refusal = payloadSizeRefusal(type, length);
  }
  ++_accepted;
  IncomingRequest request{identifier ? std::move(*identifier) : std::to_string(_accepted),
                          dictionaryWithJSON(std::move(value)), std::move(push)};
  request.refusal = std::move(refusal);
  if (!_receive(std::move(request))) stop();
}

void RequestReader::reject(const std::string& name, std::size_t line, const std::string& reason) {
  _allAccepted = false;
  ++_rejected;
  _reject({name, line, reason});
}

void RequestReader::rejectUnreadable(const std::string& name, int error) {
  _allAccepted = false;
  _reject({name, 0, std::strerror(error)});
}

}  // namespace corvanta
