// Pushes over libcurl as a push backend sends them: over TLS, many streams at once on one
// connection with ALPN h2, trusting the given CA; over cleartext, HTTP/2 with prior knowledge
// (there libcurl 7.88 fails streams it multiplexes: send those one at a time).
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

namespace corvanta::testing {

inline const std::string kHi = R"({"aps":{"alert":"Hi"}})";

struct Push {
  std::string device;
  std::vector<std::string> headers = {};  // "name: value"
  std::string body = kHi;
  bool http1 = false;          // HTTP/1.1: no ALPN h2 over TLS, no preface over cleartext
  bool leavesMidBody = false;  // sends half the body, then gives up the stream
};

struct PushAnswer {
  long status = 0;  // 0 when the stream got no answer
  std::string apnsId, body;
  char error[CURL_ERROR_SIZE] = "";
};

// Sends each push to `base` + "/3/device/" + its device, all at once, and waits for every
// answer. `ca` ("" for none) is the only authority trusted over TLS.
std::vector<PushAnswer> sendPushes(const std::string& base, const std::string& ca,
                                   const std::vector<Push>& pushes);

}  // namespace corvanta::testing
