// Whether a delivery's payload asked for an attachment, and why a delivery came without
// one: the words the preview's badge and the run's summary use, so both tell the same story.
#pragma once

#include <string>

#include "platform/extension_host/core/Delivery.h"

namespace corvanta {

struct AttachmentOutcome {
  bool wanted = false;  // the payload names an "att_url"
  // Empty when the delivery has an attachment; else a few words fit for grouping many
  // deliveries: "no att_url", "extension did not run", "download: HTTP 404",
  // "attachment: UNErrorDomain 101", "time ran out", "no attachment made".
  std::string missingReason;
};

// Reads `delivery.userInfo`: call before it is dropped. A delivery without userInfo counts
// as one whose payload named no att_url.
AttachmentOutcome attachmentOutcome(const Delivery& delivery);

}  // namespace corvanta
