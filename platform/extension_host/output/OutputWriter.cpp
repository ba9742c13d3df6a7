#include "platform/extension_host/output/OutputWriter.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/FileDescriptor.h"

namespace corvanta {
OutputWriter::OutputWriter(int fd, std::function<void()> onFailure)
    : _fd(fd), _onFailure(std::move(onFailure)), _thread([this] { run(); }) {}

OutputWriter::~OutputWriter() {
  {
    const std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_one();
  _thread.join();
}

namespace {

// Lines end far apart (a delivery line is most of a kilobyte): memchr leaps to each end.
std::size_t countLines(std::string_view text) {
  std::size_t lines = 0;
  const char* const end = text.data() + text.size();
  for (const char* at = text.data();
       (at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at))));
       ++at) {
    ++lines;
  }
  return lines;
}

}  // namespace

void OutputWriter::append(std::string_view text) {
  const std::size_t lines = countLines(text);
  const std::lock_guard lock(_mutex);
  _appendedLines += lines;
  if (_error != 0) return;
  const bool wasEmpty = _buffer.empty();
  _buffer.append(text);
  // A writer that writes or gathers takes what piles up next without being told, unless
  // enough has gathered to write at once.
  if ((wasEmpty && !_writing && !_gathering) || (_gathering && _buffer.size() >= kBatchBytes)) {
    _wake.notify_one();
  }
}

void OutputWriter::waitUntilBufferedAtMost(std::size_t bytes) {
  std::unique_lock lock(_mutex);
  _written.wait(lock, [&] { return _error != 0 || _buffer.size() <= bytes; });
}

std::size_t OutputWriter::unwrittenLines() const {
  const std::lock_guard lock(_mutex);
  return _appendedLines - _writtenLines;
}

std::size_t OutputWriter::buffered() const {
  const std::lock_guard lock(_mutex);
  return _error != 0 ? 0 : _buffer.size();
}

bool OutputWriter::drain() {
  std::unique_lock lock(_mutex);
  _written.wait(lock, [&] { return _error != 0 || (_buffer.empty() && !_writing); });
  return _error == 0;
}

int OutputWriter::error() const {
  const std::lock_guard lock(_mutex);
  return _error;
}

void OutputWriter::run() {
  std::string batch;
  std::unique_lock lock(_mutex);
  while (true) {
    _wake.wait(lock, [&] { return _stopping || !_buffer.empty(); });
    if (_buffer.empty() || _error != 0) return;  // stopping, with nothing (more) to write
    if (!_stopping && _buffer.size() < kBatchBytes) {
      _gathering = true;
      _wake.wait_for(lock, kGather, [&] { return _stopping || _buffer.size() >= kBatchBytes; });
      _gathering = false;
    }
    batch.swap(_buffer);
    _writing = true;
    lock.unlock();
    // A pipe takes a write of PIPE_BUF bytes or less whole or not at all, so that the lines
    // counted as written are exactly those a reader can have, even when a second signal ends
    // the process during a write.
    int error = 0;
    for (std::string_view rest = batch; !rest.empty() && error == 0;) {
      const std::string_view part = rest.substr(0, PIPE_BUF);
      error =
          writeAll(_fd, part, [this](std::string_view done) { _writtenLines += countLines(done); });
      rest.remove_prefix(part.size());
    }
    batch.clear();
    lock.lock();
    _writing = false;
    if (error != 0) {
      _error = error;
      _buffer.clear();
      _written.notify_all();
      lock.unlock();
      if (_onFailure) _onFailure();
      return;
    }
    _written.notify_all();
  }
}

}  // namespace corvanta
