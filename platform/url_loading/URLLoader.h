// The URL loading backend behind every session: one per process.
//
// URLLoader::Default() is the real one: a single loading thread running libcurl for every
// session, with completions handed to a small fixed pool. A test installs its own with
// ScopedBackend<URLLoader>.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/foundation/Backend.h"
#include "platform/url_loading/NSURLSession.h"

namespace corvanta {

struct DataTaskRequest {
  std::shared_ptr<NSURL> url;  // nullptr when the caller had none
  NSURLSessionConfiguration configuration;
  // Called exactly once, later, never inside start(); holds the task and its session alive.
  NSURLSessionCompletionHandler completion;
  // Set, by any thread, when the task is cancelled; nullptr when it cannot be.
  std::shared_ptr<std::atomic<bool>> cancelled;
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
};

// The file of certificate authorities that HTTPS servers are verified against, for every
// transfer set up after the call: `path`; when "", $SSL_CERT_FILE if set and not empty; else
// libcurl's own default. Verification is never turned off: a file that cannot be read fails
// every HTTPS transfer with NSURLErrorSecureConnectionFailed. Any thread may call it; the
// host calls it once at start.
void setCertificateAuthorityFile(std::string path);

}  // namespace corvanta
