#include "platform/extension_host/app/NSExtensionMain.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "platform/extension_host/app/Container.h"
#include "platform/extension_host/app/HostOptions.h"
#include "platform/extension_host/app/SignalWatcher.h"
#include "platform/extension_host/core/DeliverySink.h"
#include "platform/extension_host/core/NotificationHost.h"
#include "platform/extension_host/intake/EndpointCertificates.h"
#include "platform/extension_host/intake/ProviderEndpoint.h"
#include "platform/extension_host/intake/ProviderToken.h"
#include "platform/extension_host/intake/RequestReader.h"
#include "platform/extension_host/output/DeliveryLines.h"
#include "platform/extension_host/output/LiveEvents.h"
#include "platform/extension_host/output/LiveServer.h"
#include "platform/extension_host/output/OutputWriter.h"
#include "platform/extension_host/output/PreviewPage.h"
#include "platform/extension_host/output/ProgressLine.h"
#include "platform/extension_host/output/RefusalLines.h"
#include "platform/extension_host/output/RunSummary.h"
#include "platform/extension_host/output/StoreRecorder.h"
#include "platform/extension_host/store/Store.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/WakeEvent.h"
#include "platform/url_loading/CurlEngine.h"
#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta {
namespace {

// Output the intake may run ahead of a slow reader of standard output: past it, the reader
// of files waits and the endpoint answers 503 until the output catches up.
constexpr std::size_t kOutputBacklogBytes = 4 << 20;
// The same for the store's writes (two or three a request).
constexpr std::size_t kStoreBacklogWrites = 8192;
// A flood of refusals stops being recorded before it could turn pushes away.
static_assert(Store::kRefusalsQueuedAtMost < kStoreBacklogWrites);

// The options that shape what a run's verdicts are, as the preview's header names them.
std::vector<std::string> settings(const HostOptions& options) {
  char limit[64];
  std::snprintf(limit, sizeof limit, "--time-limit %g s", options.timeLimitSeconds);
  std::vector<std::string> said = {limit, options.requireHTTPS
                                              ? "--require-https: plain http refused"
                                              : "plain http loaded (no --require-https)"};
  if (!options.stringsFile.empty()) said.push_back("--strings " + options.stringsFile);
  if (!options.certificateAuthorities.empty()) {
    said.push_back("--cacert " + options.certificateAuthorities);
  }
  if (const auto& endpoint = options.endpoint) {
    said.push_back(endpoint->topic ? "--topic " + *endpoint->topic : "any topic");
    said.push_back(endpoint->devices
                       ? "--devices: " + std::to_string(endpoint->devices->size()) + " registered"
                       : "any device");
    said.push_back(endpoint->authKeyFile.empty()
                       ? "provider tokens not verified"
                       : "provider tokens verified, key " + endpoint->keyId);
  }
  return said;
}

// What a run reports: each delivery as a line on standard output, the summary at exit and,
// when asked for, the preview page.
struct RunReports {
  RunReports(const HostOptions& options, Store& store, std::function<void()> onWriteFailure)
      : writer(STDOUT_FILENO, std::move(onWriteFailure)),
        recorder(store),
        lines(writer, options.format, &recorder),
        preview(options.previewPath ? std::make_unique<PreviewPage>(PreviewRun{
                                          std::chrono::system_clock::now(), settings(options)})
                                    : nullptr) {}

  OutputWriter writer;
  StoreRecorder recorder;
  DeliveryLines lines;
  RunSummary summary;
  const std::unique_ptr<PreviewPage> preview;
  DeliverySinks all{std::vector<DeliverySink*>{&recorder, &lines, &summary}};
};

// The provider endpoint the options ask for, its certificate made or found and its key
// loaded. A setting that cannot be used fails with EINVAL: a usage error, as the options'
// own are.
Result<std::unique_ptr<ProviderEndpoint>> openEndpoint(const EndpointOptions& options,
                                                       const Container& container, Store& store,
                                                       ProviderEndpoint::Offer offer,
                                                       ProviderEndpoint::Refused refused) {
  ProviderEndpoint::Settings settings;
  // A push is answered 200 once it is on disk: a host killed after that still shows it.
  settings.keep = [&store](std::function<void(bool)> done) { store.afterCommit(std::move(done)); };
  settings.host = options.host;
  settings.port = options.port;
  settings.allowRemote = options.allowRemote;
  settings.cleartext = options.cleartext;
  std::string trust;  // what a client is to trust, when the host made it
  if (!options.cleartext && options.certificateFile.empty()) {
    const auto made = endpointCertificates(container.endpointDirectory());
    if (!made) return std::move(made).failure();
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
    auto loaded =
        ProviderTokenVerifier::fromKeyFile(options.authKeyFile, options.keyId, options.teamId);
    if (!loaded) return Failure{"--auth-key: " + loaded.failure().message, EINVAL};
    std::shared_ptr<const ProviderTokenVerifier> verifier = std::move(*loaded);
    policy.tokenRequired = true;
    policy.judgeToken = [verifier](std::string_view jwt) {
      return verifier->verify(jwt, std::chrono::system_clock::now());
    };
    policy.tokenIsCheap = [verifier](std::string_view jwt) { return verifier->remembers(jwt); };
  } else {
    policy.judgeToken = [](std::string_view jwt) {
      return checkProviderTokenForm(jwt, std::chrono::system_clock::now());
    };
  }

  auto opened = ProviderEndpoint::open(std::move(settings), std::move(offer), std::move(refused));
  if (!opened) return std::move(opened).failure();
  auto endpoint = std::move(*opened);
  const std::string scheme = options.cleartext ? "http" : "https";
  std::fprintf(stderr, "corvanta-nse: listening on %s://%s (HTTP/2%s)\n", scheme.c_str(),
               endpoint->address().c_str(), options.cleartext ? ", prior knowledge" : "");
  if (!trust.empty()) {
    std::fprintf(stderr, "corvanta-nse: clients trust the CA %s\n", trust.c_str());
  }
  return endpoint;
}

// The live page is drawn by the preview's cards from what the store holds at each request.
LiveServer::Views liveViews(const HostOptions& options) {
  auto page = std::make_shared<const PreviewPage>(
      PreviewRun{std::chrono::system_clock::now(), settings(options)});
  return {[page](std::vector<RequestStory> requests, std::vector<StoredRefusal> refusals) {
            return page->livePage({std::move(requests), std::move(refusals)});
          },
          [page](std::vector<RequestStory> requests, std::vector<StoredRefusal> refusals) {
            return page->liveCards({std::move(requests), std::move(refusals)});
          }};
}

// The live page over the store, its address said on standard error. An address that cannot
// be used fails with EINVAL: a usage error.
Result<std::unique_ptr<LiveServer>> openLivePage(const HostOptions& options, Store& store,
                                                 LiveEvents& events) {
  LiveServer::Settings settings;
  settings.host = options.live->host;
  settings.port = options.live->port;
  settings.allowRemote = options.live->allowRemote;
  auto opened = LiveServer::open(std::move(settings), store, events, liveViews(options));
  if (opened) {
    std::fprintf(stderr, "corvanta-nse: live page at http://%s/\n", (*opened)->address().c_str());
  }
  return opened;
}

// Says a failure to open a server the options asked for; gives the exit status.
int cannotOpen(const Failure& failure) {
  if (failure.code != EINVAL) {
    std::fprintf(stderr, "corvanta-nse: %s\n", failure.message.c_str());
    return 1;
  }
  reportUsageError(failure.message);
  return 2;
}

// The lines written at exit on standard error: the endpoint's counts, then the summary.
void printSummary(const HostOptions& options, RunReports& reports, const RequestReader& reader,
                  const ProviderEndpoint* endpoint, Clock::time_point started,
                  bool previewWritten) {
  if (options.quiet) return;
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
    reports.summary.setRejectedLines(reader.rejected());
  }
  reports.summary.setUnwrittenLines(reports.writer.unwrittenLines());
  reports.summary.setElapsed(Clock::Current().now() - started);
  if (previewWritten) reports.summary.setPreviewPath(*options.previewPath);
  std::fputs(reports.summary.format().c_str(), stderr);
}

// "; N delivery lines were not written" when some were not, else "".
std::string notWritten(const OutputWriter& writer) {
  const std::size_t lines = writer.unwrittenLines();
  if (lines == 0) return "";
  return "; " + std::to_string(lines) +
         (lines == 1 ? " delivery line was" : " delivery lines were") + " not written";
}

// What is left once the host has finished: the lines still to write and the preview. Gives
// the exit status so far.
int writeWhatIsLeft(const HostOptions& options, RunReports& reports, const RequestReader& reader,
                    Store& store, const std::string& run, bool* previewWritten) {
  int status = reader.allAccepted() ? 0 : 1;
  reports.writer.drain();
  if (const int error = reports.writer.error(); error != 0) {
    std::fprintf(stderr, "corvanta-nse: cannot write deliveries to standard output: %s%s\n",
                 std::strerror(error), notWritten(reports.writer).c_str());
    status = 1;
  }
  if (reports.preview) {
    // The page shows this run, all of it, as the store has it.
    store.flush();
    StoreQuery query;
    query.run = run;
    query.limit = std::numeric_limits<std::size_t>::max() / 2;
    const Result<> written = reports.preview->write(
        *options.previewPath, PreviewRecords{store.requests(query), store.refusals(query)});
    if (!written) {
      std::fprintf(stderr, "corvanta-nse: cannot write the preview to %s: %s\n",
                   options.previewPath->c_str(), written.failure().message.c_str());
      status = 1;
    }
    *previewWritten = written.ok();
  }
  return status;
}

// Takes again the pushes an earlier run took and never showed (it crashed or was killed), as
// a device's push service delivers what it stored, before anything new.
void showUnshownPushes(Store& store, StoreRecorder& recorder, NotificationHost& host) {
  const std::vector<StoredRequest> unshown = store.unshown();
  if (unshown.empty()) return;
  std::fprintf(
      stderr, "corvanta-nse: %zu %s an earlier run took and never showed; showing %s first\n",
      unshown.size(), unshown.size() == 1 ? "push" : "pushes", unshown.size() == 1 ? "it" : "them");
  for (const StoredRequest& stored : unshown) {
    recorder.replaying(stored.identifier, stored.id);
    auto payload = NSDictionary::dictionaryWithJSONString(stored.payload);
    if (!payload) payload = NSDictionary::dictionaryWithJSONString("{}");
    host.receive(IncomingRequest{stored.identifier, std::move(payload), stored.push});
  }
}

// Runs the host on the requests the options name, from files or from the endpoint, until
// the input ends or a signal stops it; gives the exit status.
int run(const HostOptions& options, const Container& container, Clock::time_point started) {
  SignalWatcher::blockStopSignals();  // before any thread starts: only the watcher gets them
  // The run's URL loader, made before the host so that it outlives every download.
  CurlEngine loader({.certificateAuthorityFile = options.certificateAuthorities,
                     .maximumConnectionsPerHost = options.connectionsPerHost,
                     .requireHTTPS = options.requireHTTPS});
  const ScopedBackend<URLLoader> loading(loader);
  // Only a push answered 200 is a promise; a file run syncs nothing.
  // The live page's streams are told of each commit, so they exist before the store.
  std::optional<LiveEvents> liveEvents;
  if (options.live) liveEvents.emplace(LiveServer::Settings{}.eventStreams);
  std::function<void(const StoreChange&)> told;
  if (liveEvents) told = [&liveEvents](const StoreChange& change) { liveEvents->publish(change); };
  auto openedStore = Store::open(
      {container.storeFile(), container.runName(), options.endpoint.has_value(), std::move(told)});
  if (!openedStore) {
    std::fprintf(stderr, "corvanta-nse: %s\n", openedStore.failure().message.c_str());
    return 1;
  }
  Store& store = **openedStore;
  NotificationHost* host = nullptr;  // exists once any request can arrive
  RunReports reports(options, store, [&host] { host->stop(); });

  // Every intake hands its requests to the host the same way, once the output has room.
  ProgressLine* progressLine = nullptr;  // cleared before a rejection is reported
  RequestReader reader(
      [&](IncomingRequest request) {
        reports.writer.waitUntilBufferedAtMost(kOutputBacklogBytes);
        store.waitUntilQueuedAtMost(kStoreBacklogWrites);
        return host->receive(std::move(request));
      },
      [&progressLine](const RequestReader::Rejection& rejection) {
        if (progressLine) progressLine->clear();
        if (rejection.line == 0) {
          std::fprintf(stderr, "corvanta-nse: %s: cannot read: %s\n", rejection.input.c_str(),
                       rejection.reason.c_str());
        } else {
          std::fprintf(stderr, "corvanta-nse: %s:%zu: %s\n", rejection.input.c_str(),
                       rejection.line, rejection.reason.c_str());
        }
      });
  RefusalLines refusalLines(stderr, [&progressLine] {
    if (progressLine) progressLine->clear();
  });
  std::unique_ptr<ProviderEndpoint> endpoint;
  if (options.endpoint) {
    // A client that goes away must cost a write error on its connection, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    auto opened = openEndpoint(
        *options.endpoint, container, store,
        [&](IncomingRequest request) {
          // The endpoint's loop must never wait: PINGs, other clients and a stop need it.
          if (reports.writer.buffered() > kOutputBacklogBytes ||
              store.queued() > kStoreBacklogWrites) {
            return Admission::behind;
          }
          return host->offer(std::move(request));
        },
        [&](const RefusedPush& push) {
          refusalLines.tell(push, Clock::Current().now());
          reports.all.refused(push);
        });
    if (!opened) return cannotOpen(opened.failure());
    endpoint = std::move(*opened);
  }
  std::unique_ptr<LiveServer> live;
  if (options.live) {
    auto opened = openLivePage(options, store, *liveEvents);
    if (!opened) return cannotOpen(opened.failure());
    live = std::move(*opened);
  }
  const auto stopIntake = [&] {
    reader.stop();
    if (endpoint) endpoint->stop();
  };

  NotificationHost::Settings settings;
  settings.timeLimit = std::chrono::duration<double>(options.timeLimitSeconds);
  settings.maxInFlight = options.maxInFlight;
  settings.strings = options.strings;
  settings.sink = &reports.all;
  settings.onStop = stopIntake;
  NotificationHost running(settings);
  host = &running;
  ProgressLine progress(STDERR_FILENO, !options.quiet, [&running] { return running.counts(); });
  progressLine = &progress;
  // Files: stop reading and write what is due. The endpoint: stop taking pushes, but let
  // those taken be shown, as after the last line of a file.
  const WakeEvent interrupted;
  const SignalWatcher signals(
      [&](int) {
        stopIntake();
        if (!endpoint) running.stop();
        interrupted.notify();
      },
      endpoint ? "no new pushes are taken; those taken are answered and shown"
               : "deliveries already due are written",
      [&reports] { return notWritten(reports.writer); });

  showUnshownPushes(store, reports.recorder, running);
  if (endpoint) {
    endpoint->run();
    refusalLines.finish();
  } else {
    for (const auto& input : options.inputs) reader.read(input);
  }
  const NotificationHost::Outcome outcome = running.finish();
  progress.stop();

  bool previewWritten = false;
  int status =
      writeWhatIsLeft(options, reports, reader, store, container.runName(), &previewWritten);
  // A signal is how the endpoint is meant to end; reading files, it cuts the run short.
  if (const int signal = signals.received(); signal && !endpoint) status = 128 + signal;
  printSummary(options, reports, reader, endpoint.get(), started, previewWritten);
  if (const std::size_t unrecorded = store.refusalsNotRecorded(); unrecorded > 0) {
    std::fprintf(stderr,
                 "corvanta-nse: %zu refused pushes are counted above but not in the store: "
                 "they came faster than it could record them\n",
                 unrecorded);
  }
  if (live && !signals.received()) {
    store.flush();  // the page shows the whole run
    std::fprintf(stderr,
                 "corvanta-nse: input done; the live page stays at http://%s/ until interrupted\n",
                 live->address().c_str());
    pollfd wait = {interrupted.fd(), POLLIN, 0};
    while (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
  }
  container.removeUnattachedStagingFiles();
  if (!outcome.settled) {
    // Downloads are being abandoned, as a device ends the extension: their completions may
    // still run on the loading pool, so the process must not run its destructors under them.
    store.flush();
    std::fflush(stderr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace

int NSExtensionMain(int argc, char* argv[]) {
  const HostOptionsResult parsed = parseHostOptions(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const HostOptions& options = *parsed.options;
  const auto started = Clock::Current().now();

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
  return run(options, *container, started);
}

}  // namespace corvanta
