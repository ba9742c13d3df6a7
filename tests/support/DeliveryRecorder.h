// Collects what a content handler delivers, from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
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
  // Waits until `n` deliveries arrived; false when `timeout` passed first.
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  mutable std::mutex _mutex;
  mutable std::condition_variable _arrived;
  std::vector<std::shared_ptr<const UNNotificationContent>> _deliveries;
};

}  // namespace corvanta::testing
