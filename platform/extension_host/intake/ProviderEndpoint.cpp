#include "platform/extension_host/intake/ProviderEndpoint.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/extension_host/intake/OpenSSLHandles.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/SocketAddress.h"
#include "platform/foundation/WakeEvent.h"

namespace corvanta {
namespace {

using EventBase = std::unique_ptr<event_base, FreeWith<event_base_free>>;
using Event = std::unique_ptr<event, FreeWith<event_free>>;
using Listener = std::unique_ptr<evconnlistener, FreeWith<evconnlistener_free>>;
using BufferEvent = std::unique_ptr<bufferevent, FreeWith<bufferevent_free>>;
using Session = std::unique_ptr<nghttp2_session, FreeWith<nghttp2_session_del>>;
using SessionCallbacks =
    std::unique_ptr<nghttp2_session_callbacks, FreeWith<nghttp2_session_callbacks_del>>;

// A connection's turn on the loop ends once it has had this many streams answered: the rest
// of what it sent waits for a later turn. Its input is given to the session a slice at a time
// so that a turn can end within a read. A connection's first turn, which runs among new
// arrivals, answers one stream: a thousand clients arriving at once with thousands of streams
// each then delay a newcomer by one stream each.
constexpr unsigned kStreamsPerTurn = 4;
constexpr unsigned kStreamsInFirstTurn = 1;
constexpr std::size_t kTurnSlice = 1024;
constexpr std::size_t kUnreadInputBytes = 64 << 10;

// The loop's priorities: what arrives (new connections, reads, writes, timers) comes before
// the later turns of connections that sent more than one turn's worth, so that a client that
// sends a little is served however much others have queued; after kLaterTurnsPerPoll later
// turns the loop looks for new arrivals again.
constexpr int kPriorities = 3;
constexpr int kArrivalPriority = 1;
constexpr int kLaterTurnPriority = 2;
// Arrivals are left at libevent's default priority, the middle one.
static_assert(kArrivalPriority == kPriorities / 2 && kLaterTurnPriority > kArrivalPriority);
constexpr int kLaterTurnsPerPoll = 16;

// A base with the priorities above.
event_base* newEventBase() {
  const std::unique_ptr<event_config, FreeWith<event_config_free>> config(event_config_new());
  if (!config) return nullptr;
  event_config_set_max_dispatch_interval(config.get(), nullptr, kLaterTurnsPerPoll,
                                         kLaterTurnPriority);
  event_base* base = event_base_new_with_config(config.get());
  if (base && event_base_priority_init(base, kPriorities) != 0) {
    event_base_free(base);
    return nullptr;
  }
  return base;
}

// How long clients are given, after the first GOAWAY of a stop, to have their streams in
// flight arrive before the final GOAWAY refuses any later ones.
constexpr std::chrono::milliseconds kShutdownNoticeGrace{500};

std::string numericAddress(const sockaddr* address, int* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
    return std::string("[") + text + "]";
  }
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
  inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
  *port = ntohs(v4->sin_port);
  return text;
}

int selectHTTP2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                unsigned int inLength, void*) {
  // HTTP/2 only: a client that does not offer it is refused in the handshake.
  if (nghttp2_select_next_protocol(const_cast<unsigned char**>(out), outLength, in, inLength) !=
      1) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  return SSL_TLSEXT_ERR_OK;
}

Result<TLSContextHandle> makeTLSContext(const std::string& certificate, const std::string& key) {
  TLSContextHandle context(SSL_CTX_new(TLS_server_method()));
  if (!context) return Failure{"cannot set up TLS: " + openSSLError()};
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION |
                                         SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION |
                                         SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) != 1) {
    return Failure{"cannot load the certificate " + certificate + ": " + openSSLError(), EINVAL};
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
    return Failure{"cannot load the key " + key + ": " + openSSLError(), EINVAL};
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    ERR_clear_error();
    return Failure{"the key " + key + " does not match the certificate " + certificate, EINVAL};
  }
  SSL_CTX_set_alpn_select_cb(context.get(), selectHTTP2, nullptr);
  return context;
}

timeval toTimeval(std::chrono::milliseconds ms) {
  return timeval{static_cast<time_t>(ms.count() / 1000),
                 static_cast<suseconds_t>(ms.count() % 1000 * 1000)};
}

// What a client that speaks HTTP/1 to the cleartext endpoint is told before it is closed:
// without this it would see only a closed connection.
std::string http2OnlyAnswer() {
  const std::string body =
      "This endpoint speaks HTTP/2 only, with prior knowledge (--http2-prior-knowledge).\n";
  return "HTTP/1.1 505 HTTP Version Not Supported\r\nContent-Type: text/plain\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

using SteadyClock = std::chrono::steady_clock;

// One request stream, from its first header to its close.
struct Stream {
  ProviderRequest request;
  SteadyClock::time_point opened;
  std::size_t headerBytes = 0;
  std::string answer;  // the answer's body, sent from `sent` on
  std::size_t sent = 0;
  bool answered = false;
  bool reset = false;  // past its time limit

  std::size_t heldBytes() const { return headerBytes + request.body.size() + answer.size(); }
};

// The session's allocations, counted against its connection's budget and the endpoint's;
// past 5/4 of the endpoint's they fail, which ends that session. `data` is the connection.
void* countedMalloc(size_t size, void* data);
void countedFree(void* pointer, void* data);
void* countedCalloc(size_t count, size_t size, void* data);
void* countedRealloc(void* pointer, size_t size, void* data);

}  // namespace

struct ProviderEndpoint::Loop {
  // Owned by `connections` while open, then by `retired` until the end of the loop's turn:
  // a callback that closed its connection may still read it on the way out.
  struct Connection {
    Connection(Loop& owner, BufferEvent made)
        : loop(owner),
          buffer(std::move(made)),
          accepted(SteadyClock::now()),
          lastFrame(accepted),
          memory{this, countedMalloc, countedFree, countedCalloc, countedRealloc} {}

    Loop& loop;
    BufferEvent buffer;
    std::uint64_t serial = 0;  // names it to the token checker, which may outlive it
    SteadyClock::time_point accepted, lastFrame;
    std::unordered_map<std::int32_t, std::unique_ptr<Stream>> streams;
    std::size_t sessionBytes = 0;  // what the session has allocated
    std::size_t streamBytes = 0;   // what `streams` hold
    std::size_t unsentBytes = 0;   // what waits in the output buffer, as last counted
    unsigned invalidTokens = 0;
    unsigned answeredThisTurn = 0;
    bool queued = false;  // its last turn left input for a later one
    bool hadTurn = false;
    bool established = false;  // the first frame has arrived
    bool closeWhenWritten = false;
    bool closed = false;
    std::optional<SteadyClock::time_point> goingSince;  // told to go (GOAWAY or HTTP/1 refusal)
    nghttp2_mem memory{};
    Event laterTurn;  // reads what a turn left of the input
    Session session;  // last: deleted first, while the streams it may name still exist

    std::size_t heldBytes() const { return sessionBytes + streamBytes + unsentBytes; }
  };

  Settings settings;
  Offer offer;
  Refused refused;
  EventBase base{newEventBase()};
  TLSContextHandle tls;
  Listener listener;
  SessionCallbacks callbacks;
  WakeEvent wake;
  Event wakeEvent, noticeTimer, drainTimer, sweepTimer, reapEvent;
  std::string address;
  int port = 0;
  std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;
  std::unordered_map<std::uint64_t, Connection*> bySerial;  // the open ones
  std::uint64_t nextSerial = 1;
  std::vector<std::unique_ptr<Connection>> retired;

  // Tokens that would cost a signature check are judged on a thread of their own, so that
  // other connections' pushes, whose tokens are known, do not wait behind them.
  struct TokenCheck {
    std::uint64_t connection;
    std::int32_t stream;
    std::string jwt, verdict;
  };
  std::mutex checkMutex;
  std::condition_variable checkWake;
  std::deque<TokenCheck> toCheck, checked;  // guarded by checkMutex
  bool checkerStopping = false;             // guarded by checkMutex
  WakeEvent checkedWake;
  Event checkedEvent;
  std::thread checker;  // started by open() when some tokens are not cheap

  // Pushes taken, whose 200 waits for settings.keep to say they are kept. Shared with the
  // callbacks given to keep, which may come after the loop has gone.
  struct Kept {
    std::uint64_t connection;
    std::int32_t stream;
    std::string apnsId;
    bool kept = false;
  };
  struct KeptPushes {
    std::mutex mutex;
    std::vector<Kept> pushes;  // guarded by mutex
    WakeEvent wake;
  };
  const std::shared_ptr<KeptPushes> kept = std::make_shared<KeptPushes>();
  Event keptEvent;
  void answerKept();
  // The stream `streamId` of the connection numbered `serial`, and the connection, when both
  // are still open and the stream unanswered: either may have gone while its answer waited.
  Stream* unanswered(std::uint64_t serial, std::int32_t streamId, Connection** connection);

  ~Loop();
  void checkTokens();  // the checker thread's
  void answerChecked();
  // Forgets the tokens a connection that is going still waits to have checked.
  void dropChecks(const Connection& connection);
  bool stopping = false;       // loop thread only
  std::size_t heldBytes = 0;   // the sum of the connections' heldBytes(); loop thread only
  std::size_t heldAtTrim = 0;  // heldBytes when memory was last given back
  std::atomic<std::size_t> accepted{0}, answered{0}, connectionCount{0}, openCount{0}, heldCount{0};

  Result<> listen();
  void setUpCallbacks();
  void accept(int fd);
  void startSession(Connection& connection);
  void refuseHTTP1(Connection& connection);
  // Starts a cleartext connection's session once its input begins with the HTTP/2 preface;
  // false while it cannot yet tell, or when the client spoke HTTP/1 (answered, then closed).
  bool startCleartextSession(Connection& connection, evbuffer* input);
  // Sends what the session has to send; closes the connection when it is done with.
  void flush(Connection& connection);
  // Ends the connection at once; its memory is freed at the end of the loop's turn.
  void close(Connection& connection);
  // Sends GOAWAY: the connection closes once its streams are answered and the GOAWAY is
  // written, or kClosingGrace from now at the latest.
  void sendOff(Connection& connection, std::uint32_t error, std::string_view why);
  // Whether a new stream fits the connection's budget and the endpoint's. When the
  // endpoint's is spent, the connection holding most pays for it: it is closed.
  bool makeRoom(Connection& connection);
  // Counts a change of `bytes` in what the connection holds.
  void hold(Connection& connection, std::size_t Connection::*part, std::size_t bytes);
  void countUnsent(Connection& connection);
  // Closes what has overstayed a time limit; resets streams that have.
  void sweep();
  // Closes the connection idle longest, to make room for a new one.
  void evictOne();
  void trimWhenFreed();
  void answer(Connection& connection, std::int32_t streamId, Stream& stream);
  // Sends the verdict as the stream's answer.
  void respond(Connection& connection, std::int32_t streamId, Stream& stream,
               ProviderVerdict verdict);
  // Offers the push of an accepted verdict to the host, and turns the verdict into 429 or 503
  // when the host is full or stopped.
  void admit(ProviderVerdict& verdict);
  void beginStop();
  void sendFinalGoaway();
  void exitWhenIdle();
};

namespace {

using Loop = ProviderEndpoint::Loop;
using Connection = Loop::Connection;

Connection& connectionOf(void* data) {
  return *static_cast<Connection*>(data);
}

Stream* streamOf(nghttp2_session* session, std::int32_t streamId) {
  return static_cast<Stream*>(nghttp2_session_get_stream_user_data(session, streamId));
}

// Trailers are HEADERS too, but carry nothing a push needs.
bool isRequestHeaders(const nghttp2_frame* frame) {
  return frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST;
}

int onBeginHeaders(nghttp2_session* session, const nghttp2_frame* frame, void* data) {
  if (!isRequestHeaders(frame)) return 0;
  Connection& connection = connectionOf(data);
  if (!connection.loop.makeRoom(connection)) {
    // No Stream: what else arrives on it is ignored until the reset is seen.
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                              NGHTTP2_REFUSED_STREAM);
    return 0;
  }
  auto stream = std::make_unique<Stream>();
  stream->opened = SteadyClock::now();
  nghttp2_session_set_stream_user_data(session, frame->hd.stream_id, stream.get());
  connection.streams[frame->hd.stream_id] = std::move(stream);
  return 0;
}

int onHeader(nghttp2_session* session, const nghttp2_frame* frame, const uint8_t* name,
             size_t nameLength, const uint8_t* value, size_t valueLength, uint8_t, void* data) {
  if (!isRequestHeaders(frame)) return 0;
  Stream* stream = streamOf(session, frame->hd.stream_id);
  if (!stream || !stream->request.oversizedHeader.empty()) return 0;
  const std::string_view key(reinterpret_cast<const char*>(name), nameLength);
  if (stream->headerBytes + nameLength + valueLength > ProviderRequest::kKeptHeaderBytes) {
    // Kept no further, but answered: the client learns which field was too large.
    stream->request.oversizedHeader = key;
    return 0;
  }
  stream->headerBytes += nameLength + valueLength;
  Connection& connection = connectionOf(data);
  connection.loop.hold(connection, &Connection::streamBytes,
                       connection.streamBytes + nameLength + valueLength);
  std::string text(reinterpret_cast<const char*>(value), valueLength);
  if (key == ":method") {
    stream->request.method = std::move(text);
  } else if (key == ":path") {
    stream->request.path = std::move(text);
  } else if (!key.starts_with(':')) {
    stream->request.headers.emplace_back(key, std::move(text));
  }
  return 0;
}

int onDataChunk(nghttp2_session* session, uint8_t, int32_t streamId, const uint8_t* bytes,
                size_t length, void* data) {
  Stream* stream = streamOf(session, streamId);
  if (!stream) return 0;
  std::string& body = stream->request.body;
  const std::size_t kept = std::min(length, ProviderRequest::kKeptBodyBytes - body.size());
  body.append(reinterpret_cast<const char*>(bytes), kept);
  if (kept < length) stream->request.bodyTruncated = true;
  Connection& connection = connectionOf(data);
  connection.loop.hold(connection, &Connection::streamBytes, connection.streamBytes + kept);
  return 0;
}

int onFrameReceived(nghttp2_session* session, const nghttp2_frame* frame, void* data) {
  Connection& connection = connectionOf(data);
  connection.established = true;
  connection.lastFrame = SteadyClock::now();
  const bool ends = frame->hd.flags & NGHTTP2_FLAG_END_STREAM;
  if (!ends || (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA)) return 0;
  if (Stream* stream = streamOf(session, frame->hd.stream_id)) {
    connection.loop.answer(connection, frame->hd.stream_id, *stream);
  }
  return 0;
}

int onStreamClose(nghttp2_session*, int32_t streamId, uint32_t, void* data) {
  Connection& connection = connectionOf(data);
  const auto found = connection.streams.find(streamId);
  if (found == connection.streams.end()) return 0;
  connection.loop.hold(connection, &Connection::streamBytes,
                       connection.streamBytes - found->second->heldBytes());
  connection.streams.erase(found);
  return 0;
}

void countedFree(void* pointer, void* data) {
  if (!pointer) return;
  Connection& connection = connectionOf(data);
  connection.loop.hold(connection, &Connection::sessionBytes,
                       connection.sessionBytes - malloc_usable_size(pointer));
  std::free(pointer);
}
void* countedRealloc(void* pointer, size_t size, void* data) {
  Connection& connection = connectionOf(data);
  Loop& loop = connection.loop;
  const std::size_t before = pointer ? malloc_usable_size(pointer) : 0;
  if (size > before && loop.heldBytes + (size - before) > loop.settings.limits.totalBytes / 4 * 5) {
    return nullptr;
  }
  void* moved = std::realloc(pointer, size);
  if (!moved) return nullptr;
  loop.hold(connection, &Connection::sessionBytes,
            connection.sessionBytes - before + malloc_usable_size(moved));
  return moved;
}
void* countedMalloc(size_t size, void* data) {
  return countedRealloc(nullptr, size, data);
}
void* countedCalloc(size_t count, size_t size, void* data) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* made = countedMalloc(count * size, data);
  if (made) std::memset(made, 0, count * size);
  return made;
}

ssize_t readAnswer(nghttp2_session*, int32_t, uint8_t* buffer, size_t capacity, uint32_t* flags,
                   nghttp2_data_source* source, void*) {
  auto& stream = *static_cast<Stream*>(source->ptr);
  const std::size_t n = std::min(capacity, stream.answer.size() - stream.sent);
  std::memcpy(buffer, stream.answer.data() + stream.sent, n);
  stream.sent += n;
  if (stream.sent == stream.answer.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

// Input left over from a turn is read in a later one, unless the connection is not being
// read from.
void continueNextTurn(Connection& connection) {
  bufferevent* buffer = connection.buffer.get();
  if (connection.closed || evbuffer_get_length(bufferevent_get_input(buffer)) == 0) return;
  if (!(bufferevent_get_enabled(buffer) & EV_READ)) return;
  event_active(connection.laterTurn.get(), EV_TIMEOUT, 0);
}

// Gives the session up to a turn's worth of the connection's input, sends what it has to
// send and leaves the rest for a later turn.
void takeTurn(Connection& connection) {
  Loop& loop = connection.loop;
  evbuffer* input = bufferevent_get_input(connection.buffer.get());
  connection.answeredThisTurn = 0;
  const unsigned streams = connection.hadTurn ? kStreamsPerTurn : kStreamsInFirstTurn;
  connection.hadTurn = true;
  while (evbuffer_get_length(input) > 0 && connection.answeredThisTurn < streams) {
    const std::size_t length = std::min(evbuffer_get_length(input), kTurnSlice);
    const ssize_t used =
        nghttp2_session_mem_recv(connection.session.get(), evbuffer_pullup(input, length), length);
    if (connection.closed) return;
    if (used < 0) return loop.close(connection);
    evbuffer_drain(input, static_cast<std::size_t>(used));
  }
  loop.flush(connection);
  connection.queued = evbuffer_get_length(input) > 0;
  continueNextTurn(connection);
}

void onLaterTurn(evutil_socket_t, short, void* data) {
  Connection& connection = connectionOf(data);
  if (!connection.closed) takeTurn(connection);
}

// A connection that has a later turn queued waits for it: what it sends meanwhile does not
// go ahead of others' arrivals.
void onReadable(bufferevent* buffer, void* data) {
  Connection& connection = connectionOf(data);
  evbuffer* input = bufferevent_get_input(buffer);
  if (!connection.session && !connection.loop.startCleartextSession(connection, input)) return;
  if (connection.queued) return continueNextTurn(connection);
  takeTurn(connection);
}

// All written: a client that had stopped reading its answers is read from again.
void onWritten(bufferevent* buffer, void* data) {
  Connection& connection = connectionOf(data);
  connection.loop.countUnsent(connection);
  if (connection.closeWhenWritten) {
    if (evbuffer_get_length(bufferevent_get_output(buffer)) == 0) {
      connection.loop.close(connection);
    }
    return;
  }
  bufferevent_enable(buffer, EV_READ);
  if (!connection.session) return;
  connection.loop.flush(connection);
  continueNextTurn(connection);
}

void onConnectionEvent(bufferevent* buffer, short events, void* data) {
  Connection& connection = connectionOf(data);
  if (events & BEV_EVENT_CONNECTED) {
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(bufferevent_openssl_get_ssl(buffer), &protocol, &length);
    if (length != 2 || std::memcmp(protocol, "h2", 2) != 0) {
      return connection.loop.close(connection);
    }
    return connection.loop.startSession(connection);
  }
  if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) {
    connection.loop.close(connection);
  }
}

void onAccept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* data) {
  static_cast<Loop*>(data)->accept(fd);
}

void onWake(evutil_socket_t, short, void* data) {
  auto& loop = *static_cast<Loop*>(data);
  loop.wake.clear();
  loop.beginStop();
}

void onNoticeOver(evutil_socket_t, short, void* data) {
  static_cast<Loop*>(data)->sendFinalGoaway();
}

void onDrainLimit(evutil_socket_t, short, void* data) {
  auto& loop = *static_cast<Loop*>(data);
  loop.bySerial.clear();
  loop.connections.clear();
  event_base_loopexit(loop.base.get(), nullptr);
}

void onSweep(evutil_socket_t, short, void* data) {
  static_cast<Loop*>(data)->sweep();
}

void onTokensChecked(evutil_socket_t, short, void* data) {
  static_cast<Loop*>(data)->answerChecked();
}

void onReap(evutil_socket_t, short, void* data) {
  auto& loop = *static_cast<Loop*>(data);
  loop.retired.clear();
  loop.trimWhenFreed();
}

// How often the time limits are looked at: often enough that each holds to within a quarter
// of itself.
std::chrono::milliseconds sweepInterval(const ProviderEndpoint::Limits& limits) {
  const auto shortest =
      std::min({limits.handshake, limits.idle, limits.stream, ProviderEndpoint::kClosingGrace});
  return std::clamp(shortest / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
}

}  // namespace

Result<> ProviderEndpoint::Loop::listen() {
  auto resolved =
      listenAddress(settings.host, settings.port, settings.allowRemote, "listen on", "send pushes");
  if (!resolved) return std::move(resolved).failure();
  const addrinfo* found = resolved->get();
  const std::string named = settings.host + ":" + std::to_string(settings.port);
  listener.reset(evconnlistener_new_bind(
      base.get(), onAccept, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
      511, found->ai_addr, static_cast<int>(found->ai_addrlen)));
  if (!listener) return Failure::ofErrno("cannot listen on " + named);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(evconnlistener_get_fd(listener.get()), reinterpret_cast<sockaddr*>(&bound), &length);
  address = numericAddress(reinterpret_cast<sockaddr*>(&bound), &port);
  address += ":" + std::to_string(port);
  return {};
}

void ProviderEndpoint::Loop::setUpCallbacks() {
  nghttp2_session_callbacks* made = nullptr;
  nghttp2_session_callbacks_new(&made);
  callbacks.reset(made);
  nghttp2_session_callbacks_set_on_begin_headers_callback(made, onBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(made, onHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(made, onDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(made, onFrameReceived);
  nghttp2_session_callbacks_set_on_stream_close_callback(made, onStreamClose);
}

void ProviderEndpoint::Loop::admit(ProviderVerdict& verdict) {
  const Admission admission = offer(std::move(*verdict.request));
  verdict.request.reset();
  switch (admission) {
    case Admission::accepted:
      ++accepted;
      break;
    case Admission::busy:
      verdict.status = 429;
      verdict.reason = "TooManyRequests";
      verdict.fault = "the host is running as many pushes as --max-in-flight allows";
      break;
    case Admission::stopped:
      verdict.status = 503;
      verdict.reason = "Shutdown";
      verdict.fault = "the host has stopped taking pushes";
      break;
    case Admission::behind:
      verdict.status = 503;
      verdict.reason = "ServiceUnavailable";
      verdict.fault = "the host's output is behind; pushes are taken again once it catches up";
      break;
  }
}

void ProviderEndpoint::Loop::answer(Connection& connection, std::int32_t streamId, Stream& stream) {
  const ProviderPolicy& policy = settings.policy;
  if (checker.joinable() && !stream.request.tokenVerdict) {
    if (const auto jwt = bearerToken(stream.request); jwt && !policy.tokenIsCheap(*jwt)) {
      const std::lock_guard lock(checkMutex);
      toCheck.push_back({connection.serial, streamId, std::string(*jwt), {}});
      checkWake.notify_one();
      return;  // answered by answerChecked()
    }
  }
  ProviderVerdict verdict = judgeProviderRequest(stream.request, settings.policy);
  if (verdict.request) {
    verdict.push = *verdict.request->push;
    admit(verdict);
    if (verdict.status == 200 && settings.keep) {
      ++connection.answeredThisTurn;
      settings.keep([mailbox = kept, done = Kept{connection.serial, streamId, verdict.apnsId}](
                        bool isKept) mutable {
        done.kept = isKept;
        const std::lock_guard lock(mailbox->mutex);
        mailbox->pushes.push_back(std::move(done));
        // One wake-up a batch: the loop takes every push waiting when it wakes.
        if (mailbox->pushes.size() == 1) mailbox->wake.notify();
      });
      return;  // answered by answerKept()
    }
  }
  ++connection.answeredThisTurn;
  respond(connection, streamId, stream, std::move(verdict));
}

Stream* ProviderEndpoint::Loop::unanswered(std::uint64_t serial, std::int32_t streamId,
                                           Connection** connection) {
  const auto open = bySerial.find(serial);
  if (open == bySerial.end()) return nullptr;
  const auto stream = open->second->streams.find(streamId);
  if (stream == open->second->streams.end() || stream->second->answered) return nullptr;
  *connection = open->second;
  return stream->second.get();
}

void ProviderEndpoint::Loop::answerKept() {
  kept->wake.clear();
  std::vector<Kept> done;
  {
    const std::lock_guard lock(kept->mutex);
    done.swap(kept->pushes);
  }
  std::vector<Connection*> touched;
  for (Kept& push : done) {
    Connection* connection = nullptr;
    Stream* stream = unanswered(push.connection, push.stream, &connection);
    if (!stream) continue;
    Connection& open = *connection;
    ProviderVerdict verdict;
    verdict.apnsId = std::move(push.apnsId);
    if (!push.kept) {
      verdict.status = 500;
      verdict.reason = "InternalServerError";
      verdict.fault = "the host could not store the push";
    }
    respond(open, push.stream, *stream, std::move(verdict));
    if (touched.empty() || touched.back() != &open) touched.push_back(&open);
  }
  for (Connection* connection : touched) {
    if (bySerial.count(connection->serial)) flush(*connection);
  }
}

void ProviderEndpoint::Loop::respond(Connection& connection, std::int32_t streamId, Stream& stream,
                                     ProviderVerdict verdict) {
  // HTTP forbids a body on the answer to HEAD.
  if (stream.request.method != "HEAD") {
    stream.answer = providerAnswerBody(verdict);
    hold(connection, &Connection::streamBytes, connection.streamBytes + stream.answer.size());
  }
  stream.answered = true;

  const std::string status = std::to_string(verdict.status);
  const std::string length = std::to_string(stream.answer.size());
  std::vector<nghttp2_nv> fields;
  const auto add = [&fields](std::string_view name, const std::string& value) {
    fields.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                      value.size(), NGHTTP2_NV_FLAG_NONE});
  };
  static const std::string kJSON = "application/json";
  add(":status", status);
  if (!verdict.apnsId.empty()) add("apns-id", verdict.apnsId);
  if (!stream.answer.empty()) {
    add("content-type", kJSON);
    add("content-length", length);
  }
  nghttp2_data_provider body{};
  body.source.ptr = &stream;
  body.read_callback = readAnswer;
  nghttp2_submit_response(connection.session.get(), streamId, fields.data(), fields.size(),
                          stream.answer.empty() ? nullptr : &body);
  ++answered;
  if (verdict.reason == "InvalidProviderToken" &&
      ++connection.invalidTokens == settings.limits.invalidTokens) {
    sendOff(connection, NGHTTP2_NO_ERROR, "too many invalid provider tokens");
  }
  if (verdict.status != 200 && refused) {
    refused(RefusedPush{verdict.apnsId,
                        {verdict.status, std::move(verdict.reason), std::move(verdict.fault)},
                        std::move(verdict.push)});
  }
}

ProviderEndpoint::Loop::~Loop() {
  {
    const std::lock_guard lock(checkMutex);
    checkerStopping = true;
  }
  checkWake.notify_one();
  if (checker.joinable()) checker.join();
}

void ProviderEndpoint::Loop::checkTokens() {
  std::unique_lock lock(checkMutex);
  while (true) {
    checkWake.wait(lock, [&] { return checkerStopping || !toCheck.empty(); });
    if (checkerStopping) return;
    TokenCheck check = std::move(toCheck.front());
    toCheck.pop_front();
    lock.unlock();
    check.verdict = settings.policy.judgeToken(check.jwt);
    lock.lock();
    checked.push_back(std::move(check));
    checkedWake.notify();
  }
}

void ProviderEndpoint::Loop::answerChecked() {
  checkedWake.clear();
  std::deque<TokenCheck> done;
  {
    const std::lock_guard lock(checkMutex);
    done.swap(checked);
  }
  for (TokenCheck& check : done) {
    Connection* open = nullptr;
    Stream* stream = unanswered(check.connection, check.stream, &open);
    if (!stream) continue;
    stream->request.tokenVerdict = std::move(check.verdict);
    answer(*open, check.stream, *stream);
    flush(*open);
  }
}

void ProviderEndpoint::Loop::dropChecks(const Connection& connection) {
  if (!checker.joinable()) return;
  const std::lock_guard lock(checkMutex);
  std::erase_if(toCheck,
                [&](const TokenCheck& check) { return check.connection == connection.serial; });
}

void ProviderEndpoint::Loop::accept(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ++connectionCount;
  const int options = BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS;
  BufferEvent buffer;
  if (tls) {
    SSL* ssl = SSL_new(tls.get());
    if (!ssl) {
      ::close(fd);
      return;
    }
    buffer.reset(
        bufferevent_openssl_socket_new(base.get(), fd, ssl, BUFFEREVENT_SSL_ACCEPTING, options));
    if (buffer) bufferevent_openssl_set_allow_dirty_shutdown(buffer.get(), 1);
  } else {
    buffer.reset(bufferevent_socket_new(base.get(), fd, options));
  }
  if (!buffer) {
    ::close(fd);
    return;
  }
  if (connections.size() >= settings.limits.connections) evictOne();
  auto connection = std::make_unique<Connection>(*this, std::move(buffer));
  Connection& made = *connection;
  made.serial = nextSerial++;
  made.laterTurn.reset(event_new(base.get(), -1, 0, onLaterTurn, &made));
  if (!made.laterTurn) return;
  event_priority_set(made.laterTurn.get(), kLaterTurnPriority);
  connections.emplace(&made, std::move(connection));
  bySerial.emplace(made.serial, &made);
  ++openCount;

  bufferevent_setcb(made.buffer.get(), onReadable, onWritten, onConnectionEvent, &made);
  // What waits for a later turn is bounded too: past this the socket is not read.
  bufferevent_setwatermark(made.buffer.get(), EV_READ, 0, kUnreadInputBytes);
  bufferevent_enable(made.buffer.get(), EV_READ | EV_WRITE);
}

bool ProviderEndpoint::Loop::startCleartextSession(Connection& connection, evbuffer* input) {
  // The session's SETTINGS go out only once the client has shown it speaks HTTP/2: an HTTP/1
  // client is answered in HTTP/1 instead, which a frame first would garble.
  if (tls || connection.closeWhenWritten) return false;
  constexpr std::string_view kPreface = NGHTTP2_CLIENT_MAGIC;
  const std::size_t length = std::min(evbuffer_get_length(input), kPreface.size());
  const auto* start = reinterpret_cast<const char*>(evbuffer_pullup(input, length));
  if (std::string_view(start, length) != kPreface.substr(0, length)) {
    refuseHTTP1(connection);
    return false;
  }
  if (length < kPreface.size()) return false;
  startSession(connection);
  return !connection.closed;
}

void ProviderEndpoint::Loop::refuseHTTP1(Connection& connection) {
  bufferevent_disable(connection.buffer.get(), EV_READ);
  static const std::string answer = http2OnlyAnswer();
  bufferevent_write(connection.buffer.get(), answer.data(), answer.size());
  connection.closeWhenWritten = true;
  connection.goingSince = SteadyClock::now();
}

void ProviderEndpoint::Loop::startSession(Connection& connection) {
  nghttp2_session* session = nullptr;
  if (nghttp2_session_server_new3(&session, callbacks.get(), &connection, nullptr,
                                  &connection.memory) != 0) {
    return close(connection);
  }
  connection.session.reset(session);
  // As many streams as fit the budget when each holds all a request may keep.
  const auto perStream = ProviderRequest::kKeptHeaderBytes + ProviderRequest::kKeptBodyBytes;
  const auto streams = static_cast<std::uint32_t>(
      std::max<std::size_t>(1, settings.limits.connectionBytes / perStream));
  const nghttp2_settings_entry entries[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, streams},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
       static_cast<std::uint32_t>(ProviderRequest::kKeptHeaderBytes)}};
  nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, entries, std::size(entries));
  if (stopping) nghttp2_submit_shutdown_notice(session);
  flush(connection);
}

void ProviderEndpoint::Loop::flush(Connection& connection) {
  if (connection.closed) return;
  nghttp2_session* session = connection.session.get();
  for (;;) {
    const uint8_t* bytes = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session, &bytes);
    if (length < 0) return close(connection);
    if (length == 0) break;
    bufferevent_write(connection.buffer.get(), bytes, static_cast<std::size_t>(length));
    // Past the budget the session keeps the rest until the client reads.
    if (evbuffer_get_length(bufferevent_get_output(connection.buffer.get())) >
        settings.limits.unsentBytes) {
      break;
    }
  }
  countUnsent(connection);
  const std::size_t unsent = connection.unsentBytes;
  if (unsent > settings.limits.unsentBytes) bufferevent_disable(connection.buffer.get(), EV_READ);
  if (unsent == 0 && !nghttp2_session_want_read(session) && !nghttp2_session_want_write(session)) {
    close(connection);
  }
}

void ProviderEndpoint::Loop::close(Connection& connection) {
  if (connection.closed) return;
  heldBytes -= connection.heldBytes();
  heldCount.store(heldBytes, std::memory_order_relaxed);
  connection.closed = true;
  bufferevent_setcb(connection.buffer.get(), nullptr, nullptr, nullptr, nullptr);
  bufferevent_disable(connection.buffer.get(), EV_READ | EV_WRITE);
  event_del(connection.laterTurn.get());
  const auto owned = connections.find(&connection);
  retired.push_back(std::move(owned->second));
  connections.erase(owned);
  bySerial.erase(connection.serial);
  dropChecks(connection);
  --openCount;
  event_active(reapEvent.get(), EV_TIMEOUT, 0);
  if (stopping) exitWhenIdle();
}

void ProviderEndpoint::Loop::sendOff(Connection& connection, std::uint32_t error,
                                     std::string_view why) {
  if (connection.goingSince) return;
  connection.goingSince = SteadyClock::now();
  dropChecks(connection);  // its streams that wait for a check are left unanswered
  nghttp2_session* session = connection.session.get();
  nghttp2_submit_goaway(session, NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session), error,
                        reinterpret_cast<const uint8_t*>(why.data()), why.size());
}

bool ProviderEndpoint::Loop::makeRoom(Connection& connection) {
  if (connection.heldBytes() >= settings.limits.connectionBytes) return false;
  while (heldBytes >= settings.limits.totalBytes) {
    const auto heaviest = std::max_element(
        connections.begin(), connections.end(),
        [](const auto& a, const auto& b) { return a.second->heldBytes() < b.second->heldBytes(); });
    if (heaviest->second.get() == &connection) return false;
    close(*heaviest->second);
  }
  return true;
}

void ProviderEndpoint::Loop::hold(Connection& connection, std::size_t Connection::*part,
                                  std::size_t bytes) {
  // A closed connection's bytes left the endpoint's count when it closed.
  if (!connection.closed) heldBytes = heldBytes - connection.*part + bytes;
  connection.*part = bytes;
  heldCount.store(heldBytes, std::memory_order_relaxed);
}

void ProviderEndpoint::Loop::countUnsent(Connection& connection) {
  hold(connection, &Connection::unsentBytes,
       evbuffer_get_length(bufferevent_get_output(connection.buffer.get())));
}

void ProviderEndpoint::Loop::sweep() {
  const auto now = SteadyClock::now();
  const Limits& limits = settings.limits;
  std::vector<Connection*> open;
  for (const auto& [connection, owned] : connections) open.push_back(connection);
  for (Connection* connection : open) {
    if (connection->closed) continue;  // by an earlier one's flush
    if (connection->goingSince) {
      if (now - *connection->goingSince >= kClosingGrace) close(*connection);
      continue;
    }
    if (!connection->established) {
      if (now - connection->accepted >= limits.handshake) close(*connection);
      continue;
    }
    nghttp2_session* session = connection->session.get();
    for (const auto& [id, stream] : connection->streams) {
      if (!stream->reset && now - stream->opened >= limits.stream) {
        stream->reset = true;
        nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
      }
    }
    if (connection->streams.empty() && now - connection->lastFrame >= limits.idle) {
      sendOff(*connection, NGHTTP2_NO_ERROR, "idle");
    }
    flush(*connection);
  }
  trimWhenFreed();
}

void ProviderEndpoint::Loop::evictOne() {
  // Whoever is already going first, then whoever has not finished its handshake, then the
  // connection without streams whose last frame is oldest.
  const auto rank = [](const Connection& c) {
    return std::tuple(!c.goingSince, c.established, !c.streams.empty(), c.lastFrame);
  };
  const auto victim = std::min_element(
      connections.begin(), connections.end(),
      [&](const auto& a, const auto& b) { return rank(*a.second) < rank(*b.second); });
  if (victim != connections.end()) close(*victim->second);
}

void ProviderEndpoint::Loop::trimWhenFreed() {
  // Connections that left give their memory back to the system, not only to the allocator,
  // once enough of it has gone.
  constexpr std::size_t kWorthTrimming = 16 << 20;
  if (heldBytes + kWorthTrimming < heldAtTrim) malloc_trim(0);
  if (heldBytes + kWorthTrimming < heldAtTrim || heldBytes > heldAtTrim) heldAtTrim = heldBytes;
}

void ProviderEndpoint::Loop::beginStop() {
  if (stopping) return;
  stopping = true;
  listener.reset();
  // Streams a client has already sent are answered: first a GOAWAY that refuses nothing,
  // then, once they have had time to arrive, the one that names the last stream taken.
  std::vector<Connection*> open;
  for (const auto& [connection, owned] : connections) open.push_back(connection);
  for (Connection* connection : open) {
    if (!connection->session || connection->closeWhenWritten) {
      close(*connection);
      continue;
    }
    nghttp2_submit_shutdown_notice(connection->session.get());
    flush(*connection);
  }
  noticeTimer.reset(evtimer_new(base.get(), onNoticeOver, this));
  const timeval notice = toTimeval(std::min(kShutdownNoticeGrace, settings.drainLimit));
  evtimer_add(noticeTimer.get(), &notice);
  drainTimer.reset(evtimer_new(base.get(), onDrainLimit, this));
  const timeval drain = toTimeval(settings.drainLimit);
  evtimer_add(drainTimer.get(), &drain);
  exitWhenIdle();
}

void ProviderEndpoint::Loop::sendFinalGoaway() {
  std::vector<Connection*> open;
  for (const auto& [connection, owned] : connections) open.push_back(connection);
  for (Connection* connection : open) {
    nghttp2_session* session = connection->session.get();
    if (!session) continue;
    nghttp2_submit_goaway(session, NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(session), NGHTTP2_NO_ERROR,
                          nullptr, 0);
    flush(*connection);
  }
}

void ProviderEndpoint::Loop::exitWhenIdle() {
  if (connections.empty()) event_base_loopexit(base.get(), nullptr);
}

ProviderEndpoint::ProviderEndpoint(std::unique_ptr<Loop> loop) : _loop(std::move(loop)) {}
ProviderEndpoint::~ProviderEndpoint() = default;

Result<std::unique_ptr<ProviderEndpoint>> ProviderEndpoint::open(Settings settings, Offer offer,
                                                                 Refused refused) {
  auto loop = std::make_unique<Loop>();
  loop->settings = std::move(settings);
  loop->offer = std::move(offer);
  loop->refused = std::move(refused);
  if (!loop->base || !loop->wake.valid()) return Failure::ofErrno("cannot set up the event loop");
  if (!loop->settings.cleartext) {
    auto tls = makeTLSContext(loop->settings.certificateFile, loop->settings.keyFile);
    if (!tls) return std::move(tls).failure();
    loop->tls = std::move(*tls);
  }
  if (auto listening = loop->listen(); !listening) return std::move(listening).failure();
  loop->setUpCallbacks();
  loop->wakeEvent.reset(
      event_new(loop->base.get(), loop->wake.fd(), EV_READ | EV_PERSIST, onWake, loop.get()));
  event_add(loop->wakeEvent.get(), nullptr);
  loop->reapEvent.reset(event_new(loop->base.get(), -1, 0, onReap, loop.get()));
  if (loop->settings.policy.tokenIsCheap && loop->settings.policy.judgeToken) {
    if (!loop->checkedWake.valid()) return Failure::ofErrno("cannot set up the event loop");
    loop->checkedEvent.reset(event_new(loop->base.get(), loop->checkedWake.fd(),
                                       EV_READ | EV_PERSIST, onTokensChecked, loop.get()));
    event_add(loop->checkedEvent.get(), nullptr);
    loop->checker = std::thread([raw = loop.get()] { raw->checkTokens(); });
  }
  if (loop->settings.keep) {
    if (!loop->kept->wake.valid()) return Failure::ofErrno("cannot set up the event loop");
    loop->keptEvent.reset(event_new(
        loop->base.get(), loop->kept->wake.fd(), EV_READ | EV_PERSIST,
        [](evutil_socket_t, short, void* data) { static_cast<Loop*>(data)->answerKept(); },
        loop.get()));
    event_add(loop->keptEvent.get(), nullptr);
  }
  loop->sweepTimer.reset(event_new(loop->base.get(), -1, EV_PERSIST, onSweep, loop.get()));
  const timeval every = toTimeval(sweepInterval(loop->settings.limits));
  event_add(loop->sweepTimer.get(), &every);
  return std::make_unique<ProviderEndpoint>(std::move(loop));
}

std::string ProviderEndpoint::address() const {
  return _loop->address;
}

int ProviderEndpoint::port() const {
  return _loop->port;
}

void ProviderEndpoint::run() {
  event_base_dispatch(_loop->base.get());
  // A loop that ended by the drain limit leaves nothing behind.
  _loop->bySerial.clear();
  _loop->connections.clear();
  _loop->retired.clear();
}

void ProviderEndpoint::stop() {
  _loop->wake.notify();
}

ProviderEndpoint::Counts ProviderEndpoint::counts() const {
  return {_loop->connectionCount.load(), _loop->answered.load(), _loop->accepted.load(),
          _loop->openCount.load(), _loop->heldCount.load()};
}

}  // namespace corvanta
