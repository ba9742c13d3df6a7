#include "platform/user_notifications/UNNotificationAttachment.h"

#include "platform/foundation/RequestActivity.h"
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
  std::shared_ptr<NSError> refusal;
  auto attachment =
      AttachmentStore::Current().attachmentWithIdentifier(identifier, URL, options, &refusal);
  if (refusal) {
    RequestActivity::note(
        {"attachment", refusal->code(), refusal->domain(), refusal->localizedDescription()});
  }
  if (error) *error = std::move(refusal);
  return attachment;
}

}  // namespace corvanta
