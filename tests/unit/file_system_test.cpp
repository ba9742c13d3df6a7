#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "platform/foundation/FileSystem.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(::mkdtemp(_dir.data()), nullptr); }
  void TearDown() override { fs::remove_all(_dir); }

  std::string at(const std::string& name) const { return _dir + "/" + name; }
  // Entries beyond those the test made; a scratch file left behind shows here.
  long strayEntries(long made) const {
    return std::distance(fs::directory_iterator(_dir), {}) - made;
  }

  std::string _dir = "/tmp/corvanta-fs-XXXXXX";
  FileSystem& _fs = FileSystem::Default();
};

TEST_F(FileSystemTest, AtomicWriteReplacesWholeFile) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("staged"), "first version, longer"));
  ASSERT_TRUE(_fs.writeFileAtomically(at("staged"), "second"));
  EXPECT_EQ(readFile(at("staged")), "second");
  EXPECT_EQ(fs::status(at("staged")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string large(6 * 1024 * 1024 + 7, 'x');
  ASSERT_TRUE(_fs.writeFileAtomically(at("staged"), large));
  EXPECT_EQ(readFile(at("staged")), large);

  std::ofstream(at("elsewhere")) << "untouched";
  fs::create_symlink(at("elsewhere"), at("link"));
  ASSERT_TRUE(_fs.writeFileAtomically(at("link"), "new"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at("link"))));
  EXPECT_EQ(readFile(at("link")), "new");
  EXPECT_EQ(readFile(at("elsewhere")), "untouched");
  EXPECT_EQ(strayEntries(3), 0);
}

TEST_F(FileSystemTest, AtomicWriteRefusesUnusableTargets) {
  fs::create_directory(at("dir"));
  std::ofstream(at("dir/inside")) << "kept";
  EXPECT_FALSE(_fs.writeFileAtomically(at("dir"), "bytes"));
  EXPECT_EQ(readFile(at("dir/inside")), "kept");
  EXPECT_FALSE(_fs.writeFileAtomically(at("missing/parent"), "bytes"));
  EXPECT_FALSE(_fs.writeFileAtomically(at("a") + '\0' + "b", "bytes"));
  EXPECT_FALSE(_fs.writeFileAtomically(at("trailing/"), "bytes"));
  EXPECT_FALSE(_fs.writeFileAtomically("", "bytes"));
  // No one may create files in /proc, whatever their privileges (tests may run as root).
  EXPECT_FALSE(_fs.writeFileAtomically("/proc/corvanta-test-file", "bytes"));
  EXPECT_EQ(strayEntries(1), 0);

  ASSERT_TRUE(_fs.writeFile(at("f"), "long original"));
  ASSERT_TRUE(_fs.writeFile(at("f"), "short"));
  EXPECT_EQ(readFile(at("f")), "short");
  fs::create_symlink(at("f"), at("link"));
  EXPECT_FALSE(_fs.writeFile(at("link"), "through"));
  EXPECT_FALSE(_fs.writeFile(at("g") + '\0' + "x", "bytes"));
  EXPECT_EQ(readFile(at("f")), "short");
  EXPECT_EQ(strayEntries(3), 0);
}

// A file size limit makes write() fail part way, as a full disk would, even for root.
TEST_F(FileSystemTest, FailedWriteKeepsTargetAndRemovesScratch) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("target"), "original"));
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit small = previous;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string tooBig(64 * 1024, 'z');
  const bool atomic = _fs.writeFileAtomically(at("target"), tooBig);
  const bool inPlace = _fs.writeFile(at("other"), tooBig);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(atomic);
  EXPECT_FALSE(inPlace);
  EXPECT_EQ(readFile(at("target")), "original");
  EXPECT_EQ(strayEntries(2), 0);
}

TEST_F(FileSystemTest, ConcurrentReaderNeverSeesPartialFile) {
  const std::string first(2 * 1024 * 1024, 'a'), second(1024 * 1024 + 3, 'b');
  ASSERT_TRUE(_fs.writeFileAtomically(at("shared"), first));
  std::atomic<bool> done{false};
  std::atomic<int> failedWrites{0};
  std::thread writer([&] {
    for (int i = 0; i < 60; ++i) {
      if (!_fs.writeFileAtomically(at("shared"), i % 2 ? first : second)) ++failedWrites;
    }
    done = true;
  });
  int reads = 0, torn = 0;
  while (!done || reads == 0) {
    const auto seen = readFile(at("shared"));
    ++reads;
    if (seen != first && seen != second) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(failedWrites, 0);
  EXPECT_EQ(strayEntries(1), 0);
}

TEST(TemporaryDirectory, EndsWithExactlyOneSlash) {
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> savedTmpdir =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  FileSystem& real = FileSystem::Default();
  ::unsetenv("TMPDIR");
  EXPECT_EQ(real.temporaryDirectory(), "/tmp/");
  ::setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(real.temporaryDirectory(), "/var/tmp/x/");
  ::setenv("TMPDIR", "/var/tmp/y//", 1);
  EXPECT_EQ(real.temporaryDirectory(), "/var/tmp/y/");
  setTemporaryDirectory("/srv/ext");
  EXPECT_EQ(NSTemporaryDirectory(), "/srv/ext/");
  setTemporaryDirectory("/srv/ext2/");
  EXPECT_EQ(real.temporaryDirectory(), "/srv/ext2/");
  setTemporaryDirectory("");
  EXPECT_EQ(real.temporaryDirectory(), "/var/tmp/y/");
  savedTmpdir ? ::setenv("TMPDIR", savedTmpdir->c_str(), 1) : ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace corvanta
