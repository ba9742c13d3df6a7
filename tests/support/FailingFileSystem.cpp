#include "support/FailingFileSystem.h"

#include <cerrno>

namespace corvanta::testing {

Result<> FailingFileSystem::writeFileAtomically(const std::string& path, std::string_view bytes) {
  if (const int error = failure()) return Failure::ofErrno("cannot write " + path, error);
  return target().writeFileAtomically(path, bytes);
}

Result<> FailingFileSystem::placeFileAtomically(const std::string& path,
                                                const FileDescriptor& file) {
  if (const int error = failure()) return Failure::ofErrno("cannot write " + path, error);
  return target().placeFileAtomically(path, file);
}

int FailingFileSystem::failure() {
  const std::lock_guard lock(_mutex);
  if (std::uniform_real_distribution<double>(0, 1)(_random) >= _share) return 0;
  return std::bernoulli_distribution(0.5)(_random) ? ENOSPC : EIO;
}

}  // namespace corvanta::testing
