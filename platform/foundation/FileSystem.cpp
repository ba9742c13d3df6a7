#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "platform/foundation/FileDescriptor.h"

namespace corvanta {
namespace {

// Trailing slashes collapse to one, so that callers may append a file name directly.
std::string withOneTrailingSlash(std::string path) {
  const auto last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";
  path.erase(last + 1);
  path += '/';
  return path;
}

// A path the kernel would read differently from what the caller wrote (cut short at a NUL)
// or that names no file.
bool isUnusablePath(const std::string& path) {
  return path.empty() || path.back() == '/' || path.find('\0') != std::string::npos;
}

// A scratch file beside the target, removed when this goes out of scope unless it was
// renamed into place.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& target) {
    const auto slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // The name is capped so that a long target name still leaves room for the suffix.
    const std::string name = target.substr(directory.size()).substr(0, kMaxNameStem);
    std::random_device random;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string candidate = directory + "." + name + "." + randomSuffix(random);
      const int fd =
          ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

  bool write(std::string_view bytes) { return _fd.valid() && _fd.writeAll(bytes) && _fd.close(); }

  bool renameOver(const std::string& target) {
    if (::rename(_path.c_str(), target.c_str()) != 0) return false;
    _path.clear();
    return true;
  }

 private:
  static constexpr std::size_t kMaxNameStem = 200;
  static constexpr int kAttempts = 100;

  static std::string randomSuffix(std::random_device& random) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string suffix(6, ' ');
    for (char& c : suffix) c = kAlphabet[pick(random)];
    return suffix;
  }

  std::string _path;
  FileDescriptor _fd;
};

class RealFileSystem final : public FileSystem {
 public:
  std::string temporaryDirectory() override {
    {
      std::lock_guard lock(_mutex);
      if (!_temporaryDirectory.empty()) return _temporaryDirectory;
    }
    const char* fromEnvironment = std::getenv("TMPDIR");
    return withOneTrailingSlash(fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp");
  }

  void setTemporaryDirectory(std::string path) {
    std::lock_guard lock(_mutex);
    _temporaryDirectory = path.empty() ? "" : withOneTrailingSlash(std::move(path));
  }

  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    if (isUnusablePath(path)) return false;
    // rename() would refuse a directory too, but only after the scratch file was written.
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return false;
    ScratchFile scratch(path);
    return scratch.write(bytes) && scratch.renameOver(path);
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

void setTemporaryDirectory(std::string path) {
  realFileSystem().setTemporaryDirectory(std::move(path));
}

}  // namespace corvanta
