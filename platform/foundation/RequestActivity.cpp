#include "platform/foundation/RequestActivity.h"

#include <utility>

namespace corvanta {
namespace {

std::shared_ptr<RequestActivity>& currentOnThisThread() {
  thread_local std::shared_ptr<RequestActivity> current;
  return current;
}

}  // namespace

const std::shared_ptr<RequestActivity>& RequestActivity::current() {
  return currentOnThisThread();
}

RequestActivity::Scope::Scope(std::shared_ptr<RequestActivity> activity)
    : _previous(std::exchange(currentOnThisThread(), std::move(activity))) {}

RequestActivity::Scope::~Scope() {
  currentOnThisThread() = std::move(_previous);
}

void RequestActivity::note(Diagnostic diagnostic) {
  if (const auto& activity = current()) activity->record(std::move(diagnostic));
}

void RequestActivity::record(Diagnostic diagnostic) {
  const std::lock_guard lock(_mutex);
  _recorded.push_back(std::move(diagnostic));
}

void RequestActivity::onCancel(std::function<void()> hook) {
  {
    const std::lock_guard lock(_mutex);
    if (!_cancelled) {
      _cancelHooks.push_back(std::move(hook));
      return;
    }
  }
  hook();
}

void RequestActivity::cancel() {
  std::vector<std::function<void()>> hooks;
  {
    const std::lock_guard lock(_mutex);
    _cancelled = true;
    hooks.swap(_cancelHooks);
  }
  for (const auto& hook : hooks) hook();
}

void RequestActivity::downloadStarted(std::string url) {
  const std::lock_guard lock(_mutex);
  _download.emplace();
  _download->url = std::move(url);
}

void RequestActivity::downloadRedirected(std::string url) {
  const std::lock_guard lock(_mutex);
  if (_download) _download->redirects.push_back(std::move(url));
}

void RequestActivity::downloadOverPlainHTTP() {
  const std::lock_guard lock(_mutex);
  if (_download) _download->plainHTTP = true;
}

void RequestActivity::downloadEnded() {
  const std::lock_guard lock(_mutex);
  if (_download) _download->running = false;
}

std::optional<DownloadRecord> RequestActivity::download() const {
  const std::lock_guard lock(_mutex);
  return _download;
}

std::vector<Diagnostic> RequestActivity::take() {
  const std::lock_guard lock(_mutex);
  return std::exchange(_recorded, {});
}

}  // namespace corvanta
