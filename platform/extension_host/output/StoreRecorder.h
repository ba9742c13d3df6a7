// Records what the host reports into the store, as the page and the API read it: a sink
// beside the delivery lines. Quick: each call queues a write and returns.
#pragma once

#include <string>

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/store/Store.h"

namespace corvanta {

class StoreRecorder final : public DeliverySink {
 public:
  // `store` outlives the recorder; `run` names the run as its attachment store folder does.
  StoreRecorder(Store& store, std::string run) : _store(store), _run(std::move(run)) {}

  void taken(std::size_t sequence, const IncomingRequest& request) override;
  void expired(std::size_t sequence) override { _store.recordExpired(sequence); }
  void delivered(const Delivery& delivery) override;
  void abandoned(std::size_t sequence, double elapsedMs) override {
    _store.recordAbandoned(sequence, elapsedMs);
  }
  void refused(const RefusedPush& push) override;

 private:
  Store& _store;
  const std::string _run;
};

}  // namespace corvanta
