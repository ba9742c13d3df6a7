#include "support/FakeClock.h"

#include <gtest/gtest.h>

namespace corvanta::testing {

Clock::time_point FakeClock::now() {
  const std::lock_guard lock(_mutex);
  return _now;
}

void FakeClock::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                          time_point deadline) {
  const auto self = std::this_thread::get_id();
  {
    const std::lock_guard guard(_mutex);
    _lastWait[self] = _advances;
    _entered.notify_all();
    if (_now >= deadline) return;
    _waiting.insert(&condition);
    _waitingThreads.insert(self);
  }
  // advance() notifies without the waiter's lock, so a notification may slip in before this
  // wait begins: a short real wait bounds what that costs.
  condition.wait_for(lock, std::chrono::milliseconds(2));
  const std::lock_guard guard(_mutex);
  _waiting.erase(&condition);
  _waitingThreads.erase(_waitingThreads.find(self));
}

void FakeClock::advance(duration by) {
  const std::lock_guard lock(_mutex);
  _now += by;
  ++_advances;
  _woken = {_waitingThreads.begin(), _waitingThreads.end()};
  for (auto* condition : _waiting) condition->notify_all();
}

void FakeClock::settle() {
  std::unique_lock lock(_mutex);
  const bool settled = _entered.wait_for(lock, std::chrono::seconds(10), [&] {
    for (const auto& thread : _woken)
      if (_lastWait[thread] != _advances) return false;
    return true;
  });
  EXPECT_TRUE(settled) << "a thread the clock woke did not come back to wait on it";
}

}  // namespace corvanta::testing
