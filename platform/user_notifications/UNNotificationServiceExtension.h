// The base class of a notification service extension.
//
// The host creates one instance per request (with std::make_shared), calls
// didReceiveNotificationRequest once, and may later call serviceExtensionTimeWillExpire
// from another thread. The content handler may be called from any thread, any number of
// times; each call delivers one content for display.
#pragma once

#include <functional>
#include <memory>

#include "platform/user_notifications/UNNotificationContent.h"
#include "platform/user_notifications/UNNotificationRequest.h"

namespace corvanta {

using UNNotificationContentHandler =
    std::function<void(std::shared_ptr<const UNNotificationContent> content)>;

class UNNotificationServiceExtension {
 public:
  virtual ~UNNotificationServiceExtension() = default;

  // The base delivers the request's content unchanged.
  virtual void didReceiveNotificationRequest(std::shared_ptr<UNNotificationRequest> request,
                                             UNNotificationContentHandler contentHandler);
  // The base does nothing.
  virtual void serviceExtensionTimeWillExpire() {}
};

}  // namespace corvanta
