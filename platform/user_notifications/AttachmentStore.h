// The attachment backend: which files become attachments, and where their bytes are kept.
//
// AttachmentStore::Default() is the real one: it reads the type from the file's content
// (libmagic), applies the platform's media rules (the types, size limits and extensions in
// MediaType.h) and takes the file into the attachment store under a unique folder: a hard
// link to the very file it checked, or a copy where linking fails. The attachment then refers
// to the store's own file, so a later replacement of the same file name (an atomic write, a
// removal) cannot change an attachment already made; only a write into the file in place
// would reach a linked copy. The file itself stays where it is. A test installs its own
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

// Sets the folder where AttachmentStore::Default() keeps its copies, each in a new folder of
// its own; "" returns to the default, NSTemporaryDirectory() + "Attachments/". The folder and
// its parents are made (mode 0700) when first needed. The host calls it once at start, before
// any request runs; any thread may call it.
void setAttachmentStoreDirectory(std::string path);

}  // namespace corvanta
