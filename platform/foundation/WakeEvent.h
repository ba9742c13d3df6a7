// A wake-up another thread can wait for in poll(2) or an event loop: an eventfd that
// becomes readable once notify() is called and stays so until clear(). notify() and clear()
// may be called from any thread; the descriptor lives as long as the object.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/foundation/FileDescriptor.h"

namespace corvanta {

class WakeEvent {
 public:
  WakeEvent() : _fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  bool valid() const { return _fd.valid(); }
  int fd() const { return _fd.get(); }

  void notify() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(_fd.get(), &one, sizeof one);
  }
  void clear() const {
    std::uint64_t count;
    [[maybe_unused]] const auto read = ::read(_fd.get(), &count, sizeof count);
  }

 private:
  FileDescriptor _fd;
};

}  // namespace corvanta
