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
  // Empty when an attachment was made; else a few words fit for grouping many deliveries,
  // naming the stage unless it is the attachment's own: "no att_url", "extension did not
  // run", "download: HTTP 404", "type not accepted", "no media extension", "time ran out",
  // "no attachment made".
  std::string missingReason;
};

// What became of the attachment for a delivery of `payload` (nullptr counts as a payload
// without att_url): whether the extension ran, whether the content came with an attachment,
// what the platform saw while serving the request, and whether its time ran out first. The
// reason is the first cause: no att_url before the extension not running, and a failed
// download (an error, or an HTTP status of 400 or more) over whatever followed from it, such
// as the error page refused as an attachment.
AttachmentOutcome attachmentOutcome(const NSDictionary* payload, bool extensionRan, bool attached,
                                    const std::vector<Diagnostic>& diagnostics, bool expired);

// The delivery's notes for what the platform saw, a line "stage: message" for each
// diagnostic. A download too large to keep whose att_url names a medium with a lower limit
// than the download's (an image, a sound) is told with that limit too, as a device, which
// would have downloaded it and then refused it for its size, says it.
std::vector<std::string> diagnosticNotes(const NSDictionary* payload,
                                         const std::vector<Diagnostic>& diagnostics);

}  // namespace corvanta
