// A fresh directory for one test, removed with everything in it when the object goes.
#pragma once

#include <string>

namespace corvanta::testing {

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

}  // namespace corvanta::testing
