#include "support/RecordingAttachmentStore.h"

#include <sys/stat.h>

#include "support/TestData.h"

namespace corvanta::testing {

std::shared_ptr<UNNotificationAttachment> RecordingAttachmentStore::attachmentWithIdentifier(
    const std::string& identifier, const std::shared_ptr<NSURL>& URL,
    const std::shared_ptr<NSDictionary>& /*options*/, NSErrorOut error) {
  {
    std::lock_guard guard(_mutex);
    ++_creations;
  }
  struct stat status {};
  if (!URL || !URL->isFileURL() || ::lstat(URL->path().c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    if (error)
      *error = NSError::errorWithDomain(UNErrorDomain, UNErrorCodeAttachmentNotReachable,
                                        "not a regular file");
    return nullptr;
  }
  if (duringCreation) duringCreation();
  const std::string bytes = readFile(URL->path());

  auto attachment =
      std::make_shared<UNNotificationAttachment>(UNNotificationAttachment::Description{
          identifier, URL, URL->path(), "application/octet-stream",
          UNNotificationAttachmentKind::image, bytes.size()});
  std::lock_guard guard(_mutex);
  _bytes[attachment.get()] = bytes;
  return attachment;
}

std::string RecordingAttachmentStore::bytesOf(const UNNotificationAttachment& attachment) const {
  std::lock_guard guard(_mutex);
  const auto found = _bytes.find(&attachment);
  return found == _bytes.end() ? std::string() : found->second;
}

int RecordingAttachmentStore::creations() const {
  std::lock_guard guard(_mutex);
  return _creations;
}

}  // namespace corvanta::testing
