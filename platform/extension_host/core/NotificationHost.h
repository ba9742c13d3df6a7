// Runs each received request through its own instance of the principal class
// "NotificationService" and hands every call of its content handler to its DeliverySink, as
// it happens. A request a device would not show (a background push, one with nothing to
// show, one the push service refuses: device/NotificationPayload.h) is delivered at once,
// not displayed, without running the extension, as is one whose extension a device would
// not run. A first delivery carries the fields the payload holds that a device ignores.
//
// Guarantees: every accepted request has its first delivery exactly once before finish()
// returns, at its expiry at the latest; deliveries reach the sink outside the lock
// the timer needs, a request's in the order of their numbers. A request's download still
// running at twice its time limit is given up: no longer in flight, its later deliveries
// dropped, its work cancelled (RequestActivity::cancel).
//
// Threads: receive(), offer() and finish() are called on the host's thread; stop() and
// counts() from any thread. The content handler may be called from any thread, by a caller that
// holds the service for the length of the call. One timer thread calls
// serviceExtensionTimeWillExpire for a request that has had no delivery when its time limit
// passes; it learns of a request only once its receive call has returned, so an expiry never
// overtakes it. A service is released on the thread that delivered it or expired it; the
// host notices its end (its download's completion has run) through the content handler it
// holds, which dies with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/extension_host/device/LocalizedStrings.h"

namespace corvanta {

class NotificationHost {
 public:
  struct Settings {
    std::chrono::duration<double> timeLimit{30.0};
    // Requests whose service is alive (without a first delivery, or with a download
    // running) before receive() waits for one to end.
    std::size_t maxInFlight = 10'000;
    // The formats for alerts' localization keys; nullptr: each key is its own format.
    std::shared_ptr<const LocalizedStrings> strings;
    // Where every request and delivery is reported. Not owned; outlives the host.
    DeliverySink* sink = nullptr;
    // Runs once the host stops taking requests (stop()), on the thread that stopped it,
    // with no lock held: the intake stops too.
    std::function<void()> onStop;
  };

  explicit NotificationHost(Settings settings);  // starts the timer thread
  ~NotificationHost();                           // stops it
  NotificationHost(const NotificationHost&) = delete;
  NotificationHost& operator=(const NotificationHost&) = delete;

  // Hands the request to a new service (or, when a device would not run the extension,
  // delivers its content unchanged, displayed only when a device would show it) and
  // returns once the receive call has returned. Waits
  // first while maxInFlight requests are in flight. False, with the request dropped unread,
  // once the host has stopped taking requests: the caller stops reading.
  bool receive(IncomingRequest request);

  // As receive(), but never waits for room: busy, with the request dropped, when it would
  // run the extension while maxInFlight requests are in flight.
  Admission offer(IncomingRequest request);

  // Stops taking requests: receive() returns false from now on, also a receive() that is
  // waiting, and finish() no longer waits for requests without a first delivery.
  void stop();

  struct Outcome {
    bool settled = true;  // no download was still running
  };

  // Call once, after the last receive. Waits until every request has had its first delivery
  // and has no download still running, but no longer than twice the time limit after the last
  // receive (only until every due delivery is made, after stop()); then drops later
  // deliveries. When downloads were still running, the caller must end the process without
  // running destructors: their completions may still run on other threads.
  Outcome finish();

  struct Counts {
    std::size_t received = 0, delivered = 0, inFlight = 0;  // delivered: had a first delivery
  };
  Counts counts() const;

 private:
  struct State;
  struct Verdict;
  // What a device makes of the request before any extension runs.
  Verdict judge(const IncomingRequest& request) const;
  Admission admit(IncomingRequest request, Verdict verdict);

  std::shared_ptr<State> _state;
  std::thread _timer;
};

}  // namespace corvanta
