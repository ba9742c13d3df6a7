// Raw bytes as one input file of the host's request reader. Whatever the bytes, the reader
// ends in accepted requests and rejections, never in a crash; every accepted request carries
// a payload that maps to content, and every rejection names its line and a reason. And the
// bytes as one JSON text: what the quick parser accepts, the JSON library's parser accepts
// too, into the same tree.
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
#include "platform/foundation/JSONValue.h"

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

// The same tree: the same types all the way down (an unsigned integer is not a signed one,
// 1.0 is not 1), not only values that compare equal.
bool sameTree(const nlohmann::json& a, const nlohmann::json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_object()) {
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if (x.key() != y.key() || !sameTree(*x, *y)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!sameTree(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b;
}

void compareParsers(std::string_view text) {
  nlohmann::json quick;
  if (!corvanta::parseJSONQuickly(text, quick)) return;
  const auto slow = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (slow.is_discarded() || !sameTree(slow, quick)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  compareParsers(std::string_view(reinterpret_cast<const char*>(data), size));
  // A memory file: no disk traffic, and the reader opens it by name like any FILE.
  corvanta::FileDescriptor file(::memfd_create("intake", MFD_CLOEXEC));
  if (!file.valid() || !file.writeAll(std::string_view(reinterpret_cast<const char*>(data), size)))
    std::abort();
  RequestReader reader(take, hear);
  reader.read("/proc/self/fd/" + std::to_string(file.get()));
  return 0;
}
