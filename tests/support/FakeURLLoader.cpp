#include "support/FakeURLLoader.h"

#include <stdexcept>

#include "platform/url_loading/NSURLError.h"

namespace corvanta::testing {

void FakeURLLoader::start(DataTaskRequest request) {
  std::lock_guard guard(_mutex);
  _tasks.emplace_back(std::move(request));
}

std::size_t FakeURLLoader::startedCount() const {
  std::lock_guard guard(_mutex);
  return _tasks.size();
}

std::shared_ptr<NSURL> FakeURLLoader::urlOf(std::size_t index) const {
  std::lock_guard guard(_mutex);
  return _tasks.at(index) ? _tasks.at(index)->url : nullptr;
}

void FakeURLLoader::finish(std::size_t index, std::optional<std::string> body) {
  std::optional<DataTaskRequest> task;
  {
    std::lock_guard guard(_mutex);
    task.swap(_tasks.at(index));
  }
  if (!task) throw std::logic_error("task finished twice");
  if (body && task->url) {
    auto response = std::make_shared<NSURLResponse>(task->url, 200, "application/octet-stream",
                                                    static_cast<long long>(body->size()));
    task->completion(NSData::dataWithBytes(std::move(*body)), std::move(response), nullptr);
  } else {
    task->completion(nullptr, nullptr,
                     NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorCannotConnectToHost,
                                              "the test let this transfer fail"));
  }
}

void FakeURLLoader::finishAll(std::optional<std::string> body) {
  for (std::size_t i = 0; i < startedCount(); ++i) {
    bool pending;
    {
      std::lock_guard guard(_mutex);
      pending = _tasks[i].has_value();
    }
    if (pending) finish(i, body);
  }
}

}  // namespace corvanta::testing
