#include "platform/extension_host/NSExtensionMain.h"

#include <cstdio>
#include <cstdlib>

#include "platform/extension_host/Container.h"
#include "platform/extension_host/HostOptions.h"
#include "platform/extension_host/NotificationHost.h"
#include "platform/extension_host/RequestReader.h"
#include "platform/foundation/FileSystem.h"
#include "platform/user_notifications/AttachmentStore.h"

namespace corvanta {
namespace {

bool writePreview(const std::string& path, const std::string& html) {
  if (FileSystem::Current().writeFileAtomically(path, html)) return true;
  std::fprintf(stderr, "corvanta-nse: cannot write the preview to %s\n", path.c_str());
  return false;
}

}  // namespace

int NSExtensionMain(int argc, char* argv[]) {
  const HostOptionsResult parsed = parseHostOptions(argc, argv);
  if (!parsed.options) return parsed.exitStatus;
  const HostOptions& options = *parsed.options;

  std::string error;
  const auto container = Container::open(options.container, &error);
  if (!container) {
    std::fprintf(stderr, "corvanta-nse: %s\n", error.c_str());
    return 1;
  }
  setTemporaryDirectory(container->temporaryDirectory());
  setAttachmentStoreDirectory(container->runDirectory());

  NotificationHost host({std::chrono::duration<double>(options.timeLimitSeconds), options.format,
                         options.previewPath.has_value()});
  RequestReader reader([&host](IncomingRequest request) { host.receive(std::move(request)); });
  for (const auto& input : options.inputs) reader.read(input);
  const bool settled = host.finish();

  int status = reader.allAccepted() ? 0 : 1;
  if (options.previewPath && !writePreview(*options.previewPath, host.previewHTML())) status = 1;
  if (!settled) {
    // Downloads are being abandoned, as a device ends the extension: their completions may
    // still run on the loading pool, so the process must not run its destructors under them.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace corvanta
