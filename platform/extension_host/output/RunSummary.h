// What a run did, in a few lines for standard error at exit: requests, how many were
// displayed, attached, left without an attachment (grouped by reason, as the preview's badges
// say it), expired, rejected input lines, the time taken and where the preview went.
//
// Fed the same Delivery records as the preview. Not thread-safe: the host calls it under the
// lock it already holds for the preview, or from one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "platform/extension_host/core/Delivery.h"

namespace corvanta {

class RunSummary {
 public:
  // A request was received (whether or not anything is ever delivered for it).
  void addRequest();
  // Reads the delivery's userInfo; only displayed deliveries count (a device ignores the
  // rest).
  void addDelivery(const Delivery& delivery);
  void setRejectedLines(std::size_t count);
  void setElapsed(std::chrono::duration<double> elapsed);
  // Where the preview was written; unset when none was.
  void setPreviewPath(std::string path);

  // Lines, each ending in a newline, each starting with "corvanta-nse: ".
  std::string format() const;

 private:
  std::size_t _requests = 0;
  std::size_t _displayed = 0;
  std::size_t _attached = 0;
  std::size_t _expired = 0;
  std::map<std::string, std::size_t> _withoutAttachment;  // by reason
  std::optional<std::size_t> _rejectedLines;
  std::chrono::duration<double> _elapsed{};
  std::optional<std::string> _previewPath;
};

}  // namespace corvanta
