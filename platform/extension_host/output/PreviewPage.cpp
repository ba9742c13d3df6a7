#include "platform/extension_host/output/PreviewPage.h"

#include <fcntl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <system_error>

#include "platform/foundation/Base64.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

constexpr const char* kAppName = "corvanta-nse";

// No script at all, and nothing from the network: media come inline or from beside the page.
constexpr const char* kHead = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src data: 'self'; media-src data: 'self'; style-src 'unsafe-inline'">
<meta name="color-scheme" content="light dark">
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
header p { color: var(--dim); margin: .2em 0 1.2em; }
.stack { margin: 0 0 1.4em; }
.stack > h2 { font-size: .85em; font-weight: 600; color: var(--dim); margin: 0 0 .4em; }
.stack > h2 span { font-weight: normal; }
.stack .entry + .entry .card { box-shadow: 0 -5px 0 -2px var(--card), 0 1px 3px rgba(0,0,0,.2); }
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
details[open] .body { display: block; }
details[open] .row { flex-direction: column; }
details[open] .thumb { width: 100%; height: auto; object-fit: contain; }
.chips { display: flex; flex-wrap: wrap; gap: .35em; margin-top: .45em; font-size: .78em; }
.chips:empty { display: none; }
.chips span { background: var(--chip); border-radius: .7em; padding: .05em .55em; }
.chips .no-attachment, .chips .expired { background: var(--warn); color: #fff; }
.player { width: 100%; margin-top: .5em; border-radius: .5em; }
.missing { color: var(--warn); font-size: .85em; margin-top: .4em; }
.account { font-size: .8em; color: var(--dim); flex: 1; min-width: 16em; max-width: 36em; }
.account p, .account ul, .account ol { margin: .1em 0 .3em; padding-left: 1.2em; }
.account p { padding-left: 0; }
.account code { overflow-wrap: anywhere; }
.account .expired, .account .no-attachment { color: var(--warn); font-weight: 600; }
.diagnostics { border-collapse: collapse; margin: .2em 0 .3em; }
.diagnostics th, .diagnostics td { border-bottom: 1px solid var(--line); padding: .1em .5em 0 0;
  text-align: left; vertical-align: top; }
</style>
</head>
<body>
)";

std::string milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

// As a device's list says it, from the moment the request arrived.
std::string relativeTime(double elapsedMs) {
  const long long seconds = static_cast<long long>(elapsedMs / 1000);
  if (seconds < 1) return "now";
  if (seconds < 60) return std::to_string(seconds) + "s ago";
  return std::to_string(seconds / 60) + "m ago";
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

}  // namespace

// Where each medium of the page comes from: inline, or a copy beside the page.
class PreviewPage::Media {
 public:
  // `pagePath` empty: every medium inline.
  explicit Media(const std::string& pagePath) {
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
    if (size <= kInlineMediaBytes || _folder.empty()) return inlined(attachment);
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

namespace {

struct Rendered {
  std::string thumbnail;  // an image, inside the notification's summary
  std::string players;    // audio and video, below it
  std::string missing;
};

Rendered renderMedia(const std::vector<DeliveredAttachment>& attachments,
                     const std::function<std::string(const DeliveredAttachment&)>& source) {
  Rendered out;
  for (const auto& attachment : attachments) {
    const std::string src = source(attachment);
    const std::string name = escapeHTML(lastPathComponent(attachment.file));
    if (src.empty()) {
      out.missing += "<div class=\"missing\">media missing: " + name + "</div>\n";
    } else if (attachment.kind == "movie") {
      out.players += "<video class=\"player\" controls preload=\"metadata\" src=\"" +
                     escapeHTML(src) + "\" title=\"" + name + "\"></video>\n";
    } else if (attachment.kind == "audio") {
      out.players += "<audio class=\"player\" controls preload=\"metadata\" src=\"" +
                     escapeHTML(src) + "\" title=\"" + name + "\"></audio>\n";
    } else if (out.thumbnail.empty()) {
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

std::string notification(const Delivery& shown, const AttachmentOutcome& outcome, bool expired,
                         const Rendered& media) {
  const bool missing = outcome.wanted && !outcome.missingReason.empty();
  std::string html = missing ? "<div class=\"card missing\">\n" : "<div class=\"card\">\n";
  html +=
      "<details class=\"notification\">\n<summary>\n<div class=\"head\">"
      "<span class=\"icon\" aria-hidden=\"true\">C</span><span class=\"app\">" +
      std::string(kAppName) + "</span>";
  if (shown.interruptionLevel) {
    html += "<span class=\"level\">" + escapeHTML(*shown.interruptionLevel) + "</span>";
  }
  html += "<time>" + relativeTime(shown.elapsedMs) + "</time></div>\n<div class=\"row\">";
  html += "<div class=\"text\"><div class=\"title\">" + escapeHTML(shown.title) + "</div>";
  if (!shown.subtitle.empty()) {
    html += "<div class=\"subtitle\">" + escapeHTML(shown.subtitle) + "</div>";
  }
  html += "<div class=\"body\">" + escapeHTML(shown.body) + "</div></div>" + media.thumbnail +
          "</div>\n";
  html += chips(shown, outcome, expired) + "</summary>\n</details>\n";
  return html + media.players + media.missing + "</div>\n";
}

std::string diagnostics(const std::vector<Diagnostic>& list) {
  if (list.empty()) return "";
  std::string html =
      "<table class=\"diagnostics\"><tr><th>stage</th><th>domain</th><th>code</th>"
      "<th>message</th></tr>\n";
  for (const auto& d : list) {
    html += "<tr><td>" + escapeHTML(d.stage) + "</td><td>" + escapeHTML(d.domain) + "</td><td>" +
            std::to_string(d.code) + "</td><td>" + escapeHTML(d.message) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

std::string attachmentsText(const std::vector<DeliveredAttachment>& attachments) {
  std::string text;
  for (const auto& a : attachments) {
    text += " + " + escapeHTML(a.type + " " + lastPathComponent(a.file)) + " (" +
            std::to_string(a.size) + " bytes)";
  }
  return text;
}

// The URL fetched and each redirect, from the delivery that saw the most of the download.
std::string download(const std::vector<Delivery>& deliveries,
                     const std::optional<double>& abandonedAfterMs) {
  const auto& record = deliveries.back().download;
  if (!record) return "";
  std::string html = "<p class=\"download\">download <code>" + escapeHTML(record->url) + "</code>";
  for (const auto& hop : record->redirects) {
    html += ", redirected to <code>" + escapeHTML(hop) + "</code>";
  }
  if (record->plainHTTP) {
    html +=
        "; <span class=\"plain-http\">over plain http: a device refuses it unless the app "
        "allows insecure loads</span>";
  }
  if (abandonedAfterMs) {
    html += "; abandoned after " + milliseconds(*abandonedAfterMs) + ", still running";
  }
  return html + "</p>\n";
}

std::string account(const std::vector<Delivery>& deliveries, const AttachmentOutcome& outcome,
                    bool expired, const std::string* replacedBy,
                    const std::optional<double>& abandonedAfterMs) {
  const Delivery& shown = deliveries.front();
  std::string html = "<aside class=\"account\">\n<p class=\"timing\">delivery 1 " +
                     std::string(shown.displayed ? "displayed" : "not shown") + " after " +
                     milliseconds(shown.elapsedMs);
  if (!shown.extension) html += "; the extension did not run";
  if (expired) html += "; <span class=\"expired\">expired</span>: its time limit passed";
  html += "</p>\n";
  if (const auto& push = shown.push) {
    html += "<p class=\"push\">" + escapeHTML(push->type) + " push, priority " +
            std::to_string(push->priority) + ", to device <code>" + escapeHTML(push->device) +
            "</code>";
    if (!push->topic.empty()) html += ", topic " + escapeHTML(push->topic);
    if (push->collapseId) html += ", collapse-id " + escapeHTML(*push->collapseId);
    html += "</p>\n";
  }
  if (replacedBy) {
    html += "<p class=\"replaced\">replaced on the device by " + escapeHTML(*replacedBy) +
            ", a later push with the same collapse-id</p>\n";
  }
  if (outcome.wanted && !outcome.missingReason.empty()) {
    html +=
        "<p class=\"no-attachment\">no attachment: " + escapeHTML(outcome.missingReason) + "</p>\n";
  }
  html += download(deliveries, abandonedAfterMs);
  if (deliveries.size() > 1) {
    html += "<ol class=\"later\" start=\"2\">\n";
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
      const Delivery& later = deliveries[i];
      html += "<li>not displayed, after " + milliseconds(later.elapsedMs);
      if (later.expired) html += ", after the expiry";
      html += attachmentsText(later.attachments);
      for (const auto& note : later.notes) html += "; " + escapeHTML(note);
      html += "</li>\n";
    }
    html += "</ol>\n";
  }
  html += diagnostics(shown.diagnostics);
  if (!shown.notes.empty()) {
    html += "<ul class=\"notes\">\n";
    for (const auto& note : shown.notes) html += "<li>" + escapeHTML(note) + "</li>\n";
    html += "</ul>\n";
  }
  return html + "</aside>\n";
}

// The card of a push the push service refused, which never reaches the device.
std::string refusedCard(const PushServiceRefusal& refusal, const std::string& apnsId) {
  std::string html = "<div class=\"card refused\"><div class=\"head\"><span class=\"app\">" +
                     std::string(kAppName) +
                     "</span></div>refused by the push service: " + std::to_string(refusal.status) +
                     " " + escapeHTML(refusal.reason);
  if (!apnsId.empty()) html += ", apns-id <code>" + escapeHTML(apnsId) + "</code>";
  return html + "</div>\n";
}

// A push the endpoint refused: its card, and what was wrong with it.
std::string refusedPush(const RefusedPush& push) {
  std::string html = refusedCard(push.refusal, push.apnsId) + "<aside class=\"account\">\n";
  html += "<p class=\"refusal\">" + escapeHTML(push.refusal.fault) + "</p>\n";
  if (!push.push.device.empty()) {
    html += "<p class=\"push\">" + escapeHTML(push.push.type) + " push to device <code>" +
            escapeHTML(push.push.device) + "</code>";
    if (!push.push.topic.empty()) html += ", topic " + escapeHTML(push.push.topic);
    html += "</p>\n";
  }
  return html + "</aside>\n";
}

}  // namespace

PreviewPage::Entry& PreviewPage::entryOf(std::size_t sequence) {
  return _entries.at(_entryOfSequence.at(sequence));
}

void PreviewPage::taken(std::size_t sequence, const std::string& identifier) {
  const std::lock_guard lock(_mutex);
  if (_entryOfSequence.size() <= sequence) _entryOfSequence.resize(sequence + 1);
  _entryOfSequence[sequence] = _entries.size();
  _entries.emplace_back().identifier = identifier;
}

void PreviewPage::expired(std::size_t sequence) {
  const std::lock_guard lock(_mutex);
  entryOf(sequence).expired = true;
}

void PreviewPage::abandoned(std::size_t sequence, double elapsedMs) {
  const std::lock_guard lock(_mutex);
  entryOf(sequence).abandonedAfterMs = elapsedMs;
}

void PreviewPage::refused(const RefusedPush& push) {
  const std::lock_guard lock(_mutex);
  Entry& entry = _entries.emplace_back();
  entry.identifier = push.apnsId;
  entry.refused = push;
}

void PreviewPage::delivered(const Delivery& delivery) {
  Delivery kept = delivery;
  kept.userInfo = nullptr;
  const std::lock_guard lock(_mutex);
  Entry& entry = entryOf(delivery.sequence);
  if (entry.deliveries.empty()) {
    entry.outcome =
        attachmentOutcome(delivery.userInfo.get(), delivery.extension,
                          !delivery.attachments.empty(), delivery.diagnostics, delivery.expired);
  }
  entry.deliveries.push_back(std::move(kept));
}

namespace {

// The key under which a device replaces one push's notification with a later one's.
std::optional<std::string> collapseKey(const std::vector<Delivery>& deliveries) {
  if (deliveries.empty() || !deliveries.front().push) return std::nullopt;
  const PushDetails& push = *deliveries.front().push;
  if (!push.collapseId) return std::nullopt;
  return push.device + '\n' + push.topic + '\n' + *push.collapseId;
}

}  // namespace

std::string PreviewPage::render(Media& media) const {
  // The last push under each collapse key is the one a device still shows.
  std::map<std::string, std::size_t> lastOfKey;
  for (std::size_t i = 0; i < _entries.size(); ++i) {
    if (const auto key = collapseKey(_entries[i].deliveries)) lastOfKey[*key] = i;
  }
  // A thread's stack stands where its first request arrived.
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::string, std::size_t> groupOfThread;
  for (std::size_t i = 0; i < _entries.size(); ++i) {
    const std::string& name = thread(_entries[i].deliveries);
    if (name.empty()) {
      groups.push_back({i});
      continue;
    }
    const auto [it, added] = groupOfThread.try_emplace(name, groups.size());
    if (added) groups.emplace_back();
    groups[it->second].push_back(i);
  }

  const auto source = [&media](const DeliveredAttachment& a) { return media.source(a); };
  std::string html = kHead;
  html +=
      "<header><h1>" + std::string(kAppName) + " preview</h1><p>" +
      std::to_string(_entryOfSequence.size()) + " requests" +
      (_entries.size() > _entryOfSequence.size()
           ? ", " + std::to_string(_entries.size() - _entryOfSequence.size()) +
                 (_entries.size() - _entryOfSequence.size() == 1 ? " push" : " pushes") + " refused"
           : "") +
      "</p></header>\n<main>\n";
  for (const auto& group : groups) {
    const std::string& name = thread(_entries[group.front()].deliveries);
    if (!name.empty()) {
      html += "<section class=\"stack\" data-thread=\"" + escapeHTML(name) + "\"><h2>" +
              escapeHTML(name) + " <span>· " + std::to_string(group.size()) +
              (group.size() == 1 ? " notification" : " notifications") + "</span></h2>\n";
    }
    for (const std::size_t i : group) {
      const Entry& entry = _entries[i];
      const auto key = collapseKey(entry.deliveries);
      const std::string* replacedBy =
          key && lastOfKey.at(*key) != i ? &_entries[lastOfKey.at(*key)].identifier : nullptr;
      html += std::string("<article class=\"entry") + (replacedBy ? " replaced" : "") +
              "\" data-request=\"" + escapeHTML(entry.identifier) + "\">\n";
      if (entry.refused) {
        html += refusedPush(*entry.refused);
      } else if (entry.deliveries.empty()) {
        html += "<div class=\"card\"><div class=\"head\"><span class=\"app\">" +
                escapeHTML(entry.identifier) + "</span></div>nothing delivered" +
                (entry.expired ? " <span class=\"expired\">expired</span>" : "") + "</div>\n";
      } else {
        const Delivery& shown = entry.deliveries.front();
        const AttachmentOutcome& outcome = entry.outcome;
        if (shown.refusal) {
          html += refusedCard(*shown.refusal, "");
        } else if (!shown.notShown.empty()) {
          // Only what a device shows reaches the notification list.
          html += "<div class=\"card silent\"><div class=\"head\"><span class=\"app\">" +
                  std::string(kAppName) +
                  "</span></div>nothing shown: " + escapeHTML(shown.notShown) + "</div>\n";
        } else {
          html +=
              notification(shown, outcome, entry.expired, renderMedia(shown.attachments, source));
        }
        html +=
            account(entry.deliveries, outcome, entry.expired, replacedBy, entry.abandonedAfterMs);
      }
      html += "</article>\n";
    }
    if (!name.empty()) html += "</section>\n";
  }
  return html + "</main>\n</body>\n</html>\n";
}

std::string PreviewPage::html() const {
  Media media("");
  const std::lock_guard lock(_mutex);
  return render(media);
}

Result<> PreviewPage::write(const std::string& path) const {
  Media media(path);
  std::string page;
  {
    const std::lock_guard lock(_mutex);
    page = render(media);
  }
  if (!media.error().empty()) return Failure{media.error()};
  if (!FileSystem::Current().writeFileAtomically(path, page)) {
    return Failure{"cannot write the preview to " + path};
  }
  return {};
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
