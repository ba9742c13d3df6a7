// Where the host reports what becomes of the requests it takes: the app hands it one sink
// that fans out to the delivery lines, the run's summary and the preview.
//
// Order: a request is taken, then perhaps told of its expiry, then delivered one or more
// times, its deliveries in the order of their numbers, then perhaps told its download was
// abandoned. A refused push is never taken: it is told once, alone. Calls for different
// requests may come at once from different threads (the host's, the timer's, the completion
// pool's), so a sink is thread-safe. A sink is quick, never blocks for long (the timer delivers
// expiries through it) and never calls the host back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/extension_host/core/Delivery.h"

namespace corvanta {

class DeliverySink {
 public:
  virtual ~DeliverySink() = default;

  // The host took `request`; `sequence` numbers requests from 0 in the order taken.
  virtual void taken(std::size_t /*sequence*/, const IncomingRequest& /*request*/) {}
  // The host is about to call the request's serviceExtensionTimeWillExpire.
  virtual void expired(std::size_t /*sequence*/) {}
  // One call of the request's content handler, or the host's own delivery for it.
  virtual void delivered(const Delivery& delivery) = 0;
  // The request's download was still running at twice its time limit and was given up, as a
  // device ends the extension; `elapsedMs` since the receive call.
  virtual void abandoned(std::size_t /*sequence*/, double /*elapsedMs*/) {}
  // The provider endpoint refused a push; called on the endpoint's thread, in the order of
  // arrival among the requests taken.
  virtual void refused(const RefusedPush& /*push*/) {}
};

// Hands every call to each of `sinks` in turn, in the order given. Not owning.
class DeliverySinks final : public DeliverySink {
 public:
  explicit DeliverySinks(std::vector<DeliverySink*> sinks) : _sinks(std::move(sinks)) {}

  void taken(std::size_t sequence, const IncomingRequest& request) override {
    for (DeliverySink* sink : _sinks) sink->taken(sequence, request);
  }
  void expired(std::size_t sequence) override {
    for (DeliverySink* sink : _sinks) sink->expired(sequence);
  }
  void delivered(const Delivery& delivery) override {
    for (DeliverySink* sink : _sinks) sink->delivered(delivery);
  }
  void abandoned(std::size_t sequence, double elapsedMs) override {
    for (DeliverySink* sink : _sinks) sink->abandoned(sequence, elapsedMs);
  }
  void refused(const RefusedPush& push) override {
    for (DeliverySink* sink : _sinks) sink->refused(push);
  }

 private:
  std::vector<DeliverySink*> _sinks;
};

}  // namespace corvanta
