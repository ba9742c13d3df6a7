#include "platform/user_notifications/UNNotificationServiceExtension.h"

namespace corvanta {

void UNNotificationServiceExtension::didReceiveNotificationRequest(
    std::shared_ptr<UNNotificationRequest> request, UNNotificationContentHandler contentHandler) {
  contentHandler(request->content());
}

}  // namespace corvanta
