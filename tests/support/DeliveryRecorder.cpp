#include "support/DeliveryRecorder.h"

namespace corvanta::testing {

UNNotificationContentHandler DeliveryRecorder::handler() {
  return [this](std::shared_ptr<const UNNotificationContent> content) {
    std::lock_guard guard(_mutex);
    _deliveries.push_back(std::move(content));
    _arrived.notify_all();
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

bool DeliveryRecorder::waitFor(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_mutex);
  return _arrived.wait_for(lock, timeout, [&] { return _deliveries.size() >= n; });
}

}  // namespace corvanta::testing
