#include "platform/extension_host/output/RefusalLines.h"

#include <cstdarg>

namespace corvanta {

void RefusalLines::tell(const RefusedPush& push, TimePoint now) {
  if (now - _secondStarted >= std::chrono::seconds(1)) {
    finish();
    _secondStarted = now;
    _toldThisSecond = 0;
  }
  if (_toldThisSecond == kToldPerSecond) {
    ++_untold;
    return;
  }
  ++_toldThisSecond;
  write("corvanta-nse: refused push %s: %d %s: %s\n", push.apnsId.c_str(), push.refusal.status,
        push.refusal.reason.c_str(), push.refusal.fault.c_str());
}

void RefusalLines::finish() {
  if (_untold == 0) return;
  write("corvanta-nse: and %zu more pushes refused within that second, not told one by one\n",
        _untold);
  _untold = 0;
}

void RefusalLines::write(const char* format, ...) {
  if (_beforeWriting) _beforeWriting();
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(_to, format, arguments);
  va_end(arguments);
}

}  // namespace corvanta
