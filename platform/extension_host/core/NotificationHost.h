// Runs each received request through its own instance of the principal class
// "NotificationService" and writes every call of its content handler to the output, one
// line per delivery, as it happens.
//
// Guarantees: every accepted request is displayed (has a first delivery) exactly once before
// finish() returns, at its expiry at the latest, however slow the output's reader; lines are
// written by an OutputWriter, never under the lock the timer needs, and a request's lines
// come out in the order of its deliveries. A request's download still running at twice its
// time limit is given up: no longer in flight, its later deliveries dropped, its work
// cancelled (RequestActivity::cancel).
//
// Threads: receive(), finish() and writePreview() are called on the host's thread; stop()
// and counts() from any thread. The content handler may be called from any thread, by a caller that
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

#include "platform/extension_host/core/Delivery.h"
#include "platform/extension_host/app/HostOptions.h"
#include "platform/extension_host/intake/RequestReader.h"

namespace corvanta {

class NotificationHost {
 public:
  struct Settings {
    std::chrono::duration<double> timeLimit{30.0};
    DeliveryFormat format = DeliveryFormat::json;
    bool keepPreview = false;  // whether writePreview() will be asked for
    // Requests whose service is alive (undisplayed, or with a download running) before
    // receive() waits for one to end.
    std::size_t maxInFlight = 10'000;
    int outputFd = 1;  // not owned
    // Runs once the host stops taking requests (stop(), or a failed output write), on the
    // thread that stopped it, with no lock held: the intake stops too.
    std::function<void()> onStop;
    // Sees every delivery once it is written, in the order written, under the host's lock:
    // it must be quick and must not call the host.
    std::function<void(const Delivery&)> onDelivery;
  };

  explicit NotificationHost(Settings settings);  // starts the timer and output threads
  ~NotificationHost();                           // stops them
  NotificationHost(const NotificationHost&) = delete;
  NotificationHost& operator=(const NotificationHost&) = delete;

  // Hands the request to a new service (or, when a device would not run the extension,
  // delivers its content unchanged) and returns once the receive call has returned. Waits
  // first while maxInFlight requests are in flight or the output is backed up. False, with
  // the request dropped unread, once the host has stopped taking requests: the caller stops
  // reading.
  bool receive(IncomingRequest request);

  // As receive(), but never waits for room: busy, with the request dropped, when it would
  // run the extension while maxInFlight requests are in flight. Still waits while the
  // output is backed up.
  Admission offer(IncomingRequest request);

  // Stops taking requests: receive() returns false from now on, also a receive() that is
  // waiting, and finish() no longer waits for undisplayed requests.
  void stop();

  struct Outcome {
    bool settled = true;  // no download was still running
    int outputError = 0;  // errno of a failed output write, else 0
  };

  // Call once, after the last receive. Waits until every request has been displayed and
  // has no download still running, but no longer than twice the time limit after the last
  // receive (only until every due delivery is written, after stop()); then drops later
  // deliveries and waits until every line is written. When downloads were still running, the
  // caller must end the process without running destructors: their completions may still
  // run on other threads.
  Outcome finish();

  // Writes the preview page (and its larger media beside it); only with
  // Settings::keepPreview, after finish(). False with the reason in `*error`.
  bool writePreview(const std::string& path, std::string* error) const;

  struct Counts {
    std::size_t received = 0, displayed = 0, inFlight = 0;
  };
  Counts counts() const;

 private:
  struct State;
  // Why a device would not run the extension for the request; nullopt when it would.
  static std::optional<std::string> reasonNotRunning(const IncomingRequest& request);
  Admission admit(IncomingRequest request, const std::optional<std::string>& notRunning);

  std::shared_ptr<State> _state;
  std::thread _timer;
};

}  // namespace corvanta
