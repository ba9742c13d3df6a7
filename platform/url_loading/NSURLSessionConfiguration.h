// The settings a URL session loads with. A plain value; copy it freely.
#pragma once

#include <memory>

namespace corvanta {

class NSURLSessionConfiguration {
 public:
  // Request timeout 60 s, resource timeout 604,800 s (one week), up to 20 redirects.
  static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration() {
    return std::make_shared<NSURLSessionConfiguration>();
  }

  // A transfer that receives nothing for this many seconds fails.
  double timeoutIntervalForRequest = 60;
  // A transfer that has not finished after this many seconds fails.
  double timeoutIntervalForResource = 604'800;
  // Redirects followed before the transfer fails.
  int HTTPMaximumRedirects = 20;
};

}  // namespace corvanta
