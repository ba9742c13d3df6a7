#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "platform/foundation/FileSystem.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kPrivateFile = fs::perms::owner_read | fs::perms::owner_write;

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

// A whole new file over an old one: AttachmentStoreTest; mode 0600: EndpointCertificatesTest.
TEST_F(FileSystemTest, AtomicWriteReplacesALinkNotItsTargetOrRefusesWithoutATrace) {
  _dir.write("elsewhere", "untouched");
  fs::create_symlink(at("elsewhere"), at("link"));
  ASSERT_TRUE(_fs.writeFileAtomically(at("link"), "new"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at("link"))));
  EXPECT_EQ(_dir.read("elsewhere"), "untouched");
  fs::create_directory(at("dir"));
  _dir.write("dir/inside", "kept");
  const std::pair<std::string, int> refused[] = {{at("dir"), EISDIR},
                                                 {at("dir/.."), EINVAL},
                                                 {at("dir/."), EINVAL},
                                                 {at("a") + '\0' + "b", EINVAL},
                                                 {at("missing/parent"), ENOENT}};
  for (const auto& [path, error] : refused)
    EXPECT_EQ(_fs.writeFileAtomically(path, "bytes").failure().code, error) << path;
  EXPECT_EQ(_dir.read("dir/inside"), "kept");
  EXPECT_EQ(strayEntries(3), 0);
}

// A file size limit makes write() fail part way, as a full disk would, even for root. With
// SIGXFSZ ignored the write fails and cleans up after itself; with it fatal, the kernel ends
// the writer at the first write past the limit, no destructor runs, and only a file that had
// no name yet is gone with it.
TEST_F(FileSystemTest, AWriteCutShortOrKilledHalfWayKeepsTheTargetAndLeavesNothing) {
  ASSERT_TRUE(_fs.writeFileAtomically(at("target"), "original"));
  for (const bool killed : {false, true}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit small{4096, 4096}, noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      ::setrlimit(RLIMIT_FSIZE, &small);
      std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
      const Result<> written = _fs.writeFileAtomically(at("target"), std::string(256 * 1024, 'z'));
      ::_exit(written.failure().code == EFBIG ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // Killed by the signal, or exited 0 after a write that failed with EFBIG.
    EXPECT_EQ(std::tuple(status, _dir.read("target"), strayEntries(1)),
              std::tuple(killed ? SIGXFSZ : 0, "original", 0))
        << killed;
  }
}

// An unnamed file on the target's file system is linked in; any other is copied. Either way
// the target holds the same bytes, mode 0600, and nothing else is left.
TEST_F(FileSystemTest, PlacingAFileLinksOrCopiesItsBytesWithoutATrace) {
  const std::string bytes = testing::pattern(300 * 1024 + 7);
  struct stat shm = {}, here = {};
  const bool shmIsOther =
      !::stat("/dev/shm", &shm) && !::stat(_dir.path().c_str(), &here) && shm.st_dev != here.st_dev;
  const struct {
    std::string name, directory;
    bool named, linked;
  } cases[] = {
      {"unnamed-here", _dir.path(), false, true},
      {"named-here", _dir.path(), true, false},
      {"unnamed-elsewhere", "/dev/shm/", false, !shmIsOther},
  };
  for (const auto& c : cases) {
    Result<FileDescriptor> source =
        c.named ? FileDescriptor(::open(_dir.write("source", bytes).c_str(), O_RDONLY))
                : _fs.openUnnamedFile(c.directory);
    ASSERT_TRUE(source && source->valid() && (c.named || source->writeAll(bytes))) << c.name;
    _dir.write(c.name, "old");
    ASSERT_TRUE(_fs.placeFileAtomically(at(c.name), *source)) << c.name;
    struct stat placed = {}, from = {};
    ASSERT_EQ(::stat(at(c.name).c_str(), &placed) | ::fstat(source->get(), &from), 0);
    EXPECT_EQ(std::tuple(_dir.read(c.name) == bytes, fs::status(at(c.name)).permissions(),
                         placed.st_ino == from.st_ino),
              std::tuple(true, kPrivateFile, c.linked))
        << c.name << ": the same bytes, private, linked";
    if (c.named) fs::remove(at("source"));
  }
  fs::create_directory(at("dir"));
  EXPECT_EQ(_fs.placeFileAtomically(at("dir"), *_fs.openUnnamedFile(_dir.path())).failure().code,
            EISDIR);
  EXPECT_EQ(_fs.placeFileAtomically(at("never"), FileDescriptor()).failure().code, EBADF);
  EXPECT_EQ(strayEntries(std::size(cases) + 1), 0);
}

// What the store's folders and files rely on: a link or a copy never replaces a file nor
// follows a symlink, and a folder gets exactly its mode whatever the umask.
TEST_F(FileSystemTest, LinksAndCopiesNeverReplaceAndFoldersGetTheirMode) {
  const FileDescriptor source(::open(_dir.write("source", "bytes").c_str(), O_RDONLY));
  _dir.write("taken", "kept");
  fs::create_symlink(at("elsewhere"), at("link"));
  for (const char* name : {"taken", "link"}) {
    EXPECT_EQ(std::pair(_fs.linkFile(source, at(name)).failure().code,
                        _fs.copyFile(source, at(name)).failure().code),
              std::pair(EEXIST, EEXIST))
        << name;
  }
  EXPECT_EQ(_dir.read("taken"), "kept");
  EXPECT_FALSE(fs::exists(at("elsewhere")));
  ASSERT_TRUE(_fs.copyFile(source, at("copy")));
  EXPECT_EQ(_dir.read("copy"), "bytes");
  EXPECT_EQ(fs::status(at("copy")).permissions(), kPrivateFile);

  const mode_t saved = ::umask(0077);
  const Result<> made = _fs.makeDirectories(at("a/b/c"), 0750);
  ::umask(saved);
  ASSERT_TRUE(made) << made.failure().message;
  EXPECT_EQ(fs::status(at("a/b/c")).permissions(), fs::perms(0750));
  EXPECT_TRUE(_fs.makeDirectories(at("a/b/c"), 0700)) << "one that is there will do";
  EXPECT_EQ(_fs.makeDirectories(at("taken"), 0700).failure().code, ENOTDIR);
}

// The real one's is the environment's, else /tmp; one given for a run is kept as given.
// Either way with exactly one slash at the end.
TEST(TemporaryDirectory, EndsWithExactlyOneSlash) {
  const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  ::unsetenv("TMPDIR");
  EXPECT_EQ(FileSystem::Default().temporaryDirectory(), "/tmp/");
  ::setenv("TMPDIR", "/var/tmp/y//", 1);
  EXPECT_EQ(FileSystem::Default().temporaryDirectory(), "/var/tmp/y/");
  WithTemporaryDirectory given(FileSystem::Default(), "/srv/ext");
  const ScopedBackend<FileSystem> installed(given);
  EXPECT_EQ(NSTemporaryDirectory(), "/srv/ext/");
  saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace corvanta
