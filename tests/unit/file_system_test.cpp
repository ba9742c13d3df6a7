#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/foundation/FileSystem.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  std::string at(const std::string& name) const { return _dir.path() + name; }
  // Entries beyond those the test made; a scratch file left behind shows here.
  long strayEntries(long made) const {
    return std::distance(fs::directory_iterator(_dir.path()), {}) - made;
  }

  testing::ScratchDirectory _dir;
  FileSystem& _fs = FileSystem::Default();
};

TEST_F(FileSystemTest, AtomicWriteReplacesTheWholeFileOrRefusesWithoutATrace) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("staged"), "first version, longer"));
  ASSERT_TRUE(_fs.writeFileAtomically(at("staged"), "second"));
  EXPECT_EQ(_dir.read("staged"), "second");
  EXPECT_EQ(fs::status(at("staged")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  _dir.write("elsewhere", "untouched");
  fs::create_symlink(at("elsewhere"), at("link"));
  ASSERT_TRUE(_fs.writeFileAtomically(at("link"), "new"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at("link"))));
  EXPECT_EQ(_dir.read("link"), "new");
  EXPECT_EQ(_dir.read("elsewhere"), "untouched");

  fs::create_directory(at("dir"));
  _dir.write("dir/inside", "kept");
  for (const auto& path : {at("dir"), at("missing/parent"), at("a") + '\0' + "b"}) {
    EXPECT_FALSE(_fs.writeFileAtomically(path, "bytes")) << path;
    EXPECT_FALSE(_fs.writeFile(path, "bytes")) << path;
  }
  EXPECT_EQ(_dir.read("dir/inside"), "kept");
  ASSERT_TRUE(_fs.writeFile(at("staged"), "short"));  // in place, truncated
  EXPECT_EQ(_dir.read("staged"), "short");
  EXPECT_EQ(strayEntries(4), 0);
}

// A file size limit makes write() fail part way, as a full disk would, even for root.
TEST_F(FileSystemTest, AShortWriteKeepsTheTargetAndRemovesTheScratchFile) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("target"), "original"));
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  const rlimit small{4096, previous.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string tooBig(64 * 1024, 'z');
  const bool atomic = _fs.writeFileAtomically(at("target"), tooBig);
  const bool inPlace = _fs.writeFile(at("other"), tooBig);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(atomic);
  EXPECT_FALSE(inPlace);
  EXPECT_EQ(_dir.read("target"), "original");
  EXPECT_EQ(strayEntries(2), 0);
}

TEST_F(FileSystemTest, AConcurrentReaderNeverSeesAPartialFile) {
  const std::string first(2 * 1024 * 1024, 'a'), second(1024 * 1024 + 3, 'b');
  ASSERT_TRUE(_fs.writeFileAtomically(at("shared"), first));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 60; ++i)
      EXPECT_TRUE(_fs.writeFileAtomically(at("shared"), i % 2 ? first : second));
    done = true;
  });
  int reads = 0, torn = 0;
  for (; !done || reads == 0; ++reads) {
    const auto seen = _dir.read("shared");
    torn += seen != first && seen != second;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(strayEntries(1), 0);
}

TEST(TemporaryDirectory, EndsWithExactlyOneSlash) {
  auto setTmpdir = [](const std::string& value) {
    value.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", value.c_str(), 1);
  };
  const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  // TMPDIR ("" for unset), the directory the host set ("" for none), what is reported.
  const struct {
    std::string tmpdir, set, expected;
  } cases[] = {{"", "", "/tmp/"},
               {"/var/tmp/x", "/srv/ext", "/srv/ext/"},
               {"", "/srv/ext2/", "/srv/ext2/"},
               {"/var/tmp/x", "", "/var/tmp/x/"},
               {"/var/tmp/y//", "", "/var/tmp/y/"}};
  for (const auto& c : cases) {
    setTmpdir(c.tmpdir);
    setTemporaryDirectory(c.set);
    EXPECT_EQ(NSTemporaryDirectory(), c.expected) << c.tmpdir << " " << c.set;
  }
  setTmpdir(saved);
}

}  // namespace
}  // namespace corvanta
