// One data task's transfer: an easy handle set up from the task's URL and configuration,
// and the final response's body as it arrives: in memory up to kLargestBodyInMemory, beyond
// that in an unnamed file in the temporary directory, handed over as a file-backed NSData.
//
// A transfer is made and used only on the loading thread, which adds handle() to its multi
// handle and removes it again before the transfer is destroyed; the static functions may be
// called from any thread. The body is never handed over in part: a transfer either succeeds
// with all of it or fails with none.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Clock.h"
#include "platform/foundation/FileDescriptor.h"
#include "platform/url_loading/CurlHandles.h"
#include "platform/url_loading/NSURLError.h"
#include "platform/url_loading/URLLoader.h"

namespace corvanta {

class CurlTransfer {
 public:
  // What a completion is called with: data and response, or an error alone.
  struct Outcome {
    std::shared_ptr<NSData> data;
    std::shared_ptr<NSURLResponse> response;
    std::shared_ptr<NSError> error;
  };

  // An NSURLErrorDomain failure with `code` and `message`.
  static Outcome failure(long code, std::string message);

  // What a transfer is set up with beside its request, the engine's settings.
  struct Settings {
    // HTTPS servers are verified against this file, or libcurl's default when it is "".
    std::string certificateAuthorityFile;
    // Plain http is refused, the first request and any redirect alike
    // (NSURLErrorSecureConnectionRequired).
    bool requireHTTPS = false;
  };

  // The failure for a request that must not reach libcurl at all (no URL, a scheme other
  // than http and https, or http when `requireHTTPS`), or nothing when it may be loaded.
  static std::optional<Outcome> refusal(const DataTaskRequest& request, bool requireHTTPS);

  // `share`, when not nullptr, is attached to the handle and must outlive the transfer;
  // `settings` is not kept. handle() is nullptr when libcurl could not make or set up a
  // handle. Each redirect followed, and a load over plain http, is recorded in the request's
  // activity, if it has one. `queued` is when the request arrived: the time it waited before
  // its transfer was made counts against its resource timeout.
  CurlTransfer(DataTaskRequest request, CURLSH* share, const Settings& settings,
               Clock::time_point queued);
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  CURL* handle() const { return _easy.get(); }

  // When the transfer fails for having received nothing for its request timeout; nothing
  // when its configuration sets no such limit. Moves later each time bytes arrive. Until the
  // transfer has a connection (it may wait for one behind the connection caps) that is never
  // earlier than `now` plus the timeout: libcurl's connect timeout watches that time instead.
  std::optional<Clock::time_point> idleDeadline(Clock::time_point now) const;

  // The cap on connections to one host that `request`'s session asks for, at least 1.
  static long connectionsPerHost(const DataTaskRequest& request);
  // "scheme://host:port" of the URL `request` asks for, which the engine's caps count by;
  // "" without a URL.
  static std::string hostKeyOf(const DataTaskRequest& request);
  const std::string& hostKey() const { return _hostKey; }
  // Whether the server answered over HTTP/2 or later, which carries many transfers at once
  // on one connection.
  bool multiplexed() const;

  // Called as the transfer leaves the engine's queue for libcurl: charges the time it waited
  // to its resource timeout. False when none of that timeout is left.
  bool chargeWaiting(Clock::time_point now);
  // The completion's arguments for a transfer whose resource timeout ran out while waiting.
  Outcome waitedTooLong() const;

  // The completion's arguments once libcurl has ended the transfer with `code`.
  Outcome finish(CURLcode code);
  // The completion's arguments for a transfer stopped at its idle deadline.
  Outcome idleTimeout() const;

  // Whether the request was cancelled.
  bool cancelled() const { return isCancelled(_request); }
  // Whether `request`'s task was cancelled, running or still waiting for its turn.
  static bool isCancelled(const DataTaskRequest& request) {
    return request.cancelled && request.cancelled->load();
  }
  // The completion's arguments for a cancelled request.
  static Outcome cancellation() { return failure(NSURLErrorCancelled, "cancelled"); }

  // Gives up the request, so that its completion can run elsewhere.
  DataTaskRequest takeRequest() { return std::move(_request); }

 private:
  static std::size_t onHeader(char* bytes, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* bytes, std::size_t size, std::size_t count, void* self);
  static int onConnected(void* self, char*, char*, int, int);

  bool keep(std::string_view bytes);
  bool spool();
  void discardBody();
  bool configure(CURLSH* share, const Settings& settings);
  // A new response began: records the redirect that led to it, if any.
  void responseBegan();
  long long announcedLength() const;
  Outcome success();
  Outcome refusedRedirect(CURLcode code) const;
  static Outcome insecureRefusal(const std::string& what);
  std::string effectiveURL() const;
  std::string host(bool withPort) const;
  std::string detail(CURLcode code) const;

  DataTaskRequest _request;
  CurlEasy _easy;
  std::string _url;
  std::string _hostKey;
  long _idleMilliseconds = 0;
  Clock::time_point _created;
  Clock::time_point _lastReceived = Clock::Current().now();
  bool _connected = false;
  bool _requireHTTPS = false;
  std::string _respondingURL;  // of the last response begun; "" before the first

  // The body so far: in _body, or all in _spool once it grew past kLargestBodyInMemory.
  std::string _body;
  FileDescriptor _spool;
  long long _spooledBytes = 0;
  int _spoolError = 0;  // errno of a failure to keep the body in its file
  bool _tooLong = false;
  char _errorBuffer[CURL_ERROR_SIZE] = {};
};

}  // namespace corvanta
