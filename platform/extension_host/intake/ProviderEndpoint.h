// The provider endpoint: takes pushes over HTTP/2 the way a push service takes them from a
// provider's backend, judges each (ProviderRequest.h), offers the accepted ones to the host
// and answers each stream: 200 with its apns-id when the host took the push (and, with
// Settings::keep, once it is kept; not when it was displayed), 429 TooManyRequests when the host is
// full, 503 ServiceUnavailable while its output is behind, 503 Shutdown once it has stopped taking
// requests, or the refusal's status and {"reason": ...}. A HEAD request's answer has no body.
//
// HTTP/2 only, as the service: over TLS 1.2 or later a client must offer ALPN "h2" or the
// handshake fails; with `cleartext`, HTTP/2 with prior knowledge. Framing and HPACK are
// libnghttp2's, TLS is OpenSSL's, the event loop libevent's.
//
// Threads: open() on any thread; run() on one thread, which is the thread that calls
// `offer` (the host's thread in this mode); stop() from any thread, also before run(). The
// loop never waits: not on a client, not on the host, not on output (`offer` says when the
// host cannot take a push, and the client is told 429 or 503). A provider token the policy
// says is not cheap to judge (tokenIsCheap) is judged on a thread of the endpoint's own, and
// its stream answered once it has been, so that pushes with known tokens do not wait.
//
// Hostile and broken clients are held by Limits, each a setting so that tests can make them
// small:
//  - time: a connection that has not finished its TLS handshake and sent its first frame
//    within `handshake` is closed; one with no open stream and no frame for `idle` is sent
//    GOAWAY and closed (a PING answered counts as a frame: it keeps a connection); a stream
//    not ended within `stream` is reset; a connection told to go that does not within
//    kClosingGrace is closed.
//  - connections: at most `connections`; a new one beyond makes room by closing the one idle
//    longest (one still in its handshake first), so that the listen queue never fills.
//  - memory: what a connection holds (its session's state, the headers and bodies of its
//    open streams, its unsent answers) counts against `connectionBytes`, and all of them
//    together against `totalBytes`. A stream opened past the connection's budget is
//    refused (REFUSED_STREAM); past the total, the connection holding most is closed to make
//    room (or, when that is the one opening it, the stream is refused). The session's own
//    allocations fail past 5/4 of `totalBytes`, which closes that connection. The
//    concurrent-streams limit advertised is what fits `connectionBytes`. A client that does
//    not read is not read from once `unsentBytes` wait for it.
//  - provider tokens: a connection that sends `invalidTokens` invalid ones is sent GOAWAY
//    and closed, as the push service closes one; its tokens still waiting to be checked are
//    not.
//  - turns: a connection has a few streams answered per turn of the loop; what it sent
//    beyond waits for later turns, which come after whatever else has arrived.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/extension_host/intake/ProviderRequest.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class ProviderEndpoint {
 public:
  struct Limits {
    std::size_t connections = 1000;
    std::chrono::milliseconds handshake{5000};
    std::chrono::milliseconds idle{60000};
    std::chrono::milliseconds stream{10000};
    std::size_t connectionBytes = 4 << 20;
    std::size_t totalBytes = 128 << 20;
    std::size_t unsentBytes = 64 << 10;
    unsigned invalidTokens = 3;
  };
  // How long a connection sent its last GOAWAY has to read it and go.
  static constexpr std::chrono::milliseconds kClosingGrace{1000};

  struct Settings {
    std::string host = "127.0.0.1";        // a numeric address or a name such as "localhost"
    int port = 0;                          // 0: any free port (see port())
    bool allowRemote = false;              // else only a loopback address may be listened on
    bool cleartext = false;                // HTTP/2 with prior knowledge instead of TLS
    std::string certificateFile, keyFile;  // PEM; for TLS
    ProviderPolicy policy;
    // When set, a push the host took is answered 200 only once `keep` has called back with
    // kept true, from any thread: the push is in the store, on disk; with false, 500
    // InternalServerError. Unset, it is answered 200 as soon as the host takes it.
    std::function<void(std::function<void(bool kept)>)> keep;
    // After stop(), how long open streams may take to end before their connections close.
    std::chrono::milliseconds drainLimit{5000};
    Limits limits;
  };

  // Hands an accepted push to the host; must not wait for room.
  using Offer = std::function<Admission(IncomingRequest request)>;
  // Tells of each push answered with anything but 200 (a rule it broke, or 429 and 503 when
  // the host could not take it), after its answer is queued; must not block.
  using Refused = std::function<void(RefusedPush push)>;

  // Listens on the address (nothing is served before run()). Fails, saying which, on an
  // address that cannot be resolved, is not loopback without allowRemote, or is in use; a
  // certificate or key that cannot be loaded or do not match. The failure's code is the
  // errno of a system call that failed, or EINVAL when a setting was wrong (an address, a
  // certificate or a key that cannot be used).
  static Result<std::unique_ptr<ProviderEndpoint>> open(Settings settings, Offer offer,
                                                        Refused refused = nullptr);
  ~ProviderEndpoint();
  ProviderEndpoint(const ProviderEndpoint&) = delete;
  ProviderEndpoint& operator=(const ProviderEndpoint&) = delete;

  // The address listened on, as "host:port" ("[::1]:port" for IPv6).
  std::string address() const;
  int port() const;

  // Serves until stop(); then stops accepting, tells each client no new streams will be
  // taken (GOAWAY), answers the streams already open, and returns once every connection has
  // closed, or drainLimit after stop() at the latest.
  void run();

  // Makes run() end as described; any thread, any number of times.
  void stop();

  struct Counts {
    std::size_t connections = 0;  // accepted so far
    std::size_t answered = 0;     // streams answered
    std::size_t accepted = 0;     // pushes the host took
    std::size_t open = 0;         // connections open now
    std::size_t heldBytes = 0;    // what the open connections hold, as Limits counts it
  };
  Counts counts() const;

  struct Loop;
  explicit ProviderEndpoint(std::unique_ptr<Loop> loop);  // through open()

 private:
  std::unique_ptr<Loop> _loop;
};

}  // namespace corvanta
