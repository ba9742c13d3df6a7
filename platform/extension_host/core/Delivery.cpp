#include "platform/extension_host/core/Delivery.h"

#include "platform/user_notifications/UNNotificationAttachment.h"

namespace corvanta {

void Delivery::takeContent(const UNNotificationContent& content) {
  title = content.title();
  subtitle = content.subtitle();
  body = content.body();
  badge = content.badge();
  sound = content.sound();
  criticalSoundVolume = content.criticalSoundVolume();
  category = content.categoryIdentifier();
  thread = content.threadIdentifier();
  interruptionLevel = content.interruptionLevel();
  userInfo = content.userInfo();
  for (const auto& attachment : content.attachments()) {
    if (!attachment) continue;
    attachments.push_back(DeliveredAttachment{
        attachment->identifier(),
        attachment->URL() ? std::optional(attachment->URL()->absoluteString()) : std::nullopt,
        attachment->file(), attachment->type(), nameOfKind(attachment->kind()),
        attachment->size()});
  }
}

}  // namespace corvanta
