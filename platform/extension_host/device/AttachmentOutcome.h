// Whether a payload asked for an attachment, and why what a device shows came without one:
// the words the preview's badge and the run's summary use, so both tell the same story. A
// pure function; any thread may call it.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/NSDictionary.h"
#include "platform/foundation/RequestActivity.h"

namespace corvanta {

struct AttachmentOutcome {
  bool wanted = false;  // the payload names an "att_url"
  // Empty when an attachment was made; else a few words fit for grouping many deliveries:
  // "no att_url", "extension did not run", "download: HTTP 404", "attachment: type not
  // accepted", "time ran out", "no attachment made".
  std::string missingReason;
};

// What became of the attachment for a delivery of `payload` (nullptr counts as a payload
// without att_url): whether the extension ran, whether the content came with an attachment,
// what the platform saw while serving the request, and whether its time ran out first.
AttachmentOutcome attachmentOutcome(const NSDictionary* payload, bool extensionRan, bool attached,
                                    const std::vector<Diagnostic>& diagnostics, bool expired);

}  // namespace corvanta
