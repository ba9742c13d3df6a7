// corvanta-nse-faulty-fs: the host with a file system whose staging writes (bodies kept in
// memory and those spooled to a file alike) fail at random, as on a full disk, for the soak's
// second pass. SOAK_WRITE_FAILURES sets the share of writes that fail (default 0.3), SOAK_SEED
// the seed (default 1), so that a failing run can be repeated.
#include <cstdlib>

#include "platform/extension_host/app/NSExtensionMain.h"
#include "support/FailingFileSystem.h"

int main(int argc, char* argv[]) {
  const char* share = std::getenv("SOAK_WRITE_FAILURES");
  const char* seed = std::getenv("SOAK_SEED");
  corvanta::testing::FailingFileSystem fileSystem(
      corvanta::FileSystem::Default(), share ? std::atof(share) : 0.3, seed ? std::atoi(seed) : 1);
  const corvanta::ScopedBackend<corvanta::FileSystem> installed(fileSystem);
  return corvanta::NSExtensionMain(argc, argv);
}
