#include "platform/url_loading/NSURLSession.h"

#include "platform/foundation/RequestActivity.h"
#include "platform/url_loading/NSURLError.h"
#include "platform/url_loading/URLLoader.h"

namespace corvanta {
namespace {

Diagnostic describeOutcome(const NSData* data, const NSURLResponse* response,
                           const NSError* error) {
  if (error || !response) {
    return {"download", error ? error->code() : NSURLErrorUnknown,
            error ? error->domain() : NSURLErrorDomain,
            error ? error->localizedDescription() : "no response"};
  }
  const std::string type = response->MIMEType().empty() ? "no media type" : response->MIMEType();
  return {"download", response->statusCode(), "HTTP",
          "HTTP " + std::to_string(response->statusCode()) + ", " + type + ", " +
              std::to_string(data ? data->length() : 0) + " bytes"};
}

}  // namespace

std::shared_ptr<NSURLSessionConfiguration>
NSURLSessionConfiguration::defaultSessionConfiguration() {
  auto configuration = std::make_shared<NSURLSessionConfiguration>();
  configuration->HTTPMaximumConnectionsPerHost =
      URLLoader::Current().defaultMaximumConnectionsPerHost();
  return configuration;
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    const std::shared_ptr<NSURLSessionConfiguration>& configuration) {
  return std::make_shared<NSURLSession>(
      configuration ? *configuration : *NSURLSessionConfiguration::defaultSessionConfiguration());
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
  // The request being served here is served by the completion too, wherever it runs.
  auto self = shared_from_this();
  const auto& activity = RequestActivity::current();
  if (activity) {
    activity->onCancel([task = std::weak_ptr<NSURLSessionDataTask>(self)] {
      if (const auto alive = task.lock()) alive->cancel();
    });
    if (_url) activity->downloadStarted(_url->absoluteString());
  }
  URLLoader::Current().start(DataTaskRequest{
      _url, _session->configuration(),
      [self, activity](std::shared_ptr<NSData> data, std::shared_ptr<NSURLResponse> response,
                       std::shared_ptr<NSError> error) {
        const RequestActivity::Scope serving(activity);
        if (activity) activity->downloadEnded();
        RequestActivity::note(describeOutcome(data.get(), response.get(), error.get()));
        auto completion = std::move(self->_completionHandler);
        self->_completionHandler = nullptr;
        if (completion) completion(std::move(data), std::move(response), std::move(error));
      },
      _cancelled, activity});
}

void NSURLSessionDataTask::cancel() {
  if (!_resumed || _cancelled->exchange(true)) return;
  URLLoader::Current().noticeCancellations();
}

}  // namespace corvanta
