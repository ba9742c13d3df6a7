// Raw bytes as one input file of the host's request reader. Whatever the bytes, the reader
// ends in accepted requests and rejections, never in a crash; every accepted request carries
// a payload that maps to content, and every rejection names its line and a reason.
//
// CORVANTA_FUZZ_STDERR=1 prints the rejections on standard error, as the host does; by
// default they are not printed, as writing one per input would cost more than the parse.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/extension_host/device/NotificationPayload.h"
#include "platform/extension_host/intake/RequestReader.h"
#include "platform/foundation/FileDescriptor.h"

namespace {

using corvanta::RequestReader;

bool take(corvanta::IncomingRequest request) {
  if (request.identifier.empty() || !request.payload) std::abort();
  const auto content = corvanta::contentFromPayload(request.payload, nullptr);
  if (!content) std::abort();
  (void)corvanta::reasonExtensionDoesNotRun("alert", *request.payload, nullptr);
  return true;
}

void hear(const RequestReader::Rejection& rejection) {
  if (rejection.line == 0 || rejection.reason.empty()) std::abort();
  static const bool show = std::getenv("CORVANTA_FUZZ_STDERR") != nullptr;
  if (show) {
    std::fprintf(stderr, "%s:%zu: %s\n", rejection.input.c_str(), rejection.line,
                 rejection.reason.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A memory file: no disk traffic, and the reader opens it by name like any FILE.
  corvanta::FileDescriptor file(::memfd_create("intake", MFD_CLOEXEC));
  if (!file.valid() || !file.writeAll(std::string_view(reinterpret_cast<const char*>(data), size)))
    std::abort();
  RequestReader reader(take, hear);
  reader.read("/proc/self/fd/" + std::to_string(file.get()));
  return 0;
}
