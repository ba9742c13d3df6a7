// media-origin: the project's local media origin for the demo and the tests.
//
// Serves the files under --root on 127.0.0.1, announces its address with exactly one line on
// standard output, and stops on SIGINT or SIGTERM. Extra routes shape the answer as a
// misbehaving origin would (see kUsage): slow, failing, cut short, redirecting, oversized.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/foundation/ASCII.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: media-origin --root DIR [--port N] [--workers N]\n"
    "\n"
    "Serves the files under DIR at http://127.0.0.1:N/ (N absent or 0: a free port) and\n"
    "prints \"listening on http://127.0.0.1:PORT\" once it accepts connections.\n"
    "\n"
    "  /<file>                     the file, its Content-Type chosen by its extension\n"
    "  /stall/<seconds>/<file>     the file, after waiting that long (decimals allowed)\n"
    "  /status/<code>[/<file>]     an answer with that status, the file (or a short text) as body\n"
    "  /cut/<file>                 the file's length announced, half its bytes sent, then closed\n"
    "  /redirect/<n>/<file>        n redirects, then the file\n"
    "  /loop/<file>                a redirect to itself\n"
    "  /to/<name>?url=<url>        a redirect to <url>, whatever its scheme\n"
    "  /bytes/<n>/<name>           n filler bytes with their Content-Length, streamed\n"
    "  /chunked/<n>/<name>         n filler bytes without a Content-Length, streamed\n"
    "\n"
    "Requests are answered by N workers (default 32); a stalled one holds its worker.\n"
    "Stops on SIGINT or SIGTERM.\n";

constexpr double kLongestStallSeconds = 3600;

struct Options {
  std::string root;
  int port = 0;
  int workers = 32;
};

// Whether parsing ended the run: nullopt to go on, else the exit status.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
  auto usageError = [](const std::string& message) {
    std::fprintf(stderr, "media-origin: %s\n%s", message.c_str(), kUsage);
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::optional<std::string> value;
    if (const auto equals = argument.find('=');
        argument.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = argument.substr(equals + 1);
      argument.resize(equals);
    }
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument != "--root" && argument != "--port" && argument != "--workers")
      return usageError("unknown argument " + argument);
    if (!value) {
      if (i + 1 == argc) return usageError(argument + " needs a value");
      value = argv[++i];
    }
    if (argument == "--root") {
      options.root = *value;
      continue;
    }
    const bool port = argument == "--port";
    const long lowest = port ? 0 : 1, highest = port ? 65535 : 4096;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || errno != 0 || number < lowest || number > highest)
      return usageError(argument + " must be a number from " + std::to_string(lowest) + " to " +
                        std::to_string(highest) + ", not \"" + *value + "\"");
    (port ? options.port : options.workers) = static_cast<int>(number);
  }
  if (options.root.empty()) return usageError("--root is required");
  return std::nullopt;
}

// Lets stalled requests end early when the origin stops.
class StopFlag {
 public:
  void stop() {
    {
      std::lock_guard lock(_mutex);
      _stopped = true;
    }
    _changed.notify_all();
  }
  // Waits up to `seconds`; true when the origin stopped meanwhile.
  bool waitFor(double seconds) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, std::chrono::duration<double>(seconds),
                             [this] { return _stopped; });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _changed;
  bool _stopped = false;
};

std::string contentTypeOf(const fs::path& file) {
  static const std::map<std::string, std::string, std::less<>> types = {
      {".png", "image/png"},         {".jpg", "image/jpeg"},  {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},         {".bmp", "image/bmp"},   {".mp3", "audio/mpeg"},
      {".wav", "audio/wav"},         {".aif", "audio/aiff"},  {".aiff", "audio/aiff"},
      {".m4a", "audio/mp4"},         {".mp4", "video/mp4"},   {".m4v", "video/mp4"},
      {".mpg", "video/mpeg"},        {".mpeg", "video/mpeg"}, {".avi", "video/x-msvideo"},
      {".json", "application/json"}, {".txt", "text/plain"},  {".html", "text/html"},
  };
  const auto found = types.find(corvanta::asciiLowercase(file.extension().string()));
  return found == types.end() ? "application/octet-stream" : found->second;
}

// The file under `root` that the request path `path` names, or nullopt when the path would
// leave the root: a "." or ".." segment, a backslash or NUL, or a symlink pointing out.
std::optional<fs::path> resolve(const fs::path& root, std::string_view path) {
  fs::path file = root;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, slash - start);
    start = slash + 1;
    if (segment.empty()) continue;
    if (segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos)
      return std::nullopt;
    file /= std::string(segment);
  }
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(file, ec);
  if (ec) return std::nullopt;
  const auto [rootEnd, realEnd] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  if (rootEnd != root.end()) return std::nullopt;
  return real;
}

void answer(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain");
}

// The bytes of the file under `root` that `path` names; nullopt, with `res` answered, when
// there is none to serve.
std::optional<std::string> readFile(const fs::path& root, std::string_view path,
                                    httplib::Response& res) {
  const std::optional<fs::path> file = resolve(root, path);
  std::error_code ec;
  if (!file || !fs::is_regular_file(*file, ec)) {
    answer(res, file ? 404 : 403, file ? "not found" : "forbidden");
    return std::nullopt;
  }
  std::ifstream in(*file, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in.bad()) return bytes;
  answer(res, 500, "cannot read");
  return std::nullopt;
}

void serveFile(const fs::path& root, std::string_view path, httplib::Response& res,
               int status = 200) {
  std::optional<std::string> bytes = readFile(root, path, res);
  if (!bytes) return;
  res.status = status;
  res.set_content(std::move(*bytes), contentTypeOf(std::string(path)).c_str());
}

// Announces the whole file, sends its first half, then gives up: the connection closes with
// the body short of its Content-Length.
void serveHalf(const fs::path& root, std::string_view path, httplib::Response& res) {
  std::optional<std::string> bytes = readFile(root, path, res);
  if (!bytes) return;
  auto body = std::make_shared<const std::string>(std::move(*bytes));
  res.set_content_provider(body->size(), contentTypeOf(std::string(path)),
                           [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             return offset == 0 && sink.write(body->data(), body->size() / 2);
                           });
}

// `total` filler bytes, a block at a time, so that a body of any size costs one block of
// memory; it stops as soon as the client goes away.
void serveFiller(httplib::Response& res, std::size_t total, bool announced) {
  auto provide = [total](std::size_t offset, httplib::DataSink& sink) {
    static const std::string block(64 * 1024, 'x');
    if (offset >= total) sink.done();
    return offset >= total || sink.write(block.data(), std::min(block.size(), total - offset));
  };
  if (!announced) return res.set_chunked_content_provider("application/octet-stream", provide);
  res.set_content_provider(total, "application/octet-stream",
                           [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             return provide(offset, sink);
                           });
}

void addRoutes(httplib::Server& server, const fs::path& root, StopFlag& stopping) {
  server.Get(R"(/status/([0-9]{3})(/.*)?)",
             [&root](const httplib::Request& req, httplib::Response& res) {
               const int code = std::stoi(req.matches[1]);
               if (code < 200 || code > 599)
                 return answer(res, 400, "status must be from 200 to 599");
               if (req.matches[2].length() == 0)
                 return answer(res, code, "status " + std::to_string(code));
               serveFile(root, req.matches[2].str(), res, code);
             });
  server.Get(R"(/stall/([0-9]+(?:\.[0-9]*)?)(/.*))",
             [&root, &stopping](const httplib::Request& req, httplib::Response& res) {
               const double seconds = std::min(std::stod(req.matches[1]), kLongestStallSeconds);
               if (stopping.waitFor(seconds)) return answer(res, 503, "stopping");
               serveFile(root, req.matches[2].str(), res);
             });
  server.Get(R"(/cut(/.*))", [&root](const httplib::Request& req, httplib::Response& res) {
    serveHalf(root, req.matches[1].str(), res);
  });
  server.Get(R"(/redirect/([0-9]{1,3})(/.*))",
             [](const httplib::Request& req, httplib::Response& res) {
               const int left = std::stoi(req.matches[1]);
               const std::string file = req.matches[2];
               res.set_redirect(left > 0 ? "/redirect/" + std::to_string(left - 1) + file : file);
             });
  server.Get(R"(/loop/.*)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_redirect(req.path);
  });
  server.Get(R"(/to/.*)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_redirect(req.get_param_value("url"));
  });
  server.Get(R"(/(bytes|chunked)/([0-9]{1,12})/.*)",
             [](const httplib::Request& req, httplib::Response& res) {
               serveFiller(res, std::stoull(req.matches[2]), req.matches[1] == "bytes");
             });
  server.Get(R"(/.*)", [&root](const httplib::Request& req, httplib::Response& res) {
    serveFile(root, req.path, res);
  });
}

}  // namespace

// The library listens with a backlog of 5: thousands of clients connecting at once would
// wait out SYN retransmissions. Listening again on the bound socket widens it.
class OriginServer : public httplib::Server {
 public:
  void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = parseArguments(argc, argv, options)) return *status;
  std::error_code ec;
  const fs::path root = fs::canonical(options.root, ec);
  if (ec || !fs::is_directory(root)) {
    std::fprintf(stderr, "media-origin: %s is not a directory\n", options.root.c_str());
    return 1;
  }

  // Signals are taken by one thread with sigtimedwait, so the stop is ordinary code rather
  // than a handler's; they must be blocked before any other thread starts.
  // A shell starts background jobs with SIGINT ignored, and an ignored signal that comes
  // before the block below is lost; with the default action it at least ends the process.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  OriginServer server;
  // A kept-alive connection holds a worker until it goes idle; a bulk run opens thousands
  // of connections at once, so each is closed after its answer.
  server.set_keep_alive_max_count(1);
  // Stalled requests each hold a worker; --workers leaves room for a test's many at once.
  // The server takes ownership of the queue it is given.
  server.new_task_queue = [workers = options.workers] {
    return std::make_unique<httplib::ThreadPool>(workers).release();
  };
  // Without the library's SO_REUSEPORT, so that a second origin on a taken port fails
  // instead of sharing it.
  server.set_socket_options([](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  StopFlag stopping;
  addRoutes(server, root, stopping);

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port >= 0) server.widenBacklog();
  if (port < 0) {
    std::fprintf(stderr, "media-origin: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }

  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    const timespec tick{0, 100'000'000};
    while (!finished) {
      if (sigtimedwait(&signals, nullptr, &tick) > 0) {
        stopping.stop();
        break;
      }
    }
    // stop() is lost when it comes before the accept loop starts, so repeat until it ends.
    while (!finished) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  std::printf("listening on http://127.0.0.1:%d\n", port);
  std::fflush(stdout);
  const bool listened = server.listen_after_bind();
  finished = true;
  watcher.join();
  return listened ? 0 : 1;
}
