#include "platform/extension_host/device/AttachmentOutcome.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "platform/foundation/NSString.h"
#include "platform/foundation/NSURL.h"
#include "platform/url_loading/NSURLError.h"
#include "platform/user_notifications/MediaType.h"

namespace corvanta {
namespace {

// A few words for a diagnostic's code, alike for every request it happened to; its message
// names URLs and files, which would keep like reasons apart.
std::string reasonOf(const Diagnostic& diagnostic) {
  static const std::map<std::pair<std::string, long>, const char*> kNames = {
      {{"UNErrorDomain", 100}, "not a file URL"},
      {{"UNErrorDomain", 101}, "type not accepted"},
      {{"UNErrorDomain", 102}, "file size out of range"},
      {{"UNErrorDomain", 103}, "file not reachable"},
      {{"UNErrorDomain", 104}, "name and content of different kinds"},
      {{"UNErrorDomain", 105}, "store could not take it"},
      {{"NSURLErrorDomain", -999}, "cancelled"},
      {{"NSURLErrorDomain", -1000}, "bad URL"},
      {{"NSURLErrorDomain", -1001}, "timed out"},
      {{"NSURLErrorDomain", -1002}, "unsupported URL"},
      {{"NSURLErrorDomain", -1003}, "host not found"},
      {{"NSURLErrorDomain", -1004}, "cannot connect"},
      {{"NSURLErrorDomain", -1005}, "connection lost"},
      {{"NSURLErrorDomain", -1007}, "too many redirects"},
      {{"NSURLErrorDomain", -1022}, "plain http refused"},
      {{"NSURLErrorDomain", -1011}, "bad server response"},
      {{"NSURLErrorDomain", -1103}, "too large"},
      {{"NSURLErrorDomain", -1200}, "TLS failed"},
      {{"NSURLErrorDomain", -1202}, "certificate not trusted"},
  };
  if (diagnostic.domain == "HTTP") return "HTTP " + std::to_string(diagnostic.code);
  // The store says so in its message: a device refuses such a name whatever the content, so it
  // is a cause of its own, not a type that was not accepted.
  if (diagnostic.domain == "UNErrorDomain" && diagnostic.code == 101 &&
      diagnostic.message.find(": no media extension") != std::string::npos) {
    return "no media extension";
  }
  if (diagnostic.domain == "errno") return std::strerror(static_cast<int>(diagnostic.code));
  const auto found = kNames.find({diagnostic.domain, diagnostic.code});
  return found != kNames.end() ? found->second
                               : diagnostic.domain + " " + std::to_string(diagnostic.code);
}

bool isFailedDownload(const Diagnostic& diagnostic) {
  return diagnostic.stage == "download" && (diagnostic.domain != "HTTP" || diagnostic.code >= 400);
}

// The kind of medium the payload's att_url names by its extension, and its size limit.
std::optional<std::pair<UNNotificationAttachmentKind, std::uint64_t>> namedMedium(
    const NSDictionary* payload) {
  const auto value = payload ? payload->objectForKey("att_url") : nullptr;
  const auto text = value ? value->stringValue() : nullptr;
  const auto url = text ? NSURL::URLWithString(*text) : nullptr;
  const auto named = url ? mediaExtensionOf(lastPathComponent(url->path())) : std::nullopt;
  if (!named) return std::nullopt;
  return std::pair{named->kind, sizeLimitOf(named->kind)};
}

}  // namespace

AttachmentOutcome attachmentOutcome(const NSDictionary* payload, bool extensionRan, bool attached,
                                    const std::vector<Diagnostic>& diagnostics, bool expired) {
  AttachmentOutcome outcome;
  outcome.wanted = payload && payload->objectForKey("att_url") != nullptr;
  if (attached) return outcome;
  // A payload that names no medium would have none whatever the extension did: only one that
  // names one is missing it because the extension did not run (no mutable-content).
  if (!outcome.wanted) {
    outcome.missingReason = "no att_url";
  } else if (!extensionRan) {
    outcome.missingReason = "extension did not run";
  } else if (!diagnostics.empty()) {
    // A failed download is the first cause; otherwise the last word ended the attempt.
    const auto failed = std::find_if(diagnostics.begin(), diagnostics.end(), isFailedDownload);
    const Diagnostic& cause = failed != diagnostics.end() ? *failed : diagnostics.back();
    // The badge reads "no attachment: <reason>": the attachment's own stage goes unsaid.
    outcome.missingReason =
        cause.stage == "attachment" ? reasonOf(cause) : cause.stage + ": " + reasonOf(cause);
  } else if (expired) {
    outcome.missingReason = "time ran out";
  } else {
    outcome.missingReason = "no attachment made";
  }
  return outcome;
}

std::vector<std::string> diagnosticNotes(const NSDictionary* payload,
                                         const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string> notes;
  for (const auto& diagnostic : diagnostics) {
    std::string note = diagnostic.stage + ": " + diagnostic.message;
    if (diagnostic.domain == "NSURLErrorDomain" &&
        diagnostic.code == NSURLErrorDataLengthExceedsMaximum) {
      if (const auto medium = namedMedium(payload);
          medium && medium->second < static_cast<std::uint64_t>(kMaximumBodyBytes)) {
        const bool image = medium->first == UNNotificationAttachmentKind::image;
        note += std::string("; as its name says, it is ") + (image ? "an image" : "a sound") +
                ", which may be at most " + std::to_string(medium->second) + " bytes";
      }
    }
    notes.push_back(std::move(note));
  }
  return notes;
}

}  // namespace corvanta
