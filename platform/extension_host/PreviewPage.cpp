#include "platform/extension_host/PreviewPage.h"

#include <cstdio>

#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

constexpr const char* kHead = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>corvanta-nse preview</title>
<style>
body { font-family: system-ui, sans-serif; background: #e9e9ee; margin: 2em; color: #1c1c1e; }
section.request { background: #fff; border-radius: 14px; padding: 1em 1.2em; margin: 0 0 1.2em;
  max-width: 36em; box-shadow: 0 1px 3px rgba(0,0,0,.15); }
h2 { font-size: .8em; font-weight: normal; color: #6c6c70; margin: 0 0 .6em; }
.notification { background: #f4f4f6; border-radius: 12px; padding: .8em; }
.title { font-weight: 600; }
.level { font-size: .75em; text-transform: uppercase; color: #6c6c70; }
.subtitle { font-weight: 500; }
.notification img, .notification video { max-width: 100%; border-radius: 8px; margin-top: .6em;
  display: block; }
.notification audio { width: 100%; margin-top: .6em; }
.timing, .notes, .later { font-size: .85em; color: #3a3a3c; }
.expired { color: #b3261e; font-weight: 600; }
</style>
</head>
<body>
<h1>corvanta-nse preview</h1>
)";

std::string milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

std::string mediaElement(const DeliveredAttachment& attachment) {
  const std::string source = escapeHTML(fileURLForPath(attachment.file));
  const std::string type = escapeHTML(attachment.type);
  if (attachment.kind == "movie") {
    return "<video controls src=\"" + source + "\" data-type=\"" + type + "\"></video>\n";
  }
  if (attachment.kind == "audio") {
    return "<audio controls src=\"" + source + "\" data-type=\"" + type + "\"></audio>\n";
  }
  return "<img src=\"" + source + "\" alt=\"" + escapeHTML(lastPathComponent(attachment.file)) +
         "\" data-type=\"" + type + "\">\n";
}

std::string attachmentLink(const DeliveredAttachment& attachment) {
  return " + <a href=\"" + escapeHTML(fileURLForPath(attachment.file)) + "\">" +
         escapeHTML(attachment.type + " " + lastPathComponent(attachment.file)) + "</a>";
}

std::string notification(const Delivery& delivery) {
  std::string html = "<div class=\"notification\">\n";
  if (delivery.interruptionLevel) {
    html += "<div class=\"level\">" + escapeHTML(*delivery.interruptionLevel) + "</div>\n";
  }
  html += "<div class=\"title\">" + escapeHTML(delivery.title) + "</div>\n";
  if (!delivery.subtitle.empty()) {
    html += "<div class=\"subtitle\">" + escapeHTML(delivery.subtitle) + "</div>\n";
  }
  html += "<div class=\"body\">" + escapeHTML(delivery.body) + "</div>\n";
  for (const auto& attachment : delivery.attachments) html += mediaElement(attachment);
  return html + "</div>\n";
}

std::string timing(const Delivery& delivery, bool expired) {
  std::string html = "<p class=\"timing\">displayed after " + milliseconds(delivery.elapsedMs);
  if (expired) {
    html += " <span class=\"expired\">expired</span>: the extension was told its time ran out";
  }
  return html + "</p>\n";
}

std::string notes(const Delivery& delivery) {
  if (delivery.notes.empty()) return "";
  std::string html = "<ul class=\"notes\">\n";
  for (const auto& note : delivery.notes) html += "<li>" + escapeHTML(note) + "</li>\n";
  return html + "</ul>\n";
}

std::string laterDeliveries(const std::vector<Delivery>& deliveries) {
  if (deliveries.size() < 2) return "";
  std::string html = "<ol class=\"later\" start=\"2\">\n";
  for (std::size_t i = 1; i < deliveries.size(); ++i) {
    const Delivery& later = deliveries[i];
    html += "<li>not displayed, after " + milliseconds(later.elapsedMs);
    if (later.expired) html += ", after the expiry";
    html += ": " + escapeHTML(later.title) + " — " + escapeHTML(later.body);
    for (const auto& attachment : later.attachments) html += attachmentLink(attachment);
    for (const auto& note : later.notes) html += "; " + escapeHTML(note);
    html += "</li>\n";
  }
  return html + "</ol>\n";
}

}  // namespace

std::size_t PreviewPage::addRequest(std::string identifier) {
  _entries.push_back(Entry{std::move(identifier), false, {}});
  return _entries.size() - 1;
}

void PreviewPage::addDelivery(std::size_t index, Delivery delivery) {
  delivery.userInfo = nullptr;
  _entries.at(index).deliveries.push_back(std::move(delivery));
}

void PreviewPage::markExpired(std::size_t index) {
  _entries.at(index).expired = true;
}

std::string PreviewPage::html() const {
  std::string html = kHead;
  html += "<p>" + std::to_string(_entries.size()) + " requests</p>\n";
  for (const Entry& entry : _entries) {
    html += "<section class=\"request\">\n<h2>request <code>" + escapeHTML(entry.identifier) +
            "</code></h2>\n";
    if (entry.deliveries.empty()) {
      html += "<p class=\"timing\">nothing delivered";
      if (entry.expired) html += " <span class=\"expired\">expired</span>";
      html += "</p>\n</section>\n";
      continue;
    }
    const Delivery& shown = entry.deliveries.front();
    html += notification(shown) + timing(shown, entry.expired) + notes(shown) +
            laterDeliveries(entry.deliveries) + "</section>\n";
  }
  return html + "</body>\n</html>\n";
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

std::string fileURLForPath(const std::string& path) {
  static const NSCharacterSet kUnreservedAndSlash(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/");
  return "file://" + percentEncodedBytes(path, kUnreservedAndSlash);
}

}  // namespace corvanta
