#include "support/PushClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>

#include "platform/foundation/Handle.h"

namespace corvanta::testing {
namespace {

using Multi = std::unique_ptr<CURLM, FreeWith<curl_multi_cleanup>>;

struct Transfer {
  std::unique_ptr<CURL, FreeWith<curl_easy_cleanup>> easy{curl_easy_init()};
  std::unique_ptr<curl_slist, FreeWith<curl_slist_free_all>> headers;
  std::string_view unsent;  // what is left of the half body of a push that leaves midway
  PushAnswer* answer = nullptr;
};

size_t keepBody(char* data, size_t size, size_t count, void* answer) {
  static_cast<PushAnswer*>(answer)->body.append(data, size * count);
  return size * count;
}

// Aborting once the half body is sent leaves the stream unfinished, as a client that dies does.
size_t sendHalfBody(char* buffer, size_t size, size_t count, void* transfer) {
  std::string_view& unsent = static_cast<Transfer*>(transfer)->unsent;
  if (unsent.empty()) return CURL_READFUNC_ABORT;
  const std::size_t n = std::min(size * count, unsent.size());
  std::memcpy(buffer, unsent.data(), n);
  unsent.remove_prefix(n);
  return n;
}

void setUp(Transfer& transfer, const Push& push, const std::string& url, bool tls,
           const std::string& authorityFile) {
  CURL* easy = transfer.easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  const long version = push.http1 ? CURL_HTTP_VERSION_1_1
                       : tls      ? CURL_HTTP_VERSION_2TLS
                                  : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, version);
  if (tls) curl_easy_setopt(easy, CURLOPT_CAINFO, authorityFile.c_str());
  curl_easy_setopt(easy, CURLOPT_PIPEWAIT, tls ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(push.body.size()));
  if (push.leavesMidBody) {
    transfer.unsent = std::string_view(push.body).substr(0, push.body.size() / 2);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, sendHalfBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, push.body.c_str());
  }
  curl_slist* list = nullptr;
  for (const auto& header : push.headers) list = curl_slist_append(list, header.c_str());
  transfer.headers.reset(list);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.answer);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
}

void takeAnswer(const CURLMsg& message) {
  Transfer* transfer = nullptr;
  curl_easy_getinfo(message.easy_handle, CURLINFO_PRIVATE, &transfer);
  PushAnswer& answer = *transfer->answer;
  if (message.data.result != CURLE_OK) answer.error = curl_easy_strerror(message.data.result);
  curl_easy_getinfo(message.easy_handle, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_header* apnsId = nullptr;
  if (curl_easy_header(message.easy_handle, "apns-id", 0, CURLH_HEADER, -1, &apnsId) == CURLHE_OK) {
    answer.apnsId = apnsId->value;
  }
}

void run(CURLM* multi) {
  int running = 0;
  do {
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      takeAnswer(*message);
      curl_multi_remove_handle(multi, message->easy_handle);
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  } while (running > 0);
}

}  // namespace

PushClient::PushClient(std::string base, std::string authorityFile)
    : _base(std::move(base)), _authorityFile(std::move(authorityFile)) {}

std::vector<PushAnswer> PushClient::send(const std::vector<Push>& pushes, long streams) const {
  const Multi multi(curl_multi_init());
  const bool tls = _base.starts_with("https:");
  if (tls) {
    curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, streams);
  } else {
    curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_NOTHING);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, streams);
  }
  std::vector<PushAnswer> answers(pushes.size());
  std::vector<Transfer> transfers(pushes.size());
  for (std::size_t i = 0; i < pushes.size(); ++i) {
    transfers[i].answer = &answers[i];
    setUp(transfers[i], pushes[i], _base + pushes[i].path, tls, _authorityFile);
    curl_multi_add_handle(multi.get(), transfers[i].easy.get());
  }
  run(multi.get());
  return answers;
}

std::string deviceToken(unsigned seed, std::size_t n) {
  std::mt19937 random(seed);
  std::string token;
  while (token.size() < 2 * n) token += "0123456789abcdef"[random() % 16];
  return token;
}

}  // namespace corvanta::testing
