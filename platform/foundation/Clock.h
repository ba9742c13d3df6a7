// The clock backend: what time it is, and waiting for a time to come.
//
// Clock::Default() is the real steady clock. A test installs its own with
// ScopedBackend<Clock> to move time by hand, so that time limits and expiries are tested
// without real sleeps and without races. Every operation may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/foundation/Backend.h"

namespace corvanta {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;

  static Clock& Default();
  static Clock& Current() { return BackendSlot<Clock>::Current(); }

  // Never goes back.
  virtual time_point now() = 0;

  // Waits on `condition` (with `lock` held on entry and on return) until it is notified or
  // until now() reaches `deadline`. May return early, as condition variables do: callers
  // check what they wait for in a loop.
  virtual void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         time_point deadline) = 0;
};

}  // namespace corvanta
