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
  FakeClock() : _installed(*this) {}

  time_point now() override;
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 time_point deadline) override;

  void advance(duration by);
  // Waits until every thread that was waiting on the clock when it last advanced has come
  // back to wait on it again: it has seen the new time and done what fell due. Fails the
  // test when that takes more than a few seconds of real time.
  void settle();

 private:
  std::mutex _mutex;
  std::condition_variable _entered;  // a thread began to wait
  time_point _now{std::chrono::hours(1)};
  std::set<std::condition_variable*> _waiting;
  std::multiset<std::thread::id> _waitingThreads;
  std::uint64_t _advances = 0;
  std::map<std::thread::id, std::uint64_t> _lastWait;  // the advance each thread last waited at
  std::set<std::thread::id> _woken;                    // waiting when the clock last advanced
  ScopedBackend<Clock> _installed;
};

}  // namespace corvanta::testing
