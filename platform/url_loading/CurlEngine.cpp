#include "platform/url_loading/CurlEngine.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/url_loading/NSURLError.h"

namespace corvanta {

namespace {

constexpr std::size_t kCompletionThreads = 2;
constexpr int kLongestPollMilliseconds = 60'000;

// The soft limit on open files after raising it as far as the hard limit allows.
rlim_t raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

// Done once per process, before any handle exists, as libcurl requires.
rlim_t preparedProcess() {
  static const rlim_t openFiles = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return raiseOpenFileLimit();
  }();
  return openFiles;
}

// Connections beyond this wait for one to close instead of failing for want of a
// descriptor; the other half stays for the rest of the process, files and servers alike.
long connectionLimit(rlim_t openFiles) {
  const rlim_t half = openFiles == RLIM_INFINITY ? 1'000'000 : openFiles / 2;
  return static_cast<long>(std::clamp<rlim_t>(half, 16, 1'000'000));
}

// A write to a socket the peer has closed must fail with EPIPE, not end the process.
void ignoreBrokenPipesOnThisThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace

URLLoader& URLLoader::Default() {
  // Destroyed at exit: the loading thread stops before libcurl's TLS library is torn down.
  static CurlEngine engine;
  return engine;
}

CurlEngine::CurlEngine() : _pool(kCompletionThreads) {
  const rlim_t openFiles = preparedProcess();
  _share.reset(curl_share_init());
  // Only the loading thread uses the share, so it needs no lock callbacks.
  if (_share) curl_share_setopt(_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  _multi.reset(curl_multi_init());
  if (_multi) {
    curl_multi_setopt(_multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, connectionLimit(openFiles));
  }
  _thread = std::thread([this] { run(); });
}

CurlEngine::~CurlEngine() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  if (_multi) curl_multi_wakeup(_multi.get());
  _thread.join();
  for (const auto& entry : _transfers) curl_multi_remove_handle(_multi.get(), entry.first);
  _transfers.clear();
}

void CurlEngine::start(DataTaskRequest request) {
  if (auto refused = CurlTransfer::refusal(request)) {
    complete(std::move(request), std::move(*refused));
    return;
  }
  if (!_multi) {
    complete(std::move(request),
             CurlTransfer::failure(NSURLErrorUnknown, "URL loading is unavailable"));
    return;
  }
  {
    std::lock_guard lock(_mutex);
    _incoming.push_back(std::move(request));
  }
  curl_multi_wakeup(_multi.get());
}

void CurlEngine::run() {
  if (!_multi) return;
  ignoreBrokenPipesOnThisThread();
  std::vector<DataTaskRequest> arrived;
  for (;;) {
    {
      std::lock_guard lock(_mutex);
      if (_stopping) return;
      arrived.swap(_incoming);
    }
    for (auto& request : arrived) admit(std::move(request));
    arrived.clear();
    int running = 0;
    curl_multi_perform(_multi.get(), &running);
    collectFinished();
    expireIdle();
    curl_multi_poll(_multi.get(), nullptr, 0, pollMilliseconds(), nullptr);
  }
}

void CurlEngine::admit(DataTaskRequest request) {
  auto transfer = std::make_unique<CurlTransfer>(std::move(request), _share.get());
  CURL* handle = transfer->handle();
  if (!handle || curl_multi_add_handle(_multi.get(), handle) != CURLM_OK) {
    complete(transfer->takeRequest(),
             CurlTransfer::failure(NSURLErrorUnknown, "could not start loading the URL"));
    return;
  }
  if (auto deadline = transfer->idleDeadline()) {
    _nextIdleCheck = _nextIdleCheck ? std::min(*_nextIdleCheck, *deadline) : *deadline;
  }
  _transfers.emplace(handle, std::move(transfer));
}

void CurlEngine::collectFinished() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(_multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* handle = message->easy_handle;
    const CURLcode code = message->data.result;
    auto found = _transfers.find(handle);
    if (found == _transfers.end()) continue;
    end(handle, found->second->finish(code));
  }
}

// Deadlines only move later as bytes arrive, so _nextIdleCheck, the earliest one seen at
// the last scan or admission, is a safe time for the next scan; between scans nothing is
// looked at.
void CurlEngine::expireIdle() {
  const auto now = CurlTransfer::Clock::now();
  if (!_nextIdleCheck || now < *_nextIdleCheck) return;
  _nextIdleCheck.reset();
  std::vector<CURL*> expired;
  for (const auto& [handle, transfer] : _transfers) {
    const auto deadline = transfer->idleDeadline();
    if (!deadline) continue;
    if (*deadline <= now) {
      expired.push_back(handle);
    } else if (!_nextIdleCheck || *deadline < *_nextIdleCheck) {
      _nextIdleCheck = deadline;
    }
  }
  for (CURL* handle : expired) end(handle, _transfers.at(handle)->idleTimeout());
}

int CurlEngine::pollMilliseconds() const {
  if (!_nextIdleCheck) return kLongestPollMilliseconds;
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*_nextIdleCheck - CurlTransfer::Clock::now());
  return static_cast<int>(
      std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, kLongestPollMilliseconds));
}

void CurlEngine::end(CURL* handle, CurlTransfer::Result result) {
  auto found = _transfers.find(handle);
  curl_multi_remove_handle(_multi.get(), handle);
  DataTaskRequest request = found->second->takeRequest();
  _transfers.erase(found);
  complete(std::move(request), std::move(result));
}

void CurlEngine::complete(DataTaskRequest request, CurlTransfer::Result result) {
  if (!request.completion) return;
  _pool.post([request = std::move(request), result = std::move(result)]() mutable {
    request.completion(std::move(result.data), std::move(result.response), std::move(result.error));
  });
}

}  // namespace corvanta
