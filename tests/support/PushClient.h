// A provider's HTTP/2 client for the tests, over libcurl as a push backend's library would
// use it: many streams on one connection over TLS with ALPN h2 against a given CA; or
// cleartext HTTP/2 with prior knowledge, a connection per push.
#pragma once

#include <string>
#include <vector>

namespace corvanta::testing {

struct Push {
  std::string path;                  // such as "/3/device/<token>"
  std::vector<std::string> headers;  // "name: value"
  std::string body;
  std::string method = "POST";
};

struct PushAnswer {
  long status = 0;     // 0 when the stream got no answer
  std::string apnsId;  // the answer's apns-id header
  std::string body;
  std::string error;     // libcurl's message when the transfer failed
  long httpVersion = 0;  // CURL_HTTP_VERSION_2_0 for HTTP/2
};

class PushClient {
 public:
  // `base` is "https://127.0.0.1:PORT" (verified against `authorityFile`) or
  // "http://127.0.0.1:PORT" (HTTP/2 with prior knowledge).
  explicit PushClient(std::string base, std::string authorityFile = "");

  // Sends every push, at most `streams` at once (over TLS, all on one connection); the
  // answers in the order of the pushes.
  std::vector<PushAnswer> send(const std::vector<Push>& pushes, long streams = 100) const;
  PushAnswer send(const Push& push) const { return send(std::vector<Push>{push}).front(); }

 private:
  // Drives `multi` until its transfers are done, taking each one's answer.
  static void run(void* multi);
  std::string _base, _authorityFile;
};

// A well-formed device token: `n` pairs of hex digits, made from `seed`.
std::string deviceToken(unsigned seed, std::size_t n = 32);

}  // namespace corvanta::testing
