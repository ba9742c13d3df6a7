// The HTML preview: one page showing each request's notification as a device's list shows
// it (app, time, title, subtitle, body cut at four lines and expandable, the image's
// thumbnail, players, badge, sound), stacked by thread, with an account beside each: its
// deliveries, expiry, what its download fetched, diagnostics and notes. A request a device
// does not show has a dashed place saying why; a push the push service (or the endpoint)
// refused, a refused card with the reason.
//
// The page carries its media, so it keeps working when moved or when the attachment store
// has long dropped the run: a file up to kInlineMediaBytes becomes a data: URI; a larger one,
// when the page's path is known (write()), is copied to "<page>_files/" beside it and linked
// relatively. Payload text is untrusted: everything is escaped, and the page's content
// security policy allows no script and no network reference at all.
//
// Media are read when the page is rendered, not when a delivery is added: the store keeps
// this run's files until the process ends. Thread-safe: it is fed as a DeliverySink while
// the host runs, and rendered once it has finished.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/device/AttachmentOutcome.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class PreviewPage final : public DeliverySink {
 public:
  static constexpr std::size_t kInlineMediaBytes = 2 << 20;

  // An entry per request taken, in the order taken.
  void taken(std::size_t sequence, const std::string& identifier) override;
  // Marks the entry's request as one whose expiry the host called.
  void expired(std::size_t sequence) override;
  // Adds the delivery to its request's entry. Its userInfo is read here (whether the payload
  // asked for an attachment) and not kept.
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
    bool expired = false;
    AttachmentOutcome outcome;  // of the first delivery, read before its userInfo goes
    std::vector<Delivery> deliveries;
    std::optional<double> abandonedAfterMs;
    std::optional<RefusedPush> refused;  // an entry for a refused push, never taken
  };
  class Media;
  std::string render(Media& media) const;
  Entry& entryOf(std::size_t sequence);

  mutable std::mutex _mutex;
  // Guarded by _mutex: in the order of arrival, refused pushes among the requests taken.
  std::vector<Entry> _entries;
  std::vector<std::size_t> _entryOfSequence;
};

// `text` with & < > " ' written as character references: safe in element content and in
// quoted attribute values.
std::string escapeHTML(const std::string& text);

}  // namespace corvanta
