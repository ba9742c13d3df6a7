// What a run did, in a few lines for standard error at exit: requests, how many were
// displayed and how many a device would not show (grouped by why), the pushes the endpoint
// refused (by reason), how many were attached or left without an attachment (grouped by
// reason, as the preview's badges say it), expired, downloads over plain http, rejected input
// lines, the time taken and where the preview went.
//
// Fed as a DeliverySink while the host runs, the same records as the preview; thread-safe.
// The setters and format() are for the end of the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/extension_host/core/DeliverySink.h"

namespace corvanta {

class RunSummary final : public DeliverySink {
 public:
  // A request was taken (whether or not anything is ever delivered for it).
  void taken(std::size_t sequence, const IncomingRequest& request) override;
  // Reads the delivery's userInfo; only first deliveries count (a device ignores the rest),
  // and only displayed ones for attachments.
  void delivered(const Delivery& delivery) override;
  void refused(const RefusedPush& push) override;
  void setRejectedLines(std::size_t count);
  // Delivery lines counted above that never reached the output (a failed or cut-off write):
  // said on the first line when there are any, so that the counts are not read as written.
  void setUnwrittenLines(std::size_t count);
  void setElapsed(std::chrono::duration<double> elapsed);
  // Where the preview was written; unset when none was.
  void setPreviewPath(std::string path);

  // Lines, each ending in a newline, each starting with "corvanta-nse: ".
  std::string format() const;

 private:
  mutable std::mutex _mutex;  // guards the counts, fed from several threads
  std::size_t _requests = 0;
  std::size_t _displayed = 0;
  std::size_t _attached = 0;
  std::size_t _expired = 0;
  std::size_t _plainHTTP = 0;
  std::map<std::string, std::size_t> _notShown;           // by why
  std::map<std::string, std::size_t> _refusedPushes;      // by reason
  std::map<std::string, std::size_t> _withoutAttachment;  // by reason
  std::optional<std::size_t> _rejectedLines;
  std::size_t _unwrittenLines = 0;
  std::chrono::duration<double> _elapsed{};
  std::optional<std::string> _previewPath;
};

}  // namespace corvanta
