// The settings a URL session loads with. A plain value; copy it freely.
#pragma once

#include <memory>

namespace corvanta {

class NSURLSessionConfiguration {
 public:
  static constexpr int kDefaultMaximumConnectionsPerHost = 8;

  // Request timeout 60 s, resource timeout 604,800 s (one week), up to 20 redirects, and the
  // connections per host that the installed URL loader gives by default: 8, unless the host
  // was given another value for its run (a bulk run against one origin may want more).
  static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration();

  // A transfer that receives nothing for this many seconds fails. It counts from when the
  // transfer starts to connect, not while it waits for a connection behind the caps.
  double timeoutIntervalForRequest = 60;
  // A transfer that has not finished this many seconds after resume() fails, waiting
  // included.
  double timeoutIntervalForResource = 604'800;
  // Redirects followed before the transfer fails.
  int HTTPMaximumRedirects = 20;
  // Connections open at once to one host ("scheme://host:port"); transfers beyond them
  // wait, in order, and fail only by their timeouts. Every session shares the process's one
  // connection pool, and each transfer honours its own session's value: it starts only
  // while fewer than that many transfers of any session are running to its host, so a host
  // never has more connections than the largest value among its running transfers. Below 1
  // counts as 1. Once a host has answered over HTTP/2, up to 100 transfers run to it at
  // once, sharing one connection, whatever this value.
  int HTTPMaximumConnectionsPerHost = kDefaultMaximumConnectionsPerHost;
};

}  // namespace corvanta
