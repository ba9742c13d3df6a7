// Owns one open file descriptor and closes it when destroyed. Move-only.
#pragma once

#include <unistd.h>

#include <utility>

namespace corvanta {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : _fd(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      _fd = std::exchange(other._fd, -1);
    }
    return *this;
  }
  ~FileDescriptor() { reset(); }

  int get() const { return _fd; }
  bool valid() const { return _fd >= 0; }
  void reset() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

 private:
  int _fd = -1;
};

}  // namespace corvanta
