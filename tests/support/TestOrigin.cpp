#include "support/TestOrigin.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

namespace corvanta::testing {

namespace {

// cpp-httplib listens with a backlog of 5; thousands of clients connecting at once would
// then wait out SYN retransmissions. Listening again on the bound socket widens it.
template <class Base>
class WideBacklog : public Base {
 public:
  using Base::Base;
  void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }
};

}  // namespace

TestOrigin::TestOrigin(const std::function<void(httplib::Server&)>& routes,
                       const std::string& certificateFile, const std::string& keyFile) {
  if (!certificateFile.empty()) {
    _scheme = "https";
    start(
        std::make_unique<WideBacklog<httplib::SSLServer>>(certificateFile.c_str(), keyFile.c_str()),
        routes);
  } else {
    start(std::make_unique<WideBacklog<httplib::Server>>(), routes);
  }
}

template <class Server>
void TestOrigin::start(std::unique_ptr<Server> server,
                       const std::function<void(httplib::Server&)>& routes) {
  // A worker waits this long on an idle kept-alive connection, and stop() waits for the
  // workers; clients keep connections open, so the default 5 s would slow every test.
  server->set_keep_alive_timeout(1);
  routes(*server);
  _port = server->bind_to_any_port("127.0.0.1");
  if (_port <= 0) throw std::runtime_error("test origin: cannot bind 127.0.0.1");
  server->widenBacklog();
  _server = std::move(server);
  _thread = std::thread([this] { _server->listen_after_bind(); });
  // stop() does nothing before the accept loop runs, so wait for it.
  while (!_server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestOrigin::~TestOrigin() {
  _server->stop();
  _thread.join();
}

std::string TestOrigin::url(const std::string& path) const {
  return _scheme + "://127.0.0.1:" + std::to_string(_port) + path;
}

}  // namespace corvanta::testing
