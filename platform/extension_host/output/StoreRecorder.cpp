#include "platform/extension_host/output/StoreRecorder.h"

#include "platform/extension_host/output/DeliveryFormat.h"
#include "platform/foundation/JSONValue.h"

namespace corvanta {

Outcome outcomeOf(const Delivery& first) {
  if (first.displayed) return first.attachments.empty() ? "without attachment" : "attached";
  return first.refusal ? "refused" : "not shown";
}

void StoreRecorder::replaying(const std::string& identifier, std::int64_t id) {
  const std::lock_guard lock(_mutex);
  _replaying[identifier] = id;
  _anyReplaying.store(true);
}

void StoreRecorder::taken(std::size_t sequence, const IncomingRequest& request) {
  StoredRequest stored;
  stored.sequence = sequence;
  stored.identifier = request.identifier;
  stored.arrivedMs = wallClockMs();
  // A push's payload is kept to be shown again after a crash; a line of a file has nothing
  // to be shown again, and its payload is the first delivery's userInfo.
  if (!request.payloadText.empty()) {
    stored.payload = request.payloadText;
  } else if (request.push && request.payload) {
    stored.payload = request.payload->storage().value.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  stored.push = request.push;
  std::int64_t replaces = 0;
  if (_anyReplaying.load()) {
    const std::lock_guard lock(_mutex);
    if (!_replaying.empty()) {
      if (const auto found = _replaying.find(request.identifier); found != _replaying.end()) {
        replaces = found->second;
        _replaying.erase(found);
      }
    }
  }
  _store.recordTaken(std::move(stored), replaces);
}

void StoreRecorder::recordDelivery(const Delivery& delivery, std::string json) {
  StoredDelivery stored;
  stored.sequence = delivery.sequence;
  stored.number = delivery.number;
  stored.displayed = delivery.displayed;
  if (delivery.number == 1) stored.outcome = outcomeOf(delivery);
  stored.json = std::move(json);
  if (!delivery.attachments.empty()) {
    stored.attachmentFile = delivery.attachments.front().file;
    stored.attachmentType = delivery.attachments.front().type;
  }
  _store.recordDelivery(std::move(stored));
}

void StoreRecorder::refused(const RefusedPush& push) {
  StoredRefusal stored;
  stored.arrivedMs = wallClockMs();
  stored.push = push;
  _store.recordRefusal(std::move(stored));
}

}  // namespace corvanta
