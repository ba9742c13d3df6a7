// Tells the pushes the endpoint refuses on standard error, one line each:
//   corvanta-nse: refused push APNS-ID: STATUS REASON: WHAT WAS WRONG
// A client can send refused pushes far faster than anyone reads them (thousands a second,
// each a write), so within one second only the first kToldPerSecond are told one by one; the
// rest of that second are counted and told as one line once the second is over, at the next
// refusal or at finish(). Each refused push is still in the store and the summary either way.
//
// Called on the endpoint's thread only; not thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/foundation/Clock.h"

namespace corvanta {

class RefusalLines {
 public:
  using TimePoint = Clock::time_point;
  static constexpr std::size_t kToldPerSecond = 20;

  // `beforeWriting` runs before each line written (to clear a progress line); may be empty.
  RefusalLines(std::FILE* to, std::function<void()> beforeWriting)
      : _to(to), _beforeWriting(std::move(beforeWriting)) {}

  void tell(const RefusedPush& push, TimePoint now);
  // Tells the count of the last second, if some of its refusals went untold.
  void finish();

 private:
  void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::FILE* _to;
  std::function<void()> _beforeWriting;
  TimePoint _secondStarted{};
  std::size_t _toldThisSecond = 0;
  std::size_t _untold = 0;
};

}  // namespace corvanta
