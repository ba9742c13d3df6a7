// The real URL loader: one loading thread drives a libcurl multi handle for every session.
//
// start() queues the request and wakes the loading thread; the thread owns each transfer
// from then on and hands every completion to a completion pool of two threads. The loading
// thread never runs user code, and the number of threads does not depend on the number of
// requests. (libcurl's resolver may briefly use a thread of its own per host name lookup.)
//
// The thread is event-driven: it waits on epoll for the sockets libcurl names and for an
// eventfd that start() and destruction write, and gives libcurl only the sockets that are
// ready, so its work follows active sockets, not transfers. libcurl's own timer is a timerfd
// in the same epoll set, on the kernel's monotonic clock as libcurl's timeouts are. Request
// timeouts are kept in a heap of deadlines on the platform's Clock, so watching them costs
// nothing while they are far away. A clock installed in place of the real one (a test's)
// moves when its owner says, not as time passes: while one is installed the thread looks at
// it every few milliseconds, and libcurl's own timeouts run on regardless. The clock must not
// be replaced while transfers run.
//
// The engine keeps one connection pool for every session. Connections stay open for reuse; HTTP/2
// connections carry many transfers at once, and a transfer to a host whose HTTP/2 connection
// is being set up waits for it rather than opening another. DNS results and TLS sessions are
// shared.
//
// Connections are capped per host by the engine itself: a transfer is handed to libcurl
// only while fewer than its session's HTTPMaximumConnectionsPerHost transfers run to its
// host ("scheme://host:port" of the URL asked for; a redirect elsewhere is not counted
// again), or, once the host has answered over HTTP/2, fewer than 100, which then share one
// connection. The others wait, in order, in a queue of their host's, and never fail
// for want of a connection. Their request timeout does not run there; the time they
// waited counts against their resource timeout once they leave the queue. Because each host
// queues apart, a stalled host holds only its own share, and transfers to other hosts go
// on. The total of connections is capped too (libcurl's CURLMOPT_MAX_TOTAL_CONNECTIONS);
// beyond it transfers wait inside libcurl, where a transfer's request timeout starts only
// once it has a connection.
//
// Loading keeps pace with the completions: while kMostCompletionsWaiting completions wait
// for the pool, no queued transfer starts (those running finish), so bodies waiting for
// their completion stay few however fast they arrive. The first completion to finish below
// that limit starts the queues again.
//
// Limits per task come from its configuration: the request timeout (nothing received for
// that long), the resource timeout (not finished after that long), the redirect limit, and
// kMaximumBodyBytes for the body.
//
// The first engine made raises the process's open-file limit to its hard limit, so that
// thousands of transfers can be open at once; by default each engine keeps half of that
// limit for connections. Its other settings are fixed when it is made; URLLoader::Default()
// is one made with the defaults. Its threads start with the signal mask of the thread that
// makes it, so a program that takes signals on a thread of its own blocks them first.
//
// Destruction stops the loading thread and waits for it; transfers not finished by then are
// dropped with their completions unrun, and completions not yet started are not run. A
// completion already running is not waited for. Nothing may call start() once destruction
// has begun.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/WakeEvent.h"
#include "platform/url_loading/CompletionPool.h"
#include "platform/url_loading/CurlHandles.h"
#include "platform/url_loading/CurlTransfer.h"
#include "platform/url_loading/URLLoader.h"

namespace corvanta {

class CurlEngine final : public URLLoader {
 public:
  static constexpr long kMostCompletionsWaiting = 64;

  struct Settings {
    // The certificate authorities HTTPS servers are verified against: this file; when "",
    // the one $SSL_CERT_FILE names as the engine is made, if any; else libcurl's default.
    // Verification is never turned off: a file that cannot be read fails every HTTPS
    // transfer with NSURLErrorSecureConnectionFailed.
    std::string certificateAuthorityFile;
    // What the default session configuration gives as HTTPMaximumConnectionsPerHost.
    int maximumConnectionsPerHost = NSURLSessionConfiguration::kDefaultMaximumConnectionsPerHost;
    // Connections open at once to every host together; 0 takes half the open-file limit.
    long connectionLimit = 0;
    // Refuse plain http, the first request and any redirect to it, with
    // NSURLErrorSecureConnectionRequired, as a device's transport security does unless the app
    // allows insecure loads. Otherwise such loads go ahead and are recorded in the request's
    // activity (DownloadRecord::plainHTTP).
    bool requireHTTPS = false;
  };

  CurlEngine();
  explicit CurlEngine(Settings settings);

  // Whether `path` is a file of certificate authorities as certificateAuthorityFile takes
  // it: readable, holding at least one PEM certificate, every one of them well-formed. The
  // failure says what was wrong with it.
  static Result<> checkCertificateAuthorityFile(const std::string& path);
  ~CurlEngine() override;
  CurlEngine(const CurlEngine&) = delete;
  CurlEngine& operator=(const CurlEngine&) = delete;

  void start(DataTaskRequest request) override;
  void noticeCancellations() override;
  int defaultMaximumConnectionsPerHost() const override {
    return _settings.maximumConnectionsPerHost;
  }

  // The thread that runs libcurl, for checks that user code never runs on it.
  std::thread::id loadingThreadId() const { return _thread.get_id(); }

 private:
  struct Entry {
    std::unique_ptr<CurlTransfer> transfer;
    std::uint64_t serial;
  };
  struct Waiting {
    DataTaskRequest request;
    Clock::time_point since;
  };
  struct Host {
    long running = 0;  // transfers handed to libcurl
    bool multiplexed = false;
    // Requests wait as they came, without a transfer: a libcurl handle and its buffers are
    // made only when the host's cap lets one start (2,000 waiting handles held 26 MB).
    std::deque<Waiting> waiting;
  };
  // When to look at a transfer's request timeout again. Entries are not removed when the
  // transfer ends or its deadline moves; the serial tells a stale one.
  struct IdleCheck {
    Clock::time_point at;
    CURL* handle;
    std::uint64_t serial;
    bool operator>(const IdleCheck& other) const { return at > other.at; }
  };

  static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* socketData);
  static int onTimer(CURLM* multi, long milliseconds, void* self);

  void run();
  bool admitArrived();
  void admit(DataTaskRequest request);
  void startWaiting(const std::string& hostKey);
  void launch(std::unique_ptr<CurlTransfer> transfer, Host& host);
  void startAllWaiting();
  // Ends every cancelled transfer, running or waiting.
  void dropCancelled();
  void act(curl_socket_t socket, int flags);
  void collectFinished();
  void expireIdle(Clock::time_point now);
  int waitMilliseconds(Clock::time_point now) const;
  void end(CURL* handle, CurlTransfer::Outcome outcome);
  void complete(DataTaskRequest request, CurlTransfer::Outcome outcome);

  const Settings _settings;  // certificateAuthorityFile already resolved against $SSL_CERT_FILE
  CompletionPool _pool;

  std::mutex _mutex;
  std::vector<DataTaskRequest> _incoming;   // guarded by _mutex
  bool _stopping = false;                   // guarded by _mutex
  std::atomic<bool> _cancellations{false};  // some request may have been cancelled

  // Completions posted and not yet finished, and the eventfd that wakes the loading thread;
  // shared with the completions, which may finish after the engine is gone.
  struct Backlog {
    std::atomic<long> waiting{0};
    WakeEvent wakeup;
  };
  std::shared_ptr<Backlog> _backlog;

  // Made before the multi handle and freed after it: its callbacks use them.
  FileDescriptor _epoll;
  FileDescriptor _curlTimer;  // a timerfd, armed when libcurl asks to be called

  // Everything below belongs to the loading thread while it runs.
  CurlShare _share;
  CurlMulti _multi;
  std::unordered_map<CURL*, Entry> _transfers;
  std::uint64_t _nextSerial = 0;
  std::priority_queue<IdleCheck, std::vector<IdleCheck>, std::greater<>> _idleChecks;
  // Hosts with transfers running or waiting, and those known to multiplex.
  std::unordered_map<std::string, Host> _hosts;
  // Whether a host's queue stopped for the completions' backlog, to be looked at again.
  bool _heldBack = false;

  // Declared last: the thread starts once everything it uses exists.
  std::thread _thread;
};

}  // namespace corvanta
