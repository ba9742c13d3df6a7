// What a server of ours needs to know of an address it was asked to listen on.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Handle.h"
#include "platform/foundation/Result.h"

namespace corvanta {

using AddressInfo = std::unique_ptr<addrinfo, FreeWith<freeaddrinfo>>;

// Whether `address` reaches this machine only: 127.0.0.0/8, ::1, or ::ffff:127.x.y.z. A server
// listens elsewhere only when its user lets other machines in.
inline bool isLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// The first address `host`:`port` resolves to, for a server that will `doing` it ("listen
// on"). Fails with EINVAL, naming the address, when it does not resolve, or when it is not
// loopback and `allowRemote` is false: then the message says that --allow-remote lets other
// machines `othersWould` ("send pushes").
inline Result<AddressInfo> listenAddress(const std::string& host, int port, bool allowRemote,
                                         std::string_view doing, std::string_view othersWould) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const std::string named = host + ":" + service;
  if (const int failure = getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
    return Failure{"cannot " + std::string(doing) + " " + named + ": " + gai_strerror(failure),
                   EINVAL};
  }
  AddressInfo addresses(found);
  if (!allowRemote && !isLoopback(found->ai_addr)) {
    return Failure{"will not " + std::string(doing) + " " + named +
                       ": not a loopback address; --allow-remote lets other machines " +
                       std::string(othersWould),
                   EINVAL};
  }
  return addresses;
}

}  // namespace corvanta
