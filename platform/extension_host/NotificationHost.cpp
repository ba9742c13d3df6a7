#include "platform/extension_host/NotificationHost.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <vector>

#include "platform/extension_host/Delivery.h"
#include "platform/extension_host/NotificationPayload.h"
#include "platform/extension_host/PreviewPage.h"
#include "platform/extension_host/PrincipalClass.h"
#include "platform/user_notifications/UNNotificationRequest.h"

namespace corvanta {
namespace {

using Clock = std::chrono::steady_clock;
using Service = UNNotificationServiceExtension;

constexpr const char* kPrincipalClass = "NotificationService";

// How often finish() looks for downloads that have ended: nothing signals a completion's
// release of its service, so the host's weak references are polled.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// Below this many requests in flight, finished ones are not worth sweeping out.
constexpr std::size_t kMinimumSweep = 1024;

// What the host knows of one request whose extension runs. Guarded by State::mutex.
struct Record {
  std::string identifier;
  Clock::time_point received;
  std::size_t previewIndex = 0;
  int deliveries = 0;
  bool expired = false;
  // The host's hold on the service, until its first delivery or its expiry.
  std::shared_ptr<Service> service;
  // Alive while anything else holds the service: a pending download's completion.
  std::weak_ptr<Service> watched;
  // Its place among the requests awaiting their first delivery, while it is there.
  std::optional<std::list<std::shared_ptr<Record>>::iterator> awaiting;

  bool settled() const { return deliveries > 0 && !service && watched.expired(); }
};

double roundedMilliseconds(Clock::duration elapsed) {
  const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
  return std::round(ms * 10) / 10;
}

}  // namespace

struct NotificationHost::State {
  explicit State(Settings s)
      : settings(s), timeLimit(std::chrono::duration_cast<Clock::duration>(s.timeLimit)) {
    if (settings.keepPreview) preview.emplace();
  }

  const Settings settings;
  const Clock::duration timeLimit;
  std::mutex mutex;
  std::condition_variable timerWake;  // an expiry queued, a service released, or stopping
  std::condition_variable hostWake;   // a delivery
  // Requests not yet delivered, in the order received: as all share one time limit, that is
  // the order of their deadlines. A request leaves at its first delivery, so the queue
  // holds only requests in flight, however long the input.
  std::list<std::shared_ptr<Record>> awaiting;
  std::vector<std::shared_ptr<Service>> released;  // dropped by the timer thread, unlocked
  std::vector<std::shared_ptr<Record>> active;
  std::size_t sweepAt = kMinimumSweep;
  Clock::time_point lastReceived;
  bool closed = false;  // no more deliveries are written
  bool stopping = false;
  std::optional<PreviewPage> preview;

  void deliver(const std::shared_ptr<Record>& record,
               const std::shared_ptr<const UNNotificationContent>& content);
  void write(Delivery delivery, std::size_t previewIndex);
  void sweep();
  void runTimer();
};

void NotificationHost::State::deliver(const std::shared_ptr<Record>& record,
                                      const std::shared_ptr<const UNNotificationContent>& content) {
  const auto now = Clock::now();
  // Taken now: the caller may change or drop the content as soon as the handler returns.
  Delivery delivery;
  if (content) {
    delivery.takeContent(*content);
  } else {
    delivery.notes.emplace_back("the extension delivered no content");
  }
  const std::lock_guard lock(mutex);
  if (closed) return;
  delivery.request = record->identifier;
  delivery.number = ++record->deliveries;
  delivery.displayed = delivery.number == 1;
  delivery.expired = record->expired;
  delivery.elapsedMs = roundedMilliseconds(now - record->received);
  if (record->awaiting) {
    awaiting.erase(*record->awaiting);
    record->awaiting.reset();
  }
  if (record->service) {
    released.push_back(std::move(record->service));
    timerWake.notify_one();
  }
  write(std::move(delivery), record->previewIndex);
  hostWake.notify_one();
}

void NotificationHost::State::write(Delivery delivery, std::size_t previewIndex) {
  std::string line = settings.format == DeliveryFormat::json ? formatDeliveryAsJSON(delivery)
                                                             : formatDeliveryAsText(delivery);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  if (preview) preview->addDelivery(previewIndex, std::move(delivery));
}

void NotificationHost::State::sweep() {
  std::erase_if(active, [](const auto& record) { return record->settled(); });
  sweepAt = std::max(kMinimumSweep, 2 * active.size());
}

void NotificationHost::State::runTimer() {
  std::unique_lock lock(mutex);
  while (true) {
    if (!released.empty()) {
      // A service's destructor may be long or take locks of its own: run it unlocked.
      auto batch = std::move(released);
      released.clear();
      lock.unlock();
      batch.clear();
      lock.lock();
      continue;
    }
    if (stopping) return;
    if (awaiting.empty()) {
      timerWake.wait(lock);
      continue;
    }
    const auto deadline = awaiting.front()->received + timeLimit;
    if (Clock::now() < deadline) {
      timerWake.wait_until(lock, deadline);
      continue;
    }
    const auto record = std::move(awaiting.front());
    awaiting.pop_front();
    record->awaiting.reset();
    auto service = std::move(record->service);
    record->expired = true;
    if (preview) preview->markExpired(record->previewIndex);
    lock.unlock();
    service->serviceExtensionTimeWillExpire();
    service.reset();
    lock.lock();
  }
}

NotificationHost::NotificationHost(Settings settings)
    : _state(std::make_shared<State>(settings)), _timer([state = _state] { state->runTimer(); }) {}

NotificationHost::~NotificationHost() {
  {
    const std::lock_guard lock(_state->mutex);
    _state->stopping = true;
  }
  _state->timerWake.notify_one();
  if (_timer.joinable()) _timer.join();
}

void NotificationHost::receive(IncomingRequest request) {
  State& state = *_state;
  const auto notRunning = reasonExtensionDoesNotRun(*request.payload);
  auto content = contentFromPayload(request.payload);
  auto service = notRunning ? nullptr : makePrincipalClassInstance(kPrincipalClass);

  auto record = std::make_shared<Record>();
  record->identifier = std::move(request.identifier);
  std::unique_lock lock(state.mutex);
  record->received = Clock::now();
  state.lastReceived = record->received;
  if (state.preview) record->previewIndex = state.preview->addRequest(record->identifier);

  if (!service) {
    Delivery delivery;
    delivery.notes.push_back(notRunning ? *notRunning
                                        : std::string("the extension did not run: no class ") +
                                              kPrincipalClass + " is registered");
    delivery.takeContent(*content);
    if (state.closed) return;
    delivery.request = record->identifier;
    delivery.extension = false;
    delivery.elapsedMs = roundedMilliseconds(Clock::now() - record->received);
    state.write(std::move(delivery), record->previewIndex);
    return;
  }

  record->service = service;
  record->watched = service;
  state.active.push_back(record);
  if (state.active.size() >= state.sweepAt) state.sweep();
  record->awaiting = state.awaiting.insert(state.awaiting.end(), record);
  state.timerWake.notify_one();
  lock.unlock();

  auto handler = [state = _state, record](std::shared_ptr<const UNNotificationContent> delivered) {
    state->deliver(record, delivered);
  };
  service->didReceiveNotificationRequest(
      UNNotificationRequest::requestWithIdentifier(record->identifier, std::move(content)),
      std::move(handler));
}

bool NotificationHost::finish() {
  State& state = *_state;
  std::unique_lock lock(state.mutex);
  const auto deadline = state.lastReceived +
                        std::chrono::duration_cast<Clock::duration>(2 * state.settings.timeLimit);
  while (true) {
    state.sweep();
    if (state.active.empty()) break;
    const auto now = Clock::now();
    if (now >= deadline) break;
    state.hostWake.wait_until(lock, std::min(deadline, now + kPollInterval));
  }
  state.closed = true;
  state.stopping = true;
  state.timerWake.notify_one();
  lock.unlock();
  _timer.join();

  // A request whose extension never delivered leaves nothing running once its service is
  // gone; only a service still held elsewhere means a download is still running.
  lock.lock();
  return std::all_of(state.active.begin(), state.active.end(),
                     [](const auto& record) { return record->watched.expired(); });
}

std::string NotificationHost::previewHTML() const {
  const std::lock_guard lock(_state->mutex);
  return _state->preview ? _state->preview->html() : std::string();
}

}  // namespace corvanta
