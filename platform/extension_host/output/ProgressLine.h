// A one-line progress indicator on a terminal: how many requests were received, displayed
// and are still in flight, redrawn in place. Silent when the descriptor is not a terminal,
// so piped or captured standard error never holds it.
//
// update() is cheap enough to call for every request: it reads the clock and returns unless
// kInterval has passed since the last redraw. Not thread-safe: call it from one thread (the
// host's), or under a lock.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/foundation/Clock.h"

namespace corvanta {

class ProgressLine {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // `fd` is not owned; checked once, here, for being a terminal. `enabled` false: silent.
  explicit ProgressLine(int fd, bool enabled = true);
  ~ProgressLine();  // clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool active() const { return _active; }

  // Redraws the line when kInterval has passed since the last redraw.
  void update(std::size_t received, std::size_t displayed, std::size_t inFlight);
  // Erases the line, before other output goes to the same terminal; update() draws it again.
  void clear();

 private:
  int _fd;
  bool _active;
  bool _drawn = false;
  Clock::time_point _lastDraw{};
};

}  // namespace corvanta
