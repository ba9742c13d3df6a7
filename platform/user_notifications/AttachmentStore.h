// The attachment backend: which files become attachments, and where their bytes are kept.
//
// AttachmentStore::Default() is the real one: it reads the type from the file's content
// (libmagic), applies the platform's media rules and takes the file into the attachment
// store under a unique name (a hard link, or a copy where linking fails). The attachment
// then refers to the store's own copy, so a later write to the same file name cannot change
// an attachment already made; the file itself stays where it is. A test installs its own
// backend with ScopedBackend<AttachmentStore>. Any thread may call it.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Backend.h"
#include "platform/user_notifications/UNNotificationAttachment.h"

namespace corvanta {

class AttachmentStore {
 public:
  virtual ~AttachmentStore() = default;

  static AttachmentStore& Default();
  static AttachmentStore& Current() { return BackendSlot<AttachmentStore>::Current(); }

  // See UNNotificationAttachment::attachmentWithIdentifier.
  virtual std::shared_ptr<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const std::shared_ptr<NSURL>& URL,
      const std::shared_ptr<NSDictionary>& options, NSErrorOut error) = 0;
};

// Sets the folder where AttachmentStore::Default() keeps its copies; "" returns to the
// default, a folder "Attachments" beside the temporary directory. The host calls it once at
// start, before any request runs.
void setAttachmentStoreDirectory(std::string path);

}  // namespace corvanta
