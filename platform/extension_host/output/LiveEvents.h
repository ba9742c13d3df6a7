// The changes the store commits, fanned out to the event streams open on the live page's
// server: each stream gets every change from its start, in order.
//
// publish() runs on the store's writer thread, so it never waits on a stream: each stream
// holds at most kQueued changes not yet taken; one whose reader falls that far behind is
// ended (a browser's EventSource reconnects and reloads what it shows). At most `capacity`
// streams are open at once: subscribe() gives nullptr beyond it, and after close(). A stream
// whose reader has gone is only found out by writing to it, so a subscribe() that finds no
// room also wakes every stream to write at once, and the next attempt may find the room.
//
// Thread-safe. A Stream must be gone before its LiveEvents is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/extension_host/store/Store.h"

namespace corvanta {

class LiveEvents {
 public:
  static constexpr std::size_t kQueued = 512;

  // One subscriber's place; leaving it (destruction) frees its place.
  class Stream {
    struct Key {};  // only LiveEvents makes a Stream

   public:
    Stream(Key, LiveEvents& events) : _events(events) {}
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The changes published since the last call, waiting up to `timeout` for one; empty when
    // none came or when the stream is to show it is alive; nullopt once the stream is to end:
    // it fell behind, or the events closed.
    std::optional<std::vector<StoreChange>> next(std::chrono::milliseconds timeout);

   private:
    friend class LiveEvents;
    LiveEvents& _events;
    std::deque<StoreChange> _queued;  // guarded by _events._mutex
    bool _ended = false;              // likewise
    bool _probed = false;             // likewise
  };

  explicit LiveEvents(std::size_t capacity) : _capacity(capacity) {}
  LiveEvents(const LiveEvents&) = delete;
  LiveEvents& operator=(const LiveEvents&) = delete;

  // Any thread; holds only a short lock.
  void publish(const StoreChange& change);
  std::unique_ptr<Stream> subscribe();
  // Ends every stream at once and refuses new ones.
  void close();

 private:
  const std::size_t _capacity;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<Stream*> _streams;  // guarded by _mutex
  bool _closed = false;           // likewise
};

}  // namespace corvanta
