#include "platform/extension_host/output/DeliveryFormat.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

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

// Appends `text` as a JSON string. Plain printable ASCII, by far the most common, is copied
// as it is; anything else goes through the JSON library's escaping.
void appendString(std::string& out, std::string_view text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  });
  if (!plain) {
    out += quoted(std::string(text));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

// Appends `"key":` after a comma unless it opens the object.
void appendKey(std::string& out, const char* key) {
  if (out.back() != '{') out += ',';
  out += '"';
  out += key;
  out += "\":";
}

void appendOptional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    appendString(out, *text);
  } else {
    out += "null";
  }
}

}  // namespace

// Written by hand rather than through a JSON tree: this runs once per delivery, and the tree
// would copy the whole payload only to print it.
std::string formatDeliveryAsJSON(const Delivery& delivery) {
  std::string line;
  line.reserve(512);
  line += '{';
  appendKey(line, "request");
  appendString(line, delivery.request);
  if (const auto& push = delivery.push) {
    appendKey(line, "device");
    appendString(line, push->device);
    appendKey(line, "push");
    line += '{';
    appendKey(line, "type");
    appendString(line, push->type);
    appendKey(line, "priority");
    line += std::to_string(push->priority);
    appendKey(line, "topic");
    appendString(line, push->topic);
    appendKey(line, "collapse_id");
    appendOptional(line, push->collapseId);
    line += '}';
  }
  appendKey(line, "delivery");
  line += std::to_string(delivery.number);
  appendKey(line, "displayed");
  line += delivery.displayed ? "true" : "false";
  appendKey(line, "extension");
  line += delivery.extension ? "true" : "false";
  appendKey(line, "expired");
  line += delivery.expired ? "true" : "false";
  appendKey(line, "elapsed_ms");
  line += nlohmann::json(delivery.elapsedMs).dump();
  appendKey(line, "notes");
  line += '[';
  for (const auto& note : delivery.notes) {
    if (line.back() != '[') line += ',';
    appendString(line, note);
  }
  line += ']';
  appendKey(line, "diagnostics");
  line += '[';
  for (const auto& diagnostic : delivery.diagnostics) {
    if (line.back() != '[') line += ',';
    line += '{';
    appendKey(line, "stage");
    appendString(line, diagnostic.stage);
    appendKey(line, "code");
    line += std::to_string(diagnostic.code);
    appendKey(line, "domain");
    appendString(line, diagnostic.domain);
    appendKey(line, "message");
    appendString(line, diagnostic.message);
    line += '}';
  }
  line += ']';
  appendKey(line, "content");
  line += '{';
  appendKey(line, "title");
  appendString(line, delivery.title);
  appendKey(line, "subtitle");
  appendString(line, delivery.subtitle);
  appendKey(line, "body");
  appendString(line, delivery.body);
  appendKey(line, "badge");
  line += delivery.badge ? std::to_string(*delivery.badge) : "null";
  appendKey(line, "sound");
  appendOptional(line, delivery.sound);
  appendKey(line, "category");
  appendString(line, delivery.category);
  appendKey(line, "thread");
  appendString(line, delivery.thread);
  appendKey(line, "interruption_level");
  appendOptional(line, delivery.interruptionLevel);
  appendKey(line, "userInfo");
  line += delivery.userInfo
              ? delivery.userInfo->storage().value.dump(-1, ' ', false, kReplaceInvalidUTF8)
              : "{}";
  appendKey(line, "attachments");
  line += '[';
  for (const auto& attachment : delivery.attachments) {
    if (line.back() != '[') line += ',';
    line += attachmentAsJSON(attachment).dump(-1, ' ', false, kReplaceInvalidUTF8);
  }
  line += ']';
  appendKey(line, "critical_sound");
  line += delivery.criticalSoundVolume
              ? "{\"volume\":" + nlohmann::json(*delivery.criticalSoundVolume).dump() + "}"
              : "null";
  line += '}';
  appendKey(line, "not_shown");
  line += delivery.notShown.empty() ? "null" : quoted(delivery.notShown);
  if (const auto& refusal = delivery.refusal) {
    appendKey(line, "refusal");
    line += '{';
    appendKey(line, "status");
    line += std::to_string(refusal->status);
    appendKey(line, "reason");
    appendString(line, refusal->reason);
    appendKey(line, "fault");
    appendString(line, refusal->fault);
    line += '}';
  }
  appendKey(line, "download");
  if (const auto& download = delivery.download) {
    line += '{';
    appendKey(line, "url");
    appendString(line, download->url);
    appendKey(line, "redirects");
    line += '[';
    for (const auto& hop : download->redirects) {
      if (line.back() != '[') line += ',';
      appendString(line, hop);
    }
    line += ']';
    appendKey(line, "plain_http");
    line += download->plainHTTP ? "true" : "false";
    line += '}';
  } else {
    line += "null";
  }
  line += '}';
  return line;
}

namespace {

using JSON = nlohmann::json;

std::optional<std::string> optionalString(const JSON& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<std::string>();
}

PushDetails pushFromJSON(const JSON& line) {
  const JSON& push = line.at("push");
  return {line.at("device").get<std::string>(), push.at("type").get<std::string>(),
          push.at("priority").get<int>(), push.at("topic").get<std::string>(),
          optionalString(push.at("collapse_id"))};
}

DeliveredAttachment attachmentFromJSON(const JSON& object) {
  return {object.at("identifier").get<std::string>(), optionalString(object.at("url")),
          object.at("file").get<std::string>(),       object.at("type").get<std::string>(),
          object.at("kind").get<std::string>(),       object.at("size").get<std::uint64_t>()};
}

void takeContentFromJSON(const JSON& content, Delivery& delivery) {
  delivery.title = content.at("title").get<std::string>();
  delivery.subtitle = content.at("subtitle").get<std::string>();
  delivery.body = content.at("body").get<std::string>();
  if (const JSON& badge = content.at("badge"); !badge.is_null()) {
    delivery.badge = badge.get<long long>();
  }
  delivery.sound = optionalString(content.at("sound"));
  delivery.category = content.at("category").get<std::string>();
  delivery.thread = content.at("thread").get<std::string>();
  delivery.interruptionLevel = optionalString(content.at("interruption_level"));
  const JSON& userInfo = content.at("userInfo");
  userInfo.get_ref<const JSON::object_t&>();  // throws unless it is an object
  delivery.userInfo = dictionaryWithJSON(userInfo);
  for (const auto& attachment : content.at("attachments")) {
    delivery.attachments.push_back(attachmentFromJSON(attachment));
  }
  if (const JSON& critical = content.at("critical_sound"); !critical.is_null()) {
    delivery.criticalSoundVolume = critical.at("volume").get<double>();
  }
}

Delivery deliveryFromObject(const JSON& line) {
  Delivery delivery;
  delivery.request = line.at("request").get<std::string>();
  if (line.contains("push")) {
    delivery.push = std::make_shared<const PushDetails>(pushFromJSON(line));
  }
  delivery.number = line.at("delivery").get<int>();
  delivery.displayed = line.at("displayed").get<bool>();
  delivery.extension = line.at("extension").get<bool>();
  delivery.expired = line.at("expired").get<bool>();
  delivery.elapsedMs = line.at("elapsed_ms").get<double>();
  delivery.notes = line.at("notes").get<std::vector<std::string>>();
  for (const auto& d : line.at("diagnostics")) {
    delivery.diagnostics.push_back({d.at("stage").get<std::string>(), d.at("code").get<long>(),
                                    d.at("domain").get<std::string>(),
                                    d.at("message").get<std::string>()});
  }
  takeContentFromJSON(line.at("content"), delivery);
  delivery.notShown = optionalString(line.at("not_shown")).value_or("");
  if (const auto refusal = line.find("refusal"); refusal != line.end()) {
    delivery.refusal = PushServiceRefusal{refusal->at("status").get<int>(),
                                          refusal->at("reason").get<std::string>(),
                                          refusal->at("fault").get<std::string>()};
  }
  if (const JSON& download = line.at("download"); !download.is_null()) {
    delivery.download = DownloadRecord{download.at("url").get<std::string>(),
                                       download.at("redirects").get<std::vector<std::string>>(),
                                       download.at("plain_http").get<bool>()};
  }
  return delivery;
}

}  // namespace

Result<Delivery> deliveryFromJSON(std::string_view json) {
  try {
    const JSON line = JSON::parse(json);
    if (!line.is_object()) return Failure{"a delivery is a JSON object"};
    return deliveryFromObject(line);
  } catch (const JSON::exception& error) {
    return Failure{"not a delivery: " + parserMessage(error)};
  }
}

std::string formatDeliveryAsText(const Delivery& delivery) {
  std::string line = "[" + escaped(delivery.request) + "] delivery " +
                     std::to_string(delivery.number) +
                     (delivery.displayed          ? " (displayed"
                      : delivery.notShown.empty() ? " (not displayed"
                                                  : " (not shown: " + escaped(delivery.notShown)) +
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
  if (const auto& push = delivery.push) {
    // The token's ends are enough to tell devices apart on a line.
    const std::string& device = push->device;
    line += "; ";
    // A file's envelope may name no device.
    if (!device.empty()) {
      line += "device " + escaped(shortDeviceToken(device)) + ", ";
    }
    line += escaped(push->type) + " push, priority " + std::to_string(push->priority);
    if (!push->topic.empty()) line += ", topic " + escaped(push->topic);
    if (push->collapseId) line += ", collapse-id " + escaped(*push->collapseId);
  }
  for (const auto& note : delivery.notes) line += "; note: " + escaped(note);
  return line;
}

std::string shortDeviceToken(const std::string& device) {
  const bool hex = std::all_of(device.begin(), device.end(),
                               [](unsigned char c) { return std::isxdigit(c) != 0; });
  if (!hex || device.size() <= 12) return device;
  return device.substr(0, 6) + "…" + device.substr(device.size() - 6);
}

std::string formatDelivery(const Delivery& delivery, DeliveryFormat format) {
  return format == DeliveryFormat::json ? formatDeliveryAsJSON(delivery)
                                        : formatDeliveryAsText(delivery);
}

}  // namespace corvanta
