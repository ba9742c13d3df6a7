// Writes the host's delivery lines to a file descriptor on a thread of its own, so that a
// slow or stopped reader never holds up whoever delivers: the timer, the completion pool or
// the host's thread only append to a buffer.
//
// Lines go out in batches: once woken by a line, the writer lets a burst gather for up to
// kGather (or until kBatchBytes wait) and writes it in one write(2), so a fast stream costs
// a wake-up and a system call per batch, not per line, while a lone line still goes out
// within kGather. A failed write (a full disk, a
// closed pipe) is final: the error is kept, later lines are discarded, and whoever waits is
// woken. SIGPIPE is left as the process has it: with its default action a closed pipe ends
// the process, as it does for any filter.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace corvanta {

class OutputWriter {
 public:
  static constexpr std::chrono::milliseconds kGather{2};
  static constexpr std::size_t kBatchBytes = 64 * 1024;

  // Writes to `fd`, which it does not own. `onFailure` runs once, on the writer's thread,
  // right after a write fails.
  explicit OutputWriter(int fd, std::function<void()> onFailure = {});
  ~OutputWriter();  // writes what is buffered, unless a write failed, then stops
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Queues `text` (whole lines) for writing; never blocks on the descriptor.
  void append(std::string_view text);

  // Blocks while more than `bytes` wait to be written; returns at once after a failure.
  // The host's reader calls it so that a stopped reader stops the intake too.
  void waitUntilBufferedAtMost(std::size_t bytes);

  // How many bytes wait to be written now; 0 after a failure (nothing more will be).
  std::size_t buffered() const;

  // How many lines appended so far are not known to be written: waiting, being written, or
  // lost to a failed write (with those appended after it).
  std::size_t unwrittenLines() const;

  // Blocks until everything appended so far is written. False when a write failed.
  bool drain();

  // The errno of the failed write, or 0.
  int error() const;

 private:
  void run();

  const int _fd;
  std::function<void()> _onFailure;
  mutable std::mutex _mutex;
  std::condition_variable _wake;              // something to write, or stopping
  std::condition_variable _written;           // a write ended
  std::string _buffer;                        // guarded by _mutex
  bool _writing = false;                      // guarded by _mutex
  bool _gathering = false;                    // guarded by _mutex
  bool _stopping = false;                     // guarded by _mutex
  int _error = 0;                             // guarded by _mutex
  std::size_t _appendedLines = 0;             // guarded by _mutex
  std::atomic<std::size_t> _writtenLines{0};  // counted as each write(2) returns
  std::thread _thread;                        // last: starts once the rest exists
};

}  // namespace corvanta
