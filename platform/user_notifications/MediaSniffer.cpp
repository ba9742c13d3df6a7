#include "platform/user_notifications/MediaSniffer.h"

#include <magic.h>

#include <memory>

namespace corvanta {
namespace {

class MagicHandle {
 public:
  MagicHandle() : _cookie(magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR), &magic_close) {
    if (_cookie && magic_load(_cookie.get(), nullptr) != 0) _cookie.reset();
  }

  std::optional<std::string> mimeTypeOf(std::string_view bytes) {
    if (!_cookie) return std::nullopt;
    const char* answer = magic_buffer(_cookie.get(), bytes.data(), bytes.size());
    if (!answer) return std::nullopt;
    return std::string(answer);
  }

 private:
  std::unique_ptr<magic_set, decltype(&magic_close)> _cookie;
};

}  // namespace

std::optional<std::string> sniffMimeType(std::string_view bytes) {
  thread_local MagicHandle handle;
  return handle.mimeTypeOf(bytes);
}

}  // namespace corvanta
