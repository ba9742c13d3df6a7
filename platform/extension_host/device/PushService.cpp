#include "platform/extension_host/device/PushService.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "platform/foundation/ASCII.h"

namespace corvanta {
namespace {

constexpr std::size_t kLargestPayload = 4096;
constexpr std::size_t kLargestVoIPPayload = 5120;
constexpr std::size_t kLongestValueShown = 60;

struct PushType {
  std::string_view name;
  std::string_view topicSuffix;
};
constexpr std::array<PushType, 11> kPushTypes = {{
    {"alert", ""},
    {"background", ""},
    {"location", ".location-query"},
    {"voip", ".voip"},
    {"complication", ".complication"},
    {"fileprovider", ".pushkit.fileprovider"},
    {"mdm", ""},
    {"liveactivity", ".push-type.liveactivity"},
    {"pushtotalk", ".voip-ptt"},
    {"widgets", ".push-type.widgets"},
    {"controls", ".push-type.controls"},
}};

PushServiceRefusal refusal(int status, const char* reason, std::string_view field,
                           const std::string& what) {
  return {status, reason, std::string(field) + ": " + what};
}

}  // namespace

std::optional<std::string_view> topicSuffixOf(std::string_view pushType) {
  const auto found = std::find_if(kPushTypes.begin(), kPushTypes.end(),
                                  [&](const PushType& type) { return type.name == pushType; });
  if (found == kPushTypes.end()) return std::nullopt;
  return found->topicSuffix;
}

std::optional<PushServiceRefusal> pushTypeRefusal(std::string_view field, std::string_view value) {
  if (topicSuffixOf(value)) return std::nullopt;
  return refusal(400, "InvalidPushType", field, quotedForFault(value) + " is not a push type");
}

int priorityOf(const std::string* value, std::string_view pushType) {
  if (value) return *value == "10" ? 10 : *value == "5" ? 5 : 1;
  return pushType == "background" ? 5 : 10;
}

std::optional<PushServiceRefusal> priorityRefusal(std::string_view field, std::string_view value,
                                                  std::string_view pushType) {
  if (value != "10" && value != "5" && value != "1") {
    return refusal(400, "BadPriority", field, quotedForFault(value) + " is not 10, 5 or 1");
  }
  if (pushType == "background" && value == "10") {
    return refusal(400, "BadPriority", field, "10 is not allowed for a background push");
  }
  return std::nullopt;
}

std::optional<PushServiceRefusal> expirationRefusal(std::string_view field,
                                                    std::string_view value) {
  std::int64_t seconds = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, seconds);
  // from_chars takes a leading '-'; a deadline before the epoch is refused all the same.
  if (!value.empty() && std::isdigit(static_cast<unsigned char>(value.front())) &&
      error == std::errc() && stop == end) {
    return std::nullopt;
  }
  return refusal(400, "BadExpirationDate", field,
                 quotedForFault(value) + " is not a number of seconds since the epoch");
}

std::optional<PushServiceRefusal> collapseIdRefusal(std::string_view field,
                                                    std::string_view value) {
  if (value.size() <= kLongestCollapseId) return std::nullopt;
  return refusal(
      400, "BadCollapseId", field,
      std::to_string(value.size()) + " bytes, over " + std::to_string(kLongestCollapseId));
}

bool isDeviceToken(std::string_view token) {
  return token.size() % 2 == 0 && token.size() >= 64 && token.size() <= 200 &&
         std::all_of(token.begin(), token.end(), [](char c) { return hexDigitValue(c) >= 0; });
}

std::optional<PushServiceRefusal> deviceTokenRefusal(std::string_view field,
                                                     std::string_view value) {
  if (isDeviceToken(value)) return std::nullopt;
  return refusal(400, "BadDeviceToken", field,
                 quotedForFault(value) + " is not hex, an even number of 64 to 200 digits");
}

std::size_t largestPayloadBytes(std::string_view pushType) {
  return pushType == "voip" ? kLargestVoIPPayload : kLargestPayload;
}

std::optional<PushServiceRefusal> payloadSizeRefusal(std::string_view pushType, std::size_t bytes,
                                                     bool more) {
  const std::size_t largest = largestPayloadBytes(pushType);
  if (bytes <= largest && !more) return std::nullopt;
  const bool vowel =
      !pushType.empty() && std::string_view("aeiou").find(pushType[0]) != std::string_view::npos;
  return refusal(413, "PayloadTooLarge", "payload",
                 (more ? "more than " : "") + std::to_string(bytes) + " bytes, over the " +
                     std::to_string(largest) + (vowel ? " an " : " a ") + std::string(pushType) +
                     " push may carry");
}

std::string quotedForFault(std::string_view value) {
  std::string shown = "\"";
  for (const char c : value.substr(0, kLongestValueShown)) {
    if (c == '"' || c == '\\') {
      shown += '\\';
      shown += c;
    } else if (c >= 0x20 && c < 0x7f) {
      shown += c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
      shown += escape;
    }
  }
  return shown + (value.size() > kLongestValueShown ? "...\"" : "\"");
}

}  // namespace corvanta
