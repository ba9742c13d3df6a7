#include "platform/extension_host/NSExtensionMain.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/extension_host/Container.h"
#include "platform/extension_host/HostOptions.h"
#include "platform/extension_host/NotificationHost.h"
#include "platform/extension_host/intake/RequestReader.h"
#include "platform/extension_host/SignalWatcher.h"
#include "platform/extension_host/output/ProgressLine.h"
#include "platform/extension_host/output/RunSummary.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/url_loading/NSURLSessionConfiguration.h"
#include "platform/url_loading/URLLoader.h"
#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta {
namespace {

// The progress line on a terminal, redrawn from a thread of its own while the host runs,
// since the host's thread may wait for input or for the last expiries. No thread at all
// when standard error is not a terminal.
class ProgressReport {
 public:
  ProgressReport(const NotificationHost& host, bool enabled) : _host(host), _line(2, enabled) {
    if (_line.active()) _thread = std::thread([this] { run(); });
  }
  ~ProgressReport() { stop(); }

  void clear() {
    const std::lock_guard lock(_mutex);
    _line.clear();
  }
  void stop() {
    {
      const std::lock_guard lock(_mutex);
      _stopping = true;
    }
    _wake.notify_one();
    if (_thread.joinable()) _thread.join();
    clear();
  }

 private:
  void run() {
    std::unique_lock lock(_mutex);
    while (!_stopping) {
      const auto counts = _host.counts();
      _line.update(counts.received, counts.displayed, counts.inFlight);
      _wake.wait_for(lock, ProgressLine::kInterval);
    }
  }

  const NotificationHost& _host;
  ProgressLine _line;
  std::mutex _mutex;
  std::condition_variable _wake;
  bool _stopping = false;
  std::thread _thread;
};

}  // namespace

int NSExtensionMain(int argc, char* argv[]) {
  const HostOptionsResult parsed = parseHostOptions(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const HostOptions& options = *parsed.options;
  const auto started = Clock::Current().now();

  std::string error;
  const auto container = Container::open(options.container, &error);
  if (!container) {
    std::fprintf(stderr, "corvanta-nse: %s\n", error.c_str());
    return 1;
  }
  setTemporaryDirectory(container->temporaryDirectory());
  setAttachmentStoreDirectory(container->runDirectory());
  defaultMaximumConnectionsPerHost() = options.connectionsPerHost;
  if (!options.certificateAuthorities.empty()) {
    setCertificateAuthorityFile(options.certificateAuthorities);
  }

  NotificationHost* host = nullptr;  // set before anything is read
  RunSummary summary;                // fed under the host's lock, read once the host has finished
  RequestReader reader([&host, &summary](IncomingRequest request) {
    if (!host->receive(std::move(request))) return false;
    summary.addRequest();
    return true;
  });

  SignalWatcher::blockStopSignals();  // before the host starts its threads
  NotificationHost::Settings settings;
  settings.timeLimit = std::chrono::duration<double>(options.timeLimitSeconds);
  settings.format = options.format;
  settings.keepPreview = options.previewPath.has_value();
  settings.maxInFlight = options.maxInFlight;
  settings.outputFd = STDOUT_FILENO;
  settings.onStop = [&reader] { reader.stop(); };
  settings.onDelivery = [&summary](const Delivery& delivery) { summary.addDelivery(delivery); };
  NotificationHost running(settings);
  host = &running;
  ProgressReport progress(running, !options.quiet);
  reader.beforeReport([&progress] { progress.clear(); });
  const SignalWatcher signals([&](int) {
    reader.stop();
    running.stop();
  });

  for (const auto& input : options.inputs) reader.read(input);
  const NotificationHost::Outcome outcome = running.finish();
  progress.stop();

  int status = reader.allAccepted() ? 0 : 1;
  if (outcome.outputError != 0) {
    std::fprintf(stderr, "corvanta-nse: cannot write deliveries to standard output: %s\n",
                 std::strerror(outcome.outputError));
    status = 1;
  }
  bool previewWritten = false;
  if (options.previewPath) {
    previewWritten = running.writePreview(*options.previewPath, &error);
    if (!previewWritten) {
      std::fprintf(stderr, "corvanta-nse: cannot write the preview to %s: %s\n",
                   options.previewPath->c_str(), error.c_str());
      status = 1;
    }
  }
  if (const int signal = signals.received()) status = 128 + signal;
  if (!options.quiet) {
    summary.setRejectedLines(reader.rejected());
    summary.setElapsed(Clock::Current().now() - started);
    if (previewWritten) summary.setPreviewPath(*options.previewPath);
    std::fputs(summary.format().c_str(), stderr);
  }
  container->removeUnattachedStagingFiles();
  if (!outcome.settled) {
    // Downloads are being abandoned, as a device ends the extension: their completions may
    // still run on the loading pool, so the process must not run its destructors under them.
    std::fflush(stderr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace corvanta
