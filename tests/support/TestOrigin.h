// A local HTTP origin for tests: a cpp-httplib server on 127.0.0.1 at a free port, running on
// its own thread from construction until destruction, over HTTPS when given a certificate. It
// accepts as many pending connections as the system allows, and closes a kept-alive connection
// after 1 s idle so that destruction, which waits for the server's threads, stays quick;
// `routes` may change the latter.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace corvanta::testing {

class TestOrigin {
 public:
  // `routes` registers the handlers before the server starts listening. With
  // `certificateFile` and `keyFile` (PEM), it serves HTTPS.
  explicit TestOrigin(const std::function<void(httplib::Server&)>& routes,
                      const std::string& certificateFile = "", const std::string& keyFile = "");
  ~TestOrigin();
  TestOrigin(const TestOrigin&) = delete;
  TestOrigin& operator=(const TestOrigin&) = delete;

  int port() const { return _port; }
  // "http://127.0.0.1:<port>" (https when serving HTTPS) followed by `path`.
  std::string url(const std::string& path) const;

 private:
  template <class Server>
  void start(std::unique_ptr<Server> server, const std::function<void(httplib::Server&)>& routes);

  std::string _scheme = "http";
  std::unique_ptr<httplib::Server> _server;
  int _port = 0;
  std::thread _thread;
};

}  // namespace corvanta::testing
