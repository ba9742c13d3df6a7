// Any bytes as one request to the provider endpoint: the first line is the method, the
// second the path, then header lines up to an empty line, then the body. Whatever comes, the
// verdict is one of the answers the endpoint can give, an accepted push carries an object
// payload and a canonical apns-id, and an error's answer is JSON naming its reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "platform/extension_host/intake/ProviderRequest.h"
#include "platform/foundation/NSDictionary.h"

namespace {

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "violated: %s\n", what);
  std::abort();
}

std::string_view nextLine(std::string_view& text) {
  const auto end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  corvanta::ProviderRequest request;
  request.method = nextLine(text);
  request.path = nextLine(text);
  for (std::string_view line = nextLine(text); !line.empty(); line = nextLine(text)) {
    const auto colon = line.find(':');
    request.headers.emplace_back(line.substr(0, colon),
                                 colon == std::string_view::npos ? "" : line.substr(colon + 1));
  }
  request.body = text.substr(0, corvanta::ProviderRequest::kKeptBodyBytes);
  request.bodyTruncated = text.size() > corvanta::ProviderRequest::kKeptBodyBytes;

  corvanta::ProviderPolicy policy;
  policy.topic = "com.example.app";
  policy.judgeToken = [](std::string_view jwt) {
    return jwt.starts_with("good") ? std::string() : std::string("InvalidProviderToken");
  };
  const corvanta::ProviderVerdict verdict = corvanta::judgeProviderRequest(request, policy);

  static const std::set<int> kStatuses = {200, 400, 403, 404, 405, 410, 413};
  require(kStatuses.contains(verdict.status), "a status the endpoint answers with");
  require(!verdict.apnsId.empty(), "an apns-id on every answer");
  const std::string body = corvanta::providerAnswerBody(verdict);
  if (verdict.status == 200) {
    require(verdict.request.has_value() && verdict.reason.empty() && body.empty(),
            "an accepted push has a request and no reason");
    require(verdict.request->identifier == verdict.apnsId, "the push is named by its apns-id");
    require(verdict.request->payload != nullptr, "an accepted push has a payload");
    require(verdict.request->push && verdict.request->push->device.size() >= 64,
            "an accepted push names its device");
  } else {
    require(!verdict.request.has_value(), "a refused push has no request");
    const auto answer = nlohmann::json::parse(body, nullptr, false);
    require(answer.is_object() && answer.value("reason", "") == verdict.reason &&
                !verdict.reason.empty(),
            "a refusal is JSON naming its reason");
  }
  return 0;
}
