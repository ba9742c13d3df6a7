#include "platform/extension_host/device/AttachmentOutcome.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>

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
      {{"NSURLErrorDomain", -1011}, "bad server response"},
      {{"NSURLErrorDomain", -1103}, "too large"},
      {{"NSURLErrorDomain", -1200}, "TLS failed"},
      {{"NSURLErrorDomain", -1202}, "certificate not trusted"},
  };
  if (diagnostic.domain == "HTTP") return "HTTP " + std::to_string(diagnostic.code);
  if (diagnostic.domain == "errno") return std::strerror(static_cast<int>(diagnostic.code));
  const auto found = kNames.find({diagnostic.domain, diagnostic.code});
  return found != kNames.end() ? found->second
                               : diagnostic.domain + " " + std::to_string(diagnostic.code);
}

}  // namespace

AttachmentOutcome attachmentOutcome(const NSDictionary* payload, bool extensionRan, bool attached,
                                    const std::vector<Diagnostic>& diagnostics, bool expired) {
  AttachmentOutcome outcome;
  outcome.wanted = payload && payload->objectForKey("att_url") != nullptr;
  if (attached) return outcome;
  if (!extensionRan) {
    outcome.missingReason = "extension did not run";
  } else if (!outcome.wanted) {
    outcome.missingReason = "no att_url";
  } else if (!diagnostics.empty()) {
    // The last word is the one that ended the attempt.
    const Diagnostic& last = diagnostics.back();
    outcome.missingReason = last.stage + ": " + reasonOf(last);
  } else if (expired) {
    outcome.missingReason = "time ran out";
  } else {
    outcome.missingReason = "no attachment made";
  }
  return outcome;
}

}  // namespace corvanta
