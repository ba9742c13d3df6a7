#include "platform/url_loading/NSURLSession.h"

#include "platform/url_loading/URLLoader.h"

namespace corvanta {

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    const std::shared_ptr<NSURLSessionConfiguration>& configuration) {
  return std::make_shared<NSURLSession>(configuration ? *configuration
                                                      : NSURLSessionConfiguration());
}

std::shared_ptr<NSURLSessionDataTask> NSURLSession::dataTaskWithURL(
    std::shared_ptr<NSURL> url, NSURLSessionCompletionHandler completionHandler) {
  return std::make_shared<NSURLSessionDataTask>(shared_from_this(), std::move(url),
                                                std::move(completionHandler));
}

NSURLSessionDataTask::NSURLSessionDataTask(std::shared_ptr<NSURLSession> session,
                                           std::shared_ptr<NSURL> url,
                                           NSURLSessionCompletionHandler completionHandler)
    : _session(std::move(session)),
      _url(std::move(url)),
      _completionHandler(std::move(completionHandler)) {}

void NSURLSessionDataTask::resume() {
  if (_resumed) return;
  _resumed = true;
  // The loader holds this task (and through it the session and the completion) until the
  // completion has run; then the last reference may go and everything is freed.
  auto self = shared_from_this();
  URLLoader::Current().start(
      DataTaskRequest{_url, _session->configuration(),
                      [self](std::shared_ptr<NSData> data, std::shared_ptr<NSURLResponse> response,
                             std::shared_ptr<NSError> error) {
                        auto completion = std::move(self->_completionHandler);
                        self->_completionHandler = nullptr;
                        if (completion)
                          completion(std::move(data), std::move(response), std::move(error));
                      }});
}

}  // namespace corvanta
