#include "platform/extension_host/output/ProgressLine.h"

#include <unistd.h>

#include <cstdio>

namespace corvanta {

ProgressLine::ProgressLine(int fd, bool enabled, std::function<NotificationHost::Counts()> counts)
    : _fd(fd), _active(enabled && isatty(fd) == 1), _counts(std::move(counts)) {
  if (_active) _thread = std::thread([this] { run(); });
}

ProgressLine::~ProgressLine() {
  stop();
}

void ProgressLine::clear() {
  const std::lock_guard lock(_mutex);
  erase();
}

void ProgressLine::stop() {
  {
    const std::lock_guard lock(_mutex);
    _stopping = true;
    erase();
  }
  _wake.notify_one();
  if (_thread.joinable()) _thread.join();
}

void ProgressLine::run() {
  std::unique_lock lock(_mutex);
  while (!_stopping) {
    draw(_counts());
    _wake.wait_for(lock, kInterval);
  }
}

void ProgressLine::draw(const NotificationHost::Counts& counts) {
  char line[160];
  // Carriage return and erase-to-end: the line is drawn over itself.
  const int length = std::snprintf(
      line, sizeof line, "\r\033[Kcorvanta-nse: %zu received, %zu delivered, %zu in flight",
      counts.received, counts.delivered, counts.inFlight);
  if (length > 0 && write(_fd, line, static_cast<std::size_t>(length)) == length) _drawn = true;
}

void ProgressLine::erase() {
  if (!_drawn) return;
  _drawn = false;
  static constexpr char kErase[] = "\r\033[K";
  [[maybe_unused]] const auto written = write(_fd, kErase, sizeof kErase - 1);
}

}  // namespace corvanta
