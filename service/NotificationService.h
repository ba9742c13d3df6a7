// The extension's principal class. The host creates one instance per request with
// std::make_shared (a pending download keeps the instance alive through its completion),
// calls didReceiveNotificationRequest once, and may call serviceExtensionTimeWillExpire later
// from another thread.
//
// Both properties are written only inside didReceiveNotificationRequest, before any download
// starts, and only read afterwards; that is what makes the unlocked, nonatomic properties
// safe to read from the completion and the expiry at the same time.
#pragma once

#include <memory>

#include "platform/user_notifications/UNNotificationServiceExtension.h"

namespace corvanta {

// The payload key whose value names the media to attach.
inline constexpr const char* kAttachmentURLKey = "att_url";

class NotificationService : public UNNotificationServiceExtension,
                            public std::enable_shared_from_this<NotificationService> {
 public:
  // Without "att_url" in the payload, delivers an unchanged copy of the content before
  // returning. With it, starts the download and returns; the download's completion delivers.
  void didReceiveNotificationRequest(std::shared_ptr<UNNotificationRequest> request,
                                     UNNotificationContentHandler contentHandler) override;
  // Delivers the best-attempt content, the content as it arrived. The download, if any, goes
  // on and delivers again when it ends.
  void serviceExtensionTimeWillExpire() override;

  const UNNotificationContentHandler& contentHandler() const { return _contentHandler; }
  void setContentHandler(UNNotificationContentHandler contentHandler) {
    _contentHandler = std::move(contentHandler);
  }
  const std::shared_ptr<UNMutableNotificationContent>& bestAttemptContent() const {
    return _bestAttemptContent;
  }
  void setBestAttemptContent(std::shared_ptr<UNMutableNotificationContent> bestAttemptContent) {
    _bestAttemptContent = std::move(bestAttemptContent);
  }

 private:
  UNNotificationContentHandler _contentHandler;
  std::shared_ptr<UNMutableNotificationContent> _bestAttemptContent;
};

}  // namespace corvanta
