// The real URL loader: one loading thread drives a libcurl multi handle for every session.
//
// start() queues the request and wakes the loading thread; the thread owns each transfer
// from then on, shares connections, DNS results and TLS sessions between them, and hands
// every completion to a completion pool of two threads. The loading thread never runs user
// code, and the number of threads does not depend on the number of requests. (libcurl's
// resolver may briefly use a thread of its own per host name lookup.)
//
// Limits per task come from its configuration: the request timeout (nothing received for
// that long), the resource timeout (not finished after that long), the redirect limit, and
// kMaximumBodyBytes for the body.
//
// The first engine made raises the process's open-file limit to its hard limit, so that
// thousands of transfers can be open at once; each engine keeps half of that limit for
// connections and lets further transfers wait for one to close.
//
// Destruction stops the loading thread and waits for it; transfers not finished by then are
// dropped with their completions unrun, and completions not yet started are not run. A
// completion already running is not waited for. Nothing may call start() once destruction
// has begun.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/url_loading/CompletionPool.h"
#include "platform/url_loading/CurlHandles.h"
#include "platform/url_loading/CurlTransfer.h"
#include "platform/url_loading/URLLoader.h"

namespace corvanta {

class CurlEngine final : public URLLoader {
 public:
  CurlEngine();
  ~CurlEngine() override;
  CurlEngine(const CurlEngine&) = delete;
  CurlEngine& operator=(const CurlEngine&) = delete;

  void start(DataTaskRequest request) override;

  // The thread that runs libcurl, for checks that user code never runs on it.
  std::thread::id loadingThreadId() const { return _thread.get_id(); }

 private:
  void run();
  void admit(DataTaskRequest request);
  void collectFinished();
  void expireIdle();
  int pollMilliseconds() const;
  void end(CURL* handle, CurlTransfer::Result result);
  void complete(DataTaskRequest request, CurlTransfer::Result result);

  CompletionPool _pool;

  std::mutex _mutex;
  std::vector<DataTaskRequest> _incoming;  // guarded by _mutex
  bool _stopping = false;                  // guarded by _mutex

  // Everything below belongs to the loading thread while it runs.
  CurlShare _share;
  CurlMulti _multi;
  std::unordered_map<CURL*, std::unique_ptr<CurlTransfer>> _transfers;
  // No transfer's idle deadline comes before this; nothing when none has one.
  std::optional<CurlTransfer::Clock::time_point> _nextIdleCheck;

  // Declared last: the thread starts once everything it uses exists.
  std::thread _thread;
};

}  // namespace corvanta
