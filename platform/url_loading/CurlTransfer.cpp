#include "platform/url_loading/CurlTransfer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string_view>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileSystem.h"
#include "platform/url_loading/NSURLError.h"

namespace corvanta {

namespace {

// Far beyond any useful limit, yet small enough that a deadline computed from it cannot
// overflow the clock.
constexpr double kLongestMilliseconds = 1e12;

// libcurl's milliseconds for a limit given in seconds; 0, which libcurl reads as "none",
// for a limit that is not positive.
long milliseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<long>(std::min(std::ceil(seconds * 1000), kLongestMilliseconds));
}

std::string seconds(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// "text/html" from "Text/HTML ; charset=utf-8": media types compare without case, and
// libcurl trims only the ends of the whole value.
std::string mediaType(const char* contentType) {
  if (!contentType) return "";
  std::string_view type(contentType);
  type = type.substr(0, type.find(';'));
  return asciiLowercase(type.substr(0, type.find_last_not_of(" \t") + 1));
}

}  // namespace

CurlTransfer::Outcome CurlTransfer::failure(long code, std::string message) {
  return {nullptr, nullptr, NSError::errorWithDomain(NSURLErrorDomain, code, std::move(message))};
}

std::optional<CurlTransfer::Outcome> CurlTransfer::refusal(const DataTaskRequest& request,
                                                           bool requireHTTPS) {
  if (!request.url) return failure(NSURLErrorBadURL, "no URL to load");
  const auto& scheme = request.url->scheme();
  if (scheme != "http" && scheme != "https") {
    return failure(NSURLErrorUnsupportedURL, "unsupported URL " + request.url->absoluteString() +
                                                 ": only http and https URLs are loaded");
  }
  if (scheme == "http" && requireHTTPS) return insecureRefusal(request.url->absoluteString());
  return std::nullopt;
}

std::string CurlTransfer::hostKeyOf(const DataTaskRequest& request) {
  if (!request.url) return "";
  const auto& url = *request.url;
  const int port = url.port().value_or(url.scheme() == "https" ? 443 : 80);
  return url.scheme() + "://" + asciiLowercase(url.host()) + ":" + std::to_string(port);
}

CurlTransfer::CurlTransfer(DataTaskRequest request, CURLSH* share, const Settings& settings,
                           Clock::time_point queued)
    : _request(std::move(request)),
      _easy(curl_easy_init()),
      _hostKey(hostKeyOf(_request)),
      _created(queued),
      _requireHTTPS(settings.requireHTTPS) {
  if (_request.url) {
    _url = _request.url->absoluteString();
    const auto& url = *_request.url;
    if (url.scheme() == "http" && _request.activity) _request.activity->downloadOverPlainHTTP();
  }
  _idleMilliseconds = milliseconds(_request.configuration.timeoutIntervalForRequest);
  if (_easy && !configure(share, settings)) _easy.reset();
}

bool CurlTransfer::configure(CURLSH* share, const Settings& settings) {
  CURL* easy = _easy.get();
  const auto& configuration = _request.configuration;
  const long redirects = std::max(0, configuration.HTTPMaximumRedirects);
  CURLcode failed = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (failed == CURLE_OK) failed = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_URL, _url.c_str());
  // The URL goes out as the caller's parser left it, dot segments included.
  set(CURLOPT_PATH_AS_IS, 1L);
  // Neither the URL nor any redirect may reach a file: or ftp: URL, or any but the web's;
  // nor plain http when it is refused.
  const char* protocols = settings.requireHTTPS ? "https" : "http,https";
  set(CURLOPT_PROTOCOLS_STR, protocols);
  set(CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, redirects);
  set(CURLOPT_TIMEOUT_MS, milliseconds(configuration.timeoutIntervalForResource));
  // Fails a response whose announced length is too long before its first byte (a redirect
  // too, which is then not followed); a body of unknown length is counted as it arrives.
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaximumBodyBytes));
  // Receiving nothing for the request timeout is watched by the loading thread (libcurl's
  // low-speed check counts whole seconds only); the connect timeout names the cause sooner.
  set(CURLOPT_CONNECTTIMEOUT_MS, _idleMilliseconds);
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_NOSIGNAL, 1L);
  // A transfer given up while its host name is still being looked up must not make the one
  // loading thread wait for the lookup to end; the lookup's thread finishes on its own.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  set(CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_ERRORBUFFER, static_cast<char*>(_errorBuffer));
  set(CURLOPT_PREREQFUNCTION, &CurlTransfer::onConnected);
  set(CURLOPT_PREREQDATA, static_cast<void*>(this));
  // Over HTTP/2, wait for the connection being set up to the host and share it, rather than
  // open one of our own. Only TLS offers HTTP/2 here; over plain HTTP waiting would only
  // put transfers one behind the other on a connection that can never be shared.
  if (_request.url && _request.url->scheme() == "https") set(CURLOPT_PIPEWAIT, 1L);
  if (!settings.certificateAuthorityFile.empty()) {
    set(CURLOPT_CAINFO, settings.certificateAuthorityFile.c_str());
  }
  if (share) set(CURLOPT_SHARE, share);
  return failed == CURLE_OK;
}

std::optional<Clock::time_point> CurlTransfer::idleDeadline(Clock::time_point now) const {
  if (_idleMilliseconds == 0) return std::nullopt;
  return (_connected ? _lastReceived : now) + std::chrono::milliseconds(_idleMilliseconds);
}

long CurlTransfer::connectionsPerHost(const DataTaskRequest& request) {
  return std::max(1, request.configuration.HTTPMaximumConnectionsPerHost);
}

// libcurl calls this once the transfer has a connection, new or reused, before it sends the
// request: from here on, silence counts against the request timeout.
int CurlTransfer::onConnected(void* self, char*, char*, int, int) {
  auto& transfer = *static_cast<CurlTransfer*>(self);
  transfer._connected = true;
  transfer._lastReceived = Clock::Current().now();
  return CURL_PREREQFUNC_OK;
}

// Headers count as something received; libcurl parses them. Each response, a redirect's
// too, begins with its status line ("HTTP/2 302", whatever the version).
std::size_t CurlTransfer::onHeader(char* bytes, std::size_t size, std::size_t count, void* self) {
  auto& transfer = *static_cast<CurlTransfer*>(self);
  transfer._lastReceived = Clock::Current().now();
  if (std::string_view(bytes, size * count).starts_with("HTTP/")) transfer.responseBegan();
  return size * count;
}

// libcurl has moved its effective URL to the redirect's target by the time the target
// answers; an informational response first answers the same URL and is no redirect.
void CurlTransfer::responseBegan() {
  std::string url = effectiveURL();
  const bool redirected = !_respondingURL.empty() && url != _respondingURL;
  if (redirected && _request.activity) {
    _request.activity->downloadRedirected(url);
    if (url.starts_with("http:")) _request.activity->downloadOverPlainHTTP();
  }
  _respondingURL = std::move(url);
}

std::size_t CurlTransfer::onBody(char* bytes, std::size_t size, std::size_t count, void* self) {
  auto& transfer = *static_cast<CurlTransfer*>(self);
  const std::size_t length = size * count;
  transfer._lastReceived = Clock::Current().now();
  const long long total = static_cast<long long>(transfer._body.size()) + transfer._spooledBytes;
  if (total + static_cast<long long>(length) > kMaximumBodyBytes) {
    transfer._tooLong = true;
    transfer.discardBody();
    return 0;
  }
  return transfer.keep({bytes, length}) ? length : 0;
}

bool CurlTransfer::keep(std::string_view bytes) {
  const bool large = announcedLength() > kLargestBodyInMemory ||
                     static_cast<long long>(_body.size() + bytes.size()) > kLargestBodyInMemory;
  if (!_spool.valid() && large && !spool()) return false;
  if (!_spool.valid()) {
    _body.append(bytes);
    return true;
  }
  if (!_spool.writeAll(bytes)) {
    _spoolError = errno;
    return false;
  }
  _spooledBytes += static_cast<long long>(bytes.size());
  return true;
}

// Moves the body so far into a new unnamed file, where the rest of it goes too.
bool CurlTransfer::spool() {
  auto& fileSystem = FileSystem::Current();
  auto file = fileSystem.openUnnamedFile(fileSystem.temporaryDirectory());
  if (!file || !file->writeAll(_body)) {
    _spoolError = file ? errno : file.failure().code;
    return false;
  }
  _spool = std::move(*file);
  _spooledBytes = static_cast<long long>(_body.size());
  std::string().swap(_body);
  return true;
}

void CurlTransfer::discardBody() {
  std::string().swap(_body);
  _spool.reset();
  _spooledBytes = 0;
}

CurlTransfer::Outcome CurlTransfer::finish(CURLcode code) {
  if (_tooLong || code == CURLE_FILESIZE_EXCEEDED) {
    return failure(NSURLErrorDataLengthExceedsMaximum,
                   "the body of " + effectiveURL() + " is longer than the largest allowed, " +
                       std::to_string(kMaximumBodyBytes) + " bytes");
  }
  if (_spoolError != 0) {
    return failure(NSURLErrorCannotWriteToFile, "could not keep the body of " + effectiveURL() +
                                                    " in " +
                                                    FileSystem::Current().temporaryDirectory() +
                                                    ": " + std::strerror(_spoolError));
  }
  const std::string target = host(true);
  switch (code) {
    case CURLE_OK:
      return success();
    case CURLE_UNSUPPORTED_PROTOCOL:
      return refusedRedirect(code);
    case CURLE_URL_MALFORMAT:
      return failure(NSURLErrorBadURL, "bad URL " + effectiveURL() + ": " + detail(code));
    case CURLE_COULDNT_RESOLVE_HOST:
      return failure(NSURLErrorCannotFindHost,
                     "could not find host " + host(false) + ": " + detail(code));
    case CURLE_COULDNT_RESOLVE_PROXY:
      return failure(NSURLErrorCannotFindHost, "could not find the proxy: " + detail(code));
    case CURLE_COULDNT_CONNECT:
      return failure(NSURLErrorCannotConnectToHost,
                     "could not connect to " + target + ": " + detail(code));
    case CURLE_OPERATION_TIMEDOUT:
      return failure(NSURLErrorTimedOut,
                     "timed out loading " + effectiveURL() + ": " + detail(code));
    case CURLE_TOO_MANY_REDIRECTS:
      return failure(NSURLErrorHTTPTooManyRedirects,
                     "too many redirects from " + _url + ": more than " +
                         std::to_string(std::max(0, _request.configuration.HTTPMaximumRedirects)));
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ISSUER_ERROR:
      return failure(NSURLErrorServerCertificateUntrusted,
                     "the certificate of " + target + " is not trusted: " + detail(code));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return failure(NSURLErrorSecureConnectionFailed,
                     "secure connection to " + target + " failed: " + detail(code));
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return failure(NSURLErrorNetworkConnectionLost,
                     "connection to " + target + " lost: " + detail(code));
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return failure(NSURLErrorBadServerResponse,
                     "bad response from " + target + ": " + detail(code));
    default:
      return failure(NSURLErrorUnknown, "loading " + effectiveURL() + " failed: " + detail(code));
  }
}

// A redirect to a scheme that is not loaded: plain http when it is refused, else anything but
// the web's.
CurlTransfer::Outcome CurlTransfer::refusedRedirect(CURLcode code) const {
  char* target = nullptr;
  curl_easy_getinfo(_easy.get(), CURLINFO_REDIRECT_URL, &target);
  const std::string to = target ? target : effectiveURL();
  if (_request.activity) _request.activity->downloadRedirected(to);
  if (_requireHTTPS && to.starts_with("http:")) {
    return insecureRefusal(to + " (the redirect from " +
                           (_respondingURL.empty() ? _url : _respondingURL) + ")");
  }
  return failure(NSURLErrorUnsupportedURL,
                 "unsupported URL reached from " + _url + ": " + detail(code));
}

CurlTransfer::Outcome CurlTransfer::insecureRefusal(const std::string& what) {
  return failure(NSURLErrorSecureConnectionRequired,
                 "a secure connection is required: " + what +
                     " is plain http, which a device's transport security refuses "
                     "(--require-https)");
}

bool CurlTransfer::chargeWaiting(Clock::time_point now) {
  const long limit = milliseconds(_request.configuration.timeoutIntervalForResource);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - _created);
  if (limit == 0 || waited.count() == 0) return true;
  if (waited.count() >= limit) return false;
  return curl_easy_setopt(_easy.get(), CURLOPT_TIMEOUT_MS,
                          limit - static_cast<long>(waited.count())) == CURLE_OK;
}

CurlTransfer::Outcome CurlTransfer::waitedTooLong() const {
  return failure(NSURLErrorTimedOut,
                 "timed out loading " + _url + ": still waiting for a connection after " +
                     seconds(_request.configuration.timeoutIntervalForResource) + " s");
}

CurlTransfer::Outcome CurlTransfer::idleTimeout() const {
  return failure(NSURLErrorTimedOut,
                 "timed out loading " + effectiveURL() + ": nothing received for " +
                     seconds(_request.configuration.timeoutIntervalForRequest) + " s");
}

CurlTransfer::Outcome CurlTransfer::success() {
  CURL* easy = _easy.get();
  long status = 0;
  char* contentType = nullptr;
  long redirects = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
  curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
  // Without a redirect the response names the caller's own URL, not libcurl's rendering of
  // it, which may differ in form.
  auto url = redirects > 0 ? NSURL::URLWithString(effectiveURL()) : nullptr;
  if (!url) url = _request.url;
  auto response = std::make_shared<NSURLResponse>(std::move(url), status, mediaType(contentType),
                                                  announcedLength());
  if (!_spool.valid())
    return {NSData::dataWithBytes(std::move(_body)), std::move(response), nullptr};
  auto data = NSData::dataWithFile(std::move(_spool), static_cast<std::size_t>(_spooledBytes));
  if (!data) {
    return failure(NSURLErrorCannotWriteToFile,
                   "could not map the body of " + effectiveURL() + ": " + std::strerror(errno));
  }
  return {std::move(data), std::move(response), nullptr};
}

bool CurlTransfer::multiplexed() const {
  long version = 0;
  curl_easy_getinfo(_easy.get(), CURLINFO_HTTP_VERSION, &version);
  return version >= CURL_HTTP_VERSION_2_0;
}

// The final response's Content-Length, or -1 when it has none (or is chunked).
long long CurlTransfer::announcedLength() const {
  curl_off_t length = -1;
  curl_easy_getinfo(_easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  return length;
}

std::string CurlTransfer::effectiveURL() const {
  char* url = nullptr;
  curl_easy_getinfo(_easy.get(), CURLINFO_EFFECTIVE_URL, &url);
  return url ? url : _url;
}

// The host, with ":port" when `withPort`, of the URL being loaded when the transfer ended,
// which after a redirect is no longer the caller's.
std::string CurlTransfer::host(bool withPort) const {
  CurlURL parsed(curl_url());
  const std::string url = effectiveURL();
  char* host = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    return url;
  }
  CurlString ownedHost(host);
  char* port = nullptr;
  if (!withPort ||
      curl_url_get(parsed.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) != CURLUE_OK) {
    return host;
  }
  CurlString ownedPort(port);
  return std::string(host) + ":" + port;
}

// libcurl's own words for the failure, or the system's when a socket call failed.
std::string CurlTransfer::detail(CURLcode code) const {
  long systemError = 0;
  curl_easy_getinfo(_easy.get(), CURLINFO_OS_ERRNO, &systemError);
  if (code == CURLE_COULDNT_CONNECT && systemError != 0) {
    return std::strerror(static_cast<int>(systemError));
  }
  return _errorBuffer[0] ? _errorBuffer : curl_easy_strerror(code);
}

}  // namespace corvanta
