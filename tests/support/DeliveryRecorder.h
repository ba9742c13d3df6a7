// Collects what a content handler delivers, from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "platform/user_notifications/UNNotificationServiceExtension.h"

namespace corvanta::testing {

class DeliveryRecorder {
 public:
  // A handler that records into this recorder; the recorder must outlive its calls.
  UNNotificationContentHandler handler();

  std::vector<std::shared_ptr<const UNNotificationContent>> deliveries() const;
  std::size_t count() const;

 private:
  mutable std::mutex _mutex;
  std::vector<std::shared_ptr<const UNNotificationContent>> _deliveries;
};

}  // namespace corvanta::testing
