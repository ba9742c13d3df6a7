// The file system backend: the extension's temporary directory, whole-file writes, the
// unnamed files that large downloads are kept in, and the directories, links and copies that
// the attachment store, the container and the endpoint's certificates are made of.
//
// FileSystem::Default() is the real one. A test installs its own with
// ScopedBackend<FileSystem>; FileSystemWrapper forwards every call so that a test overrides
// only the call it wants to change. Every operation may be called from any thread. A failure
// names the path and carries the errno behind it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/foundation/Backend.h"
#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system. Its temporary directory is $TMPDIR, else /tmp.
  static FileSystem& Default();
  static FileSystem& Current() { return BackendSlot<FileSystem>::Current(); }

  // The path of the extension's temporary directory, ending with a slash.
  virtual std::string temporaryDirectory() = 0;

  // Replaces the file at `path` with `bytes`, all at once or not at all: the bytes go to an
  // unnamed file in the target's directory (mode 0600), which is linked in under a hidden
  // random name and renamed over the target; only where that file system has no unnamed
  // files do they go to a named hidden scratch file instead. Fails, leaving the target as it
  // was and nothing behind, on any failure: a path holding a NUL byte or naming no file
  // (EINVAL), a target that is a directory (EISDIR), a missing or unwritable parent, a short
  // write. A process killed while writing leaves nothing either, except on the scratch-file
  // path. A symlink at `path` is replaced, never followed. No fsync: the files written here
  // are temporary.
  virtual Result<> writeFileAtomically(const std::string& path, std::string_view bytes) = 0;

  // Puts the whole content of `file` (a regular file open for reading; its offset is neither
  // used nor moved) at `path`, all at once or not at all, as writeFileAtomically does. An
  // unnamed file from openUnnamedFile on the target's file system is linked into place
  // without copying, so the target then shares its bytes: `file` must not be written
  // afterwards. Any other file is copied in the kernel (copy_file_range) into a new file
  // beside the target. Fails as writeFileAtomically does, and when `file` is not valid
  // (EBADF) or not a regular file (EINVAL).
  virtual Result<> placeFileAtomically(const std::string& path, const FileDescriptor& file) = 0;

  // A new empty file open for reading and writing in `directory`, mode 0600, that no path
  // names (O_TMPFILE; where the file system has none, a named file removed at once): its
  // space is freed when the last descriptor closes, even if the process is killed.
  virtual Result<FileDescriptor> openUnnamedFile(const std::string& directory) = 0;

  // Makes the directory `path` with exactly `mode` (not narrowed by the umask), and its
  // missing parents as `mkdir -p` does (0777 less the umask). Succeeds when `path` is a
  // directory afterwards, made now or found there (through a symlink too). Fails with the
  // error of making `path` itself: a parent that could not be made shows there, while one
  // that another thread made meanwhile does no harm; ENOTDIR when something else is there.
  virtual Result<> makeDirectories(const std::string& path, mode_t mode) = 0;

  // makeDirectories for a relative `path` under the open directory `parent`: made where the
  // handle points, whatever has become of the path that was opened.
  virtual Result<> makeDirectoriesAt(const FileDescriptor& parent, const std::string& path,
                                     mode_t mode) = 0;

  // Gives the open regular file `file` the further name `path`, a hard link (an unnamed file
  // from openUnnamedFile gets its first name): through /proc/self/fd, or where /proc is
  // missing by the descriptor itself, which needs a privilege that root has. Never replaces:
  // fails with EEXIST when anything is at `path`, EXDEV when `path` is on another file
  // system, ENOENT when its directory is missing, EPERM where linking is not allowed (another
  // user's file under protected_hardlinks).
  virtual Result<> linkFile(const FileDescriptor& file, const std::string& path) = 0;

  // A new file at `path`, mode 0600, holding the whole content of `file` (a regular file open
  // for reading; its offset is neither used nor moved), copied in the kernel where it can.
  // Never replaces and never follows a symlink: fails with EEXIST when anything is at `path`,
  // and on any other failure leaves nothing there.
  virtual Result<> copyFile(const FileDescriptor& file, const std::string& path) = 0;
};

class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : _target(target) {}
  std::string temporaryDirectory() override { return _target.temporaryDirectory(); }
  Result<> writeFileAtomically(const std::string& path, std::string_view bytes) override {
    return _target.writeFileAtomically(path, bytes);
  }
  Result<> placeFileAtomically(const std::string& path, const FileDescriptor& file) override {
    return _target.placeFileAtomically(path, file);
  }
  Result<FileDescriptor> openUnnamedFile(const std::string& directory) override {
    return _target.openUnnamedFile(directory);
  }
  Result<> makeDirectories(const std::string& path, mode_t mode) override {
    return _target.makeDirectories(path, mode);
  }
  Result<> makeDirectoriesAt(const FileDescriptor& parent, const std::string& path,
                             mode_t mode) override {
    return _target.makeDirectoriesAt(parent, path, mode);
  }
  Result<> linkFile(const FileDescriptor& file, const std::string& path) override {
    return _target.linkFile(file, path);
  }
  Result<> copyFile(const FileDescriptor& file, const std::string& path) override {
    return _target.copyFile(file, path);
  }

 protected:
  FileSystem& target() { return _target; }

 private:
  FileSystem& _target;
};

// `target` with a temporary directory of its own (given one slash at its end): how the host
// gives the extension its container's tmp/ for a run, over whichever file system is installed
// (a test's fault-injecting one too), and how a test gives it a scratch one.
class WithTemporaryDirectory final : public FileSystemWrapper {
 public:
  WithTemporaryDirectory(FileSystem& target, std::string directory);
  std::string temporaryDirectory() override { return _directory; }

 private:
  const std::string _directory;
};

// $TMPDIR, or /tmp when it is unset or empty, ending with one slash.
std::string environmentTemporaryDirectory();

// The extension's temporary directory, ending with a slash.
inline std::string NSTemporaryDirectory() {
  return FileSystem::Current().temporaryDirectory();
}

}  // namespace corvanta
