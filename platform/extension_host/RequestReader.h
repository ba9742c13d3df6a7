// Request intake: reads the host's inputs and hands on each accepted request as soon as it
// has been read, so a long stream is handled with bounded memory.
//
// Standard input ("-") is JSON Lines. A FILE whose whole content is one JSON value is one
// request (an object) or one request per element (an array); any other FILE is JSON Lines.
// An object with a "payload" object and no "aps" is an envelope {"identifier", "payload"};
// any other object is the payload itself. A request without an identifier is named by its
// 1-based position among the accepted requests of all inputs.
//
// A rejected request (not valid JSON, not an object, an envelope whose identifier is not a
// string, longer than kMaximumRequestBytes, nested deeper than kMaximumNesting) and an input
// that cannot be read are reported on standard error, one line each:
//   corvanta-nse: <input>:<line>: <reason>     (<input> is "<stdin>" for standard input)
//   corvanta-nse: <input>: cannot read: <reason>
// and reading goes on. Not thread-safe: one thread reads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSDictionary.h"

namespace corvanta {

struct IncomingRequest {
  std::string identifier;
  std::shared_ptr<NSDictionary> payload;
};

class RequestReader {
 public:
  static constexpr std::size_t kMaximumRequestBytes = 1024 * 1024;
  // Deeper values would exhaust the stack of the recursive JSON printer.
  static constexpr int kMaximumNesting = 1000;

  using Receive = std::function<void(IncomingRequest request)>;
  explicit RequestReader(Receive receive) : _receive(std::move(receive)) {}

  // Reads `input` ("-" is standard input) to its end, calling receive for each accepted
  // request before reading further.
  void read(const std::string& input);

  // Whether every request read so far was accepted and every input could be read.
  bool allAccepted() const { return _allAccepted; }

 private:
  void readJSONLines(std::FILE* file, const std::string& name);
  void readArray(std::FILE* file, const std::string& name);
  void readSingleValue(std::FILE* file, const std::string& name);
  // Checks one request's text; hands it on or reports it.
  void take(const std::string& text, std::size_t length, int nesting, const std::string& name,
            std::size_t line);
  void reject(const std::string& name, std::size_t line, const std::string& reason);
  void reportUnreadable(const std::string& name, int error);

  Receive _receive;
  std::size_t _accepted = 0;
  bool _allAccepted = true;
};

}  // namespace corvanta
