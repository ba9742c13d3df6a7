#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <utility>

#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

// `result`, its failure told as part of `context`.
template <class T>
Result<T> within(Result<T> result, const std::string& context) {
  if (result) return result;
  return std::move(result).failure().within(context);
}

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
Result<> checkTarget(const std::string& path) {
  if (isUnusablePath(path)) return Failure{"names no file", EINVAL};
  struct stat existing;
  if (::lstat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    return Failure{"is a directory", EISDIR};
  }
  return {};
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// What open() says when a file system (or an old kernel) has no unnamed files.
bool lacksUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

Result<FileDescriptor> openTmpFile(const std::string& directory) {
  FileDescriptor file(
      ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!file.valid()) return Failure::ofErrno("open");
  return file;
}

Result<> writeInto(const FileDescriptor& file, std::string_view bytes) {
  if (!file.writeAll(bytes)) return Failure::ofErrno("write");
  return {};
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
      FileDescriptor file(
          ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (file.valid()) {
        _path = std::move(candidate);
        _fd = std::move(file);
        return;
      }
      _error = errno;
      if (_error != EEXIST) return;
    }
  }
  ~ScratchFile() {
    if (!_path.empty()) ::unlink(_path.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // The open file, or why there is none.
  Result<> opened() const {
    if (!_fd.valid()) return Failure::ofErrno("open", _error);
    return {};
  }
  const FileDescriptor& file() const { return _fd; }

  // Removes the name at once, leaving only the open file.
  FileDescriptor release() {
    ::unlink(_path.c_str());
    _path.clear();
    return std::move(_fd);
  }

  Result<> renameOver(const std::string& target) {
    if (!_fd.close()) return Failure::ofErrno("close");
    if (::rename(_path.c_str(), target.c_str()) != 0) return Failure::ofErrno("rename");
    _path.clear();
    return {};
  }

 private:
  std::string _path;
  FileDescriptor _fd;
  int _error = EEXIST;
};

Result<> linkAt(const FileDescriptor& file, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(file.get());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
  if (errno == ENOENT && ::linkat(file.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
    return {};
  }
  return Failure::ofErrno("link");
}

// Gives the unnamed `file` the name `target` in one step. A target that is new (a staging
// file, most often) takes the name directly; one that exists is replaced through a hidden name
// beside it, renamed over it. Leaves no name behind when a step fails.
Result<> linkOver(const FileDescriptor& file, const std::string& target) {
  Result<> direct = linkAt(file, target);
  if (direct || direct.failure().code != EEXIST) return direct;
  HiddenNames names(target);
  for (int attempt = 0; attempt < HiddenNames::kAttempts; ++attempt) {
    const std::string name = names.next();
    Result<> linked = linkAt(file, name);
    if (!linked && linked.failure().code == EEXIST) continue;
    if (!linked) return linked;
    if (::rename(name.c_str(), target.c_str()) == 0) return {};
    Failure failure = Failure::ofErrno("rename");
    ::unlink(name.c_str());
    return failure;
  }
  return Failure::ofErrno("link", EEXIST);
}

// Copies `length` bytes from the start of `from` to `to`'s offset, in the kernel where it can.
Result<> copyContent(const FileDescriptor& from, const FileDescriptor& to, off_t length) {
  off_t offset = 0;
  while (offset < length) {
    const ssize_t copied = ::copy_file_range(from.get(), &offset, to.get(), nullptr,
                                             static_cast<std::size_t>(length - offset), 0);
    if (copied > 0) continue;
    if (copied < 0 && errno == EINTR) continue;
    if (copied == 0) return Failure::ofErrno("copy", EIO);  // the file shrank
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) return Failure::ofErrno("copy");
    // Kernels before 5.3 copy only within one file system: read and write instead.
    char buffer[64 * 1024];
    while (offset < length) {
      const ssize_t read = ::pread(from.get(), buffer, sizeof buffer, offset);
      if (read < 0 && errno == EINTR) continue;
      if (read < 0) return Failure::ofErrno("read");
      if (read == 0) return Failure::ofErrno("read", EIO);
      if (!to.writeAll({buffer, static_cast<std::size_t>(read)})) return Failure::ofErrno("write");
      offset += read;
    }
  }
  return {};
}

using Fill = std::function<Result<>(const FileDescriptor&)>;

// The one way a file is replaced: `fill` writes the new content into a fresh file beside
// `target`, which then takes the target's place. The fresh file is unnamed until it is
// complete, so nothing is left if `fill` fails or the process dies.
Result<> replaceWith(const std::string& target, const Fill& fill) {
  Result<FileDescriptor> unnamed = openTmpFile(directoryOf(target));
  if (unnamed) {
    Result<> filled = fill(*unnamed);
    return filled ? linkOver(*unnamed, target) : filled;
  }
  if (!lacksUnnamedFiles(unnamed.failure().code)) return std::move(unnamed).failure();
  ScratchFile scratch(target);
  Result<> filled = scratch.opened();
  if (filled) filled = fill(scratch.file());
  return filled ? scratch.renameOver(target) : filled;
}

Result<> placeFile(const std::string& path, const FileDescriptor& file) {
  if (Result<> usable = checkTarget(path); !usable) return usable;
  struct stat source;
  if (!file.valid() || ::fstat(file.get(), &source) != 0) return Failure{"no file", EBADF};
  if (!S_ISREG(source.st_mode)) return Failure{"not a regular file", EINVAL};
  // Only a file no path names may be linked: a named one would then change with its other
  // name. Another file system refuses the link (EXDEV), and the bytes are copied instead.
  if (source.st_nlink == 0 && linkOver(file, path)) return {};
  return replaceWith(
      path, [&](const FileDescriptor& copy) { return copyContent(file, copy, source.st_size); });
}

// mkdir -p under `at` (an open directory, or AT_FDCWD).
Result<> makeDirectoriesUnder(int at, const std::string& path, mode_t mode) {
  const std::string what = "cannot make the directory " + path;
  if (path.empty() || path.find('\0') != std::string::npos) return Failure::ofErrno(what, EINVAL);
  for (auto slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    ::mkdirat(at, path.substr(0, slash).c_str(), 0777);
  if (::mkdirat(at, path.c_str(), mode) == 0) {
    // mkdir narrows the mode by the umask.
    const FileDescriptor made(
        ::openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid() || ::fchmod(made.get(), mode) != 0) return Failure::ofErrno(what);
    return {};
  }
  const int error = errno;
  struct stat found {};
  if (error != EEXIST) return Failure::ofErrno(what, error);
  if (::fstatat(at, path.c_str(), &found, 0) != 0 || !S_ISDIR(found.st_mode)) {
    return Failure::ofErrno(what, ENOTDIR);
  }
  return {};
}

class RealFileSystem final : public FileSystem {
 public:
  std::string temporaryDirectory() override { return environmentTemporaryDirectory(); }

  Result<> writeFileAtomically(const std::string& path, std::string_view bytes) override {
    Result<> written = checkTarget(path);
    if (written) {
      written =
          replaceWith(path, [bytes](const FileDescriptor& file) { return writeInto(file, bytes); });
    }
    return within(std::move(written), "cannot write " + path);
  }

  Result<> placeFileAtomically(const std::string& path, const FileDescriptor& file) override {
    return within(placeFile(path, file), "cannot write " + path);
  }

  Result<FileDescriptor> openUnnamedFile(const std::string& directory) override {
    const std::string what = "cannot make an unnamed file in " + directory;
    if (directory.find('\0') != std::string::npos) return Failure::ofErrno(what, EINVAL);
    Result<FileDescriptor> unnamed = openTmpFile(directory);
    if (unnamed || !lacksUnnamedFiles(unnamed.failure().code)) {
      return within(std::move(unnamed), what);
    }
    ScratchFile scratch(directory.empty() ? "spool" : withOneTrailingSlash(directory) + "spool");
    if (Result<> opened = scratch.opened(); !opened)
      return std::move(opened).failure().within(what);
    return scratch.release();
  }

  Result<> makeDirectories(const std::string& path, mode_t mode) override {
    return makeDirectoriesUnder(AT_FDCWD, path, mode);
  }

  Result<> makeDirectoriesAt(const FileDescriptor& parent, const std::string& path,
                             mode_t mode) override {
    return makeDirectoriesUnder(parent.get(), path, mode);
  }

  Result<> linkFile(const FileDescriptor& file, const std::string& path) override {
    return within(linkAt(file, path), "cannot link " + path);
  }

  Result<> copyFile(const FileDescriptor& file, const std::string& path) override {
    const std::string what = "cannot copy to " + path;
    struct stat source;
    if (!file.valid() || ::fstat(file.get(), &source) != 0) return Failure::ofErrno(what, EBADF);
    FileDescriptor copy(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy.valid()) return Failure::ofErrno(what);
    Result<> copied = copyContent(file, copy, source.st_size);
    if (copied && !copy.close()) copied = Failure::ofErrno("close");
    if (!copied) ::unlink(path.c_str());
    return within(std::move(copied), what);
  }
};

}  // namespace

FileSystem& FileSystem::Default() {
  static RealFileSystem fileSystem;
  return fileSystem;
}

WithTemporaryDirectory::WithTemporaryDirectory(FileSystem& target, std::string directory)
    : FileSystemWrapper(target), _directory(withOneTrailingSlash(std::move(directory))) {}

std::string environmentTemporaryDirectory() {
  const char* fromEnvironment = std::getenv("TMPDIR");
  return withOneTrailingSlash(fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp");
}

}  // namespace corvanta
