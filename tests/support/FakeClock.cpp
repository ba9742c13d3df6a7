#include "support/FakeClock.h"

#include <gtest/gtest.h>

namespace corvanta::testing {
namespace {

// The clocks alive, so that a thread ending after its clock never reaches a dead one.
std::mutex clocksMutex;
std::set<FakeClock*> clocks;

// Tells the clock a thread waited on that the thread has ended.
struct Waiter {
  FakeClock* clock = nullptr;
  ~Waiter() {
    const std::lock_guard lock(clocksMutex);
    if (clocks.contains(clock)) clock->forget(std::this_thread::get_id());
  }
};
thread_local Waiter waiter;

}  // namespace

FakeClock::FakeClock() : _installed(*this) {
  const std::lock_guard lock(clocksMutex);
  clocks.insert(this);
}

FakeClock::~FakeClock() {
  const std::lock_guard lock(clocksMutex);
  clocks.erase(this);
}

Clock::time_point FakeClock::now() {
  const std::lock_guard lock(_mutex);
  return _now;
}

void FakeClock::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                          time_point deadline) {
  waiter.clock = this;
  {
    const std::lock_guard guard(_mutex);
    if (_now >= deadline) return;
    // Asleep only with nothing due: a thread that returns at once is still at work.
    _asleepSince[std::this_thread::get_id()] = _advances;
    _waiting.insert(&condition);
    _entered.notify_all();
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
  ++_advances;
  for (auto* condition : _waiting) condition->notify_all();
}

void FakeClock::settle() {
  std::unique_lock lock(_mutex);
  const bool settled = _entered.wait_for(lock, std::chrono::seconds(10), [&] {
    if (_asleepSince.empty()) return false;
    for (const auto& [thread, since] : _asleepSince)
      if (since != _advances) return false;
    return true;
  });
  EXPECT_TRUE(settled) << "a thread waiting on the clock did not come back to rest";
}

void FakeClock::forget(std::thread::id thread) {
  const std::lock_guard lock(_mutex);
  _asleepSince.erase(thread);
  _entered.notify_all();
}

}  // namespace corvanta::testing
