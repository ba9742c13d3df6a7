#include "support/DeliveryRecorder.h"

namespace corvanta::testing {

UNNotificationContentHandler DeliveryRecorder::handler() {
  return [this](std::shared_ptr<const UNNotificationContent> content) {
    std::lock_guard guard(_mutex);
    _deliveries.push_back(std::move(content));
  };
}

std::vector<std::shared_ptr<const UNNotificationContent>> DeliveryRecorder::deliveries() const {
  std::lock_guard guard(_mutex);
  return _deliveries;
}

std::size_t DeliveryRecorder::count() const {
  std::lock_guard guard(_mutex);
  return _deliveries.size();
}

}  // namespace corvanta::testing
