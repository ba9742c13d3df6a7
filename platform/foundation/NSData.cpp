#include "platform/foundation/NSData.h"

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSURL.h"

namespace corvanta {

bool NSData::writeToURL(const std::shared_ptr<NSURL>& url, bool atomically) const {
  if (!url || !url->isFileURL()) return false;
  auto& fileSystem = FileSystem::Current();
  return atomically ? fileSystem.writeFileAtomically(url->path(), _bytes)
                    : fileSystem.writeFile(url->path(), _bytes);
}

}  // namespace corvanta
