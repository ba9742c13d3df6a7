#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  for (const auto& path :
       {at("dir"), at("dir/.."), at("dir/."), at("missing/parent"), at("a") + '\0' + "b"}) {
    EXPECT_FALSE(_fs.writeFileAtomically(path, "bytes")) << path;
  }
  EXPECT_EQ(_dir.read("dir/inside"), "kept");
  EXPECT_EQ(strayEntries(4), 0);
}

// A file size limit makes write() fail part way, as a full disk would, even for root. With
// SIGXFSZ ignored the writes fail and clean up after themselves; with it fatal, the kernel
// ends the writer at the first write past the limit, no destructor runs, and only a file that
// had no name yet is gone with it. The child exits 0 when both writes reported failure.
TEST_F(FileSystemTest, AWriteCutShortOrKilledHalfWayKeepsTheTargetAndLeavesNothing) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("target"), "original"));
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "cut short");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit small{4096, 4096}, noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      ::setrlimit(RLIMIT_FSIZE, &small);
      std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
      const std::string tooBig(256 * 1024, 'z');
      ::_exit(_fs.writeFileAtomically(at("target"), tooBig) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(_dir.read("target"), "original");
    EXPECT_EQ(strayEntries(1), 0);
  }
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

// An unnamed file on the target's file system is linked in; any other is copied. Either way
// the target holds the same bytes, mode 0600, and nothing else is left.
TEST_F(FileSystemTest, PlacingAFileLinksOrCopiesItsBytesWithoutATrace) {
  std::string bytes(300 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 4096);
  const bool shmIsOtherFileSystem = [&] {
    struct stat shm, here;
    return ::stat("/dev/shm", &shm) == 0 && ::stat(_dir.path().c_str(), &here) == 0 &&
           shm.st_dev != here.st_dev;
  }();
  const struct {
    std::string name, directory;
    bool named, linked;
  } cases[] = {
      {"unnamed-here", _dir.path(), false, true},
      {"named-here", _dir.path(), true, false},
      {"unnamed-elsewhere", "/dev/shm/", false, !shmIsOtherFileSystem},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FileDescriptor source =
        c.named ? FileDescriptor(::open(_dir.write("source", bytes).c_str(), O_RDONLY | O_CLOEXEC))
                : std::move(_fs.openUnnamedFile(c.directory)).value();
    ASSERT_TRUE(source.valid());
    ASSERT_TRUE(c.named || source.writeAll(bytes));
    _dir.write(c.name, "old");
    ASSERT_TRUE(_fs.placeFileAtomically(at(c.name), source));
    EXPECT_EQ(_dir.read(c.name), bytes);
    EXPECT_EQ(fs::status(at(c.name)).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    struct stat placed, from;
    ASSERT_EQ(::stat(at(c.name).c_str(), &placed), 0);
    ASSERT_EQ(::fstat(source.get(), &from), 0);
    EXPECT_EQ(placed.st_ino == from.st_ino, c.linked);
    if (c.named) fs::remove(at("source"));
  }
  FileDescriptor unnamed = std::move(_fs.openUnnamedFile(_dir.path())).value();
  fs::create_directory(at("dir"));
  EXPECT_FALSE(_fs.placeFileAtomically(at("dir"), unnamed));
  EXPECT_FALSE(_fs.placeFileAtomically(at("missing/parent"), unnamed));
  EXPECT_FALSE(_fs.placeFileAtomically(at("never"), FileDescriptor()));
  EXPECT_EQ(strayEntries(std::size(cases) + 1), 0);
}

// The real one's is the environment's; one given for a run is kept as given. Either way with
// exactly one slash at the end.
TEST(TemporaryDirectory, EndsWithExactlyOneSlash) {
  const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  // TMPDIR ("" for unset), the directory given ("" for none), what is reported.
  const struct {
    std::string tmpdir, given, expected;
  } cases[] = {{"", "", "/tmp/"},
               {"/var/tmp/x", "/srv/ext", "/srv/ext/"},
               {"", "/srv/ext2/", "/srv/ext2/"},
               {"/var/tmp/x", "", "/var/tmp/x/"},
               {"/var/tmp/y//", "", "/var/tmp/y/"}};
  for (const auto& c : cases) {
    c.tmpdir.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", c.tmpdir.c_str(), 1);
    WithTemporaryDirectory given(FileSystem::Default(), c.given);
    const ScopedBackend<FileSystem> installed(given);
    EXPECT_EQ(c.given.empty() ? FileSystem::Default().temporaryDirectory() : NSTemporaryDirectory(),
              c.expected)
        << c.tmpdir << " " << c.given;
  }
  saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace corvanta
