// Owns one open file descriptor and closes it when destroyed. Move-only; not thread-safe.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace corvanta {

// Writes all of `bytes` to `fd`, through short writes and interruptions: 0, or the errno of
// the write that failed. `wrote` is told each part of `bytes` once it is written.
template <class Wrote>
int writeAll(int fd, std::string_view bytes, Wrote wrote) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    wrote(bytes.substr(0, static_cast<std::size_t>(written)));
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

inline int writeAll(int fd, std::string_view bytes) {
  return writeAll(fd, bytes, [](std::string_view) {});
}

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

  // Writes all of `bytes`; false on any error, with errno set.
  bool writeAll(std::string_view bytes) const {
    const int error = corvanta::writeAll(_fd, bytes);
    if (error != 0) errno = error;
    return error == 0;
  }

  // Some file systems report a failed write only here, so its result counts. The descriptor
  // is released whatever the result: retrying close() may close a descriptor reused since.
  bool close() { return ::close(std::exchange(_fd, -1)) == 0; }

 private:
  int _fd = -1;
};

}  // namespace corvanta
