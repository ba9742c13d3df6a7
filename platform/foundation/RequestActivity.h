// What the platform observed while serving one notification request, as a device's console
// log would show it: a download's outcome, a staging write that failed, an attachment the
// store refused; and what the request's download fetched, each redirect included. The
// extension's own code never sees it.
//
// The host makes a request's activity current on its thread while the extension's receive
// call runs; work started there (a data task) carries it to the thread that finishes the
// work, and makes it current there too while its completion runs. Platform code records
// through RequestActivity::note(), which does nothing outside a request.
//
// The host also ends a request's work through it: cancel() runs the hooks that the work
// registered with onCancel() (a data task registers its own cancel), once.
//
// Thread safety: every member may be called from any thread; current() reads this thread's
// own.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {

struct Diagnostic {
  std::string stage;    // "download", "staging" or "attachment"
  long code = 0;        // the error's code in `domain` (an HTTP status for domain "HTTP")
  std::string domain;   // "NSURLErrorDomain", "UNErrorDomain", "HTTP" or "errno"
  std::string message;  // one short line, for people
};

// What a request's download fetched.
struct DownloadRecord {
  std::string url;                     // the URL asked for
  std::vector<std::string> redirects;  // where each redirect led, in order
  // Some of it went over plain http, which a device's transport security refuses unless the
  // app allows insecure loads.
  bool plainHTTP = false;
  bool running = true;  // not yet ended
};

class RequestActivity {
 public:
  // The activity current on this thread, or nullptr.
  static const std::shared_ptr<RequestActivity>& current();

  // Makes `activity` (which may be nullptr) current on this thread for the scope's life.
  class Scope {
   public:
    explicit Scope(std::shared_ptr<RequestActivity> activity);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::shared_ptr<RequestActivity> _previous;
  };

  // Records `diagnostic` in the current activity, if there is one.
  static void note(Diagnostic diagnostic);

  void record(Diagnostic diagnostic);
  // What was recorded since the last take, oldest first.
  std::vector<Diagnostic> take();

  // URL loading records the request's download as it goes. A request downloads once; a
  // second start replaces the record.
  void downloadStarted(std::string url);
  void downloadRedirected(std::string url);
  void downloadOverPlainHTTP();
  void downloadEnded();
  // The download so far, nullopt when none started. Not taken: every delivery reports it.
  std::optional<DownloadRecord> download() const;

  // Registers what ends a piece of the request's work; after cancel(), runs it at once.
  void onCancel(std::function<void()> hook);
  // Runs the hooks, each once, outside the activity's lock.
  void cancel();

 private:
  mutable std::mutex _mutex;
  std::vector<Diagnostic> _recorded;
  std::optional<DownloadRecord> _download;
  std::vector<std::function<void()>> _cancelHooks;
  bool _cancelled = false;
};

}  // namespace corvanta
