#include "platform/extension_host/app/NSExtensionMain.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/extension_host/app/Container.h"
#include "platform/extension_host/app/HostOptions.h"
#include "platform/extension_host/core/NotificationHost.h"
#include "platform/extension_host/app/SignalWatcher.h"
#include "platform/extension_host/intake/EndpointCertificates.h"
#include "platform/extension_host/intake/ProviderEndpoint.h"
#include "platform/extension_host/intake/ProviderToken.h"
#include "platform/extension_host/intake/RequestReader.h"
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

// The provider endpoint the options ask for, its certificate made or found and its key
// loaded; nullptr with `*status` set and the reason reported.
std::unique_ptr<ProviderEndpoint> openEndpoint(const EndpointOptions& options,
                                               const Container& container,
                                               ProviderEndpoint::Offer offer, int* status) {
  const auto fail = [status](int code, const std::string& what) {
    std::fprintf(stderr, "corvanta-nse: %s\n", what.c_str());
    *status = code;
    return nullptr;
  };
  ProviderEndpoint::Settings settings;
  settings.host = options.host;
  settings.port = options.port;
  settings.allowRemote = options.allowRemote;
  settings.cleartext = options.cleartext;
  std::string trust;  // what a client is to trust, when the host made it
  std::string error;
  if (!options.cleartext && options.certificateFile.empty()) {
    const auto made = endpointCertificates(container.endpointDirectory());
    if (!made) return fail(1, made.failure().message);
    settings.certificateFile = made->certificateFile;
    settings.keyFile = made->keyFile;
    trust = made->authorityFile;
  } else {
    settings.certificateFile = options.certificateFile;
    settings.keyFile = options.keyFile;
  }

  ProviderPolicy& policy = settings.policy;
  policy.topic = options.topic;
  policy.devices = options.devices.get();
  policy.unregisteredSince = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
  if (!options.authKeyFile.empty()) {
    std::shared_ptr<const ProviderTokenVerifier> verifier = ProviderTokenVerifier::fromKeyFile(
        options.authKeyFile, options.keyId, options.teamId, &error);
    if (!verifier) return fail(2, "--auth-key: " + error);
    policy.tokenRequired = true;
    policy.judgeToken = [verifier](std::string_view jwt) {
      return verifier->verify(jwt, std::chrono::system_clock::now());
    };
  } else {
    policy.judgeToken = [](std::string_view jwt) {
      return checkProviderTokenForm(jwt, std::chrono::system_clock::now());
    };
  }

  auto endpoint = ProviderEndpoint::open(std::move(settings), std::move(offer), &error);
  if (!endpoint) return fail(1, error);
  const std::string scheme = options.cleartext ? "http" : "https";
  std::fprintf(stderr, "corvanta-nse: listening on %s://%s (HTTP/2%s)\n", scheme.c_str(),
               endpoint->address().c_str(), options.cleartext ? ", prior knowledge" : "");
  if (!trust.empty()) {
    std::fprintf(stderr, "corvanta-nse: clients trust the CA %s\n", trust.c_str());
  }
  return endpoint;
}

}  // namespace

int NSExtensionMain(int argc, char* argv[]) {
  const HostOptionsResult parsed = parseHostOptions(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const HostOptions& options = *parsed.options;
  const auto started = Clock::Current().now();

  std::string error;
  auto opened = Container::open(options.container);
  if (!opened) {
    std::fprintf(stderr, "corvanta-nse: %s\n", opened.failure().message.c_str());
    return 1;
  }
  const std::unique_ptr<Container> container = std::move(opened).value();
  // The container's tmp/ and this run's store folder, over whichever file system is
  // installed.
  WithTemporaryDirectory fileSystem(FileSystem::Current(), container->temporaryDirectory());
  const ScopedBackend<FileSystem> fileSystemForRun(fileSystem);
  DefaultAttachmentStore attachmentStore(container->runDirectory());
  const ScopedBackend<AttachmentStore> attachmentStoreForRun(attachmentStore);
  defaultMaximumConnectionsPerHost() = options.connectionsPerHost;
  if (!options.certificateAuthorities.empty()) {
    setCertificateAuthorityFile(options.certificateAuthorities);
  }

  // Every intake hands its requests to the host the same way; the host exists once the
  // intake runs.
  NotificationHost* host = nullptr;
  RunSummary summary;  // fed under the host's lock, read once the host has finished
  RequestReader reader([&host, &summary](IncomingRequest request) {
    if (!host->receive(std::move(request))) return false;
    summary.addRequest();
    return true;
  });
  std::unique_ptr<ProviderEndpoint> endpoint;
  if (options.endpoint) {
    // A client that goes away must cost a write error on its connection, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    int status = 0;
    endpoint = openEndpoint(
        *options.endpoint, *container,
        [&host, &summary](IncomingRequest request) {
          const Admission admission = host->offer(std::move(request));
          if (admission == Admission::accepted) summary.addRequest();
          return admission;
        },
        &status);
    if (!endpoint) return status;
  }
  const auto stopIntake = [&] {
    reader.stop();
    if (endpoint) endpoint->stop();
  };

  SignalWatcher::blockStopSignals();  // before the host starts its threads
  NotificationHost::Settings settings;
  settings.timeLimit = std::chrono::duration<double>(options.timeLimitSeconds);
  settings.format = options.format;
  settings.keepPreview = options.previewPath.has_value();
  settings.maxInFlight = options.maxInFlight;
  settings.outputFd = STDOUT_FILENO;
  settings.onStop = stopIntake;
  settings.onDelivery = [&summary](const Delivery& delivery) { summary.addDelivery(delivery); };
  NotificationHost running(settings);
  host = &running;
  ProgressReport progress(running, !options.quiet);
  reader.beforeReport([&progress] { progress.clear(); });
  // Files: stop reading and write what is due. The endpoint: stop taking pushes, but let
  // those taken be shown, as after the last line of a file.
  const SignalWatcher signals(
      [&](int) {
        stopIntake();
        if (!endpoint) running.stop();
      },
      endpoint ? "no new pushes are taken; those taken are answered and shown"
               : "deliveries already due are written");

  if (endpoint) {
    endpoint->run();
  } else {
    for (const auto& input : options.inputs) reader.read(input);
  }
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
  // A signal is how the endpoint is meant to end; reading files, it cuts the run short.
  if (const int signal = signals.received(); signal && !endpoint) status = 128 + signal;
  if (!options.quiet) {
    if (endpoint) {
      const auto counts = endpoint->counts();
      const auto count = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
      };
      std::fprintf(stderr, "corvanta-nse: endpoint: %s, %s answered, %s taken\n",
                   count(counts.connections, "connection", "connections").c_str(),
                   count(counts.answered, "stream", "streams").c_str(),
                   count(counts.accepted, "push", "pushes").c_str());
    } else {
      summary.setRejectedLines(reader.rejected());
    }
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
