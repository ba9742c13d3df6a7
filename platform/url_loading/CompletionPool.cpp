#include "platform/url_loading/CompletionPool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace corvanta {

struct CompletionPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  bool closed = false;
};

void CompletionPool::work(const std::shared_ptr<State>& state) {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->closed || !state->jobs.empty(); });
      if (state->closed) return;
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    job();
    // `job` goes out of scope here, so what it captured is released before the next one.
  }
}

CompletionPool::CompletionPool(std::size_t threadCount) : _state(std::make_shared<State>()) {
  for (std::size_t i = 0; i < threadCount; ++i) {
    // Detached, each holding the state: joining them on destruction could wait forever on
    // a blocked completion, or be asked of the very thread that is destroying the pool.
    std::thread([state = _state] { work(state); }).detach();
  }
}

CompletionPool::~CompletionPool() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(_state->mutex);
    _state->closed = true;
    dropped.swap(_state->jobs);
  }
  _state->wake.notify_all();
}

void CompletionPool::post(std::function<void()> job) {
  {
    std::lock_guard lock(_state->mutex);
    if (_state->closed) return;
    _state->jobs.push_back(std::move(job));
  }
  _state->wake.notify_one();
}

}  // namespace corvanta
