// The attachment backend: which files become attachments, and where their bytes are kept.
//
// AttachmentStore::Default() is the real one, a DefaultAttachmentStore that keeps its files in
// NSTemporaryDirectory() + "Attachments/". The host installs a DefaultAttachmentStore of its
// own for the run, and a test its own backend, with ScopedBackend<AttachmentStore>. Any
// thread may call it.
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

class StoreFolders;

// The real store. It reads the type from the file's content (libmagic), applies the
// platform's media rules (the types, size limits and extensions in MediaType.h) and takes the
// file into the store under its own name, in the first of the store's numbered folders (0/,
// 1/, ...) without a file of that name: a hard link to the very file it checked, or a copy
// where linking fails. The attachment then refers to the store's own file, so a later
// replacement of the same file name (an atomic write, a removal) cannot change an attachment
// already made; only a write into the file in place would reach a linked copy. The file itself
// stays where it is. Goes through the current FileSystem backend.
class DefaultAttachmentStore final : public AttachmentStore {
 public:
  // Keeps its files in `directory`; "" stands for NSTemporaryDirectory() + "Attachments/",
  // looked up at each call. The store's folders are made (mode 0700, with any missing
  // parents) when first needed; an attachment that cannot be stored is refused with
  // UNErrorCodeAttachmentMoveIntoDataStoreFailed.
  explicit DefaultAttachmentStore(std::string directory = "");
  ~DefaultAttachmentStore() override;

  std::shared_ptr<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const std::shared_ptr<NSURL>& URL,
      const std::shared_ptr<NSDictionary>& options, NSErrorOut error) override;

 private:
  const std::string _directory;
  const std::unique_ptr<StoreFolders> _folders;
};

}  // namespace corvanta
