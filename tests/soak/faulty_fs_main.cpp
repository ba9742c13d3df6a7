// corvanta-nse-faulty-fs: the host with a file system whose staging writes (bodies kept in
// memory and those spooled to a file alike) fail at random, as on a full or failing disk, for
// the soak's second pass. SOAK_WRITE_FAILURES sets the share of writes that fail (default
// 0.3), SOAK_SEED the seed (default 1), so that a failing run can be repeated.
#include <cstdlib>

#include "platform/extension_host/app/NSExtensionMain.h"
#include "support/FailingFileSystem.h"

namespace {

double fromEnvironment(const char* name, double fallback) {
  const char* value = std::getenv(name);
  return value ? std::atof(value) : fallback;
}

}  // namespace

int main(int argc, char* argv[]) {
  corvanta::testing::FailingFileSystem fileSystem(
      corvanta::FileSystem::Default(), fromEnvironment("SOAK_WRITE_FAILURES", 0.3),
      static_cast<unsigned>(fromEnvironment("SOAK_SEED", 1)));
  const corvanta::ScopedBackend<corvanta::FileSystem> installed(fileSystem);
  return corvanta::NSExtensionMain(argc, argv);
}
