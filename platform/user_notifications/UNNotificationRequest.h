// One incoming notification: an identifier and the content it arrived with. Immutable.
#pragma once

#include <memory>
#include <string>

#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

class UNNotificationRequest {
 public:
  UNNotificationRequest(std::string identifier,
                        std::shared_ptr<const UNNotificationContent> content)
      : _identifier(std::move(identifier)), _content(std::move(content)) {}

  static std::shared_ptr<UNNotificationRequest> requestWithIdentifier(
      std::string identifier, std::shared_ptr<const UNNotificationContent> content) {
    return std::make_shared<UNNotificationRequest>(std::move(identifier), std::move(content));
  }

  const std::string& identifier() const { return _identifier; }
  const std::shared_ptr<const UNNotificationContent>& content() const { return _content; }

 private:
  std::string _identifier;
  std::shared_ptr<const UNNotificationContent> _content;
};

}  // namespace corvanta
