#include "attachment/StagingFileURL.h"

#include "platform/foundation/NSString.h"

namespace corvanta {

std::optional<std::string> stagingFileURLString(std::string_view attachmentURLString,
                                                std::string_view temporaryDirectory) {
  const std::string path = std::string(temporaryDirectory) + lastPathComponent(attachmentURLString);
  return stringByAddingPercentEncodingWithAllowedCharacters(
      kFileURLPrefix + path, NSCharacterSet::URLQueryAllowedCharacterSet());
}

}  // namespace corvanta
