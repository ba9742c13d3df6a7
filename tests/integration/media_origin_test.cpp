// The local media origin as the demo and the tests run it: a separate process.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "tools/media_samples.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;

// Started in the background by a shell, as the demo does, where SIGINT starts out ignored;
// a stalled request is in flight when the signal comes.
TEST(MediaOriginTest, ServesOnlyItsRootAndStopsPromptlyOnASignal) {
  testing::ScratchDirectory scratch;
  const std::string root = scratch.path() + "root/";
  std::filesystem::create_directories(root + "sub");
  scratch.write("root/pic.png", media::png());
  scratch.write("root/sub/tone.mp3", media::mp3());
  scratch.write("secret.txt", "outside the root");
  std::filesystem::create_symlink(scratch.path() + "secret.txt", root + "out.txt");
  const std::string origin =
      (std::filesystem::path(CORVANTA_NSE_BINARY).parent_path() / "media-origin").string();
  const std::string script =
      R"("$0" --root "$1" & pid=$!; read go; (sleep 15; kill -KILL $pid) >/dev/null 2>&1 &
         kill -$2 $pid; wait $pid; echo "status $?"; kill $! 2>/dev/null)";
  for (const char* signal : {"INT", "TERM"}) {
    SCOPED_TRACE(signal);
    testing::HostProcess shell("/bin/sh", {"-c", script, origin, root, signal});
    const std::optional<std::string> announced = shell.readLine(20s);
    ASSERT_EQ(announced.value_or("").rfind("listening on http://127.0.0.1:", 0), 0u);
    const int port = std::stoi(announced->substr(announced->rfind(':') + 1));
    httplib::Client client("127.0.0.1", port);
    client.set_url_encode(false);
    for (const auto& [path, status, type, body] :
         std::vector<std::tuple<const char*, int, const char*, std::string>>{
             {"/pic.png", 200, "image/png", media::png()},
             {"/stall/0.2/sub/tone.mp3", 200, "audio/mpeg", media::mp3()},
             {"/missing.png", 404, "text/plain", "not found\n"},
             {"/status/503", 503, "text/plain", "status 503\n"},
             {"/../secret.txt", 403, "text/plain", "forbidden\n"},
             {"/out.txt", 403, "text/plain", "forbidden\n"}}) {
      const auto res = client.Get(path);
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, status) << path;
      EXPECT_EQ(res->get_header_value("Content-Type"), type) << path;
      EXPECT_EQ(res->body, body) << path;
    }
    testing::HostProcess second(origin, {"--root", root, "--port", std::to_string(port)});
    EXPECT_EQ(second.wait(20s).status, 1) << "a taken port is an error, not shared";

    std::optional<int> stalledStatus;
    std::thread request([&] {
      if (auto res = client.Get("/stall/30/pic.png")) stalledStatus = res->status;
    });
    std::this_thread::sleep_for(300ms);
    shell.write("go\n");
    const auto result = shell.wait(30s);
    request.join();
    EXPECT_NE(result.out.find("\nstatus 0\n"), std::string::npos) << result.out << result.err;
    EXPECT_LT(result.elapsed, 12s) << "the stalled request held up the exit";
    EXPECT_EQ(stalledStatus.value_or(0), 503) << "cut short, not served";
  }
}

}  // namespace
}  // namespace corvanta
