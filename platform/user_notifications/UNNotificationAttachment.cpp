#include "platform/user_notifications/UNNotificationAttachment.h"

#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta {

const char* nameOfKind(UNNotificationAttachmentKind kind) {
  switch (kind) {
    case UNNotificationAttachmentKind::image:
      return "image";
    case UNNotificationAttachmentKind::audio:
      return "audio";
    case UNNotificationAttachmentKind::movie:
      return "movie";
  }
  return "unknown";
}

std::shared_ptr<UNNotificationAttachment> UNNotificationAttachment::attachmentWithIdentifier(
    const std::string& identifier, const std::shared_ptr<NSURL>& URL,
    const std::shared_ptr<NSDictionary>& options, NSErrorOut error) {
  return AttachmentStore::Current().attachmentWithIdentifier(identifier, URL, options, error);
}

}  // namespace corvanta
