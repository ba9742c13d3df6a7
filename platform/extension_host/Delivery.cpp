#include "platform/extension_host/Delivery.h"

#include <cstdio>

#include "platform/foundation/JSONValue.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

using OrderedJSON = nlohmann::ordered_json;

// Payload text is valid UTF-8 (the parser checks), but file paths need not be.
constexpr auto kReplaceInvalidUTF8 = nlohmann::json::error_handler_t::replace;

OrderedJSON attachmentAsJSON(const DeliveredAttachment& attachment) {
  OrderedJSON object;
  object["identifier"] = attachment.identifier;
  object["url"] = attachment.url ? OrderedJSON(*attachment.url) : OrderedJSON(nullptr);
  object["file"] = attachment.file;
  object["type"] = attachment.type;
  object["kind"] = attachment.kind;
  object["size"] = attachment.size;
  return object;
}

std::string quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, kReplaceInvalidUTF8);
}

// Escaped like `quoted`, without the quotes: identifiers, file names and notes may hold
// any character, a newline included.
std::string escaped(const std::string& text) {
  const std::string json = quoted(text);
  return json.substr(1, json.size() - 2);
}

std::string formatMilliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms);
  return text;
}

}  // namespace

void Delivery::takeContent(const UNNotificationContent& content) {
  title = content.title();
  subtitle = content.subtitle();
  body = content.body();
  badge = content.badge();
  sound = content.sound();
  category = content.categoryIdentifier();
  thread = content.threadIdentifier();
  interruptionLevel = content.interruptionLevel();
  userInfo = content.userInfo();
  for (const auto& attachment : content.attachments()) {
    if (!attachment) continue;
    attachments.push_back(DeliveredAttachment{
        attachment->identifier(),
        attachment->URL() ? std::optional(attachment->URL()->absoluteString()) : std::nullopt,
        attachment->file(), attachment->type(), nameOfKind(attachment->kind()),
        attachment->size()});
    notes.insert(notes.end(), attachment->notes().begin(), attachment->notes().end());
  }
}

std::string formatDeliveryAsJSON(const Delivery& delivery) {
  OrderedJSON content;
  content["title"] = delivery.title;
  content["subtitle"] = delivery.subtitle;
  content["body"] = delivery.body;
  content["badge"] = delivery.badge ? OrderedJSON(*delivery.badge) : OrderedJSON(nullptr);
  content["sound"] = delivery.sound ? OrderedJSON(*delivery.sound) : OrderedJSON(nullptr);
  content["category"] = delivery.category;
  content["thread"] = delivery.thread;
  content["interruption_level"] =
      delivery.interruptionLevel ? OrderedJSON(*delivery.interruptionLevel) : OrderedJSON(nullptr);
  content["userInfo"] =
      delivery.userInfo ? OrderedJSON(delivery.userInfo->storage().value) : OrderedJSON::object();
  content["attachments"] = OrderedJSON::array();
  for (const auto& attachment : delivery.attachments) {
    content["attachments"].push_back(attachmentAsJSON(attachment));
  }

  OrderedJSON line;
  line["request"] = delivery.request;
  line["delivery"] = delivery.number;
  line["displayed"] = delivery.displayed;
  line["extension"] = delivery.extension;
  line["expired"] = delivery.expired;
  line["elapsed_ms"] = delivery.elapsedMs;
  line["notes"] = delivery.notes;
  line["content"] = std::move(content);
  return line.dump(-1, ' ', false, kReplaceInvalidUTF8);
}

std::string formatDeliveryAsText(const Delivery& delivery) {
  std::string line = "[" + escaped(delivery.request) + "] delivery " +
                     std::to_string(delivery.number) +
                     (delivery.displayed ? " (displayed" : " (not displayed") +
                     (delivery.expired ? ", after expiry) " : ") ") +
                     formatMilliseconds(delivery.elapsedMs) + " ms";
  if (delivery.interruptionLevel) line += " [" + escaped(*delivery.interruptionLevel) + "]";
  line += ": " + quoted(delivery.title);
  if (!delivery.subtitle.empty()) line += " / " + quoted(delivery.subtitle);
  line += " — " + quoted(delivery.body);
  for (const auto& attachment : delivery.attachments) {
    line += " + " + escaped(attachment.type) + " " + escaped(lastPathComponent(attachment.file)) +
            " (" + std::to_string(attachment.size) + " bytes)";
  }
  for (const auto& note : delivery.notes) line += "; note: " + escaped(note);
  return line;
}

}  // namespace corvanta
