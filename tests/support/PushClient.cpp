#include "support/PushClient.h"

#include <memory>
#include <string_view>

#include "platform/foundation/Handle.h"

namespace corvanta::testing {
namespace {

struct Transfer {
  std::unique_ptr<CURL, FreeWith<curl_easy_cleanup>> easy{curl_easy_init()};
  std::unique_ptr<curl_slist, FreeWith<curl_slist_free_all>> headers;
  std::string_view unsent;  // a push that leaves midway sends only half its body
};

size_t keepBody(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// Aborting once the half body is sent leaves the stream unfinished, as a client that dies does.
size_t sendBody(char* buffer, size_t size, size_t count, void* unsent) {
  auto& rest = *static_cast<std::string_view*>(unsent);
  const std::size_t n = rest.copy(buffer, size * count);
  rest.remove_prefix(n);
  return n > 0 ? n : CURL_READFUNC_ABORT;
}

}  // namespace

std::vector<PushAnswer> sendPushes(const std::string& base, const std::string& ca,
                                   const std::vector<Push>& pushes) {
  const std::unique_ptr<CURLM, FreeWith<curl_multi_cleanup>> multi(curl_multi_init());
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
  std::vector<PushAnswer> answers(pushes.size());
  std::vector<Transfer> transfers(pushes.size());
  for (std::size_t i = 0; i < pushes.size(); ++i) {
    const Push& push = pushes[i];
    Transfer& t = transfers[i];
    CURL* easy = t.easy.get();
    curl_easy_setopt(
        easy, CURLOPT_HTTP_VERSION,
        long{push.http1 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE});
    curl_easy_setopt(easy, CURLOPT_URL, (base + "/3/device/" + push.device).c_str());
    if (!ca.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(push.body.size()));
    t.unsent = push.body;
    if (push.leavesMidBody) t.unsent.remove_suffix(push.body.size() / 2);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, sendBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, &t.unsent);
    for (const auto& header : push.headers) {
      t.headers.reset(curl_slist_append(t.headers.release(), header.c_str()));
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headers.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answers[i].body);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, answers[i].error);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
    curl_multi_add_handle(multi.get(), easy);
  }
  for (int running = 1; running > 0;) {
    curl_multi_perform(multi.get(), &running);
    if (running > 0) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
  }
  for (std::size_t i = 0; i < pushes.size(); ++i) {
    curl_easy_getinfo(transfers[i].easy.get(), CURLINFO_RESPONSE_CODE, &answers[i].status);
    curl_header* id = nullptr;
    curl_easy_header(transfers[i].easy.get(), "apns-id", 0, CURLH_HEADER, -1, &id);
    if (id) answers[i].apnsId = id->value;
  }
  return answers;
}

}  // namespace corvanta::testing
