#include "platform/extension_host/output/AttachmentOutcome.h"

namespace corvanta {

AttachmentOutcome attachmentOutcome(const Delivery& delivery) {
  AttachmentOutcome outcome;
  outcome.wanted = delivery.userInfo && delivery.userInfo->objectForKey("att_url") != nullptr;
  if (!delivery.attachments.empty()) return outcome;
  if (!delivery.extension) {
    outcome.missingReason = "extension did not run";
  } else if (!outcome.wanted) {
    outcome.missingReason = "no att_url";
  } else if (!delivery.diagnostics.empty()) {
    // The last word is the one that ended the attempt; its message names URLs and files,
    // so only the stage, domain and code group well.
    const Diagnostic& last = delivery.diagnostics.back();
    outcome.missingReason = last.stage + ": " + last.domain + " " + std::to_string(last.code);
  } else if (delivery.expired) {
    outcome.missingReason = "time ran out";
  } else {
    outcome.missingReason = "no attachment made";
  }
  return outcome;
}

}  // namespace corvanta
