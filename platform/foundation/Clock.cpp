#include "platform/foundation/Clock.h"

namespace corvanta {
namespace {

class SteadyClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 time_point deadline) override {
    condition.wait_until(lock, deadline);
  }
};

}  // namespace

Clock& Clock::Default() {
  static SteadyClock clock;
  return clock;
}

}  // namespace corvanta
