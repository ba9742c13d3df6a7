#include "platform/extension_host/output/ProgressLine.h"

#include <unistd.h>

#include <cstdio>

namespace corvanta {

ProgressLine::ProgressLine(int fd, bool enabled) : _fd(fd), _active(enabled && isatty(fd) == 1) {}

ProgressLine::~ProgressLine() {
  clear();
}

void ProgressLine::update(std::size_t received, std::size_t displayed, std::size_t inFlight) {
  if (!_active) return;
  const auto now = Clock::Current().now();
  if (_drawn && now - _lastDraw < kInterval) return;
  _lastDraw = now;
  char line[160];
  // Carriage return and erase-to-end: the line is drawn over itself.
  const int length = std::snprintf(
      line, sizeof line, "\r\033[Kcorvanta-nse: %zu received, %zu displayed, %zu in flight",
      received, displayed, inFlight);
  if (length > 0 && write(_fd, line, static_cast<std::size_t>(length)) == length) _drawn = true;
}

void ProgressLine::clear() {
  if (!_drawn) return;
  _drawn = false;
  static constexpr char kErase[] = "\r\033[K";
  [[maybe_unused]] const auto written = write(_fd, kErase, sizeof kErase - 1);
}

}  // namespace corvanta
