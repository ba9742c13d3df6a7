// A media file made known to the platform under an identifier. Immutable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/NSDictionary.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"

namespace corvanta {

// UNErrorDomain codes for refused attachments.
enum UNErrorCode : long {
  UNErrorCodeAttachmentInvalidURL = 100,               // no URL, or not a file URL
  UNErrorCodeAttachmentUnrecognizedType = 101,         // a type not accepted, or no media name
  UNErrorCodeAttachmentInvalidFileSize = 102,          // empty, or over its kind's limit
  UNErrorCodeAttachmentNotReachable = 103,             // no such file, or not a regular file
  UNErrorCodeAttachmentTypeMismatch = 104,             // the name's extension names another kind
  UNErrorCodeAttachmentMoveIntoDataStoreFailed = 105,  // the store could not take a copy
};

enum class UNNotificationAttachmentKind { image, audio, movie };
const char* nameOfKind(UNNotificationAttachmentKind kind);

class UNNotificationAttachment {
 public:
  struct Description {
    std::string identifier;
    std::shared_ptr<NSURL> URL;  // what the attachment was made from
    std::string file;            // the store's own copy
    std::string type;            // MIME type, read from the content
    UNNotificationAttachmentKind kind = UNNotificationAttachmentKind::image;
    std::uint64_t size = 0;
  };
  explicit UNNotificationAttachment(Description description)
      : _description(std::move(description)) {}

  // An attachment made from the file at `URL`, through the current AttachmentStore backend;
  // see AttachmentStore.h for what it accepts. Gives nullptr when the file is refused, and
  // then stores the reason in `*error` when `error` is not nullptr. `options` may be
  // nullptr; no option changes anything yet.
  static std::shared_ptr<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const std::shared_ptr<NSURL>& URL,
      const std::shared_ptr<NSDictionary>& options, NSErrorOut error);

  const std::string& identifier() const { return _description.identifier; }
  const std::shared_ptr<NSURL>& URL() const { return _description.URL; }
  const std::string& file() const { return _description.file; }
  const std::string& type() const { return _description.type; }
  UNNotificationAttachmentKind kind() const { return _description.kind; }
  std::uint64_t size() const { return _description.size; }

 private:
  Description _description;
};

}  // namespace corvanta
