// A local HTTP origin for tests: a cpp-httplib server on 127.0.0.1 at a free port, serving on
// its own thread from construction until destruction.
#pragma once

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace corvanta::testing {

class TestOrigin {
 public:
  // `routes` registers the handlers, and may change the settings made before it.
  explicit TestOrigin(const std::function<void(httplib::Server&)>& routes) {
    // A worker waits this long on an idle kept-alive connection, and stop() waits for the
    // workers; clients keep connections open, so the default 5 s would slow every test.
    _server.set_keep_alive_timeout(1);
    routes(_server);
    _port = _server.bind_to_any_port("127.0.0.1");
    if (_port <= 0) throw std::runtime_error("test origin: cannot bind 127.0.0.1");
    _server.widenBacklog();
    _thread = std::thread([this] { _server.listen_after_bind(); });
    // stop() does nothing before the accept loop runs, so wait for it.
    while (!_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TestOrigin() {
    _server.stop();
    _thread.join();
  }

  int port() const { return _port; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(_port) + path;
  }

 private:
  // cpp-httplib listens with a backlog of 5; thousands of clients connecting at once would
  // then wait out SYN retransmissions. Listening again on the bound socket widens it.
  struct WideBacklogServer : httplib::Server {
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
  };
  WideBacklogServer _server;
  int _port = 0;
  std::thread _thread;
};

}  // namespace corvanta::testing
