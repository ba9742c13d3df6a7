// Files for the tests: a fresh directory for one test, removed with everything in it when the
// object goes, and files read whole.
#pragma once

#include <string>

#include "platform/foundation/FileSystem.h"

namespace corvanta::testing {

// The bytes of the file at `path`; "" when it cannot be read.
std::string readFile(const std::string& path);
// A real media file committed with the source: the tests' own from tests/media/, whose README
// says how each was made, or else the demo's from examples/media/. Throws rather than give no
// bytes, so that a missing file is not mistaken for an empty one.
std::string media(const std::string& name);

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory's path, ending with a slash.
  const std::string& path() const { return _path; }
  // Writes `bytes` to path() + name and gives the file's path.
  std::string write(const std::string& name, const std::string& bytes) const;
  // The bytes of path() + name; "" when it cannot be read.
  std::string read(const std::string& name) const;

 private:
  std::string _path;
};

// The real file system, with its temporary directory moved to a scratch one.
class ScratchTemporaryDirectory : public FileSystemWrapper {
 public:
  explicit ScratchTemporaryDirectory(std::string path)
      : FileSystemWrapper(FileSystem::Default()), _path(std::move(path)) {}
  std::string temporaryDirectory() override { return _path; }

 private:
  std::string _path;
};

}  // namespace corvanta::testing
