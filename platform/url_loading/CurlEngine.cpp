#include "platform/url_loading/CurlEngine.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "platform/url_loading/NSURLError.h"

namespace corvanta {

namespace {

constexpr std::size_t kCompletionThreads = 2;
constexpr std::chrono::milliseconds kLongestWait{60'000};
// How often the loading thread looks at a clock other than the real one, which may jump.
constexpr std::chrono::milliseconds kLongestWaitOnAnInstalledClock{10};
// Transfers run at once to a host that answers over HTTP/2: what one connection carries by
// libcurl's default. More would only share the same bandwidth while each holds buffers.
constexpr long kStreamsPerConnection = 100;

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
long defaultConnectionLimit(rlim_t openFiles) {
  const rlim_t half = openFiles == RLIM_INFINITY ? 1'000'000 : openFiles / 2;
  return static_cast<long>(std::clamp<rlim_t>(half, 16, 1'000'000));
}

bool addToEpoll(int epoll, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

// The file named, else the one the environment names (as libcurl's command-line tool
// honours it), else "" for libcurl's default.
std::string resolvedCertificateAuthorityFile(std::string named) {
  if (!named.empty()) return named;
  const char* fromEnvironment = std::getenv("SSL_CERT_FILE");
  return fromEnvironment ? fromEnvironment : "";
}

// A write to a socket the peer has closed must fail with EPIPE, not end the process.
void ignoreBrokenPipesOnThisThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace

// Read as libcurl's OpenSSL backend reads CAINFO, so that what passes here loads there.
Result<> CurlEngine::checkCertificateAuthorityFile(const std::string& path) {
  const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                      X509_STORE_free);
  ERR_clear_error();
  if (store && X509_STORE_load_file(store.get(), path.c_str()) == 1) return {};
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  char reason[256] = "no PEM certificate in it";
  if (error != 0 && ERR_GET_REASON(error) != X509_R_NO_CERTIFICATE_OR_CRL_FOUND) {
    ERR_error_string_n(error, reason, sizeof reason);
  }
  return Failure{"cannot use " + path + " as certificate authorities: " + reason};
}

URLLoader& URLLoader::Default() {
  // Destroyed at exit: the loading thread stops before libcurl's TLS library is torn down.
  static CurlEngine engine;
  return engine;
}

CurlEngine::CurlEngine() : CurlEngine(Settings{}) {}

CurlEngine::CurlEngine(Settings settings)
    : _settings{resolvedCertificateAuthorityFile(std::move(settings.certificateAuthorityFile)),
                settings.maximumConnectionsPerHost, settings.connectionLimit,
                settings.requireHTTPS},
      _pool(kCompletionThreads),
      _backlog(std::make_shared<Backlog>()),
      _epoll(::epoll_create1(EPOLL_CLOEXEC)),
      _curlTimer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  const rlim_t openFiles = preparedProcess();
  _share.reset(curl_share_init());
  // Only the loading thread uses the share, so it needs no lock callbacks.
  if (_share) {
    curl_share_setopt(_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  if (_epoll.valid() && _backlog->wakeup.valid() && _curlTimer.valid() &&
      addToEpoll(_epoll.get(), _backlog->wakeup.fd()) &&
      addToEpoll(_epoll.get(), _curlTimer.get())) {
    _multi.reset(curl_multi_init());
  }
  if (_multi) {
    CURLM* multi = _multi.get();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlEngine::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(this));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlEngine::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void*>(this));
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS,
                      _settings.connectionLimit > 0 ? _settings.connectionLimit
                                                    : defaultConnectionLimit(openFiles));
  }
  _thread = std::thread([this] { run(); });
}

CurlEngine::~CurlEngine() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  if (_backlog->wakeup.valid()) _backlog->wakeup.notify();
  _thread.join();
  if (!_multi) return;
  // What is closed from here on need not leave the epoll set, which goes too.
  curl_multi_setopt(_multi.get(), CURLMOPT_SOCKETFUNCTION, nullptr);
  curl_multi_setopt(_multi.get(), CURLMOPT_TIMERFUNCTION, nullptr);
  for (const auto& entry : _transfers) curl_multi_remove_handle(_multi.get(), entry.first);
  _transfers.clear();
  _hosts.clear();
}

void CurlEngine::start(DataTaskRequest request) {
  if (auto refused = CurlTransfer::refusal(request, _settings.requireHTTPS)) {
    complete(std::move(request), std::move(*refused));
    return;
  }
  if (!_multi) {
    complete(std::move(request),
             CurlTransfer::failure(NSURLErrorUnknown, "URL loading is unavailable"));
    return;
  }
  bool first = false;
  {
    std::lock_guard lock(_mutex);
    first = _incoming.empty();
    _incoming.push_back(std::move(request));
  }
  // One wake-up serves everything queued before the thread takes the queue.
  if (first) _backlog->wakeup.notify();
}

void CurlEngine::noticeCancellations() {
  if (!_cancellations.exchange(true) && _multi) _backlog->wakeup.notify();
}

// One pass over every transfer however many were cancelled: cancellations come in bursts
// (a run abandoning its late downloads), and each wake-up takes a whole burst.
void CurlEngine::dropCancelled() {
  // The waiting first: ending a running transfer starts the next one waiting for its host.
  for (auto& [key, host] : _hosts) {
    std::erase_if(host.waiting, [this](Waiting& waiting) {
      if (!CurlTransfer::isCancelled(waiting.request)) return false;
      complete(std::move(waiting.request), CurlTransfer::cancellation());
      return true;
    });
  }
  std::vector<CURL*> running;
  for (const auto& [handle, entry] : _transfers) {
    if (entry.transfer->cancelled()) running.push_back(handle);
  }
  for (CURL* handle : running) end(handle, CurlTransfer::cancellation());
}

int CurlEngine::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*) {
  const int epoll = static_cast<CurlEngine*>(self)->_epoll.get();
  if (what == CURL_POLL_REMOVE) {
    // Fails harmlessly when the socket is already closed, which removes it by itself.
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, socket, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
  event.data.fd = socket;
  if (::epoll_ctl(epoll, EPOLL_CTL_MOD, socket, &event) != 0 && errno == ENOENT) {
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event);
  }
  return 0;
}

// -1 disarms the timer. Every other time is set one nanosecond later than asked: a zero
// time would disarm the timer too, where libcurl's 0 means at once.
int CurlEngine::onTimer(CURLM*, long milliseconds, void* self) {
  itimerspec due{};
  if (milliseconds >= 0) {
    due.it_value.tv_sec = milliseconds / 1000;
    due.it_value.tv_nsec = milliseconds % 1000 * 1'000'000 + 1;
  }
  ::timerfd_settime(static_cast<CurlEngine*>(self)->_curlTimer.get(), 0, &due, nullptr);
  return 0;
}

void CurlEngine::run() {
  if (!_multi) return;
  ignoreBrokenPipesOnThisThread();
  std::array<epoll_event, 256> events;
  for (;;) {
    const int ready = ::epoll_wait(_epoll.get(), events.data(), static_cast<int>(events.size()),
                                   waitMilliseconds(Clock::Current().now()));
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == _backlog->wakeup.fd()) {
        if (!admitArrived()) return;
        if (_cancellations.exchange(false)) dropCancelled();
        startAllWaiting();
        continue;
      }
      if (fd == _curlTimer.get()) {
        std::uint64_t expirations;
        [[maybe_unused]] const auto read = ::read(fd, &expirations, sizeof expirations);
        act(CURL_SOCKET_TIMEOUT, 0);
        continue;
      }
      const auto happened = events[i].events;
      act(fd, (happened & EPOLLIN ? CURL_CSELECT_IN : 0) |
                  (happened & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                  (happened & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0));
    }
    expireIdle(Clock::Current().now());
  }
}

// Takes what start() queued; false once the engine is stopping.
bool CurlEngine::admitArrived() {
  _backlog->wakeup.clear();
  std::vector<DataTaskRequest> arrived;
  {
    std::lock_guard lock(_mutex);
    if (_stopping) return false;
    arrived.swap(_incoming);
  }
  for (auto& request : arrived) admit(std::move(request));
  return true;
}

void CurlEngine::admit(DataTaskRequest request) {
  const std::string key = CurlTransfer::hostKeyOf(request);
  _hosts[key].waiting.push_back({std::move(request), Clock::Current().now()});
  startWaiting(key);
}

// Hands the host's waiting transfers to libcurl, oldest first, while its cap allows.
void CurlEngine::startWaiting(const std::string& hostKey) {
  auto found = _hosts.find(hostKey);
  if (found == _hosts.end()) return;
  Host& host = found->second;
  while (!host.waiting.empty()) {
    if (_backlog->waiting.load() >= kMostCompletionsWaiting) {
      _heldBack = true;
      break;
    }
    const long cap = host.multiplexed
                         ? kStreamsPerConnection
                         : CurlTransfer::connectionsPerHost(host.waiting.front().request);
    if (host.running >= cap) break;
    Waiting next = std::move(host.waiting.front());
    host.waiting.pop_front();
    auto transfer = std::make_unique<CurlTransfer>(
        std::move(next.request), _share.get(),
        CurlTransfer::Settings{_settings.certificateAuthorityFile, _settings.requireHTTPS},
        next.since);
    if (!transfer->handle()) {
      complete(transfer->takeRequest(),
               CurlTransfer::failure(NSURLErrorUnknown, "could not start loading the URL"));
      continue;
    }
    launch(std::move(transfer), host);
  }
  // What is known of a host that multiplexes is worth keeping; of any other, nothing is.
  if (host.running == 0 && host.waiting.empty() && !host.multiplexed) _hosts.erase(found);
}

void CurlEngine::startAllWaiting() {
  if (!_heldBack) return;
  _heldBack = false;
  std::vector<std::string> keys;
  for (const auto& [key, host] : _hosts) {
    if (!host.waiting.empty()) keys.push_back(key);
  }
  for (const auto& key : keys) startWaiting(key);
}

void CurlEngine::launch(std::unique_ptr<CurlTransfer> transfer, Host& host) {
  CURL* handle = transfer->handle();
  const auto now = Clock::Current().now();
  if (!transfer->chargeWaiting(now)) {
    complete(transfer->takeRequest(), transfer->waitedTooLong());
    return;
  }
  if (curl_multi_add_handle(_multi.get(), handle) != CURLM_OK) {
    complete(transfer->takeRequest(),
             CurlTransfer::failure(NSURLErrorUnknown, "could not start loading the URL"));
    return;
  }
  ++host.running;
  const std::uint64_t serial = _nextSerial++;
  if (auto deadline = transfer->idleDeadline(now)) {
    _idleChecks.push({*deadline, handle, serial});
  }
  _transfers.emplace(handle, Entry{std::move(transfer), serial});
}

void CurlEngine::act(curl_socket_t socket, int flags) {
  int running = 0;
  curl_multi_socket_action(_multi.get(), socket, flags, &running);
  collectFinished();
}

void CurlEngine::collectFinished() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(_multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* handle = message->easy_handle;
    const CURLcode code = message->data.result;
    auto found = _transfers.find(handle);
    if (found == _transfers.end()) continue;
    end(handle, found->second.transfer->finish(code));
  }
}

// Only checks that are due are looked at; one that finds its transfer heard from since goes
// back in at the transfer's new deadline.
void CurlEngine::expireIdle(Clock::time_point now) {
  while (!_idleChecks.empty() && _idleChecks.top().at <= now) {
    const IdleCheck check = _idleChecks.top();
    _idleChecks.pop();
    auto found = _transfers.find(check.handle);
    if (found == _transfers.end() || found->second.serial != check.serial) continue;
    const auto deadline = found->second.transfer->idleDeadline(now);
    if (!deadline) continue;
    if (*deadline > now) {
      _idleChecks.push({*deadline, check.handle, check.serial});
      continue;
    }
    end(check.handle, found->second.transfer->idleTimeout());
  }
}

int CurlEngine::waitMilliseconds(Clock::time_point now) const {
  auto wait =
      &Clock::Current() == &Clock::Default() ? kLongestWait : kLongestWaitOnAnInstalledClock;
  if (!_idleChecks.empty()) {
    wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(_idleChecks.top().at - now));
  }
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
}

void CurlEngine::end(CURL* handle, CurlTransfer::Outcome outcome) {
  auto found = _transfers.find(handle);
  curl_multi_remove_handle(_multi.get(), handle);
  auto& transfer = *found->second.transfer;
  DataTaskRequest request = transfer.takeRequest();
  const std::string key = transfer.hostKey();
  Host& host = _hosts[key];
  --host.running;
  host.multiplexed = host.multiplexed || transfer.multiplexed();
  _transfers.erase(found);
  startWaiting(key);
  complete(std::move(request), std::move(outcome));
}

void CurlEngine::complete(DataTaskRequest request, CurlTransfer::Outcome outcome) {
  if (!request.completion) return;
  _backlog->waiting.fetch_add(1);
  _pool.post(
      [request = std::move(request), outcome = std::move(outcome), backlog = _backlog]() mutable {
        request.completion(std::move(outcome.data), std::move(outcome.response),
                           std::move(outcome.error));
        request.completion = nullptr;
        outcome = {};
        if (backlog->waiting.fetch_sub(1) == kMostCompletionsWaiting) backlog->wakeup.notify();
      });
}

}  // namespace corvanta
