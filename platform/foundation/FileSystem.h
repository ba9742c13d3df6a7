// The file system backend: the extension's temporary directory, whole-file writes and the
// unnamed files that large downloads are kept in.
//
// FileSystem::Default() is the real one. A test installs its own with
// ScopedBackend<FileSystem>; FileSystemWrapper forwards every call so that a test overrides
// only the call it wants to change. Every operation may be called from any thread. A failure
// names the path and carries the errno behind it.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Backend.h"
#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system. Its temporary directory is the one set with
  // setTemporaryDirectory, else $TMPDIR, else /tmp; always with a slash at the end.
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

  // Replaces the file at `path` in place (open, truncate, write), as a non-atomic write
  // does.
  virtual Result<> writeFile(const std::string& path, std::string_view bytes) = 0;
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
  Result<> writeFile(const std::string& path, std::string_view bytes) override {
    return _target.writeFile(path, bytes);
  }

 protected:
  FileSystem& target() { return _target; }

 private:
  FileSystem& _target;
};

// Sets the temporary directory that FileSystem::Default() reports; "" returns to the
// environment's. The host calls it once at start, before any request runs. A slash is
// added when `path` lacks one.
void setTemporaryDirectory(std::string path);

// $TMPDIR, or /tmp when it is unset or empty, ending with one slash.
std::string environmentTemporaryDirectory();

// The extension's temporary directory, ending with a slash.
inline std::string NSTemporaryDirectory() {
  return FileSystem::Current().temporaryDirectory();
}

}  // namespace corvanta
