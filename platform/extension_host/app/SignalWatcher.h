// Turns SIGINT and SIGTERM into an orderly stop. The first one says so on standard error,
// "stopping; <what stopping does>", and runs `onFirst` on the watcher's own thread (never
// inside a signal handler, so it may lock and write); a second one ends the process at once
// with 128 + its number, as a user pressing Ctrl-C twice expects, saying what `lastWords`
// gives (what is lost by ending at once) after "ending at once".
//
// Call blockStopSignals() before any other thread starts: every thread started afterwards
// inherits the blocked signals, so only the watcher receives them; one that arrives before
// the watcher exists waits for it. Destruction stops watching; the signals stay blocked, so
// one arriving during the exit is ignored.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/WakeEvent.h"

namespace corvanta {

class SignalWatcher {
 public:
  static void blockStopSignals();

  SignalWatcher(std::function<void(int signal)> onFirst, std::string stopping,
                std::function<std::string()> lastWords = {});
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // The first signal received, or 0.
  int received() const { return _received.load(); }

 private:
  void run();

  std::function<void(int)> _onFirst;
  std::string _stopping;
  std::function<std::string()> _lastWords;
  std::atomic<int> _received{0};
  FileDescriptor _signals;  // a signalfd
  WakeEvent _stop;
  std::thread _thread;  // last: starts once the rest exists
};

}  // namespace corvanta
