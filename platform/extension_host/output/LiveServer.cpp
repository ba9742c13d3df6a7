#include "platform/extension_host/output/LiveServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <sys/stat.h>

#include <atomic>
#include <charconv>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/extension_host/output/LiveScript.h"
#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/Handle.h"
#include "platform/foundation/SocketAddress.h"

namespace corvanta {
namespace {

// Keys in the order written, so that a person reading an answer finds the id first.
using json = nlohmann::ordered_json;

// Scripts from the host only and none inline; styles may be inline, as the cards carry theirs.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "media-src 'self' data:; style-src 'self' 'unsafe-inline'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

// How often an idle event stream says it is alive: a browser gone is noticed by the write.
constexpr std::chrono::seconds kEventKeepAlive{5};

// A comment that makes the stream's start visible at once, and how soon a browser reconnects.
constexpr std::string_view kStreamOpening = ": live\nretry: 1000\n\n";

constexpr std::size_t kLargestLimit = 1000;
const char* const kOutcomes[] = {"attached", "without attachment", "not shown", "refused",
                                 "pending"};

void fail(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(json{{"error", message}}.dump(), "application/json");
}

void answerJSON(httplib::Response& res, const json& value) {
  res.set_content(value.dump(), "application/json");
}

std::string isoTime(std::int64_t ms) {
  const std::time_t seconds = ms / 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

template <class N>
std::optional<N> wholeNumber(const std::string& text) {
  N value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

// The query's filters, or what is wrong with them.
Result<StoreQuery> filters(const httplib::Request& req) {
  StoreQuery query;
  query.device = req.get_param_value("device");
  query.outcome = req.get_param_value("outcome");
  if (!query.outcome.empty() &&
      std::find(std::begin(kOutcomes), std::end(kOutcomes), query.outcome) == std::end(kOutcomes)) {
    return Failure{"outcome must be attached, without attachment, not shown, refused or pending"};
  }
  if (req.has_param("since")) {
    const auto since = wholeNumber<std::int64_t>(req.get_param_value("since"));
    if (!since || *since < 0) return Failure{"since must be milliseconds since the epoch"};
    query.sinceMs = *since;
  }
  if (req.has_param("limit")) {
    const auto limit = wholeNumber<std::size_t>(req.get_param_value("limit"));
    if (!limit || *limit == 0 || *limit > kLargestLimit) {
      return Failure{"limit must be a whole number from 1 to " + std::to_string(kLargestLimit)};
    }
    query.limit = *limit;
  }
  return query;
}

// Stored text that should be JSON, as JSON; as a string if it somehow is not.
json parsed(const std::string& text) {
  json value = json::parse(text, nullptr, false);
  return value.is_discarded() ? json(text) : value;
}

json pushJSON(const PushDetails& push) {
  return {{"device", push.device},
          {"type", push.type},
          {"priority", push.priority},
          {"topic", push.topic},
          {"collapseId", push.collapseId ? json(*push.collapseId) : json(nullptr)}};
}

std::string mediaPath(std::int64_t id) {
  return "/api/requests/" + std::to_string(id) + "/attachment";
}

// The delivery that carries the attachment a device shows for the request: the first with one.
const StoredDelivery* withAttachment(const RequestStory& story) {
  for (const auto& delivery : story.deliveries) {
    if (!delivery.attachmentFile.empty()) return &delivery;
  }
  return nullptr;
}

json storyJSON(const RequestStory& story) {
  const StoredRequest& request = story.request;
  json deliveries = json::array();
  for (const auto& delivery : story.deliveries) {
    deliveries.push_back({{"number", delivery.number},
                          {"displayed", delivery.displayed},
                          {"delivery", parsed(delivery.json)}});
  }
  // A push's payload is kept as it came; a line of a file's is its first delivery's userInfo.
  json payload = request.payload.empty() ? json(nullptr) : parsed(request.payload);
  if (payload.is_null() && !deliveries.empty()) {
    payload = deliveries.front()["delivery"].value("/content/userInfo"_json_pointer, json(nullptr));
  }
  const StoredDelivery* attached = withAttachment(story);
  return {
      {"id", request.id},
      {"identifier", request.identifier},
      {"run", request.run},
      {"sequence", request.sequence},
      {"arrived", isoTime(request.arrivedMs)},
      {"arrivedMs", request.arrivedMs},
      {"outcome", story.outcome},
      {"push", request.push ? pushJSON(*request.push) : json(nullptr)},
      {"payload", std::move(payload)},
      {"expired", story.expired},
      {"abandonedAfterMs", story.abandonedAfterMs ? json(*story.abandonedAfterMs) : json(nullptr)},
      {"attachment", attached
                         ? json{{"type", attached->attachmentType}, {"url", mediaPath(request.id)}}
                         : json(nullptr)},
      {"deliveries", std::move(deliveries)}};
}

json refusalJSON(const StoredRefusal& refusal) {
  return {{"id", refusal.id},
          {"run", refusal.run},
          {"arrived", isoTime(refusal.arrivedMs)},
          {"arrivedMs", refusal.arrivedMs},
          {"apnsId", refusal.push.apnsId},
          {"status", refusal.push.refusal.status},
          {"reason", refusal.push.refusal.reason},
          {"fault", refusal.push.refusal.fault},
          {"push", pushJSON(refusal.push.push)}};
}

const char* eventName(StoreChange::Kind kind) {
  switch (kind) {
    case StoreChange::request:
      return "request";
    case StoreChange::delivery:
      return "delivery";
    case StoreChange::refusal:
      return "refusal";
    case StoreChange::cleared:
      return "cleared";
  }
  return "change";
}

// A file descriptor to share with the content provider, which httplib copies.
struct OpenMedia {
  FileDescriptor file;
  std::size_t size = 0;
};

}  // namespace

struct LiveServer::Impl {
  Impl(Settings givenSettings, Store& givenStore, LiveEvents& givenEvents, Views givenViews)
      : settings(std::move(givenSettings)),
        store(givenStore),
        events(givenEvents),
        views(std::move(givenViews)) {}

  void route();
  void routePage();
  void routeAPI();
  void routeEvents();
  void refuseOtherMethods(const std::string& pattern, const std::string& allowed);

  // The records a filtered view shows, newest first; refusals only where the outcome allows.
  std::pair<std::vector<RequestStory>, std::vector<StoredRefusal>> records(
      const StoreQuery& query) const;
  std::optional<RequestStory> storyNamed(const std::string& name) const;
  std::string eventText(const StoreChange& change) const;
  void serveMedia(const RequestStory& story, httplib::Response& res) const;

  const Settings settings;
  Store& store;
  LiveEvents& events;
  const Views views;
  httplib::Server server;
  std::atomic<bool> ended{false};  // listen_after_bind has returned
};

std::pair<std::vector<RequestStory>, std::vector<StoredRefusal>> LiveServer::Impl::records(
    const StoreQuery& query) const {
  std::vector<RequestStory> requests = store.requests(query);
  std::vector<StoredRefusal> refusals;
  if (query.outcome.empty() || query.outcome == "refused") refusals = store.refusals(query);
  return {std::move(requests), std::move(refusals)};
}

std::optional<RequestStory> LiveServer::Impl::storyNamed(const std::string& name) const {
  if (const auto number = wholeNumber<std::int64_t>(name)) {
    if (auto story = store.story(*number)) return story;
  }
  if (const auto id = store.find(name)) return store.story(*id);
  return std::nullopt;
}

void LiveServer::Impl::serveMedia(const RequestStory& story, httplib::Response& res) const {
  const StoredDelivery* attached = withAttachment(story);
  if (!attached)
    return fail(res, 404, "request " + std::to_string(story.request.id) + " has no attachment");
  auto media = std::make_shared<OpenMedia>();
  media->file = FileDescriptor(::open(attached->attachmentFile.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!media->file.valid() || ::fstat(media->file.get(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    return fail(
        res, 404,
        "the attachment of request " + std::to_string(story.request.id) + " is no longer kept");
  }
  media->size = static_cast<std::size_t>(status.st_size);
  res.set_header("Cache-Control", "no-store");
  res.set_content_provider(
      media->size,
      attached->attachmentType.empty() ? "application/octet-stream" : attached->attachmentType,
      [media](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[64 << 10];
        const ssize_t got = ::pread(media->file.get(), buffer, std::min(length, sizeof buffer),
                                    static_cast<off_t>(offset));
        return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
      });
}

std::string LiveServer::Impl::eventText(const StoreChange& change) const {
  json data = {{"id", change.id}};
  if (change.kind == StoreChange::request || change.kind == StoreChange::delivery) {
    if (const auto brief = store.brief(change.id)) {
      data["identifier"] = brief->identifier;
      data["device"] = brief->device;
      data["outcome"] = brief->outcome;
    }
  }
  return std::string("event: ") + eventName(change.kind) + "\ndata: " + data.dump() + "\n\n";
}

void LiveServer::Impl::refuseOtherMethods(const std::string& pattern, const std::string& allowed) {
  const auto refuse = [allowed](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Allow", allowed);
    fail(res, 405, req.method + " " + req.path + ": only " + allowed);
  };
  const auto allows = [&allowed](const char* method) {
    return allowed.find(method) != std::string::npos;
  };
  if (!allows("GET")) server.Get(pattern, refuse);
  if (!allows("POST")) server.Post(pattern, refuse);
  if (!allows("PUT")) server.Put(pattern, refuse);
  if (!allows("PATCH")) server.Patch(pattern, refuse);
  if (!allows("DELETE")) server.Delete(pattern, refuse);
}

void LiveServer::Impl::routePage() {
  const auto view = [this](const Render& render, std::size_t limit) {
    return [this, &render, limit](const httplib::Request& req, httplib::Response& res) {
      auto query = filters(req);
      if (!query) return fail(res, 400, query.failure().message);
      if (!req.has_param("limit")) query->limit = limit;
      auto [requests, refusals] = records(*query);
      res.set_header("Cache-Control", "no-store");
      res.set_content(render(std::move(requests), std::move(refusals)), "text/html; charset=utf-8");
    };
  };
  server.Get("/", view(views.page, settings.pageCards));
  server.Get("/cards", view(views.cards, settings.pageCards));
  server.Get("/live.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kLiveScript), "text/javascript; charset=utf-8");
  });
  // Browsers ask for an icon on their own; the page has none, and says so without an error.
  server.Get("/favicon.ico",
             [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  for (const char* path : {"/", "/cards", "/live.js"}) refuseOtherMethods(path, "GET");
}

void LiveServer::Impl::routeAPI() {
  server.Get("/api/requests", [this](const httplib::Request& req, httplib::Response& res) {
    const auto query = filters(req);
    if (!query) return fail(res, 400, query.failure().message);
    json list = json::array();
    for (const auto& story : store.requests(*query)) list.push_back(storyJSON(story));
    answerJSON(res, list);
  });
  server.Delete("/api/requests", [this](const httplib::Request&, httplib::Response& res) {
    store.clear();
    store.flush();
    res.status = 204;
  });
  server.Get("/api/requests/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
    const auto story = storyNamed(req.matches[1]);
    if (!story) return fail(res, 404, "no request " + std::string(req.matches[1]) + " is kept");
    answerJSON(res, storyJSON(*story));
  });
  server.Get("/api/requests/([^/]+)/attachment",
             [this](const httplib::Request& req, httplib::Response& res) {
               const auto story = storyNamed(req.matches[1]);
               if (!story) {
                 return fail(res, 404, "no request " + std::string(req.matches[1]) + " is kept");
               }
               serveMedia(*story, res);
             });
  server.Get("/api/refused", [this](const httplib::Request& req, httplib::Response& res) {
    auto query = filters(req);
    if (!query) return fail(res, 400, query.failure().message);
    json list = json::array();
    if (query->outcome.empty() || query->outcome == "refused") {
      for (const auto& refusal : store.refusals(*query)) list.push_back(refusalJSON(refusal));
    }
    answerJSON(res, list);
  });
  refuseOtherMethods("/api/requests", "GET, DELETE");
  for (const char* path : {"/api/requests/([^/]+)", "/api/requests/([^/]+)/attachment",
                           "/api/refused", "/api/events"}) {
    refuseOtherMethods(path, "GET");
  }
}

void LiveServer::Impl::routeEvents() {
  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<LiveEvents::Stream> stream = events.subscribe();
    if (!stream) {
      return fail(res, 503,
                  "as many event streams are open as are served (" +
                      std::to_string(settings.eventStreams) + ")");
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream, started = false](std::size_t, httplib::DataSink& sink) mutable {
          if (!std::exchange(started, true))
            return sink.write(kStreamOpening.data(), kStreamOpening.size());
          const auto changes = stream->next(kEventKeepAlive);
          if (!changes) {
            sink.done();
            return true;
          }
          std::string text = changes->empty() ? ": alive\n\n" : "";
          for (const auto& change : *changes) text += eventText(change);
          return sink.write(text.data(), text.size());
        });
  });
}

void LiveServer::Impl::route() {
  routePage();
  routeAPI();
  routeEvents();
  server.set_default_headers({{"Content-Security-Policy", kPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"}});
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    fail(res, res.status,
         res.status == 404   ? "no route " + req.path
         : res.status == 400 ? "bad request"
                             : "status " + std::to_string(res.status));
  });
}

Result<std::unique_ptr<LiveServer>> LiveServer::open(Settings settings, Store& store,
                                                     LiveEvents& events, Views views) {
  auto resolved = listenAddress(settings.host, settings.port, settings.allowRemote,
                                "serve the live page on", "see it");
  if (!resolved) return std::move(resolved).failure();
  const addrinfo* found = resolved->get();
  const std::string named = settings.host + ":" + std::to_string(settings.port);
  char numeric[NI_MAXHOST] = "";
  getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
              NI_NUMERICHOST);

  auto impl = std::make_unique<Impl>(std::move(settings), store, events, std::move(views));
  httplib::Server& server = impl->server;
  const std::size_t threads = impl->settings.workers + impl->settings.eventStreams;
  // httplib takes the queue as a raw pointer and owns it from then on.
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_timeout(1);
  server.set_read_timeout(5);
  server.set_write_timeout(5);
  server.set_payload_max_length(64 << 10);  // no route takes a body
  impl->route();
  errno = 0;
  const int port = impl->settings.port == 0 ? server.bind_to_any_port(numeric)
                   : server.bind_to_port(numeric, impl->settings.port) ? impl->settings.port
                                                                       : -1;
  if (port < 0) {
    return Failure::ofErrno("cannot serve the live page on " + named, errno ? errno : EADDRINUSE);
  }
  const std::string host = std::string(numeric).find(':') == std::string::npos
                               ? std::string(numeric)
                               : "[" + std::string(numeric) + "]";
  return std::make_unique<LiveServer>(std::move(impl), host + ":" + std::to_string(port));
}

LiveServer::LiveServer(std::unique_ptr<Impl> impl, std::string address)
    : _impl(std::move(impl)), _address(std::move(address)), _thread([impl = _impl.get()] {
        impl->server.listen_after_bind();
        impl->ended = true;
      }) {}

void LiveServer::stop() {
  _impl->events.close();
  // httplib's stop() closes only a port it has begun to listen on.
  while (!_impl->server.is_running() && !_impl->ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  _impl->server.stop();
  if (_thread.joinable()) _thread.join();
}

LiveServer::~LiveServer() {
  stop();
}

}  // namespace corvanta
