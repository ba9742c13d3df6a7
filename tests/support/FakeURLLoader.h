// A URL loader for tests: it records each started task and runs nothing until the test
// finishes the task, from the test's own thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/url_loading/URLLoader.h"

namespace corvanta::testing {

class FakeURLLoader : public URLLoader {
 public:
  void start(DataTaskRequest request) override;

  std::size_t startedCount() const;
  // The URL of the index-th started task; nullptr when it had none.
  std::shared_ptr<NSURL> urlOf(std::size_t index) const;

  // Runs the index-th task's completion: with `body` and a 200 response, or, when `body` is
  // nullopt, with no data and an error, as a failed transfer ends.
  void finish(std::size_t index, std::optional<std::string> body);
  // Finishes every task still pending: a task without a URL fails, the others get `body`.
  void finishAll(std::optional<std::string> body);

 private:
  mutable std::mutex _mutex;
  std::vector<std::optional<DataTaskRequest>> _tasks;
};

}  // namespace corvanta::testing
