#include "platform/extension_host/core/NotificationHost.h"

#include <cmath>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>

#include "platform/extension_host/core/Delivery.h"
#include "platform/extension_host/core/PrincipalClass.h"
#include "platform/extension_host/device/AttachmentOutcome.h"
#include "platform/extension_host/device/NotificationPayload.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RequestActivity.h"
#include "platform/user_notifications/UNNotificationRequest.h"

namespace corvanta {
namespace {

using Service = UNNotificationServiceExtension;
using TimePoint = Clock::time_point;

constexpr const char* kPrincipalClass = "NotificationService";

// What the host knows of one request whose extension runs.
struct Record {
  std::string identifier;
  TimePoint received;
  std::size_t sequence = 0;
  std::shared_ptr<const UNNotificationContent> content;  // as it arrived
  std::shared_ptr<const PushDetails> push;               // nullptr unless it came as a push
  std::vector<std::string> intakeNotes;                  // shown with the first delivery
  // What the platform saw while serving the request, reported with the next delivery.
  const std::shared_ptr<RequestActivity> activity = std::make_shared<RequestActivity>();

  // Held from numbering a delivery until the sink has it, so that a request's deliveries
  // reach the sink in the order of their numbers.
  std::mutex deliveryMutex;

  // Guarded by State::mutex.
  int deliveries = 0;
  bool expired = false;
  std::shared_ptr<Service> service;  // the host's hold, until the first delivery or expiry
  std::optional<std::list<std::shared_ptr<Record>>::iterator> awaiting;  // in the timer's queue
  std::optional<std::list<std::shared_ptr<Record>>::iterator> alive;     // while its service is
  bool abandoned = false;  // its download outlived twice the limit: later deliveries dropped
  bool ended = false;      // its service is gone
};

double roundedMilliseconds(Clock::duration elapsed) {
  const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
  return std::round(ms * 10) / 10;
}

std::string seconds(Clock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
  return text;
}

// The URL fetched and each redirect followed, and whether a device would have loaded it.
std::string downloadNote(const DownloadRecord& download) {
  std::string note = "download: " + download.url;
  for (const auto& hop : download.redirects) note += ", redirected to " + hop;
  if (download.plainHTTP) {
    note += ", over plain http: a device refuses it unless the app allows insecure loads";
  }
  return note;
}

}  // namespace

struct NotificationHost::Verdict {
  std::optional<NotShown> notShown;
  std::optional<std::string> notRunning;  // why the extension does not run, when it does not
};

struct NotificationHost::State {
  explicit State(const Settings& s)
      : settings(s), timeLimit(std::chrono::duration_cast<Clock::duration>(s.timeLimit)) {}

  const Settings settings;
  const Clock::duration timeLimit;
  Clock& clock = Clock::Current();
  DeliverySink& sink = *settings.sink;

  std::mutex mutex;
  std::condition_variable timerWake;  // a request queued for expiry, or stopping
  std::condition_variable hostWake;   // a request displayed, a service ended, or stop()
  // Requests without a delivery, in the order received: as all share one time limit, that
  // is the order of their deadlines. A request leaves at its first delivery.
  std::list<std::shared_ptr<Record>> awaiting;
  // Requests whose service is alive, in the order received: the order in which they are
  // abandoned, at twice the time limit.
  std::list<std::shared_ptr<Record>> alive;
  std::size_t received = 0;     // also the next request's sequence
  std::size_t undisplayed = 0;  // received requests without a first delivery
  std::size_t services = 0;     // services alive
  std::size_t inFlight = 0;     // services alive and not abandoned
  TimePoint lastReceived{};
  bool stopped = false;  // no more requests are taken
  bool closed = false;   // no more deliveries are made
  bool timerStops = false;

  void stop();
  void deliver(Record& record, const std::shared_ptr<const UNNotificationContent>& content,
               const char* note = nullptr);
  void serviceEnded(Record& record);
  void runTimer();
  void expire(const std::shared_ptr<Record>& record);

  // Travels inside the content handler that the host gives a service. The service keeps
  // that handler until it is destroyed, so the ticket's end is the service's end: its
  // download, if any, has run its completion.
  struct ServiceTicket {
    ServiceTicket(std::shared_ptr<State> s, std::shared_ptr<Record> r)
        : state(std::move(s)), record(std::move(r)) {}
    ~ServiceTicket() { state->serviceEnded(*record); }
    std::shared_ptr<State> state;
    std::shared_ptr<Record> record;
  };
};

void NotificationHost::State::stop() {
  {
    const std::lock_guard lock(mutex);
    if (stopped) return;
    stopped = true;
  }
  hostWake.notify_all();
  if (settings.onStop) settings.onStop();
}

void NotificationHost::State::deliver(Record& record,
                                      const std::shared_ptr<const UNNotificationContent>& content,
                                      const char* note) {
  const auto now = clock.now();
  // Taken now: the caller may change or drop the content as soon as the handler returns.
  Delivery delivery;
  if (note) delivery.notes.emplace_back(note);
  if (content) {
    delivery.takeContent(*content);
  } else {
    delivery.notes.emplace_back("the extension delivered no content");
  }
  delivery.diagnostics = record.activity->take();
  delivery.download = record.activity->download();
  if (delivery.download) delivery.notes.push_back(downloadNote(*delivery.download));
  for (auto& line : diagnosticNotes(record.content->userInfo().get(), delivery.diagnostics)) {
    delivery.notes.push_back(std::move(line));
  }
  delivery.request = record.identifier;
  delivery.sequence = record.sequence;
  delivery.elapsedMs = roundedMilliseconds(now - record.received);

  std::shared_ptr<Service> released;
  const std::lock_guard order(record.deliveryMutex);
  {
    const std::lock_guard lock(mutex);
    if (closed || record.abandoned) return;
    delivery.number = ++record.deliveries;
    delivery.displayed = delivery.number == 1;
    delivery.expired = record.expired;
    if (delivery.displayed) {
      if (record.awaiting) {
        awaiting.erase(*record.awaiting);
        record.awaiting.reset();
      }
      released = std::move(record.service);
      if (--undisplayed == 0) hostWake.notify_all();
    }
  }
  delivery.push = record.push;
  if (delivery.displayed) {
    delivery.notes.insert(delivery.notes.begin(), record.intakeNotes.begin(),
                          record.intakeNotes.end());
    // Said now, as nothing more is delivered for a download given up later.
    if (delivery.expired && delivery.download && delivery.download->running) {
      delivery.notes.push_back("download: still running at the time limit, " + seconds(timeLimit) +
                               "; given up at " + seconds(2 * timeLimit) + " if it has not ended");
    }
  }
  sink.delivered(delivery);
}

void NotificationHost::State::serviceEnded(Record& record) {
  {
    const std::lock_guard lock(mutex);
    record.ended = true;
    if (record.alive) {
      alive.erase(*record.alive);
      record.alive.reset();
    }
    --services;
    if (!record.abandoned) --inFlight;
  }
  hostWake.notify_all();
}

void NotificationHost::State::expire(const std::shared_ptr<Record>& record) {
  std::shared_ptr<Service> service;
  {
    const std::lock_guard lock(mutex);
    service = std::move(record->service);
    record->expired = true;
  }
  sink.expired(record->sequence);
  if (service) service->serviceExtensionTimeWillExpire();
  bool delivered;
  {
    const std::lock_guard lock(mutex);
    delivered = record->deliveries > 0;
  }
  // A device shows the content as it arrived when the extension lets its time run out.
  if (!delivered) {
    deliver(*record, record->content,
            "the extension delivered nothing by its time limit: the content is shown as it "
            "arrived");
  }
}

void NotificationHost::State::runTimer() {
  std::unique_lock lock(mutex);
  // Every wait goes through the clock, an idle one too, so that a test's clock sees the
  // timer at rest.
  while (!timerStops) {
    const auto now = clock.now();
    if (!awaiting.empty() && awaiting.front()->received + timeLimit <= now) {
      const auto record = std::move(awaiting.front());
      awaiting.pop_front();
      record->awaiting.reset();
      lock.unlock();
      expire(record);
      lock.lock();
      continue;
    }
    // As a device ends an extension that outlives its time, a request's download is given up
    // at twice its time limit: no longer counted in flight, its later deliveries dropped,
    // its work cancelled so that nothing of it stays in memory.
    if (!alive.empty() && alive.front()->received + 2 * timeLimit <= now) {
      const auto record = alive.front();
      alive.pop_front();
      record->alive.reset();
      record->abandoned = true;
      --inFlight;
      hostWake.notify_all();
      lock.unlock();
      sink.abandoned(record->sequence, roundedMilliseconds(now - record->received));
      record->activity->cancel();
      lock.lock();
      continue;
    }
    auto next = Clock::time_point::max();
    if (!awaiting.empty()) next = awaiting.front()->received + timeLimit;
    if (!alive.empty()) next = std::min(next, alive.front()->received + 2 * timeLimit);
    clock.waitUntil(timerWake, lock, next);
  }
}

NotificationHost::NotificationHost(Settings settings)
    : _state(std::make_shared<State>(settings)), _timer([state = _state] { state->runTimer(); }) {}

NotificationHost::~NotificationHost() {
  {
    const std::lock_guard lock(_state->mutex);
    _state->timerStops = true;
  }
  _state->timerWake.notify_one();
  if (_timer.joinable()) _timer.join();
}

bool NotificationHost::receive(IncomingRequest request) {
  State& state = *_state;
  {
    std::unique_lock lock(state.mutex);
    state.hostWake.wait(
        lock, [&] { return state.stopped || state.inFlight < state.settings.maxInFlight; });
    if (state.stopped) return false;
  }
  Verdict verdict = judge(request);
  return admit(std::move(request), std::move(verdict)) == Admission::accepted;
}

Admission NotificationHost::offer(IncomingRequest request) {
  State& state = *_state;
  // Only a request whose extension runs takes a place in flight.
  Verdict verdict = judge(request);
  {
    const std::lock_guard lock(state.mutex);
    if (state.stopped) return Admission::stopped;
    if (!verdict.notRunning && state.inFlight >= state.settings.maxInFlight) {
      return Admission::busy;
    }
  }
  return admit(std::move(request), std::move(verdict));
}

NotificationHost::Verdict NotificationHost::judge(const IncomingRequest& request) const {
  const LocalizedStrings* strings = _state->settings.strings.get();
  const std::string_view type = request.push ? std::string_view(request.push->type) : "alert";
  Verdict verdict;
  if (const auto& refusal = request.refusal) {
    verdict.notShown =
        NotShown{"refused: " + refusal->reason, "not shown: the push service refuses it with " +
                                                    std::to_string(refusal->status) + " " +
                                                    refusal->reason + ", " + refusal->fault};
  } else {
    verdict.notShown = reasonNotShown(type, *request.payload, strings);
  }
  // What is not shown needs no extension: its reason says all.
  verdict.notRunning = verdict.notShown
                           ? std::optional(verdict.notShown->note)
                           : reasonExtensionDoesNotRun(type, *request.payload, strings);
  return verdict;
}

Admission NotificationHost::admit(IncomingRequest request, Verdict verdict) {
  State& state = *_state;
  const auto& notRunning = verdict.notRunning;
  auto content = contentFromPayload(request.payload, state.settings.strings.get());
  auto service = notRunning ? nullptr : makePrincipalClassInstance(kPrincipalClass);

  auto record = std::make_shared<Record>();
  record->identifier = request.identifier;
  record->content = content;
  record->push = request.push;
  record->intakeNotes = std::move(request.notes);
  const std::size_t fromIntake = record->intakeNotes.size();
  for (auto& note : ignoredFields(*request.payload)) record->intakeNotes.push_back(std::move(note));
  {
    const std::lock_guard lock(state.mutex);
    if (state.stopped) return Admission::stopped;
    record->received = state.clock.now();
    record->sequence = state.received++;
    state.lastReceived = record->received;
    if (service) {
      ++state.services;
      ++state.inFlight;
      ++state.undisplayed;
      record->service = service;
    }
  }

  state.sink.taken(record->sequence, request);
  if (!service) {
    Delivery delivery;
    delivery.push = record->push;
    // The intake's word, then why the extension did not run, then what a device ignored.
    delivery.notes = record->intakeNotes;
    delivery.notes.insert(delivery.notes.begin() + static_cast<std::ptrdiff_t>(fromIntake),
                          notRunning ? *notRunning
                                     : std::string("the extension did not run: no class ") +
                                           kPrincipalClass + " is registered");
    if (verdict.notShown) {
      delivery.displayed = false;
      delivery.notShown = std::move(verdict.notShown->group);
    }
    delivery.refusal = std::move(request.refusal);
    delivery.takeContent(*content);
    delivery.request = record->identifier;
    delivery.sequence = record->sequence;
    delivery.extension = false;
    delivery.elapsedMs = roundedMilliseconds(state.clock.now() - record->received);
    state.sink.delivered(delivery);
    return Admission::accepted;
  }

  auto handler = [state = _state, record,
                  ticket = std::make_shared<State::ServiceTicket>(_state, record)](
                     std::shared_ptr<const UNNotificationContent> delivered) {
    state->deliver(*record, delivered);
  };
  {
    const RequestActivity::Scope serving(record->activity);
    service->didReceiveNotificationRequest(
        UNNotificationRequest::requestWithIdentifier(record->identifier, std::move(content)),
        std::move(handler));
  }

  service.reset();
  // The timer learns of the request only now, and only when it has something to do for it:
  // a plain request, delivered and ended inside the call, costs it nothing. A timer with
  // requests queued already sleeps until an earlier time than any added here.
  const std::lock_guard lock(state.mutex);
  const bool timerIdle = state.awaiting.empty() && state.alive.empty();
  if (record->deliveries == 0) {
    record->awaiting = state.awaiting.insert(state.awaiting.end(), record);
  }
  if (!record->ended) record->alive = state.alive.insert(state.alive.end(), record);
  const bool added = record->awaiting || record->alive;
  if (added && (timerIdle || (record->awaiting && state.awaiting.size() == 1))) {
    state.timerWake.notify_one();
  }
  return Admission::accepted;
}

void NotificationHost::stop() {
  _state->stop();
}

NotificationHost::Outcome NotificationHost::finish() {
  State& state = *_state;
  std::unique_lock lock(state.mutex);
  while (!state.stopped && state.undisplayed > 0) state.hostWake.wait(lock);
  // The timer abandons the last download at twice the limit after the last request.
  while (!state.stopped && state.inFlight > 0) state.hostWake.wait(lock);
  state.closed = true;
  state.timerStops = true;
  const bool settled = state.services == 0;
  lock.unlock();
  state.timerWake.notify_one();
  _timer.join();
  return {settled};
}

NotificationHost::Counts NotificationHost::counts() const {
  const std::lock_guard lock(_state->mutex);
  return {_state->received, _state->received - _state->undisplayed, _state->inFlight};
}

}  // namespace corvanta
