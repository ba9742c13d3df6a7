// A local HTTP origin for tests: a cpp-httplib server on 127.0.0.1 at a free port, serving on
// its own thread from construction until destruction, over HTTPS when given a certificate.
#pragma once

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/TestData.h"

namespace corvanta::testing {

class TestOrigin {
 public:
  // `routes` registers the handlers, and may change the settings made before it. With
  // `certificateFile` and `keyFile` (PEM), the origin serves HTTPS.
  explicit TestOrigin(const std::function<void(httplib::Server&)>& routes,
                      const std::string& certificateFile = "", const std::string& keyFile = "") {
    if (certificateFile.empty()) {
      start(std::make_unique<WideBacklog<httplib::Server>>(), routes);
    } else {
      _scheme = "https";
      start(std::make_unique<WideBacklog<httplib::SSLServer>>(certificateFile.c_str(),
                                                              keyFile.c_str()),
            routes);
    }
  }
  ~TestOrigin() {
    _server->stop();
    _thread.join();
  }

  int port() const { return _port; }
  // "<scheme>://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const {
    return _scheme + "://127.0.0.1:" + std::to_string(_port) + path;
  }

 private:
  // cpp-httplib listens with a backlog of 5; thousands of clients connecting at once would
  // then wait out SYN retransmissions. Listening again on the bound socket widens it.
  template <class Server>
  struct WideBacklog : Server {
    using Server::Server;
    void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }
  };

  template <class Server>
  void start(std::unique_ptr<WideBacklog<Server>> server,
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

  std::unique_ptr<httplib::Server> _server;
  std::string _scheme = "http";
  int _port = 0;
  std::thread _thread;
};

// A route for TestOrigin: media("pic.png") at /pic.png, as image/png.
inline void servePicture(httplib::Server& server) {
  server.Get("/pic.png", [](const httplib::Request&, httplib::Response& response) {
    static const std::string png = media("pic.png");
    response.set_content(png, "image/png");
  });
}

}  // namespace corvanta::testing
