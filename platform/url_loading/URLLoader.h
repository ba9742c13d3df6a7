// The URL loading backend behind every session: one per process.
//
// URLLoader::Default() is the real one with its default settings: a single loading thread
// running libcurl for every session, with completions handed to a small fixed pool. The host
// installs a real one made with its run's settings (CurlEngine) with ScopedBackend<URLLoader>,
// as a test installs its own.
#pragma once

#include <atomic>
#include <memory>

#include "platform/foundation/Backend.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/url_loading/NSURLSession.h"

namespace corvanta {

struct DataTaskRequest {
  std::shared_ptr<NSURL> url;  // nullptr when the caller had none
  NSURLSessionConfiguration configuration;
  // Called exactly once, later, never inside start(); holds the task and its session alive.
  NSURLSessionCompletionHandler completion;
  // Set, by any thread, when the task is cancelled; nullptr when it cannot be.
  std::shared_ptr<std::atomic<bool>> cancelled;
  // The request being served, if any: a loader records there each redirect it follows and
  // whether it loaded over plain http (RequestActivity::download...).
  std::shared_ptr<RequestActivity> activity = nullptr;
};

class URLLoader {
 public:
  virtual ~URLLoader() = default;

  static URLLoader& Default();
  static URLLoader& Current() { return BackendSlot<URLLoader>::Current(); }

  // Begins `request` and returns at once; any thread may call it. The loader owns the
  // request until it has run its completion, exactly once, on a thread of its own.
  virtual void start(DataTaskRequest request) = 0;

  // Says that some started request's `cancelled` flag was set: the loader ends each such
  // request soon, running its completion (once, as always) with NSURLErrorCancelled, and
  // frees what it held for it. Any thread may call it. A loader that ignores it lets
  // cancelled requests run to their end.
  virtual void noticeCancellations() {}

  // What NSURLSessionConfiguration::defaultSessionConfiguration() gives as
  // HTTPMaximumConnectionsPerHost while this loader is installed. Any thread may call it.
  virtual int defaultMaximumConnectionsPerHost() const {
    return NSURLSessionConfiguration::kDefaultMaximumConnectionsPerHost;
  }
};

}  // namespace corvanta
