// Request intake: reads the host's inputs as streams and hands on each accepted request as
// soon as it has been read, so input of any length, from a file, a pipe or a device, is
// handled with bounded memory and nothing is copied aside.
//
// Each input ("-" is standard input) is read alike. One that starts with '[' is an array, one
// request per element (what follows the array is read as any other input). Any other is a
// sequence of JSON values, one request each: JSON Lines, or values written over several lines
// (a pretty-printed request). A value that spans lines but does not parse, or grows past
// kMaximumRequestBytes, is read again line by line, so one broken line never takes the lines
// after it with it. An object with a "payload" object and no "aps" is an envelope
// {"identifier", "payload"}, which may also say how the push came as the endpoint's headers
// do ("device", "push_type", "priority", "topic", "collapse_id", "expiration"); any other
// object is the payload itself. A request without an identifier is named by its 1-based
// position among the accepted requests of all inputs.
//
// The push service's rules (device/PushService.h) are applied as the endpoint applies them:
// to the envelope's fields, and to the payload's size (its compact JSON text). A push they
// refuse is still a request, handed on with its refusal for the host to deliver as a device
// would see it: not at all.
//
// A rejected request (not valid JSON, whatever the parser objects to, numbers out of range
// included; not an object; an envelope whose identifier is not a string; longer than
// kMaximumRequestBytes; nested deeper than kMaximumNesting) and an input that cannot be read
// are handed to the caller's Reject, and reading goes on.
//
// Threads: read() runs on one thread; stop() may be called from any thread, also while
// read() waits for input, and makes it return soon after.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/foundation/WakeEvent.h"

namespace corvanta {

class RequestReader {
 public:
  static constexpr std::size_t kMaximumRequestBytes = 1024 * 1024;
  // Deeper values would exhaust the stack of the recursive JSON printer.
  static constexpr int kMaximumNesting = 1000;

  // Takes one accepted request; false to stop reading.
  using Receive = std::function<bool(IncomingRequest request)>;
  // A request rejected, or an input that could not be read; Reject hears of it on the thread
  // of read(), before reading goes on.
  struct Rejection {
    std::string input;   // as given to read(); "<stdin>" once standard input is being read
    std::size_t line;    // where the rejected request starts, from 1; 0: the input is unreadable
    std::string reason;  // why; for an unreadable input, the system's strerror
  };
  using Reject = std::function<void(const Rejection& rejection)>;
  RequestReader(Receive receive, Reject reject);

  // Reads `input` ("-" is standard input) to its end, calling receive for each accepted
  // request before reading further. Returns at once after stop().
  void read(const std::string& input);

  // Ends reading: read() returns without reading further, now and later.
  void stop();
  bool stopped() const { return _stopped.load(std::memory_order_acquire); }

  // Whether every request read so far was accepted and every input could be read.
  bool allAccepted() const { return _allAccepted; }
  // How many requests were rejected so far.
  std::size_t rejected() const { return _rejected; }

 private:
  class Stream;
  // Both count lines from `line`, the line the stream is at; readArray gives the line it
  // stopped on.
  void readValues(Stream& stream, const std::string& name, std::size_t line);
  std::size_t readArray(Stream& stream, const std::string& name, std::size_t line);
  // Takes each line of `text`, the first being line `line`, as a request of its own.
  void takeLines(const std::string& text, const std::string& name, std::size_t line);
  // Checks one request's text; hands it on or reports it.
  void take(const std::string& text, std::size_t length, int nesting, const std::string& name,
            std::size_t line);
  // Hands on a request parsed from `textLength` bytes, or reports why it is not one.
  void accept(nlohmann::json value, std::size_t textLength, const std::string& name,
              std::size_t line);
  void reject(const std::string& name, std::size_t line, const std::string& reason);
  void rejectUnreadable(const std::string& name, int error);

  Receive _receive;
  Reject _reject;
  std::size_t _accepted = 0;
  std::size_t _rejected = 0;
  bool _allAccepted = true;
  std::atomic<bool> _stopped{false};
  WakeEvent _wake;  // readable once stop() was called
};

}  // namespace corvanta
