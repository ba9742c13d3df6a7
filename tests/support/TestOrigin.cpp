#include "support/TestOrigin.h"

#include <httplib.h>

#include <chrono>
#include <stdexcept>

namespace corvanta::testing {

TestOrigin::TestOrigin(const std::function<void(httplib::Server&)>& routes)
    : _server(std::make_unique<httplib::Server>()) {
  routes(*_server);
  _port = _server->bind_to_any_port("127.0.0.1");
  if (_port <= 0) throw std::runtime_error("test origin: cannot bind 127.0.0.1");
  _thread = std::thread([this] { _server->listen_after_bind(); });
  // stop() does nothing before the accept loop runs, so wait for it.
  while (!_server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestOrigin::~TestOrigin() {
  _server->stop();
  _thread.join();
}

std::string TestOrigin::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(_port) + path;
}

}  // namespace corvanta::testing
