#include "platform/extension_host/output/LiveEvents.h"

#include <algorithm>

namespace corvanta {

void LiveEvents::publish(const StoreChange& change) {
  {
    const std::lock_guard lock(_mutex);
    for (Stream* stream : _streams) {
      if (stream->_queued.size() >= kQueued) stream->_ended = true;
      if (!stream->_ended) stream->_queued.push_back(change);
    }
  }
  _changed.notify_all();
}

std::unique_ptr<LiveEvents::Stream> LiveEvents::subscribe() {
  std::unique_lock lock(_mutex);
  if (_closed) return nullptr;
  if (_streams.size() >= _capacity) {
    for (Stream* stream : _streams) stream->_probed = true;
    lock.unlock();
    _changed.notify_all();
    return nullptr;
  }
  auto stream = std::make_unique<Stream>(Stream::Key{}, *this);
  _streams.push_back(stream.get());
  return stream;
}

void LiveEvents::close() {
  {
    const std::lock_guard lock(_mutex);
    _closed = true;
    for (Stream* stream : _streams) stream->_ended = true;
  }
  _changed.notify_all();
}

LiveEvents::Stream::~Stream() {
  const std::lock_guard lock(_events._mutex);
  std::erase(_events._streams, this);
}

std::optional<std::vector<StoreChange>> LiveEvents::Stream::next(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(_events._mutex);
  _events._changed.wait_for(lock, timeout,
                            [this] { return _ended || _probed || !_queued.empty(); });
  if (_ended) return std::nullopt;
  _probed = false;
  std::vector<StoreChange> taken(_queued.begin(), _queued.end());
  _queued.clear();
  return taken;
}

}  // namespace corvanta
