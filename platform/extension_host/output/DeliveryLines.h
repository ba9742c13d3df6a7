// The delivery lines on standard output: each delivery formatted and queued on the writer,
// which never blocks whoever delivers, and, when given a recorder, recorded in the store with
// the same JSON, so that a delivery is formatted once for both. Thread-safe, as the writer
// and the recorder are.
#pragma once

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/output/DeliveryFormat.h"
#include "platform/extension_host/output/OutputWriter.h"
#include "platform/extension_host/output/StoreRecorder.h"

namespace corvanta {

class DeliveryLines final : public DeliverySink {
 public:
  // `writer` and `recorder` are not owned and outlive this; `recorder` may be null.
  DeliveryLines(OutputWriter& writer, DeliveryFormat format, StoreRecorder* recorder = nullptr)
      : _writer(writer), _format(format), _recorder(recorder) {}

  void delivered(const Delivery& delivery) override {
    if (!_recorder) {
      _writer.append(formatDelivery(delivery, _format) + '\n');
      return;
    }
    std::string json = formatDeliveryAsJSON(delivery);
    if (_format == DeliveryFormat::json) {
      json.push_back('\n');
      _writer.append(json);
      json.pop_back();
    } else {
      _writer.append(formatDeliveryAsText(delivery) + '\n');
    }
    _recorder->recordDelivery(delivery, std::move(json));
  }

 private:
  OutputWriter& _writer;
  const DeliveryFormat _format;
  StoreRecorder* const _recorder;
};

}  // namespace corvanta
