// corvanta-nse-faulty-fs: the host with a file system whose writes fail at random, as on a
// full or failing disk, for the soak's second pass. SOAK_WRITE_FAILURES sets the share of
// writes that fail (default 0.3), SOAK_SEED the seed (default 1), so that a failing run
// can be repeated.
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/extension_host/app/NSExtensionMain.h"
#include "platform/foundation/FileSystem.h"

namespace {

double fromEnvironment(const char* name, double fallback) {
  const char* value = std::getenv(name);
  return value ? std::atof(value) : fallback;
}

// Each operation that writes fails before touching the disk, with ENOSPC or EIO, for its
// share of calls; the others reach the real file system. Calls come from any thread.
class FailingFileSystem : public corvanta::FileSystemWrapper {
 public:
  FailingFileSystem(double share, unsigned seed)
      : FileSystemWrapper(corvanta::FileSystem::Default()), _share(share), _random(seed) {}

  corvanta::Result<> writeFileAtomically(const std::string& path, std::string_view bytes) override {
    if (const int error = fails()) return corvanta::Failure::ofErrno("cannot write " + path, error);
    return target().writeFileAtomically(path, bytes);
  }

 private:
  // The errno of a failure, or 0.
  int fails() {
    std::lock_guard lock(_mutex);
    if (std::uniform_real_distribution<double>(0, 1)(_random) >= _share) return 0;
    return std::bernoulli_distribution(0.5)(_random) ? ENOSPC : EIO;
  }

  const double _share;
  std::mutex _mutex;
  std::mt19937 _random;
};

}  // namespace

int main(int argc, char* argv[]) {
  FailingFileSystem fileSystem(fromEnvironment("SOAK_WRITE_FAILURES", 0.3),
                               static_cast<unsigned>(fromEnvironment("SOAK_SEED", 1)));
  corvanta::ScopedBackend<corvanta::FileSystem> installed(fileSystem);
  return corvanta::NSExtensionMain(argc, argv);
}
