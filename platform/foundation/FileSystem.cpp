#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

// A path the kernel would read differently from what the caller wrote (cut short at a NUL)
// or that names no file.
// A name of "." or ".." names a folder, never a file: the folder itself or the one above it,
// which a write must not reach whatever is there now.
bool isUnusablePath(const std::string& path) {
  if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos) return true;
  const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
  return name == "." || name == "..";
}

// rename() would refuse a directory too, but only after the new file was written.
bool isUnusableTarget(const std::string& path) {
  struct stat existing;
  return isUnusablePath(path) ||
         (::lstat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode));
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// What open() says when a file system (or an old kernel) has no unnamed files.
bool lacksUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

FileDescriptor openTmpFile(const std::string& directory) {
  return FileDescriptor(
      ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

// Names for files beside `target` that no one looks at: a dot, the target's name (capped,
// so that a long one still leaves room) and a random suffix.
class HiddenNames {
 public:
  static constexpr int kAttempts = 100;

  explicit HiddenNames(const std::string& target)
      : _prefix(directoryOf(target) + "." +
                target.substr(directoryOf(target).size()).substr(0, kMaxNameStem) + ".") {}

  std::string next() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Seeded once per thread: opening the system's random source per name costs more than
    // the write it names.
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string name = _prefix;
    for (int i = 0; i < 6; ++i) name += kAlphabet[pick(random)];
    return name;
  }

 private:
  static constexpr std::size_t kMaxNameStem = 200;
  std::string _prefix;
};

// A named scratch file beside the target, for file systems without unnamed files; removed
// when this goes out of scope unless it was renamed into place.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& target) {
    HiddenNames names(target);
    for (int attempt = 0; attempt < HiddenNames::kAttempts; ++attempt) {
      std::string candidate = names.next();
      const int fd =
          ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        _path = std::move(candidate);
        _fd = FileDescriptor(fd);
        return;
      }
      if (errno != EEXIST) return;
    }
  }
  ~ScratchFile() {
    if (!_path.empty()) ::unlink(_path.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const FileDescriptor& file() const { return _fd; }

  // Removes the name at once, leaving only the open file.
  FileDescriptor release() {
    ::unlink(_path.c_str());
    _path.clear();
    return std::move(_fd);
  }

  bool renameOver(const std::string& target) {
    if (!_fd.close() || ::rename(_path.c_str(), target.c_str()) != 0) return false;
    _path.clear();
    return true;
  }

 private:
  std::string _path;
  FileDescriptor _fd;
};

bool linkAt(const FileDescriptor& file, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(file.get());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  // Without /proc; this one needs a privilege that root has.
  return errno == ENOENT && ::linkat(file.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Gives the unnamed `file` a hidden name beside `target` and renames that over the target, so
// the target changes in one step; false, leaving no name behind, when either step fails.
bool linkOver(const FileDescriptor& file, const std::string& target) {
  HiddenNames names(target);
  for (int attempt = 0; attempt < HiddenNames::kAttempts; ++attempt) {
    const std::string name = names.next();
    if (!linkAt(file, name)) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (::rename(name.c_str(), target.c_str()) == 0) return true;
    ::unlink(name.c_str());
    return false;
  }
  return false;
}

// Copies `length` bytes from the start of `from` to `to`'s offset, in the kernel where it can.
bool copyContent(const FileDescriptor& from, const FileDescriptor& to, off_t length) {
  off_t offset = 0;
  while (offset < length) {
    const ssize_t copied = ::copy_file_range(from.get(), &offset, to.get(), nullptr,
                                             static_cast<std::size_t>(length - offset), 0);
    if (copied > 0) continue;
    if (copied < 0 && errno == EINTR) continue;
    if (copied == 0 || (errno != EXDEV && errno != EINVAL && errno != ENOSYS)) return false;
    // Kernels before 5.3 copy only within one file system: read and write instead.
    char buffer[64 * 1024];
    while (offset < length) {
      const ssize_t read = ::pread(from.get(), buffer, sizeof buffer, offset);
      if (read < 0 && errno == EINTR) continue;
      if (read <= 0 || !to.writeAll({buffer, static_cast<std::size_t>(read)})) return false;
      offset += read;
    }
  }
  return true;
}

// The one way a file is replaced: `fill` writes the new content into a fresh file beside
// `target`, which then takes the target's place. The fresh file is unnamed until it is
// complete, so nothing is left if `fill` fails or the process dies.
bool replaceWith(const std::string& target,
                 const std::function<bool(const FileDescriptor&)>& fill) {
  FileDescriptor unnamed = openTmpFile(directoryOf(target));
  if (unnamed.valid()) return fill(unnamed) && linkOver(unnamed, target);
  if (!lacksUnnamedFiles(errno)) return false;
  ScratchFile scratch(target);
  return scratch.file().valid() && fill(scratch.file()) && scratch.renameOver(target);
}

class RealFileSystem final : public FileSystem {
 public:
  std::string temporaryDirectory() override {
    {
      std::lock_guard lock(_mutex);
      if (!_temporaryDirectory.empty()) return _temporaryDirectory;
    }
    return corvanta::environmentTemporaryDirectory();
  }

  void setTemporaryDirectory(std::string path) {
    std::lock_guard lock(_mutex);
    _temporaryDirectory = path.empty() ? "" : withOneTrailingSlash(std::move(path));
  }

  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    if (isUnusableTarget(path)) return false;
    return replaceWith(path, [bytes](const FileDescriptor& file) { return file.writeAll(bytes); });
  }

  bool placeFileAtomically(const std::string& path, const FileDescriptor& file) override {
    struct stat source;
    if (isUnusableTarget(path) || !file.valid() || ::fstat(file.get(), &source) != 0 ||
        !S_ISREG(source.st_mode)) {
      return false;
    }
    // Only a file no path names may be linked: a named one would then change with its other
    // name. Another file system refuses the link (EXDEV), and the bytes are copied instead.
    if (source.st_nlink == 0 && linkOver(file, path)) return true;
    return replaceWith(
        path, [&](const FileDescriptor& copy) { return copyContent(file, copy, source.st_size); });
  }

  FileDescriptor openUnnamedFile(const std::string& directory) override {
    if (directory.find('\0') != std::string::npos) {
      errno = EINVAL;
      return {};
    }
    FileDescriptor unnamed = openTmpFile(directory);
    if (unnamed.valid() || !lacksUnnamedFiles(errno)) return unnamed;
    ScratchFile scratch(directory.empty() ? "spool" : withOneTrailingSlash(directory) + "spool");
    return scratch.file().valid() ? scratch.release() : FileDescriptor();
  }

  bool writeFile(const std::string& path, std::string_view bytes) override {
    if (isUnusablePath(path)) return false;
    FileDescriptor file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    return file.valid() && file.writeAll(bytes) && file.close();
  }

 private:
  std::mutex _mutex;
  std::string _temporaryDirectory;
};

RealFileSystem& realFileSystem() {
  static RealFileSystem fileSystem;
  return fileSystem;
}

}  // namespace

FileSystem& FileSystem::Default() {
  return realFileSystem();
}

std::string environmentTemporaryDirectory() {
  const char* fromEnvironment = std::getenv("TMPDIR");
  return withOneTrailingSlash(fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp");
}

void setTemporaryDirectory(std::string path) {
  realFileSystem().setTemporaryDirectory(std::move(path));
}

}  // namespace corvanta
