// Runs each received request through its own instance of the principal class
// "NotificationService" and writes every call of its content handler to standard output,
// one line per delivery, as it happens.
//
// Threads: receive() and finish() are called on the host's thread. The content handler may
// be called on any thread; output lines are written whole under one lock and flushed. One
// timer thread calls serviceExtensionTimeWillExpire for a request that has had no delivery
// when its time limit passes, and lets go of the host's hold on each service once that
// service no longer needs the expiry: from then on only a pending download keeps a service
// alive, so its end shows as the host's weak reference expiring.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/extension_host/HostOptions.h"
#include "platform/extension_host/RequestReader.h"

namespace corvanta {

class NotificationHost {
 public:
  struct Settings {
    std::chrono::duration<double> timeLimit{30.0};
    DeliveryFormat format = DeliveryFormat::json;
    bool keepPreview = false;  // whether previewHTML() will be asked for
  };

  explicit NotificationHost(Settings settings);  // starts the timer thread
  ~NotificationHost();                           // stops it
  NotificationHost(const NotificationHost&) = delete;
  NotificationHost& operator=(const NotificationHost&) = delete;

  // Hands the request to a new service (or, when a device would not run the extension,
  // delivers its content unchanged) and returns once the receive call has returned.
  void receive(IncomingRequest request);

  // Call once, after the last receive. Waits until every request has been displayed and has
  // no download still running, but no longer than twice the time limit after the last
  // receive; from then on deliveries are dropped. Returns false when downloads were still
  // running: the caller must then end the process without running destructors, as their
  // completions may still run on other threads.
  bool finish();

  // The preview page; only with Settings::keepPreview, after finish().
  std::string previewHTML() const;

 private:
  struct State;
  std::shared_ptr<State> _state;
  std::thread _timer;
};

}  // namespace corvanta
