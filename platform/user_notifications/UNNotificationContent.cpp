#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

std::shared_ptr<UNMutableNotificationContent> UNNotificationContent::mutableCopy() const {
  auto copy = std::make_shared<UNMutableNotificationContent>();
  static_cast<UNNotificationContent&>(*copy) = *this;
  return copy;
}

void UNMutableNotificationContent::setUserInfo(std::shared_ptr<const NSDictionary> userInfo) {
  _userInfo = userInfo ? std::move(userInfo) : std::make_shared<NSDictionary>();
}

}  // namespace corvanta
