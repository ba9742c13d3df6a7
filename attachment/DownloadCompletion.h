// What runs when an attachment download ends: stage the bytes, make the attachment, deliver.
#pragma once

#include <memory>
#include <string>

#include "platform/url_loading/NSURLSession.h"
#include "platform/user_notifications/UNNotificationRequest.h"

namespace corvanta {

// The attachment identifier every delivered attachment carries.
inline constexpr const char* kAttachmentIdentifier = "Corvanta";

// A fresh mutable copy of the request's content; when `data` could be written to the staging
// file of `attachmentURLString` in the temporary directory, the copy's only attachment is
// the one made from that file. Without data, or when the write fails, no attachment is
// attempted: a file left at that path by an earlier download must not be shown for this
// one. The write and the attachment creation run under the staging file's lock, so another
// download of the same name cannot replace the bytes in between. `attachmentURLString`
// nullptr means the payload named no URL text. Any thread may call it.
std::shared_ptr<UNMutableNotificationContent> contentWithDownloadedAttachment(
    const std::shared_ptr<const std::string>& attachmentURLString,
    const UNNotificationRequest& request, const std::shared_ptr<NSData>& data);

// The completion handed to the download's data task. It holds the attachment URL string,
// the request and the service, in that order (released in reverse), for as long as it
// lives, so a service with a pending download outlives its receive call. Each run delivers
// exactly once, through the service's content handler.
template <class Service>
class DownloadCompletion {
 public:
  DownloadCompletion(std::shared_ptr<const std::string> attachmentURLString,
                     std::shared_ptr<UNNotificationRequest> request,
                     std::shared_ptr<Service> service)
      : _attachmentURLString(std::move(attachmentURLString)),
        _request(std::move(request)),
        _service(std::move(service)) {}

  // The response and the error are not read: a failed download arrives without data.
  void operator()(std::shared_ptr<NSData> data, std::shared_ptr<NSURLResponse> /*response*/,
                  std::shared_ptr<NSError> /*error*/) const {
    auto content = contentWithDownloadedAttachment(_attachmentURLString, *_request, data);
    _service->contentHandler()(std::move(content));
  }

 private:
  std::shared_ptr<const std::string> _attachmentURLString;
  std::shared_ptr<UNNotificationRequest> _request;
  std::shared_ptr<Service> _service;
};

}  // namespace corvanta
