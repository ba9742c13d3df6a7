#include "platform/extension_host/app/Container.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Handle.h"
#include "platform/foundation/NSString.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

constexpr std::time_t kTemporaryFileLifetimeSeconds = 24 * 60 * 60;

// A failure of the container at `path`, told as the host reports it: "container PATH...".
Failure failed(const std::string& path, const std::string& what, int code = 0) {
  return {"container " + path + what, code};
}
Failure failedErrno(const std::string& path, const std::string& what, int code = errno) {
  return failed(path, what + std::strerror(code), code);
}

// Directory handles for readdir, closed with the stream.
using DirectoryStream = std::unique_ptr<DIR, FreeWith<::closedir>>;

DirectoryStream openDirectoryStream(int parent, const char* name) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (!dir) ::close(fd);
  return DirectoryStream(dir);
}

Result<std::string> absolutePath(const std::string& given) {
  std::error_code code;
  std::string path = fs::absolute(given, code).string();
  if (code) return failed(given, ": " + code.message(), code.value());
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A '?' or bytes that are not UTF-8 would leave the extension without a staging file URL that
// names a file inside the container.
Result<> checkUsableForURLs(const std::string& path) {
  // A staging file URL keeps '?' unencoded, so it would start the URL's query there.
  if (path.find('?') != std::string::npos) {
    return failed(path,
                  ": its path holds '?', so a staging file URL made from it would name a file "
                  "outside it");
  }
  // Staging file URLs are text: a path that is not UTF-8 has none, so nothing could be staged.
  if (!isValidUTF8(path)) {
    return failed(path,
                  ": its path is not valid UTF-8, so no staging file URL could be made from it");
  }
  return {};
}

// Creates the container (parents as needed) when nothing is at `path`.
Result<> createWhenMissing(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return {};
  if (errno != ENOENT) return failedErrno(path, ": ");
  if (Result<> made = FileSystem::Current().makeDirectories(path, 0700); !made) {
    return failedErrno(path, ": cannot create it: ", made.failure().code);
  }
  return {};
}

Result<FileDescriptor> openContainerDirectory(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return failedErrno(path, ": ");
  if (S_ISLNK(status.st_mode)) {
    return failed(path, " is a symlink; give the directory it points to instead");
  }
  if (!S_ISDIR(status.st_mode)) return failed(path, " is not a directory");
  FileDescriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // Checked again on the open handle: what is checked is then what is used.
  if (!directory.valid() || ::fstat(directory.get(), &status) != 0) {
    return failedErrno(path, ": ");
  }
  if (status.st_uid != ::geteuid()) {
    return failed(path, " is owned by another user (uid " + std::to_string(status.st_uid) + ")");
  }
  return directory;
}

Result<FileDescriptor> lockContainer(int directory, const std::string& path) {
  FileDescriptor lock(
      ::openat(directory, ".lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) return failedErrno(path, ": cannot open its lock file: ");
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return failed(
          path, " is in use by another process; give this run its own with --container DIR", errno);
    }
    return failedErrno(path, ": cannot lock it: ");
  }
  return lock;
}

Result<> ensureSubdirectory(const FileDescriptor& directory, const std::string& path,
                            const std::string& name) {
  const Result<> made = FileSystem::Current().makeDirectoriesAt(directory, name, 0700);
  // ENOTDIR: something else has the name, as the check below says.
  if (!made && made.failure().code != ENOTDIR) {
    return failedErrno(path, ": cannot create " + name + ": ", made.failure().code);
  }
  // Not even a symlink to a directory: the container's parts are its own.
  struct stat status {};
  if (::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(status.st_mode)) {
    return failed(path, ": " + name + " is not a directory");
  }
  return {};
}

// Removes the files in tmp/ (never a folder) for which `remove` holds.
template <class Predicate>
void removeTemporaryFiles(int directory, Predicate remove) {
  auto stream = openDirectoryStream(directory, "tmp");
  if (!stream) return;
  const int fd = ::dirfd(stream.get());
  while (const dirent* entry = ::readdir(stream.get())) {
    struct stat status {};
    if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(status.st_mode) && remove(status)) ::unlinkat(fd, entry->d_name, 0);
  }
}

// Staging files are never removed by the extension; this keeps them from piling up.
void purgeOldTemporaryFiles(int directory) {
  const std::time_t cutoff = std::time(nullptr) - kTemporaryFileLifetimeSeconds;
  removeTemporaryFiles(directory, [&](const struct stat& file) { return file.st_mtime < cutoff; });
}

// Sorts by time (then process id) when names are compared as text.
std::string runFolderName() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  char name[96];
  std::snprintf(name, sizeof name, "run-%s.%03dZ-%d", stamp, static_cast<int>(millis),
                static_cast<int>(::getpid()));
  return name;
}

// Removes the run folders that hold nothing (left by a run that ended before it could remove
// its own), and those beyond the newest kRunFoldersKept - 1, which leaves room for this run's.
void pruneRunFolders(int directory, const std::string& attachments) {
  std::vector<std::string> runs;
  {
    auto stream = openDirectoryStream(directory, "Attachments");
    if (!stream) return;
    const int fd = ::dirfd(stream.get());
    while (const dirent* entry = ::readdir(stream.get())) {
      struct stat status {};
      if (std::strncmp(entry->d_name, "run-", 4) != 0) continue;
      if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      // Only an empty folder can be removed this way.
      if (S_ISDIR(status.st_mode) && ::unlinkat(fd, entry->d_name, AT_REMOVEDIR) != 0) {
        runs.emplace_back(entry->d_name);
      }
    }
  }
  if (runs.size() < static_cast<std::size_t>(Container::kRunFoldersKept)) return;
  std::sort(runs.begin(), runs.end(), std::greater<>());
  for (std::size_t i = Container::kRunFoldersKept - 1; i < runs.size(); ++i) {
    std::error_code ignored;
    fs::remove_all(fs::path(attachments) / runs[i], ignored);
  }
}

}  // namespace

Result<std::unique_ptr<Container>> Container::open(const std::string& given) {
  Result<std::string> path = absolutePath(given);
  if (!path) return std::move(path).failure();
  if (Result<> usable = checkUsableForURLs(*path); !usable) return std::move(usable).failure();
  if (Result<> made = createWhenMissing(*path); !made) return std::move(made).failure();
  Result<FileDescriptor> directory = openContainerDirectory(*path);
  if (!directory) return std::move(directory).failure();
  Result<FileDescriptor> lock = lockContainer(directory->get(), *path);
  if (!lock) return std::move(lock).failure();
  // The run's start as the file system tells time (a coarser clock than the system's), to
  // compare with the times of the files written from now on.
  struct stat locked {};
  ::futimens(lock->get(), nullptr);
  ::fstat(lock->get(), &locked);
  for (const char* name : {"tmp", "Attachments"}) {
    if (Result<> made = ensureSubdirectory(*directory, *path, name); !made) {
      return std::move(made).failure();
    }
  }
  purgeOldTemporaryFiles(directory->get());
  // The endpoint's folder was once named "gateway": clients trust the CA kept in it, so it
  // moves as it is, never made anew.
  ::renameat2(directory->get(), "gateway", directory->get(), "endpoint", RENAME_NOREPLACE);

  // This run's folder is made by the store with its first attachment: a run that attaches
  // nothing leaves none.
  const std::string attachments = *path + "/Attachments";
  pruneRunFolders(directory->get(), attachments);
  return std::make_unique<Container>(*path, std::move(*lock),
                                     attachments + "/" + runFolderName() + "/", locked.st_mtim);
}

void Container::removeUnattachedStagingFiles() const {
  const FileDescriptor directory(
      ::open(_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) return;
  // The attachment store links each file it accepts: a file with no other link is one that
  // no attachment was made from. Files from before this run are left to the daily purge.
  removeTemporaryFiles(directory.get(), [this](const struct stat& file) {
    const timespec& written = file.st_mtim;
    return file.st_nlink == 1 &&
           (written.tv_sec > _opened.tv_sec ||
            (written.tv_sec == _opened.tv_sec && written.tv_nsec > _opened.tv_nsec));
  });
}

}  // namespace corvanta

namespace corvanta {

std::string Container::runName() const {
  std::string name = _runDirectory;
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name.substr(name.rfind('/') + 1);
}

}  // namespace corvanta
