#include "support/ScratchDirectory.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/TestData.h"

namespace corvanta::testing {

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvanta-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
  _path = pattern + "/";
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(_path, ignored);
}

std::string ScratchDirectory::write(const std::string& name, const std::string& bytes) const {
  const std::string file = _path + name;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  return file;
}

std::string ScratchDirectory::read(const std::string& name) const {
  return readFile(_path + name);
}

}  // namespace corvanta::testing
