// A file system whose whole-file writes fail, as on a full or failing disk: for tests, and
// for the soak's host whose staging writes fail at random.
#pragma once

#include <mutex>
#include <random>

#include "platform/foundation/FileSystem.h"

namespace corvanta::testing {

// writeFileAtomically and placeFileAtomically fail for `share` of their calls (all of them
// at 1), with ENOSPC or EIO and before touching the disk; every other call, and the rest of
// those, reach `target`. Which calls fail follows from `seed`, so that a failing run can be
// repeated. Any thread may call it.
class FailingFileSystem : public FileSystemWrapper {
 public:
  explicit FailingFileSystem(FileSystem& target, double share = 1, unsigned seed = 1)
      : FileSystemWrapper(target), _share(share), _random(seed) {}

  Result<> writeFileAtomically(const std::string& path, std::string_view bytes) override;
  Result<> placeFileAtomically(const std::string& path, const FileDescriptor& file) override;

 private:
  // The errno of this call's failure, or 0 when it is to succeed.
  int failure();

  const double _share;
  std::mutex _mutex;
  std::mt19937 _random;
};

}  // namespace corvanta::testing
