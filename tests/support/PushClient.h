// A provider's HTTP/2 client for the tests, over libcurl as a push backend's library would
// use it: many streams on one connection over TLS with ALPN h2, trusting a given CA; or
// cleartext HTTP/2 with prior knowledge, a connection per push (libcurl 7.88 fails streams it
// multiplexes over cleartext). A push may instead behave as a faulty client: speak HTTP/1.1,
// or leave in the middle of its body.
#pragma once

#include <string>
#include <vector>

namespace corvanta::testing {

struct Push {
  std::string path = {};                  // such as "/3/device/<token>"
  std::vector<std::string> headers = {};  // "name: value"
  std::string body = {};
  bool http1 = false;          // HTTP/1.1: no ALPN h2 over TLS, no preface over cleartext
  bool leavesMidBody = false;  // half the body, then its connection is closed
};

struct PushAnswer {
  long status = 0;     // 0 when the stream got no answer
  std::string apnsId;  // the answer's apns-id header
  std::string body;
  std::string error;  // libcurl's message when the transfer failed
};

class PushClient {
 public:
  // `base` is "https://127.0.0.1:PORT" (verified against `authorityFile`) or
  // "http://127.0.0.1:PORT" (HTTP/2 with prior knowledge).
  explicit PushClient(std::string base, std::string authorityFile = "");

  // Sends every push, at most `streams` at once; the answers in the order of the pushes.
  std::vector<PushAnswer> send(const std::vector<Push>& pushes, long streams = 100) const;
  PushAnswer send(const Push& push) const { return send(std::vector<Push>{push}).front(); }

 private:
  std::string _base, _authorityFile;
};

// A well-formed device token of `n` pairs of hex digits, the same for the same `seed`.
std::string deviceToken(unsigned seed, std::size_t n = 32);

}  // namespace corvanta::testing
