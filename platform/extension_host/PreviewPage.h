// The HTML preview: one self-contained page showing, for each request, the notification a
// device would display (its first delivery: title, subtitle, body, and the image or a
// playable video or audio element), its timing, whether it expired, and the deliveries a
// device would ignore. Media are referenced by file URLs of the attachment store's copies.
// All text is escaped: payload text is untrusted. Not thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/extension_host/Delivery.h"

namespace corvanta {

class PreviewPage {
 public:
  // Starts the entry of a received request; gives its index for the calls below.
  std::size_t addRequest(std::string identifier);
  // Adds a delivery to the entry; its userInfo is not kept.
  void addDelivery(std::size_t index, Delivery delivery);
  // Marks the entry's request as one whose expiry the host called.
  void markExpired(std::size_t index);

  std::string html() const;

 private:
  struct Entry {
    std::string identifier;
    bool expired = false;
    std::vector<Delivery> deliveries;
  };
  std::vector<Entry> _entries;
};

// `text` with & < > " ' written as character references: safe in element content and in
// quoted attribute values.
std::string escapeHTML(const std::string& text);

// "file://" followed by `path` with every byte outside the unreserved set and '/'
// percent-encoded.
std::string fileURLForPath(const std::string& path);

}  // namespace corvanta
