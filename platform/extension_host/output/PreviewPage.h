// The HTML preview: one page listing each request's notification as a device's list shows
// it, newest first: app, age, title, subtitle, body cut at four lines, a thumbnail of its
// medium, badge, sound. A card opens on click (no script: <details>) to the whole text, the
// full image, the movie's or sound's player. Notifications of a thread stack as a device
// stacks them: the newest card, then "N more" that opens to the rest. Beside each card, one
// account: when it arrived and was shown, its notes (what the download fetched, why the
// extension did not run, what was ignored) and, collapsed, the push's headers, its att_url,
// the download's hops and codes and the raw payload. A request a device does not show has a
// dashed place saying why; a push the push service (or the endpoint) refused, a refused card
// with the reason. A header names the run's date and the settings that shaped its verdicts.
//
// The page carries its media, so it keeps working when moved or when the attachment store
// has long dropped the run: a file up to kInlineMediaBytes becomes a data: URI; a larger one,
// when the page's path is known (write()), is copied to "<page>_files/" beside it and linked
// relatively. Payload text is untrusted: everything is escaped, and the page's content
// security policy allows no script and no network reference at all.
//
// Times come from the clock backend: a request's arrival when it is taken, the page's own
// when it is rendered, so that ages are what they were when the page was written. Media are
// read when the page is rendered, not when a delivery is added: the store keeps this run's
// files until the process ends. Thread-safe: it is fed as a DeliverySink while the host runs,
// and rendered once it has finished.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/device/AttachmentOutcome.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Result.h"

namespace corvanta {

// What the page's header says of its run.
struct PreviewRun {
  std::chrono::system_clock::time_point started;  // the run's start on the wall clock
  // The options that shaped its verdicts, as a person reads them.
  std::vector<std::string> settings;
};

class PreviewPage final : public DeliverySink {
 public:
  static constexpr std::size_t kInlineMediaBytes = 2 << 20;

  // The run starts now, by the clock backend; `run.started` is that moment on the wall clock,
  // from which arrival times are told.
  explicit PreviewPage(PreviewRun run = {});

  // An entry per request taken, in the order taken.
  void taken(std::size_t sequence, const IncomingRequest& request) override;
  // Marks the entry's request as one whose expiry the host called.
  void expired(std::size_t sequence) override;
  // Adds the delivery to its request's entry. Its userInfo is read here (whether the payload
  // asked for an attachment, its text for the account) and not kept.
  void delivered(const Delivery& delivery) override;
  // Notes the abandonment in the entry's account.
  void abandoned(std::size_t sequence, double elapsedMs) override;
  // An entry of its own, where the push arrived among the requests taken.
  void refused(const RefusedPush& push) override;

  // The page with every medium inline, whatever its size: for a caller that does not know
  // where the page will be.
  std::string html() const;

  // Writes the page to `path` (atomically), copying media larger than kInlineMediaBytes to
  // "<path>_files/", which is created as needed. Fails, saying what failed, when the page or
  // a copy cannot be written; a medium that can no longer be read is shown as missing, not
  // an error.
  Result<> write(const std::string& path) const;

 private:
  struct Entry {
    std::string identifier;
    Clock::time_point arrived;
    std::string payload;  // the first delivery's userInfo, as indented JSON
    bool expired = false;
    AttachmentOutcome outcome;  // of the first delivery, read before its userInfo goes
    std::vector<Delivery> deliveries;
    std::optional<double> abandonedAfterMs;
    std::optional<RefusedPush> refused;  // an entry for a refused push, never taken
  };
  class Media;
  std::string render(Media& media) const;
  std::string entry(const Entry& entry, Media& media, const std::string* replacedBy,
                    Clock::time_point now) const;
  std::string arrival(const Entry& entry) const;
  Entry& entryOf(std::size_t sequence);

  const PreviewRun _run;
  const Clock::time_point _started;

  mutable std::mutex _mutex;
  // Guarded by _mutex: in the order of arrival, refused pushes among the requests taken.
  std::vector<Entry> _entries;
  std::vector<std::size_t> _entryOfSequence;
};

// `text` with & < > " ' written as character references: safe in element content and in
// quoted attribute values.
std::string escapeHTML(const std::string& text);

}  // namespace corvanta
