// What the host takes and shows, recorded in the store as it happens: a DeliverySink that
// turns each call into the store's rows. Deliveries reach it through DeliveryLines, which
// formats each once for its line and its record. Thread-safe and quick, as the store's
// writes are: they queue for its writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/store/Store.h"

namespace corvanta {

class StoreRecorder final : public DeliverySink {
 public:
  // `store` is not owned and outlives this.
  explicit StoreRecorder(Store& store) : _store(store) {}

  // The request `identifier` the host is about to take again is the store's earlier record
  // `id` (a push an earlier run took and never showed): taking it replaces that record.
  void replaying(const std::string& identifier, std::int64_t id);

  void taken(std::size_t sequence, const IncomingRequest& request) override;
  void expired(std::size_t sequence) override { _store.recordExpired(sequence); }
  // Recorded through recordDelivery, by DeliveryLines.
  void delivered(const Delivery&) override {}
  // `json` is the delivery as formatDeliveryAsJSON writes it.
  void recordDelivery(const Delivery& delivery, std::string json);
  void abandoned(std::size_t sequence, double elapsedMs) override {
    _store.recordAbandoned(sequence, elapsedMs);
  }
  void refused(const RefusedPush& push) override;

 private:
  Store& _store;
  std::mutex _mutex;
  std::unordered_map<std::string, std::int64_t> _replaying;  // guarded by _mutex
  std::atomic<bool> _anyReplaying{false};  // whether _replaying may hold any, read unlocked
};

// What the request's first delivery makes of it, as the store's filters name it.
Outcome outcomeOf(const Delivery& first);

}  // namespace corvanta
