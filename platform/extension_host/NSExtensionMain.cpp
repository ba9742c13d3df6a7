#include "platform/extension_host/NSExtensionMain.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/extension_host/Container.h"
#include "platform/extension_host/HostOptions.h"
#include "platform/extension_host/NotificationHost.h"
#include "platform/extension_host/RequestReader.h"
#include "platform/extension_host/SignalWatcher.h"
#include "platform/extension_host/output/RunSummary.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta {
namespace {

bool writePreview(const std::string& path, const std::string& html) {
  if (FileSystem::Current().writeFileAtomically(path, html)) return true;
  std::fprintf(stderr, "corvanta-nse: cannot write the preview to %s\n", path.c_str());
  return false;
}

}  // namespace

int NSExtensionMain(int argc, char* argv[]) {
  const HostOptionsResult parsed = parseHostOptions(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const HostOptions& options = *parsed.options;
  const auto started = Clock::Current().now();  // run summary hook

  std::string error;
  const auto container = Container::open(options.container, &error);
  if (!container) {
    std::fprintf(stderr, "corvanta-nse: %s\n", error.c_str());
    return 1;
  }
  setTemporaryDirectory(container->temporaryDirectory());
  setAttachmentStoreDirectory(container->runDirectory());

  NotificationHost* host = nullptr;  // set before anything is read
  // --- run summary hook: the host feeds `summary` each displayed Delivery once it takes
  // an observer (see output/RunSummary.h); requests are counted here as they are accepted.
  RunSummary summary;
  RequestReader reader([&host, &summary](IncomingRequest request) {
    if (!host->receive(std::move(request))) return false;
    summary.addRequest();
    return true;
  });
  // --- end of run summary hook

  SignalWatcher::blockStopSignals();  // before the host starts its threads
  NotificationHost::Settings settings;
  settings.timeLimit = std::chrono::duration<double>(options.timeLimitSeconds);
  settings.format = options.format;
  settings.keepPreview = options.previewPath.has_value();
  settings.maxInFlight = options.maxInFlight;
  settings.outputFd = STDOUT_FILENO;
  settings.onStop = [&reader] { reader.stop(); };
  NotificationHost running(settings);
  host = &running;
  const SignalWatcher signals([&](int) {
    reader.stop();
    running.stop();
  });

  for (const auto& input : options.inputs) reader.read(input);
  const NotificationHost::Outcome outcome = running.finish();

  int status = reader.allAccepted() ? 0 : 1;
  if (outcome.outputError != 0) {
    std::fprintf(stderr, "corvanta-nse: cannot write deliveries to standard output: %s\n",
                 std::strerror(outcome.outputError));
    status = 1;
  }
  const bool previewWritten =
      options.previewPath && writePreview(*options.previewPath, running.previewHTML());
  if (options.previewPath && !previewWritten) status = 1;
  if (const int signal = signals.received()) status = 128 + signal;
  // --- run summary hook
  if (!options.quiet) {
    summary.setElapsed(Clock::Current().now() - started);
    if (previewWritten) summary.setPreviewPath(*options.previewPath);
    std::fputs(summary.format().c_str(), stderr);
  }
  // --- end of run summary hook
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
