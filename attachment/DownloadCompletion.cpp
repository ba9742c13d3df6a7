#include "attachment/DownloadCompletion.h"

#include "attachment/StagingFileLock.h"
#include "attachment/StagingFileURL.h"
#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/UNNotificationAttachment.h"

namespace corvanta {
namespace {

std::shared_ptr<NSURL> stagingFileURL(
    const std::shared_ptr<const std::string>& attachmentURLString) {
  if (!attachmentURLString) return nullptr;
  const auto text = stagingFileURLString(*attachmentURLString, NSTemporaryDirectory());
  return text ? NSURL::URLWithString(*text) : nullptr;
}

std::shared_ptr<UNNotificationAttachment> stageAndAttach(const std::shared_ptr<NSURL>& fileURL,
                                                         const NSData& data) {
  StagingFileLock lock(fileURL->path());
  if (!data.writeToURL(fileURL, /*atomically=*/true)) return nullptr;
  return UNNotificationAttachment::attachmentWithIdentifier(kAttachmentIdentifier, fileURL,
                                                            /*options=*/nullptr,
                                                            /*error=*/nullptr);
}

}  // namespace

std::shared_ptr<UNMutableNotificationContent> contentWithDownloadedAttachment(
    const std::shared_ptr<const std::string>& attachmentURLString,
    const UNNotificationRequest& request, const std::shared_ptr<NSData>& data) {
  const auto fileURL = stagingFileURL(attachmentURLString);
  const auto attachment = data && fileURL ? stageAndAttach(fileURL, *data) : nullptr;

  auto content = request.content()->mutableCopy();
  if (attachment) content->setAttachments({attachment});
  return content;
}

}  // namespace corvanta
