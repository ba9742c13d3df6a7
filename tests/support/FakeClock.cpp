#include "support/FakeClock.h"

namespace corvanta::testing {

Clock::time_point FakeClock::now() {
  const std::lock_guard lock(_mutex);
  return _now;
}

void FakeClock::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                          time_point deadline) {
  {
    const std::lock_guard guard(_mutex);
    if (_now >= deadline) return;
    _waiting.insert(&condition);
  }
  // advance() notifies without the waiter's lock, so a notification may slip in before this
  // wait begins: a short real wait bounds what that costs.
  condition.wait_for(lock, std::chrono::milliseconds(2));
  const std::lock_guard guard(_mutex);
  _waiting.erase(&condition);
}

void FakeClock::advance(duration by) {
  const std::lock_guard lock(_mutex);
  _now += by;
  for (auto* condition : _waiting) condition->notify_all();
}

}  // namespace corvanta::testing
