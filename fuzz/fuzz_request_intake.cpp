// Raw bytes as one input file of the host's request reader. Whatever the bytes, the reader
// ends in accepted requests and rejections, never in a crash, and every accepted request
// carries a payload that maps to content.
//
// CORVANTA_FUZZ_STDERR=1 keeps the reader's rejection lines on standard error; by default
// they are dropped, as writing one per input would cost more than the parse.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/extension_host/device/NotificationPayload.h"
#include "platform/extension_host/intake/RequestReader.h"
#include "platform/foundation/FileDescriptor.h"

namespace {

// libFuzzer reads its flags after this hook, so a flag added here counts as given. Closing
// standard error through libFuzzer, rather than here, keeps its own messages and the
// sanitizers' reports, which it moves to a duplicate of the descriptor first.
void dropTargetStandardError(int* argc, char*** argv) {
  static std::string flag = "-close_fd_mask=2";
  static std::vector<char*> arguments;
  arguments.assign(*argv, *argv + *argc);
  arguments.insert(arguments.begin() + 1, flag.data());
  arguments.push_back(nullptr);
  *argc = static_cast<int>(arguments.size() - 1);
  *argv = arguments.data();
}

void check(const corvanta::IncomingRequest& request) {
  if (request.identifier.empty() || !request.payload) std::abort();
  const auto content = corvanta::contentFromPayload(request.payload);
  if (!content) std::abort();
  (void)corvanta::reasonExtensionDoesNotRun(*request.payload);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  if (!std::getenv("CORVANTA_FUZZ_STDERR")) dropTargetStandardError(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A memory file: no disk traffic, and the reader opens it by name like any FILE.
  corvanta::FileDescriptor file(::memfd_create("intake", MFD_CLOEXEC));
  if (!file.valid() || !file.writeAll(std::string_view(reinterpret_cast<const char*>(data), size)))
    std::abort();
  corvanta::RequestReader reader([](corvanta::IncomingRequest request) {
    check(request);
    return true;
  });
  reader.read("/proc/self/fd/" + std::to_string(file.get()));
  return 0;
}
