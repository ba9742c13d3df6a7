// The live device page and the API that tests ask, over HTTP/1.1 on one port (--ui):
//
//   GET /                         the page: the cards of what the store holds, newest first
//   GET /cards                    only the cards, as the page's script reloads them
//   GET /live.js                  the page's script, compiled into the binary
//   GET /api/requests             the requests' stories as JSON, newest first
//   GET /api/requests/{id}        one story; {id} is the store's number or the request's
//                                 identifier (a push's apns-id)
//   GET /api/requests/{id}/attachment  its first delivery's attachment, with its type
//   GET /api/refused              the pushes the endpoint refused, newest first
//   DELETE /api/requests          forgets every request and refusal, once the writes queued
//                                 before it have committed
//   GET /api/events               server-sent events, one per change the store commits
//
// Filters, as query parameters of /, /cards, /api/requests and /api/refused: device (a
// token), outcome (attached, without attachment, not shown, refused, pending), since
// (milliseconds since the epoch), limit (1 to 1000; 100 by default). "refused" gives the
// requests the push service would refuse and, on the page and in /api/refused, the pushes the
// endpoint refused; any other outcome leaves those out. A bad filter, an unknown
// request or route, a method a route does not take: 400, 404 or 405 with {"error": "..."}.
// Every answer forbids any script but the host's own (Content-Security-Policy) and sniffing.
//
// Threads: a fixed pool of its own, never the host's; a request waits for a free thread. At
// most Settings::eventStreams event streams are open at once (each holds a thread; more get
// 503), so other requests always have threads. An event stream never holds up the store: see
// LiveEvents. Media are read from the file the store names for the request, never from a path
// a client gives.
//
// The store and the events must outlive the server; stop() (or destruction) ends their
// streams, closes the port and joins the threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/extension_host/output/LiveEvents.h"
#include "platform/extension_host/store/Store.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class LiveServer {
 public:
  struct Settings {
    std::string host = "127.0.0.1";
    int port = 0;              // 0: any free port
    bool allowRemote = false;  // else only a loopback address may be listened on
    std::size_t eventStreams = 8;
    std::size_t workers = 6;      // threads for everything but event streams
    std::size_t pageCards = 200;  // the newest requests and refusals the page shows
  };

  // HTML of the records given, newest first: the whole page, or what its <main id="cards">
  // holds. Called on the server's threads, at once from several.
  using Render = std::function<std::string(std::vector<RequestStory>, std::vector<StoredRefusal>)>;
  struct Views {
    Render page, cards;
  };

  // Listens and starts serving. Fails with EINVAL (a usage error) for an address that cannot
  // be resolved or is not loopback without allowRemote, and with the errno for one that
  // cannot be bound.
  static Result<std::unique_ptr<LiveServer>> open(Settings settings, Store& store,
                                                  LiveEvents& events, Views views);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  // "HOST:PORT" as bound, an IPv6 host in brackets.
  const std::string& address() const { return _address; }

  // Idempotent; waits up to the keep-alive time (a second) for idle connections to go.
  void stop();

  struct Impl;
  LiveServer(std::unique_ptr<Impl> impl, std::string address);  // through open()

 private:
  std::unique_ptr<Impl> _impl;
  std::string _address;
  std::thread _thread;  // last: runs once the rest exists
};

}  // namespace corvanta
