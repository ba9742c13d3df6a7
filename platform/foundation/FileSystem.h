// The file system backend: the extension's temporary directory and whole-file writes.
//
// FileSystem::Default() is the real one. A test installs its own with
// ScopedBackend<FileSystem>; FileSystemWrapper forwards every call so that a test overrides
// only the call it wants to change. Every operation may be called from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Backend.h"

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

  // Replaces the file at `path` with `bytes`, all at once or not at all: the bytes go to a
  // scratch file beside the target (created exclusively, never through a symlink, mode
  // 0600), which is then renamed over it. Returns false, leaving the target as it was and no
  // scratch file behind, on any failure: a path holding a NUL byte, a target that is a
  // directory, a missing or unwritable parent, a short write. A symlink at `path` is
  // replaced, never followed. No fsync: the files written here are temporary.
  virtual bool writeFileAtomically(const std::string& path, std::string_view bytes) = 0;

  // Replaces the file at `path` in place (open, truncate, write), as a non-atomic write
  // does. Returns false on any failure.
  virtual bool writeFile(const std::string& path, std::string_view bytes) = 0;
};

class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : _target(target) {}
  std::string temporaryDirectory() override { return _target.temporaryDirectory(); }
  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    return _target.writeFileAtomically(path, bytes);
  }
  bool writeFile(const std::string& path, std::string_view bytes) override {
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

// The extension's temporary directory, ending with a slash.
inline std::string NSTemporaryDirectory() {
  return FileSystem::Current().temporaryDirectory();
}

}  // namespace corvanta
