#include "support/PushClient.h"

#include <curl/curl.h>

#include <cstdio>
#include <memory>

namespace corvanta::testing {
namespace {

struct Transfer {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{curl_easy_init(), curl_easy_cleanup};
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr, curl_slist_free_all};
  PushAnswer* answer = nullptr;
};

size_t keepBody(char* data, size_t size, size_t count, void* answer) {
  static_cast<PushAnswer*>(answer)->body.append(data, size * count);
  return size * count;
}

size_t keepApnsId(char* data, size_t size, size_t count, void* answer) {
  std::string line(data, size * count);
  constexpr std::string_view kName = "apns-id:";
  if (line.size() > kName.size() && line.compare(0, kName.size(), kName) == 0) {
    const auto first = line.find_first_not_of(' ', kName.size());
    const auto last = line.find_last_not_of("\r\n");
    static_cast<PushAnswer*>(answer)->apnsId = line.substr(first, last + 1 - first);
  }
  return size * count;
}

}  // namespace

PushClient::PushClient(std::string base, std::string authorityFile)
    : _base(std::move(base)), _authorityFile(std::move(authorityFile)) {}

std::vector<PushAnswer> PushClient::send(const std::vector<Push>& pushes, long streams) const {
  std::vector<PushAnswer> answers(pushes.size());
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              curl_multi_cleanup);
  const bool tls = _base.starts_with("https:");
  // libcurl 7.88 fails streams it multiplexes over a cleartext connection ("Error in the
  // HTTP2 framing layer", against any server): there, each push has a connection of its own.
  if (tls) {
    curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, streams);
  } else {
    curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_NOTHING);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, streams);
  }

  std::vector<Transfer> transfers(pushes.size());
  for (std::size_t i = 0; i < pushes.size(); ++i) {
    const Push& push = pushes[i];
    Transfer& transfer = transfers[i];
    CURL* easy = transfer.easy.get();
    transfer.answer = &answers[i];
    curl_easy_setopt(easy, CURLOPT_URL, (_base + push.path).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                     tls ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE);
    if (tls) curl_easy_setopt(easy, CURLOPT_CAINFO, _authorityFile.c_str());
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, tls ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(push.body.size()));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, push.body.c_str());
    if (push.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, push.method.c_str());
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& header : push.headers) list = curl_slist_append(list, header.c_str());
    transfer.headers.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answers[i]);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, keepApnsId);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &answers[i]);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
  }

  for (auto& transfer : transfers) curl_multi_add_handle(multi.get(), transfer.easy.get());
  run(multi.get());
  return answers;
}

void PushClient::run(CURLM* multi) {
  int running = 0;
  do {
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      if (message->data.result != CURLE_OK) {
        transfer->answer->error = curl_easy_strerror(message->data.result);
      }
      curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &transfer->answer->status);
      curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_VERSION,
                        &transfer->answer->httpVersion);
      curl_multi_remove_handle(multi, message->easy_handle);
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  } while (running > 0);
}

std::string deviceToken(unsigned seed, std::size_t n) {
  std::string token;
  unsigned state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", (state >> 16) & 0xff);
    token += pair;
  }
  return token;
}

}  // namespace corvanta::testing
