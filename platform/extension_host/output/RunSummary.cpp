#include "platform/extension_host/output/RunSummary.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/extension_host/device/AttachmentOutcome.h"

namespace corvanta {

void RunSummary::taken(std::size_t, const IncomingRequest&) {
  const std::lock_guard lock(_mutex);
  ++_requests;
}

namespace {

// "N <what>, N <what>": the commonest first, as it is the one worth looking into.
std::string byCount(const std::map<std::string, std::size_t>& counts) {
  std::vector<std::pair<std::string, std::size_t>> sorted(counts.begin(), counts.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text;
  for (const auto& [what, count] : sorted) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  }
  return text;
}

std::string counted(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void RunSummary::delivered(const Delivery& delivery) {
  if (delivery.number != 1) return;
  // A download is told with each delivery; counted with the first, which names its URL.
  const bool plainHTTP = delivery.download && delivery.download->plainHTTP;
  if (!delivery.displayed) {
    const std::lock_guard lock(_mutex);
    ++_notShown[delivery.notShown];
    _plainHTTP += plainHTTP;
    return;
  }
  const AttachmentOutcome outcome =
      attachmentOutcome(delivery.userInfo.get(), delivery.extension, !delivery.attachments.empty(),
                        delivery.diagnostics, delivery.expired);
  const std::lock_guard lock(_mutex);
  ++_displayed;
  _plainHTTP += plainHTTP;
  if (delivery.expired) ++_expired;
  if (outcome.missingReason.empty()) {
    ++_attached;
  } else {
    ++_withoutAttachment[outcome.missingReason];
  }
}

void RunSummary::refused(const RefusedPush& push) {
  const std::lock_guard lock(_mutex);
  ++_refusedPushes[push.refusal.reason];
}

void RunSummary::setUnwrittenLines(std::size_t count) {
  const std::lock_guard lock(_mutex);
  _unwrittenLines = count;
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
  std::size_t notShown = 0;
  for (const auto& [why, count] : _notShown) notShown += count;
  std::string text = "corvanta-nse: " + counted(_requests, "request", "requests") + " in " +
                     seconds + ": " + std::to_string(_displayed) + " displayed";
  if (notShown > 0) text += ", " + std::to_string(notShown) + " not shown";
  text += ", " + std::to_string(_attached) + " with an attachment, " +
          std::to_string(_displayed - _attached) + " without, " + std::to_string(_expired) +
          " expired";
  if (_rejectedLines) {
    text += ", " + counted(*_rejectedLines, "rejected input line", "rejected input lines");
  }
  if (_unwrittenLines > 0) {
    text += "; " + counted(_unwrittenLines, "delivery line", "delivery lines") + " not written";
  }
  text += "\n";
  if (!_notShown.empty()) text += "corvanta-nse: not shown: " + byCount(_notShown) + "\n";
  if (!_refusedPushes.empty()) {
    text += "corvanta-nse: refused pushes: " + byCount(_refusedPushes) + "\n";
  }
  if (!_withoutAttachment.empty()) {
    text += "corvanta-nse: without attachment: " + byCount(_withoutAttachment) + "\n";
  }
  if (_plainHTTP > 0) {
    text += "corvanta-nse: " + counted(_plainHTTP, "download", "downloads") +
            " over plain http: a device refuses " + (_plainHTTP == 1 ? "it" : "these") +
            " unless the app allows insecure loads\n";
  }
  if (_previewPath) text += "corvanta-nse: preview written to " + *_previewPath + "\n";
  return text;
}

}  // namespace corvanta
