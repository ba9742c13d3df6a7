// The delivery lines on standard output: each delivery formatted and queued on the writer,
// which never blocks whoever delivers. Thread-safe, as the writer is.
#pragma once

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/output/DeliveryFormat.h"
#include "platform/extension_host/output/OutputWriter.h"

namespace corvanta {

class DeliveryLines final : public DeliverySink {
 public:
  // `writer` is not owned and outlives this.
  DeliveryLines(OutputWriter& writer, DeliveryFormat format) : _writer(writer), _format(format) {}

  void delivered(const Delivery& delivery) override {
    _writer.append(formatDelivery(delivery, _format) + '\n');
  }

 private:
  OutputWriter& _writer;
  const DeliveryFormat _format;
};

}  // namespace corvanta
