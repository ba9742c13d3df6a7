// A URL loader for tests: it records each started task and runs nothing until the test
// finishes the task, from the test's own thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/url_loading/NSURLError.h"
#include "platform/url_loading/URLLoader.h"

namespace corvanta::testing {

class FakeURLLoader : public URLLoader {
 public:
  void start(DataTaskRequest request) override {
    std::lock_guard guard(_mutex);
    _tasks.emplace_back(std::move(request));
  }
  std::size_t startedCount() const {
    std::lock_guard guard(_mutex);
    return _tasks.size();
  }
  // The URL of the index-th started task; nullptr when it had none or has finished.
  std::shared_ptr<NSURL> urlOf(std::size_t index) const {
    std::lock_guard guard(_mutex);
    return _tasks.at(index) ? _tasks.at(index)->url : nullptr;
  }
  // Finishes every task still pending: a task without a URL fails, the others get `body`.
  void finishAll(const std::optional<std::string>& body) {
    for (std::size_t i = 0; i < startedCount(); ++i) finish(i, body);
  }
  // Runs the index-th task's completion, unless it ran already: with `body` and a 200
  // response, or, when `body` is nullopt, with no data and an error, as a failed transfer ends.
  void finish(std::size_t index, std::optional<std::string> body) {
    auto task = [&] {
      std::lock_guard guard(_mutex);
      return std::exchange(_tasks.at(index), std::nullopt);
    }();
    if (!task) return;
    if (body && task->url) {
      auto response = std::make_shared<NSURLResponse>(task->url, 200, "application/octet-stream",
                                                      std::ssize(*body));
      task->completion(NSData::dataWithBytes(std::move(*body)), response, nullptr);
    } else {
      task->completion(nullptr, nullptr,
                       NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorCannotConnectToHost,
                                                "the test let this transfer fail"));
    }
  }

 private:
  mutable std::mutex _mutex;
  std::vector<std::optional<DataTaskRequest>> _tasks;
};

}  // namespace corvanta::testing
