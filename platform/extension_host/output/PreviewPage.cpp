#include "platform/extension_host/output/PreviewPage.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/extension_host/device/AttachmentOutcome.h"
#include "platform/extension_host/output/DeliveryFormat.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/JSONValue.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

constexpr const char* kAppName = "corvanta-nse";

constexpr const char* kDocumentStart = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
)";

// The file page: no script at all, and nothing from the network: media come inline or from
// beside the page.
constexpr const char* kFilePolicy =
    "default-src 'none'; img-src data: 'self'; media-src data: 'self'; style-src "
    "'unsafe-inline'";
// The live page: its script, its connection and its media from its own host only.
constexpr const char* kLivePolicy =
    "default-src 'none'; script-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "media-src 'self'; style-src 'unsafe-inline'";
constexpr const char* kLiveScript = "<script src=\"/live.js\" defer></script>\n";

constexpr const char* kStyle = R"(<meta name="color-scheme" content="light dark">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>corvanta-nse preview</title>
<style>
:root { --bg: #e8e8ed; --card: rgba(255,255,255,.92); --text: #1c1c1e; --dim: #6c6c70;
  --chip: rgba(120,120,128,.16); --warn: #b3261e; --line: rgba(60,60,67,.18); }
@media (prefers-color-scheme: dark) {
  :root { --bg: #111113; --card: rgba(44,44,46,.94); --text: #f2f2f7; --dim: #98989f;
    --chip: rgba(120,120,128,.32); --warn: #ff6961; --line: rgba(84,84,88,.6); }
}
body { font: 15px/1.35 system-ui, sans-serif; background: var(--bg); color: var(--text);
  margin: 1.5em; }
header h1 { font-size: 1.1em; margin: 0; }
header p { color: var(--dim); margin: .2em 0 .4em; }
.settings { list-style: none; padding: 0; margin: 0 0 1.2em; display: flex; flex-wrap: wrap;
  gap: .35em; font-size: .8em; }
.settings li { background: var(--chip); border-radius: .7em; padding: .05em .6em; }
.stack { margin: 0 0 1.4em; }
.stack > h2 { font-size: .85em; font-weight: 600; color: var(--dim); margin: 0 0 .4em; }
.stack > h2 span { font-weight: normal; }
.card { position: relative; z-index: 1; }
.more > summary { width: 22.6em; margin: -1.25em 0 .9em .7em; padding: 1.35em .9em .35em;
  border-radius: 0 0 16px 16px; background: var(--card); opacity: .8;
  box-shadow: 0 1px 3px rgba(0,0,0,.2); }
.more > summary span { font-size: .8em; color: var(--dim); }
.more[open] > summary { opacity: 1; background: none; box-shadow: none; margin: 0 0 .5em;
  padding: 0; width: auto; }
.more[open] > summary span::after { content: " · show less"; }
.entry.replaced .card { opacity: .45; }
.card.silent { background: none; border: 1px dashed var(--line); box-shadow: none;
  color: var(--dim); }
.account .replaced { font-weight: 600; }
.entry { display: flex; flex-wrap: wrap; gap: .4em 1.2em; align-items: flex-start;
  margin: 0 0 .7em; }
.card { background: var(--card); border-radius: 18px; padding: .7em .9em; width: 24em;
  box-shadow: 0 1px 3px rgba(0,0,0,.2); }
.card.missing, .card.refused { outline: 2px dashed var(--warn); outline-offset: -2px; }
.card.refused { background: none; box-shadow: none; color: var(--warn); }
summary { list-style: none; cursor: pointer; }
summary::-webkit-details-marker { display: none; }
.head { display: flex; align-items: center; gap: .45em; font-size: .8em; color: var(--dim); }
.icon { width: 1.6em; height: 1.6em; border-radius: .4em; background: linear-gradient(135deg,
  #5e5ce6, #30b0c7); color: #fff; font-weight: 700; display: inline-flex;
  align-items: center; justify-content: center; }
.app { text-transform: uppercase; letter-spacing: .03em; flex: 1; }
.level { background: var(--chip); border-radius: .6em; padding: 0 .5em; text-transform: uppercase;
  font-size: .85em; }
.row { display: flex; gap: .7em; margin-top: .35em; }
.text { flex: 1; min-width: 0; }
.title { font-weight: 600; }
.subtitle { font-weight: 500; }
.body { display: -webkit-box; -webkit-box-orient: vertical; -webkit-line-clamp: 4;
  overflow: hidden; white-space: pre-wrap; overflow-wrap: anywhere; }
.thumb { width: 3.2em; height: 3.2em; object-fit: cover; border-radius: .5em; }
.tile { display: inline-flex; align-items: center; justify-content: center; flex: none;
  background: #3a3a3c; color: #fff; font-size: 1.1em; width: 2.9em; height: 2.9em; }
details[open] .tile { display: none; }
details[open] .body { display: block; }
details[open] .row { flex-direction: column; }
details[open] .thumb { width: 100%; height: auto; object-fit: contain; }
.chips { display: flex; flex-wrap: wrap; gap: .35em; margin-top: .45em; font-size: .78em; }
.chips:empty { display: none; }
.chips span { background: var(--chip); border-radius: .7em; padding: .05em .55em; }
.chips .no-attachment, .chips .expired { background: var(--warn); color: #fff; }
.player { width: 100%; margin-top: .5em; border-radius: .5em; }
.media-missing { color: var(--warn); font-size: .85em; margin-top: .4em; }
.account { font-size: .8em; color: var(--dim); flex: 1; min-width: 16em; max-width: 36em; }
.account p, .account ul, .account ol { margin: .1em 0 .3em; padding-left: 1.2em; }
.account p { padding-left: 0; }
.account code { overflow-wrap: anywhere; }
.account .expired, .account .no-attachment { color: var(--warn); font-weight: 600; }
.raw > summary { color: var(--dim); text-decoration: underline dotted; }
.raw > summary::before { content: "▸ "; }
.raw[open] > summary::before { content: "▾ "; }
.raw dl { margin: .2em 0; display: grid; grid-template-columns: auto 1fr; gap: .15em .6em; }
.raw dt { font-weight: 600; }
.raw dd { margin: 0; min-width: 0; overflow-wrap: anywhere; }
.raw pre { margin: 0; white-space: pre-wrap; overflow-wrap: anywhere; background: var(--chip);
  border-radius: .4em; padding: .3em .5em; max-height: 18em; overflow: auto; }
</style>
)";

std::string milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

std::string seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
  return text;
}

// A notification's age as a list tells it; to the second under a minute, since a run is
// often read seconds after it ends.
std::string relativeTime(double ageMs) {
  const long long seconds = static_cast<long long>(std::max(ageMs, 0.0) / 1000);
  if (seconds < 1) return "now";
  if (seconds < 60) return std::to_string(seconds) + "s ago";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m ago";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h ago";
  return std::to_string(seconds / 86400) + "d ago";
}

// A name that needs no escaping in a relative URL and cannot climb out of the folder.
std::string safeFileName(const std::string& name) {
  std::string safe;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    safe += plain ? c : '_';
  }
  return safe;
}

const std::string& thread(const std::vector<Delivery>& deliveries) {
  static const std::string kNone;
  return deliveries.empty() ? kNone : deliveries.front().thread;
}

// Where each medium of the file page comes from: inline, or a copy beside the page.
class FileMedia {
 public:
  // `pagePath` empty: every medium inline.
  explicit FileMedia(const std::string& pagePath) {
    if (pagePath.empty()) return;
    const std::filesystem::path page(pagePath);
    _folderName = page.filename().string() + "_files";
    _folder = (page.parent_path() / _folderName).string();
  }

  // The medium's URL for a src attribute (not yet escaped), or "" when its file is gone.
  std::string source(const DeliveredAttachment& attachment) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(attachment.file, ec);
    if (ec) return "";
    if (size <= PreviewPage::kInlineMediaBytes || _folder.empty()) return inlined(attachment);
    return copied(attachment);
  }

  const std::string& error() const { return _error; }

 private:
  std::string inlined(const DeliveredAttachment& attachment) {
    std::ifstream in(attachment.file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in && !in.eof()) return "";
    return "data:" + attachment.type + ";base64," + encodeBase64(bytes);
  }

  std::string copied(const DeliveredAttachment& attachment) {
    // Numbered: the store's copies of different requests often share a name.
    const std::string name =
        std::to_string(++_copies) + "-" + safeFileName(lastPathComponent(attachment.file));
    FileSystem& files = FileSystem::Current();
    const FileDescriptor medium(::open(attachment.file.c_str(), O_RDONLY | O_CLOEXEC));
    Result<> copied = medium.valid() ? files.makeDirectories(_folder, 0700)
                                     : Failure::ofErrno("cannot open " + attachment.file);
    if (copied) copied = files.placeFileAtomically(_folder + "/" + name, medium);
    if (!copied) {
      if (_error.empty()) _error = copied.failure().message;
      return "";
    }
    static const NSCharacterSet kUnreserved(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");
    return percentEncodedBytes(_folderName, kUnreserved) + "/" + name;
  }

  std::string _folder;
  std::string _folderName;
  int _copies = 0;
  std::string _error;
};

struct Rendered {
  std::string thumbnail;  // inside the notification's summary: an image, or a tile naming a player
  std::string players;    // audio and video, shown once the notification is opened
  std::string missing;
};

Rendered renderMedia(
    const std::vector<DeliveredAttachment>& attachments,
    const std::function<std::string(std::size_t, const DeliveredAttachment&)>& source) {
  Rendered out;
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    const DeliveredAttachment& attachment = attachments[i];
    const std::string src = source(i, attachment);
    const std::string name = escapeHTML(lastPathComponent(attachment.file));
    if (src.empty()) {
      out.missing += "<div class=\"media-missing\">media missing: " + name + "</div>\n";
      continue;
    }
    const bool movie = attachment.kind == "movie";
    if (movie || attachment.kind == "audio") {
      // A player only in the opened notification: nothing plays from the list.
      const std::string element = movie ? "video" : "audio";
      out.players += "<" + element + " class=\"player\" controls preload=\"metadata\" src=\"" +
                     escapeHTML(src) + "\" title=\"" + name + "\"></" + element + ">\n";
      if (out.thumbnail.empty()) {
        out.thumbnail = std::string("<span class=\"thumb tile ") + (movie ? "movie" : "audio") +
                        "\" title=\"" + name + "\">" + (movie ? "▶" : "♫") + "</span>";
      }
    } else if (out.thumbnail.empty() || out.thumbnail.starts_with("<span")) {
      out.thumbnail = "<img class=\"thumb\" src=\"" + escapeHTML(src) + "\" alt=\"" + name + "\">";
    }
  }
  return out;
}

std::string chips(const Delivery& shown, const AttachmentOutcome& outcome, bool expired) {
  std::string html = "<div class=\"chips\">";
  if (shown.badge)
    html += "<span class=\"badge\">badge " + std::to_string(*shown.badge) + "</span>";
  if (shown.sound) {
    html += "<span class=\"sound\">♫ " + escapeHTML(*shown.sound);
    if (const auto& volume = shown.criticalSoundVolume) {
      char level[64];
      std::snprintf(level, sizeof level, " (critical, volume %g)", *volume);
      html += level;
    }
    html += "</span>";
  }
  if (outcome.wanted && !outcome.missingReason.empty()) {
    html += "<span class=\"no-attachment\">no attachment: " + escapeHTML(outcome.missingReason) +
            "</span>";
  }
  if (expired) html += "<span class=\"expired\">expired</span>";
  return html + "</div>\n";
}

// The card's head: the app, the interruption level, and the age with the arrival on hover.
std::string head(const Delivery* shown, const std::string& age, const std::string& arrived) {
  std::string html =
      "<div class=\"head\"><span class=\"icon\" aria-hidden=\"true\">C</span><span "
      "class=\"app\">" +
      std::string(kAppName) + "</span>";
  if (shown && shown->interruptionLevel) {
    html += "<span class=\"level\">" + escapeHTML(*shown->interruptionLevel) + "</span>";
  }
  return html + "<time title=\"arrived " + arrived + "\">" + age + "</time></div>\n";
}

std::string notification(const Delivery& shown, const AttachmentOutcome& outcome, bool expired,
                         const Rendered& media, const std::string& cardHead) {
  const bool missing = outcome.wanted && !outcome.missingReason.empty();
  std::string html = missing ? "<div class=\"card missing\">\n" : "<div class=\"card\">\n";
  html += "<details class=\"notification\">\n<summary>\n" + cardHead + "<div class=\"row\">";
  html += "<div class=\"text\"><div class=\"title\">" + escapeHTML(shown.title) + "</div>";
  if (!shown.subtitle.empty()) {
    html += "<div class=\"subtitle\">" + escapeHTML(shown.subtitle) + "</div>";
  }
  html += "<div class=\"body\">" + escapeHTML(shown.body) + "</div></div>" + media.thumbnail +
          "</div>\n";
  html += chips(shown, outcome, expired) + "</summary>\n" + media.players + "</details>\n";
  return html + media.missing + "</div>\n";
}

std::string attachmentsText(const std::vector<DeliveredAttachment>& attachments) {
  std::string text;
  for (const auto& a : attachments) {
    text += " + " + escapeHTML(a.type + " " + lastPathComponent(a.file)) + " (" +
            std::to_string(a.size) + " bytes)";
  }
  return text;
}

std::string shortDevice(const std::string& device) {
  return "<code title=\"" + escapeHTML(device) + "\">" + escapeHTML(shortDeviceToken(device)) +
         "</code>";
}

// The push as its headers said it.
std::string pushHeaders(const PushDetails& push) {
  std::string html = "<dt>push</dt><dd>apns-push-type: " + escapeHTML(push.type) +
                     ", apns-priority: " + std::to_string(push.priority);
  if (!push.topic.empty()) html += ", apns-topic: " + escapeHTML(push.topic);
  if (push.collapseId) html += ", apns-collapse-id: " + escapeHTML(*push.collapseId);
  if (!push.device.empty()) html += ", device " + shortDevice(push.device);
  return html + "</dd>\n";
}

// The att_url as fetched, each redirect, and the codes the platform reported.
std::string fetched(const std::vector<Delivery>& deliveries) {
  std::string html;
  if (const auto& record = deliveries.back().download) {
    html += "<dt>att_url</dt><dd><code>" + escapeHTML(record->url) + "</code>";
    for (const auto& hop : record->redirects) {
      html += ", redirected to <code>" + escapeHTML(hop) + "</code>";
    }
    if (record->plainHTTP) html += "; <span class=\"plain-http\">over plain http</span>";
    html += "</dd>\n";
  }
  std::string codes;
  for (const auto& d : deliveries.front().diagnostics) {
    codes += (codes.empty() ? "" : " · ") + escapeHTML(d.stage + " " + d.domain + " ") +
             std::to_string(d.code);
  }
  if (!codes.empty()) html += "<dt>codes</dt><dd>" + codes + "</dd>\n";
  return html;
}

// The collapsed part of an account: what a person debugging the push reads, not the device.
std::string raw(const std::string& headers, const std::string& details,
                const std::string& payload) {
  if (headers.empty() && details.empty() && payload.empty()) return "";
  std::string html =
      "<details class=\"raw\"><summary>push, att_url, payload</summary><dl>\n" + headers + details;
  if (!payload.empty()) html += "<dt>payload</dt><dd><pre>" + escapeHTML(payload) + "</pre></dd>\n";
  return html + "</dl></details>\n";
}

std::string notesList(const std::vector<std::string>& notes, const std::string& more) {
  if (notes.empty() && more.empty()) return "";
  std::string html = "<ul class=\"notes\">\n";
  for (const auto& note : notes) html += "<li>" + escapeHTML(note) + "</li>\n";
  return html + more + "</ul>\n";
}

// The card of a push the push service refused, which never reaches the device.
std::string refusedCard(const PushServiceRefusal& refusal, const std::string& apnsId,
                        const std::string& cardHead) {
  std::string html = "<div class=\"card refused\">" + cardHead +
                     "refused by the push service: " + std::to_string(refusal.status) + " " +
                     escapeHTML(refusal.reason);
  if (!apnsId.empty()) html += ", apns-id <code>" + escapeHTML(apnsId) + "</code>";
  return html + "</div>\n";
}

// The key under which a device replaces one push's notification with a later one's.
std::optional<std::string> collapseKey(const std::vector<Delivery>& deliveries) {
  if (deliveries.empty() || !deliveries.front().push) return std::nullopt;
  const PushDetails& push = *deliveries.front().push;
  if (!push.collapseId) return std::nullopt;
  return push.device + '\n' + push.topic + '\n' + *push.collapseId;
}

// "2026-12-07 16:20:03.123 UTC", to the second when `milliseconds` is false.
std::string utc(std::chrono::system_clock::time_point at, bool milliseconds) {
  const auto since = at.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  std::string out = text;
  if (milliseconds) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms));
    out += text;
  }
  return out + " UTC";
}

using std::chrono::system_clock;

// Where a card's media come from: the URL (not yet escaped) of attachment `index` of the shown
// delivery of request `request`, for a src attribute; "" when it cannot be shown.
using MediaSource = std::function<std::string(std::int64_t request, std::size_t index,
                                              const DeliveredAttachment& attachment)>;

// What every card of one render shares.
struct CardContext {
  system_clock::time_point now;
  MediaSource media;
};

system_clock::time_point wallTime(std::int64_t milliseconds) {
  return system_clock::time_point(std::chrono::milliseconds(milliseconds));
}

double millisecondsBetween(system_clock::time_point from, system_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The payload as an account shows it: indented, or as it came when it is not JSON.
std::string indented(const std::string& payload) {
  const auto json = nlohmann::json::parse(payload, nullptr, false);
  if (json.is_discarded()) return payload;
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One card's records, read for one render: a request taken, or a push refused.
struct Entry {
  const RequestStory* story = nullptr;
  const StoredRefusal* refusal = nullptr;
  std::vector<Delivery> deliveries;     // the story's, read back from their lines
  std::vector<std::string> unreadable;  // why a line could not be read back
  AttachmentOutcome outcome;            // of the first delivery

  explicit Entry(const StoredRefusal& refused) : refusal(&refused) {}
  explicit Entry(const RequestStory& taken) : story(&taken) {
    for (const auto& stored : taken.deliveries) {
      auto read = deliveryFromJSON(stored.json);
      if (!read) {
        unreadable.push_back("delivery " + std::to_string(stored.number) +
                             " cannot be read: " + read.failure().message);
        continue;
      }
      read->sequence = stored.sequence;
      deliveries.push_back(std::move(*read));
    }
    if (deliveries.empty()) return;
    const Delivery& first = deliveries.front();
    outcome = attachmentOutcome(first.userInfo.get(), first.extension, !first.attachments.empty(),
                                first.diagnostics, first.expired);
  }
};

// Requests and refused pushes in one list, newest first, each list's own order kept.
std::vector<Entry> newestFirst(const PreviewRecords& records) {
  std::vector<Entry> entries;
  entries.reserve(records.requests.size() + records.refusals.size());
  auto request = records.requests.begin();
  auto refusal = records.refusals.begin();
  while (request != records.requests.end() || refusal != records.refusals.end()) {
    const bool requestNext =
        refusal == records.refusals.end() ||
        (request != records.requests.end() && request->request.arrivedMs >= refusal->arrivedMs);
    if (requestNext) {
      entries.emplace_back(*request++);
    } else {
      entries.emplace_back(*refusal++);
    }
  }
  return entries;
}

// An entry's opening tag, carrying what a script finds and filters it by.
std::string article(const Entry& entry, bool replaced) {
  std::string id, identifier, device, outcome;
  if (const StoredRefusal* refused = entry.refusal) {
    id = "x" + std::to_string(refused->id);
    identifier = refused->push.apnsId;
    device = refused->push.push.device;
    outcome = "refused";
  } else {
    const StoredRequest& request = entry.story->request;
    id = "r" + std::to_string(request.id);
    identifier = request.identifier;
    device = request.push ? request.push->device : "";
    outcome = entry.story->outcome;
  }
  return std::string("<article class=\"entry") + (replaced ? " replaced" : "") + "\" id=\"" + id +
         "\" data-request=\"" + escapeHTML(identifier) + "\" data-device=\"" + escapeHTML(device) +
         "\" data-outcome=\"" + escapeHTML(outcome) + "\">\n";
}

// What became of the attachment: each one made, with the staging file it was made from, or
// why the one the payload asked for is missing.
std::string verdict(const Delivery& shown, const AttachmentOutcome& outcome) {
  std::string html;
  for (const auto& a : shown.attachments) {
    html += "<dt>attachment</dt><dd>" + escapeHTML(a.type + " " + a.kind) + ", " +
            std::to_string(a.size) + " bytes";
    if (a.url) html += ", staged as <code>" + escapeHTML(*a.url) + "</code>";
    html += "</dd>\n";
  }
  if (html.empty() && outcome.wanted) {
    html = "<dt>attachment</dt><dd class=\"no-attachment\">none: " +
           escapeHTML(outcome.missingReason) + "</dd>\n";
  }
  return html;
}

std::string laterDeliveries(const std::vector<Delivery>& deliveries) {
  if (deliveries.size() < 2) return "";
  std::string html = "<ol class=\"later\" start=\"2\">\n";
  for (std::size_t i = 1; i < deliveries.size(); ++i) {
    const Delivery& later = deliveries[i];
    html += "<li>not displayed, after " + milliseconds(later.elapsedMs);
    if (later.expired) html += ", after the expiry";
    html += attachmentsText(later.attachments);
    for (const auto& note : later.notes) html += "; " + escapeHTML(note);
    html += "</li>\n";
  }
  return html + "</ol>\n";
}

std::string refusedEntry(const Entry& entry, const CardContext& context) {
  const StoredRefusal& stored = *entry.refusal;
  const RefusedPush& push = stored.push;
  const auto arrived = wallTime(stored.arrivedMs);
  const std::string arrivedText = utc(arrived, true);
  const std::string cardHead =
      head(nullptr, relativeTime(millisecondsBetween(arrived, context.now)), arrivedText);
  std::string html = article(entry, false) + refusedCard(push.refusal, push.apnsId, cardHead) +
                     "<aside class=\"account\">\n<p class=\"timing\">arrived " + arrivedText +
                     "; answered " + std::to_string(push.refusal.status) + "</p>\n";
  html += notesList({push.refusal.fault}, "");
  const bool read = !push.push.device.empty() || !push.push.topic.empty();
  return html + raw(read ? pushHeaders(push.push) : "", "", "") + "</aside>\n</article>\n";
}

std::string storyEntry(const Entry& entry, const std::string* replacedBy,
                       const CardContext& context) {
  const RequestStory& story = *entry.story;
  const StoredRequest& request = story.request;
  const Delivery* shown = entry.deliveries.empty() ? nullptr : &entry.deliveries.front();
  const auto arrived = wallTime(request.arrivedMs);
  const std::string arrivedText = utc(arrived, true);
  const double age = millisecondsBetween(arrived, context.now) - (shown ? shown->elapsedMs : 0);
  const std::string cardHead = head(shown, relativeTime(age), arrivedText);
  const std::string headers = request.push ? pushHeaders(*request.push) : "";
  std::string more;
  if (story.abandonedAfterMs) {
    more = "<li>download: abandoned after " + seconds(*story.abandonedAfterMs) +
           ", still running</li>\n";
  }
  for (const auto& why : entry.unreadable) more += "<li>" + escapeHTML(why) + "</li>\n";

  std::string html = article(entry, replacedBy != nullptr);
  if (!shown) {
    return html + "<div class=\"card\">" + cardHead + "nothing delivered" +
           (story.expired ? " <span class=\"expired\">expired</span>" : "") +
           "</div>\n<aside class=\"account\">\n<p class=\"timing\">arrived " + arrivedText +
           "; nothing delivered yet</p>\n" + notesList({}, more) +
           raw(headers, "", indented(request.payload)) + "</aside>\n</article>\n";
  }
  if (shown->refusal) {
    html += refusedCard(*shown->refusal, "", cardHead);
  } else if (!shown->notShown.empty()) {
    // Only what a device shows reaches the notification list.
    html += "<div class=\"card silent\">" + cardHead +
            "nothing shown: " + escapeHTML(shown->notShown) + "</div>\n";
  } else {
    const auto source = [&](std::size_t index, const DeliveredAttachment& attachment) {
      return context.media(request.id, index, attachment);
    };
    html += notification(*shown, entry.outcome, story.expired,
                         renderMedia(shown->attachments, source), cardHead);
  }

  html += "<aside class=\"account\">\n<p class=\"timing\">arrived " + arrivedText + "; " +
          (shown->displayed ? "displayed" : "not shown") + " after " +
          milliseconds(shown->elapsedMs);
  if (story.expired) html += "; <span class=\"expired\">expired</span>: its time limit passed";
  html += "</p>\n";
  if (replacedBy) {
    html += "<p class=\"replaced\">replaced on the device by " + escapeHTML(*replacedBy) +
            ", a later push with the same collapse-id</p>\n";
  }
  html += notesList(shown->notes, more) + laterDeliveries(entry.deliveries);
  // A line of a file keeps its payload as its first delivery's userInfo only.
  const std::string payload = !request.payload.empty() || !shown->userInfo
                                  ? request.payload
                                  : shown->userInfo->storage().value.dump();
  return html +
         raw(headers, fetched(entry.deliveries) + verdict(*shown, entry.outcome),
             indented(payload)) +
         "</aside>\n</article>\n";
}

// Newest first, as a device lists them: a thread's stack stands where its newest request
// arrived, its newest on top and the rest behind "N more".
std::string cards(const std::vector<Entry>& entries, const CardContext& context) {
  // The newest push under each collapse key is the one a device still shows.
  std::map<std::string, std::size_t> newestOfKey;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (const auto key = collapseKey(entries[i].deliveries)) newestOfKey.try_emplace(*key, i);
  }
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::string, std::size_t> groupOfThread;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& name = thread(entries[i].deliveries);
    if (name.empty()) {
      groups.push_back({i});
      continue;
    }
    const auto [it, added] = groupOfThread.try_emplace(name, groups.size());
    if (added) groups.emplace_back();
    groups[it->second].push_back(i);
  }

  const auto render = [&](std::size_t i) {
    const Entry& entry = entries[i];
    if (entry.refusal) return refusedEntry(entry, context);
    const auto key = collapseKey(entry.deliveries);
    const std::size_t newest = key ? newestOfKey.at(*key) : i;
    return storyEntry(entry, newest != i ? &entries[newest].story->request.identifier : nullptr,
                      context);
  };
  std::string html;
  for (const auto& group : groups) {
    const std::string& name = thread(entries[group.front()].deliveries);
    if (name.empty()) {
      html += render(group.front());
      continue;
    }
    html += "<section class=\"stack\" data-thread=\"" + escapeHTML(name) + "\"><h2>" +
            escapeHTML(name) + " <span>· " + std::to_string(group.size()) +
            (group.size() == 1 ? " notification" : " notifications") + "</span></h2>\n" +
            render(group.front());
    if (group.size() > 1) {
      html += "<details class=\"more\"><summary><span>" + std::to_string(group.size() - 1) +
              " more</span></summary>\n";
      for (std::size_t k = 1; k < group.size(); ++k) html += render(group[k]);
      html += "</details>\n";
    }
    html += "</section>\n";
  }
  return html;
}

// The header: the run's date and settings; the file page also says when it was written and
// what it holds, which the live page, whose header stays while its cards change, does not.
std::string header(const PreviewRun& run, const PreviewRecords& records,
                   system_clock::time_point now, bool live) {
  std::string html = "<header><h1>" + std::string(kAppName) + (live ? " live" : " preview") +
                     "</h1><p>run of " + utc(run.started, false);
  if (live) {
    html += "; newest first, as they come</p>\n";
  } else {
    const std::size_t refused = records.refusals.size();
    html += ", written " + seconds(millisecondsBetween(run.started, now)) + " later; " +
            std::to_string(records.requests.size()) + " requests" +
            (refused > 0 ? ", " + std::to_string(refused) + (refused == 1 ? " push" : " pushes") +
                               " refused"
                         : "") +
            ", newest first</p>\n";
  }
  if (!run.settings.empty()) {
    html += "<ul class=\"settings\">";
    for (const auto& setting : run.settings) html += "<li>" + escapeHTML(setting) + "</li>";
    html += "</ul>\n";
  }
  return html + "</header>\n";
}

std::string page(const char* policy, const char* script, const std::string& header,
                 const std::string& cards) {
  return std::string(kDocumentStart) + "<meta http-equiv=\"Content-Security-Policy\" content=\"" +
         policy + "\">\n" + kStyle + script + "</head>\n<body>\n" + header +
         "<main id=\"cards\">\n" + cards + "</main>\n</body>\n</html>\n";
}

// The live page's media come from the API, by the request's id in the store: the first
// attachment is the one it keeps a file of.
std::string liveSource(std::int64_t request, std::size_t index, const DeliveredAttachment&) {
  return index == 0 ? "/api/requests/" + std::to_string(request) + "/attachment" : "";
}

}  // namespace

PreviewPage::PreviewPage(PreviewRun run) : _run(std::move(run)), _started(Clock::Current().now()) {}

system_clock::time_point PreviewPage::now() const {
  return _run.started +
         std::chrono::duration_cast<system_clock::duration>(Clock::Current().now() - _started);
}

std::string PreviewPage::html(const PreviewRecords& records) const {
  FileMedia media("");
  const auto source = [&media](std::int64_t, std::size_t, const DeliveredAttachment& a) {
    return media.source(a);
  };
  const auto at = now();
  return page(kFilePolicy, "", header(_run, records, at, false),
              cards(newestFirst(records), {at, source}));
}

Result<> PreviewPage::write(const std::string& path, const PreviewRecords& records) const {
  FileMedia media(path);
  const auto source = [&media](std::int64_t, std::size_t, const DeliveredAttachment& a) {
    return media.source(a);
  };
  const auto at = now();
  const std::string html = page(kFilePolicy, "", header(_run, records, at, false),
                                cards(newestFirst(records), {at, source}));
  if (!media.error().empty()) return Failure{media.error()};
  if (!FileSystem::Current().writeFileAtomically(path, html)) {
    return Failure{"cannot write the preview to " + path};
  }
  return {};
}

std::string PreviewPage::livePage(const PreviewRecords& records) const {
  const auto at = now();
  return page(kLivePolicy, kLiveScript, header(_run, records, at, true),
              cards(newestFirst(records), {at, liveSource}));
}

std::string PreviewPage::liveCards(const PreviewRecords& records) const {
  return cards(newestFirst(records), {now(), liveSource});
}

std::string escapeHTML(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace corvanta
