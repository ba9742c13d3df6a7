// Per-request costs of the extension's own work and of the platform under it: the staging
// name, URL parsing, staging plus attachment on the real file system and media sniffing,
// and concurrent downloads through the one loading engine against a local origin.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "attachment/DownloadCompletion.h"
#include "attachment/StagingFileURL.h"
#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/AttachmentStore.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"
#include "support/TestOrigin.h"

namespace corvanta {
namespace {

void BM_StagingFileURLString(benchmark::State& state) {
  const std::string url = "https://cdn.example.test/media/2026/12/pic%20one.png?v=2";
  for (auto _ : state) {
    benchmark::DoNotOptimize(stagingFileURLString(url, "/tmp/corvanta-nse-0/tmp/"));
  }
}
BENCHMARK(BM_StagingFileURLString);

void BM_URLWithString(benchmark::State& state) {
  const std::string url = "https://cdn.example.test/media/2026/12/pic one.png?v=2#frag";
  for (auto _ : state) benchmark::DoNotOptimize(NSURL::URLWithString(url));
}
BENCHMARK(BM_URLWithString);

// Write, sniff, store: what a completion does with a downloaded image.
void BM_StageAndAttachPNG(benchmark::State& state) {
  testing::ScratchDirectory scratch;
  WithTemporaryDirectory fileSystem(FileSystem::Default(), scratch.path() + "tmp/");
  const ScopedBackend<FileSystem> useFileSystem(fileSystem);
  DefaultAttachmentStore store(scratch.path() + "Attachments/");
  const ScopedBackend<AttachmentStore> useStore(store);
  ::mkdir((scratch.path() + "tmp").c_str(), 0700);
  const auto request = UNNotificationRequest::requestWithIdentifier(
      "bench", std::make_shared<UNNotificationContent>());
  const auto url = std::make_shared<const std::string>("https://cdn.test/pic.png");
  const auto data = NSData::dataWithBytes(testing::media("pic.png"));
  for (auto _ : state) {
    auto content = contentWithDownloadedAttachment(url, *request, data);
    if (content->attachments().size() != 1) state.SkipWithError("no attachment made");
  }
}
BENCHMARK(BM_StageAndAttachPNG)->Unit(benchmark::kMicrosecond);

// N downloads at once, each on its own session, as N requests with media would start them.
void BM_ConcurrentDownloads(benchmark::State& state) {
  const std::string body = testing::media("photo.jpg");
  testing::TestOrigin origin([&](httplib::Server& server) {
    // Each kept-alive connection would hold one of the origin's few workers.
    server.set_keep_alive_max_count(1);
    server.Get("/photo.jpg", [&](const httplib::Request&, httplib::Response& response) {
      response.set_content(body, "image/jpeg");
    });
  });
  const auto url = NSURL::URLWithString(origin.url("/photo.jpg"));
  const auto tasks = state.range(0);
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable done;
    std::int64_t finished = 0;
    std::atomic<std::int64_t> failed{0};
    for (std::int64_t i = 0; i < tasks; ++i) {
      auto session = NSURLSession::sessionWithConfiguration(
          NSURLSessionConfiguration::defaultSessionConfiguration());
      session
          ->dataTaskWithURL(url,
                            [&](std::shared_ptr<NSData> data, std::shared_ptr<NSURLResponse>,
                                std::shared_ptr<NSError>) {
                              if (!data) ++failed;
                              std::lock_guard guard(mutex);
                              if (++finished == tasks) done.notify_one();
                            })
          ->resume();
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished == tasks; });
    if (failed) state.SkipWithError("some downloads failed");
  }
  state.SetItemsProcessed(state.iterations() * tasks);
}
BENCHMARK(BM_ConcurrentDownloads)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace corvanta

BENCHMARK_MAIN();
