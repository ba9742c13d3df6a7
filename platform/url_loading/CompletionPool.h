// A fixed set of threads that run posted jobs, oldest first.
//
// URL loading hands every completion to one of these so that user code never runs on the
// loading thread nor inside the call that started the work. The thread count is fixed at
// construction and never grows with the number of jobs.
//
// post() may be called from any thread, including a pool thread. A job is destroyed on the
// pool thread that ran it, right after it returns, so whatever it holds is released there.
//
// Destruction does not wait: jobs not yet started are dropped unrun, and a job already
// running finishes on its own thread, which then exits. This is what lets the process exit
// while a completion is blocked, or call exit() from inside a completion, without hanging.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace corvanta {

class CompletionPool {
 public:
  explicit CompletionPool(std::size_t threadCount);
  ~CompletionPool();
  CompletionPool(const CompletionPool&) = delete;
  CompletionPool& operator=(const CompletionPool&) = delete;

  // Queues `job` to run once on a pool thread; never runs it before returning.
  void post(std::function<void()> job);

 private:
  struct State;
  static void work(const std::shared_ptr<State>& state);

  // Shared with the threads, which outlive the pool by as long as their current job runs.
  std::shared_ptr<State> _state;
};

}  // namespace corvanta
