// A local origin for the host's integration tests, serving the project's media samples:
//   /media/<name>                  pic.png photo.jpg anim.gif tone.mp3 clip.mp4 tone.wav, and
//                                  "download": a PNG under a name without a media extension
//   /stall/<seconds>/<name>        the same, after a wait (cut short when the origin stops)
//   /status/<code>                 that status with a short text body
// Anything else is 404. Counts the requests it answered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace corvanta::testing {

class TestOrigin;

class HostMediaOrigin {
 public:
  HostMediaOrigin();
  ~HostMediaOrigin();
  HostMediaOrigin(const HostMediaOrigin&) = delete;
  HostMediaOrigin& operator=(const HostMediaOrigin&) = delete;

  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const;
  int requests() const { return _requests.load(); }

  // The bytes served under /media/<name>; "" for an unknown name.
  static std::string bytesOf(const std::string& name);

 private:
  std::mutex _mutex;
  std::condition_variable _stopping;
  bool _stopped = false;
  std::atomic<int> _requests{0};
  std::unique_ptr<TestOrigin> _origin;
};

}  // namespace corvanta::testing
