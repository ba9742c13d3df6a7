#include "platform/extension_host/output/StoreRecorder.h"

#include <chrono>

#include "platform/extension_host/output/DeliveryFormat.h"

namespace corvanta {
namespace {

std::int64_t wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Outcome outcomeOf(const Delivery& delivery) {
  if (delivery.refusal) return "refused";
  if (!delivery.displayed) return "not shown";
  return delivery.attachments.empty() ? "without attachment" : "attached";
}

}  // namespace

void StoreRecorder::taken(std::size_t sequence, const IncomingRequest& request) {
  StoredRequest stored;
  stored.run = _run;
  stored.sequence = sequence;
  stored.identifier = request.identifier;
  stored.arrivedMs = wallClockMs();
  stored.payload = request.payload ? request.payload->JSONString() : "{}";
  if (request.push) stored.push = *request.push;
  _store.recordTaken(std::move(stored));
}

void StoreRecorder::delivered(const Delivery& delivery) {
  StoredDelivery stored;
  stored.sequence = delivery.sequence;
  stored.number = delivery.number;
  stored.displayed = delivery.displayed;
  stored.outcome = outcomeOf(delivery);
  stored.json = formatDeliveryAsJSON(delivery);
  if (!delivery.attachments.empty()) {
    stored.attachmentFile = delivery.attachments.front().file;
    stored.attachmentType = delivery.attachments.front().type;
  }
  _store.recordDelivery(std::move(stored));
}

void StoreRecorder::refused(const RefusedPush& push) {
  _store.recordRefusal({0, _run, wallClockMs(), push});
}

}  // namespace corvanta
