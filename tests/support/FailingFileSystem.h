// A file system whose whole-file writes (writeFileAtomically, placeFileAtomically) fail with
// ENOSPC before touching the disk, as on a full disk: for tests, and for the soak's host whose
// staging writes fail at random. `share` of them fail (all at 1), chosen from `seed` so that
// a failing run can be repeated; every other call reaches `target`. Any thread may call it.
#pragma once

#include <cerrno>
#include <mutex>
#include <random>

#include "platform/foundation/FileSystem.h"

namespace corvanta::testing {

class FailingFileSystem : public FileSystemWrapper {
 public:
  explicit FailingFileSystem(FileSystem& target, double share = 1, unsigned seed = 1)
      : FileSystemWrapper(target), _fails(share), _random(seed) {}

  Result<> writeFileAtomically(const std::string& path, std::string_view bytes) override {
    if (fails()) return Failure::ofErrno("cannot write " + path, ENOSPC);
    return target().writeFileAtomically(path, bytes);
  }
  Result<> placeFileAtomically(const std::string& path, const FileDescriptor& file) override {
    if (fails()) return Failure::ofErrno("cannot write " + path, ENOSPC);
    return target().placeFileAtomically(path, file);
  }

 private:
  bool fails() {
    const std::lock_guard lock(_mutex);
    return _fails(_random);
  }

  std::mutex _mutex;
  std::bernoulli_distribution _fails;
  std::mt19937 _random;
};

}  // namespace corvanta::testing
