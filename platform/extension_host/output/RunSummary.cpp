#include "platform/extension_host/output/RunSummary.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/extension_host/device/AttachmentOutcome.h"

namespace corvanta {

void RunSummary::taken(std::size_t, const std::string&) {
  const std::lock_guard lock(_mutex);
  ++_requests;
}

void RunSummary::delivered(const Delivery& delivery) {
  if (!delivery.displayed) return;
  const AttachmentOutcome outcome =
      attachmentOutcome(delivery.userInfo.get(), delivery.extension,
                        !delivery.attachments.empty(), delivery.diagnostics, delivery.expired);
  const std::lock_guard lock(_mutex);
  ++_displayed;
  if (delivery.expired) ++_expired;
  if (outcome.missingReason.empty()) {
    ++_attached;
  } else {
    ++_withoutAttachment[outcome.missingReason];
  }
}

void RunSummary::setRejectedLines(std::size_t count) {
  _rejectedLines = count;
}

void RunSummary::setElapsed(std::chrono::duration<double> elapsed) {
  _elapsed = elapsed;
}

void RunSummary::setPreviewPath(std::string path) {
  _previewPath = std::move(path);
}

std::string RunSummary::format() const {
  const std::lock_guard lock(_mutex);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", _elapsed.count());
  std::string text = "corvanta-nse: " + std::to_string(_requests) +
                     (_requests == 1 ? " request" : " requests") + " in " + seconds + ": " +
                     std::to_string(_displayed) + " displayed, " + std::to_string(_attached) +
                     " with an attachment, " + std::to_string(_displayed - _attached) +
                     " without, " + std::to_string(_expired) + " expired";
  if (_rejectedLines) text += ", " + std::to_string(*_rejectedLines) + " rejected input lines";
  text += "\n";

  if (!_withoutAttachment.empty()) {
    // The commonest reason first: it is the one worth looking into.
    std::vector<std::pair<std::string, std::size_t>> reasons(_withoutAttachment.begin(),
                                                             _withoutAttachment.end());
    std::stable_sort(reasons.begin(), reasons.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    text += "corvanta-nse: without attachment:";
    const char* separator = " ";
    for (const auto& [reason, count] : reasons) {
      text += separator + std::to_string(count) + " " + reason;
      separator = ", ";
    }
    text += "\n";
  }
  if (_previewPath) text += "corvanta-nse: preview written to " + *_previewPath + "\n";
  return text;
}

}  // namespace corvanta
