#include "platform/foundation/NSData.h"

#include <sys/mman.h>

#include <cstring>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSString.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/RequestActivity.h"

namespace corvanta {

std::shared_ptr<NSData> NSData::dataWithFile(FileDescriptor file, std::size_t length) {
  if (length == 0) return dataWithBytes("");
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, file.get(), 0);
  if (mapped == MAP_FAILED) return nullptr;
  std::shared_ptr<const char> mapping(static_cast<const char*>(mapped), [length](const char* at) {
    ::munmap(const_cast<char*>(at), length);
  });
  return std::make_shared<NSData>(std::move(file), std::move(mapping), length);
}

bool NSData::writeToURL(const std::shared_ptr<NSURL>& url, bool /*atomically*/) const {
  if (!url || !url->isFileURL()) return false;
  auto& fileSystem = FileSystem::Current();
  const Result<> written = isFileBacked() ? fileSystem.placeFileAtomically(url->path(), _file)
                                          : fileSystem.writeFileAtomically(url->path(), bytes());
  if (!written) {
    const int error = written.failure().code;
    RequestActivity::note(
        {"staging", error, "errno",
         "cannot write " + lastPathComponent(url->path()) + ": " + std::strerror(error)});
  }
  return written.ok();
}

}  // namespace corvanta
