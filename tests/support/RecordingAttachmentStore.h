// An attachment store for tests: it accepts any regular file, keeps its own copy of the
// bytes (as the real store does), and lets a test pause inside a creation.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta::testing {

class RecordingAttachmentStore : public AttachmentStore {
 public:
  std::shared_ptr<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const std::shared_ptr<NSURL>& URL,
      const std::shared_ptr<NSDictionary>& options, NSErrorOut error) override;

  // The bytes the store took for `attachment`.
  std::string bytesOf(const UNNotificationAttachment& attachment) const;
  int creations() const;

  // Runs after the store has found the file and before it reads the bytes.
  std::function<void()> duringCreation;

 private:
  mutable std::mutex _mutex;
  std::map<const UNNotificationAttachment*, std::string> _bytes;
  int _creations = 0;
};

}  // namespace corvanta::testing
