#include "service/NotificationService.h"

#include "attachment/DownloadCompletion.h"
#include "platform/extension_host/core/PrincipalClass.h"
#include "platform/url_loading/NSURLSession.h"

namespace corvanta {
namespace {

const bool registered = registerPrincipalClass(
    "NotificationService", [] { return std::make_shared<NotificationService>(); });

}  // namespace

void NotificationService::didReceiveNotificationRequest(
    std::shared_ptr<UNNotificationRequest> request, UNNotificationContentHandler contentHandler) {
  setContentHandler(std::move(contentHandler));

  const auto& content = request->content();
  const auto attachmentURLValue = content->userInfo()->objectForKey(kAttachmentURLKey);
  setBestAttemptContent(content->mutableCopy());

  if (!attachmentURLValue) {
    this->contentHandler()(bestAttemptContent());
    return;
  }

  // A value that is not text names no URL: the download then fails and the completion
  // delivers the content without attachment.
  std::shared_ptr<const std::string> attachmentURLString = attachmentURLValue->stringValue();
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::defaultSessionConfiguration());
  auto url = attachmentURLString ? NSURL::URLWithString(*attachmentURLString) : nullptr;
  auto task = session->dataTaskWithURL(
      std::move(url), DownloadCompletion<NotificationService>(
                          std::move(attachmentURLString), std::move(request), shared_from_this()));
  task->resume();
}

void NotificationService::serviceExtensionTimeWillExpire() {
  contentHandler()(bestAttemptContent());
}

}  // namespace corvanta
