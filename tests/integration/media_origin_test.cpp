// The local media origin as the demo and the tests run it: a separate process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "tools/media_samples.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using testing::HostProcess;

const std::string kOriginBinary =
    (std::filesystem::path(CORVANTA_NSE_BINARY).parent_path() / "media-origin").string();

int portOf(const std::optional<std::string>& line) {
  std::smatch match;
  static const std::regex announced(R"(listening on http://127\.0\.0\.1:([0-9]+))");
  if (!line || !std::regex_match(*line, match, announced)) return -1;
  return std::stoi(match[1]);
}

class MediaOriginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root() + "sub");
    _scratch.write("root/pic.png", media::png());
    _scratch.write("root/sub/tone.mp3", media::mp3());
    _scratch.write("secret.txt", "outside the root");
    ASSERT_EQ(::symlink((_scratch.path() + "secret.txt").c_str(), (root() + "out.txt").c_str()), 0);
  }
  std::string root() const { return _scratch.path() + "root/"; }

  testing::ScratchDirectory _scratch;
};

TEST_F(MediaOriginTest, ServesTheRootAndNothingOutsideIt) {
  HostProcess origin(kOriginBinary, {"--root", root()});
  const int port = portOf(origin.readLine(10s));
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  client.set_url_encode(false);

  auto png = client.Get("/pic.png");
  ASSERT_TRUE(png);
  EXPECT_EQ(png->status, 200);
  EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(png->body, media::png());
  auto mp3 = client.Get("/sub/tone.mp3");
  ASSERT_TRUE(mp3);
  EXPECT_EQ(mp3->get_header_value("Content-Type"), "audio/mpeg");
  EXPECT_EQ(mp3->body, media::mp3());

  auto missing = client.Get("/missing.png");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  for (const char* escape : {"/../secret.txt", "/%2e%2e/secret.txt", "/sub/../../secret.txt",
                             "/out.txt", "//secret.txt"}) {
    auto res = client.Get(escape);
    ASSERT_TRUE(res) << escape;
    EXPECT_GE(res->status, 400) << escape;
    EXPECT_EQ(res->body.find("outside"), std::string::npos) << escape;
  }

  auto failing = client.Get("/status/503");
  ASSERT_TRUE(failing);
  EXPECT_EQ(failing->status, 503);
  EXPECT_FALSE(failing->body.empty());
  auto stalled = client.Get("/stall/0.2/sub/tone.mp3");
  ASSERT_TRUE(stalled);
  EXPECT_EQ(stalled->status, 200);
  EXPECT_EQ(stalled->body, media::mp3());

  HostProcess second(kOriginBinary, {"--root", root(), "--port", std::to_string(port)});
  const auto result = second.wait(20s);
  EXPECT_EQ(result.status, 1) << "a taken port is an error, not shared";
}

// Started in the background by a shell, as the demo does, where SIGINT starts out ignored;
// a stalled request is in flight when the signal comes.
TEST_F(MediaOriginTest, StopsPromptlyOnSignalWhileARequestStalls) {
  const std::string script = R"(
    "$0" --root "$1" >"$2" 2>&1 </dev/null &
    pid=$!
    i=0
    until grep -q listening "$2"; do
      sleep 0.05; i=$((i + 1)); [ $i -lt 400 ] || exit 3
    done
    cat "$2"
    read go
    ( sleep 15; kill -KILL $pid ) >/dev/null 2>&1 &
    guard=$!
    kill -INT $pid
    wait $pid
    status=$?
    kill $guard 2>/dev/null
    echo "status $status"
  )";
  HostProcess shell("/bin/sh",
                    {"-c", script, kOriginBinary, root(), _scratch.path() + "origin.out"});
  const int port = portOf(shell.readLine(20s));
  ASSERT_GT(port, 0);

  std::optional<int> stalledStatus;
  std::thread request([&] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    if (auto res = client.Get("/stall/30/pic.png")) stalledStatus = res->status;
  });
  std::this_thread::sleep_for(300ms);
  shell.write("go\n");
  const auto result = shell.wait(30s);
  request.join();

  ASSERT_FALSE(result.outLines().empty());
  EXPECT_EQ(result.outLines().back(), "status 0") << result.err;
  EXPECT_LT(result.elapsed, 12s) << "the stalled request held up the exit";
  ASSERT_TRUE(stalledStatus);
  EXPECT_NE(*stalledStatus, 200);
}

}  // namespace
}  // namespace corvanta
