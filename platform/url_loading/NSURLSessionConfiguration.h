// The settings a URL session loads with. A plain value; copy it freely.
#pragma once

#include <memory>

namespace corvanta {

class NSURLSessionConfiguration {
 public:
  // Request timeout 60 s, resource timeout 604,800 s (one week), up to 20 redirects, 8
  // connections per host.
  static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration() {
    return std::make_shared<NSURLSessionConfiguration>();
  }

  // A transfer that receives nothing for this many seconds fails.
  double timeoutIntervalForRequest = 60;
  // A transfer that has not finished after this many seconds fails.
  double timeoutIntervalForResource = 604'800;
  // Redirects followed before the transfer fails.
  int HTTPMaximumRedirects = 20;
  // Connections open at once to one host (name and port); transfers beyond them wait for
  // one, and fail only by their own timeouts. Every session shares the process's one
  // connection pool, which has one cap per host: while tasks of sessions with different
  // values are loading, the smallest of their values applies to every host. Below 1 counts
  // as 1. An HTTP/2 connection carries many transfers at once, so this limits connections,
  // not transfers.
  int HTTPMaximumConnectionsPerHost = 8;
};

}  // namespace corvanta
