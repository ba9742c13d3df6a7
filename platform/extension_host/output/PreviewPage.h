// The device's notification list drawn from the store's records, for the preview file and for
// the live page alike: one card per request as a device's list shows it, newest first: app,
// age, title, subtitle, body cut at four lines, a thumbnail of its medium, badge, sound. A
// card opens on click (no script: <details>) to the whole text, the full image, the movie's
// or sound's player. Notifications of a thread stack as a device stacks them: the newest
// card, then "N more" that opens to the rest. Beside each card, one account: when it arrived
// and was shown, its notes (what the download fetched, why the extension did not run, what
// was ignored), every later delivery and, collapsed, the push's headers, its att_url with
// each redirect, the codes the platform saw, the attachment's verdict and the raw payload. A
// request a device does not show has a dashed place saying why; a push the push service (or
// the endpoint) refused, a refused card with the reason, where it arrived among the others.
// A header names the run's date and the settings that shaped its verdicts.
//
// Each card is an <article class="entry"> carrying the store's id (id="r<id>" for a request,
// id="x<id>" for a refused push), data-request (its identifier), data-device and
// data-outcome (the store's word for it), so that a page's script can find and filter it.
//
// The two pages differ only in their head and in where media come from:
// - the file page carries its media, so it keeps working when moved or when the attachment
//   store has long dropped the run: a file up to kInlineMediaBytes becomes a data: URI; a
//   larger one, when the page's path is known (write()), is copied to "<page>_files/" beside
//   it and linked relatively. Its content security policy allows no script and no network
//   reference at all.
// - the live page links each medium as "/api/requests/<id>/attachment" and loads
//   "/live.js", which replaces what <main id="cards"> holds with liveCards(); its policy
//   allows scripts and connections to its own host only, and no inline script.
// Payload text is untrusted: everything from a record is escaped.
//
// Ages are told from each record's arrival (wall clock) to the moment of rendering: the
// run's start plus the time the clock backend has counted since this object was made, so a
// test that moves the clock moves the ages. Holds nothing but the run's header between
// renders; every member is const and may be called from any thread at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/extension_host/store/Store.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Result.h"

namespace corvanta {

// What the page's header says of its run.
struct PreviewRun {
  std::chrono::system_clock::time_point started;  // the run's start on the wall clock
  // The options that shaped its verdicts, as a person reads them.
  std::vector<std::string> settings;
};

// What a page shows, each list newest first as the store's reads give it.
struct PreviewRecords {
  std::vector<RequestStory> requests;
  std::vector<StoredRefusal> refusals;
};

class PreviewPage {
 public:
  static constexpr std::size_t kInlineMediaBytes = 2 << 20;

  // The run starts now, by the clock backend; `run.started` is that moment on the wall clock.
  explicit PreviewPage(PreviewRun run = {});

  // The file page with every medium inline, whatever its size: for a caller that does not
  // know where the page will be.
  std::string html(const PreviewRecords& records) const;

  // Writes the file page to `path` (atomically), copying media larger than kInlineMediaBytes
  // to "<path>_files/", which is created as needed. Fails, saying what failed, when the page
  // or a copy cannot be written; a medium that can no longer be read is shown as missing, not
  // an error.
  Result<> write(const std::string& path, const PreviewRecords& records) const;

  // The live page: the file page's look and header, its cards in <main id="cards">.
  std::string livePage(const PreviewRecords& records) const;
  // What the live page's <main id="cards"> holds, for its script to put in place.
  std::string liveCards(const PreviewRecords& records) const;

 private:
  // The wall clock as the clock backend moves it.
  std::chrono::system_clock::time_point now() const;

  const PreviewRun _run;
  const Clock::time_point _started;
};

// `text` with & < > " ' written as character references: safe in element content and in
// quoted attribute values.
std::string escapeHTML(const std::string& text);

}  // namespace corvanta
