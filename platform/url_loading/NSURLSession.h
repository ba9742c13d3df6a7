// URL sessions and their data tasks.
//
// A session is made per caller and never shut down: it lives while someone holds it or one
// of its tasks is still running, and is freed after that. A task's completion runs exactly
// once per resumed task, on the URL loading's completion pool: never on the loading thread
// and never inside resume(). It gets the whole body for any HTTP status, the response and no
// error; or, on any failure, no data, no response and an error.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/url_loading/NSURLResponse.h"
#include "platform/url_loading/NSURLSessionConfiguration.h"

namespace corvanta {

using NSURLSessionCompletionHandler =
    std::function<void(std::shared_ptr<NSData> data, std::shared_ptr<NSURLResponse> response,
                       std::shared_ptr<NSError> error)>;

class NSURLSessionDataTask;

class NSURLSession : public std::enable_shared_from_this<NSURLSession> {
 public:
  // A new session with its own copy of `configuration` (defaultSessionConfiguration() when
  // nullptr).
  static std::shared_ptr<NSURLSession> sessionWithConfiguration(
      const std::shared_ptr<NSURLSessionConfiguration>& configuration);

  // A task that fetches `url` (nullptr fails with NSURLErrorBadURL) and then runs
  // `completionHandler`. Nothing happens until resume().
  std::shared_ptr<NSURLSessionDataTask> dataTaskWithURL(
      std::shared_ptr<NSURL> url, NSURLSessionCompletionHandler completionHandler);

  const NSURLSessionConfiguration& configuration() const { return _configuration; }

  explicit NSURLSession(NSURLSessionConfiguration configuration) : _configuration(configuration) {}

 private:
  NSURLSessionConfiguration _configuration;
};

class NSURLSessionDataTask : public std::enable_shared_from_this<NSURLSessionDataTask> {
 public:
  // Starts the transfer and returns at once. Only the first call does anything. The task,
  // its session and its completion stay alive until the completion has run.
  void resume();
  // Ends a resumed task early: its completion runs soon with NSURLErrorCancelled, unless it
  // has ended already. Any thread may call it; it does nothing before resume().
  void cancel();

  NSURLSessionDataTask(std::shared_ptr<NSURLSession> session, std::shared_ptr<NSURL> url,
                       NSURLSessionCompletionHandler completionHandler);

 private:
  std::shared_ptr<NSURLSession> _session;
  std::shared_ptr<NSURL> _url;
  NSURLSessionCompletionHandler _completionHandler;
  bool _resumed = false;
  const std::shared_ptr<std::atomic<bool>> _cancelled = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace corvanta
