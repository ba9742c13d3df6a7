// A clock for tests that moves only when the test advances it, installed for its scope.
// Waits end when advance() passes their deadline (or on a notification), so time limits are
// tested without real sleeps; settle() then says when what the new time made due is done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/foundation/Clock.h"

namespace corvanta::testing {

class FakeClock : public Clock {
 public:
  FakeClock();
  ~FakeClock() override;

  time_point now() override;
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 time_point deadline) override;

  void advance(duration by);
  // Waits until some thread waits on this clock and every one that does (and has not ended)
  // is asleep on it since it last advanced: each has seen the new time and done what fell
  // due. Fails the test when that takes more than a few seconds of real time.
  void settle();

  // A thread that waited on the clock has ended.
  void forget(std::thread::id thread);

 private:
  std::mutex _mutex;
  std::condition_variable _entered;  // a thread began to wait
  time_point _now{std::chrono::hours(1)};
  std::set<std::condition_variable*> _waiting;
  std::uint64_t _advances = 0;
  // Each thread that waits on the clock: the advance at which it last fell asleep.
  std::map<std::thread::id, std::uint64_t> _asleepSince;
  ScopedBackend<Clock> _installed;
};

}  // namespace corvanta::testing
