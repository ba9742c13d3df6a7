// Any bytes under any file name, made into an attachment by the real store. Whatever they
// are, the store either refuses them with one of the media rules' errors or keeps a file
// holding exactly those bytes.
//
// An input is the file name, a newline, then the file's bytes, so that seeds stay readable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/NSCharacterSet.h"
#include "platform/foundation/NSString.h"
#include "platform/foundation/NSURL.h"
#include "platform/user_notifications/AttachmentStore.h"
#include "platform/user_notifications/UNNotificationAttachment.h"
#include "support/ScratchDirectory.h"

namespace {

using corvanta::testing::ScratchDirectory;

// One scratch directory for the run: the staged files at its top, the store below it.
const ScratchDirectory& scratch() {
  static const ScratchDirectory directory;
  return directory;
}

std::string storeDirectory() {
  return scratch().path() + "store/";
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_attachment: %s\n", what.c_str());
  std::abort();
}

std::string contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool isFileName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The file URL of `path`, every byte a path may not hold as it stands escaped.
std::shared_ptr<corvanta::NSURL> fileURL(const std::string& path) {
  static const corvanta::NSCharacterSet kPathAllowed(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'()*+,;=:@/");
  return corvanta::NSURL::URLWithString("file://" +
                                        corvanta::percentEncodedBytes(path, kPathAllowed));
}

void checkRefusal(const std::shared_ptr<corvanta::NSError>& error) {
  if (!error) fail("refused without an error");
  if (error->domain() != corvanta::UNErrorDomain) fail("refused in domain " + error->domain());
  switch (error->code()) {
    case corvanta::UNErrorCodeAttachmentUnrecognizedType:
    case corvanta::UNErrorCodeAttachmentInvalidFileSize:
    case corvanta::UNErrorCodeAttachmentTypeMismatch:
      return;
    default:
      // An existing regular file in a writable store has nothing else to be refused for.
      fail("refused with code " + std::to_string(error->code()) + ": " +
           error->localizedDescription());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static corvanta::DefaultAttachmentStore store(storeDirectory());
  static const corvanta::ScopedBackend<corvanta::AttachmentStore> installed(store);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos || !isFileName(input.substr(0, newline))) return 0;
  const std::string bytes(input.substr(newline + 1));
  const std::string path = scratch().write(std::string(input.substr(0, newline)), bytes);

  const auto url = fileURL(path);
  if (!url || url->path() != path) fail("the file URL of " + path + " does not reach it");
  std::shared_ptr<corvanta::NSError> error;
  const auto attachment = corvanta::UNNotificationAttachment::attachmentWithIdentifier(
      "Corvanta", url, nullptr, &error);
  if (attachment) {
    if (attachment->size() != bytes.size() || contentsOf(attachment->file()) != bytes)
      fail(attachment->file() + " does not hold the bytes of " + path);
  } else {
    checkRefusal(error);
  }

  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove_all(storeDirectory(), ignored);
  return 0;
}
