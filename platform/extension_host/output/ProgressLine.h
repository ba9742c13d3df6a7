// A one-line progress indicator on a terminal: how many requests were received, delivered
// and are still in flight, redrawn in place every kInterval from a thread of its own (the
// host's thread may be waiting for input or for the last expiries). Silent, with no thread
// at all, when the descriptor is not a terminal, so piped or captured standard error never
// holds it.
//
// Thread safety: clear() and stop() may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/extension_host/core/NotificationHost.h"

namespace corvanta {

class ProgressLine {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // Draws `counts()` on `fd` (not owned), which is checked once, here, for being a
  // terminal. `enabled` false: silent.
  ProgressLine(int fd, bool enabled, std::function<NotificationHost::Counts()> counts);
  ~ProgressLine();  // stop()
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool active() const { return _active; }

  // Erases the line, before other output goes to the same terminal; it is drawn again at the
  // next interval.
  void clear();
  // Stops redrawing and erases the line; later calls do nothing.
  void stop();

 private:
  void run();
  void draw(const NotificationHost::Counts& counts);  // with _mutex held
  void erase();                                       // with _mutex held

  const int _fd;
  const bool _active;
  const std::function<NotificationHost::Counts()> _counts;
  std::mutex _mutex;
  std::condition_variable _wake;
  bool _drawn = false;     // guarded by _mutex
  bool _stopping = false;  // guarded by _mutex
  std::thread _thread;     // last: starts once the rest exists
};

}  // namespace corvanta
