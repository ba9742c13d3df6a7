// A clock for tests that moves only when the test advances it, installed for its scope.
// Waits end when advance() passes their deadline (or on a notification), so time limits are
// tested without real sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "platform/foundation/Clock.h"

namespace corvanta::testing {

class FakeClock : public Clock {
 public:
  FakeClock() : _installed(*this) {}

  time_point now() override;
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 time_point deadline) override;

  void advance(duration by);

 private:
  std::mutex _mutex;
  time_point _now{std::chrono::hours(1)};
  std::set<std::condition_variable*> _waiting;
  ScopedBackend<Clock> _installed;
};

}  // namespace corvanta::testing
