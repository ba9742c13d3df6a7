// One call of a request's content handler, as the host reports it: a snapshot taken at the
// moment of the call, so later changes to the delivered content do not show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/foundation/NSDictionary.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/user_notifications/UNNotificationContent.h"

namespace corvanta {

struct DeliveredAttachment {
  std::string identifier;
  std::optional<std::string> url;  // what it was made from; nullopt when it had no URL
  std::string file;                // the store's copy
  std::string type;
  std::string kind;
  std::uint64_t size = 0;
};

struct Delivery {
  std::string request;
  std::size_t sequence = 0;  // which request: numbered from 0 in the order the host took them
  int number = 1;  // counts the request's deliveries from 1
  // A device shows it: the first delivery of a request it shows (see notShown); never a
  // later one, which a device ignores.
  bool displayed = true;
  bool extension = true;  // whether the extension ran for the request
  bool expired = false;   // whether the host had called the expiry before this delivery
  double elapsedMs = 0;   // since the receive call, rounded to a tenth
  std::vector<std::string> notes;
  std::vector<Diagnostic> diagnostics;      // each also stands in `notes` as a short line
  std::shared_ptr<const PushDetails> push;  // how the push came, when it came over the endpoint

  std::string title, subtitle, body;
  std::optional<long long> badge;
  std::optional<std::string> sound;
  std::string category, thread;
  std::optional<std::string> interruptionLevel;
  std::shared_ptr<const NSDictionary> userInfo;  // may be dropped once formatted
  std::vector<DeliveredAttachment> attachments;
  std::optional<double> criticalSoundVolume;  // set for a critical sound

  // For a first delivery a device does not show, why, in a few words fit for grouping:
  // "background", "nothing to show", "voip push", "refused: PayloadTooLarge". Empty when a
  // device shows it, and for later deliveries.
  std::string notShown;
  std::optional<PushServiceRefusal> refusal;  // the push service refused the push
  std::optional<DownloadRecord> download;     // what the request's download fetched so far

  // Copies `content`'s fields, and appends its attachments' notes to `notes`.
  void takeContent(const UNNotificationContent& content);
};

}  // namespace corvanta
