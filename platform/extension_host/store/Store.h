// The record of everything the host takes and shows, in one SQLite database (WAL) in the
// container: each request taken (its payload as text, the push's headers and device, when it
// arrived), each of its deliveries (as the JSON object a delivery line carries), whether its
// expiry was called or its download abandoned, and each push the endpoint refused. The
// preview, the live page and the API read it; the host keeps no other copy of these records.
//
// Writes: the record* calls queue what they are given and return at once, from any thread.
// One writer thread applies whatever has queued in one transaction, then tells the listener
// what changed and runs the afterCommit callbacks queued before it. With `durable`, a
// transaction is on disk (one fsync) before its callbacks run, so that a push answered 200
// from one survives a crash or a power loss; without it nothing is synced, as a file run
// promises no one anything.
//
// Reads: any thread; they see what has committed, newest first. Bounded as the attachment
// store is: opening drops the runs beyond the newest kRunsKept (this one counted) with all
// their rows, except pushes never shown, which unshown() still gives.
//
// A write that fails (a full disk) is said once on standard error and the store goes on
// without the rows it could not write: it is a record, not the output, and the run goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/extension_host/core/IncomingRequest.h"
#include "platform/foundation/Result.h"

namespace corvanta {

// Now on the wall clock, in milliseconds since the epoch: how the store tells times.
std::int64_t wallClockMs();

// A request as the host took it.
struct StoredRequest {
  std::int64_t id = 0;         // the store's number for it, unique across runs; 0 until stored
  std::string run;             // the run that took it
  std::size_t sequence = 0;    // the host's number for it within its run
  std::string identifier;      // the request's identifier; a push's apns-id
  std::int64_t arrivedMs = 0;  // on the wall clock, milliseconds since the epoch
  std::string payload;         // the payload's JSON text
  std::shared_ptr<const PushDetails> push;  // how the push came; null for a line of a file
};

// What became of a request, as a filter names it: "attached", "without attachment",
// "not shown" (a device does not show it), "refused" (the push service would refuse it), or
// "pending" while it has no delivery yet. A push the endpoint refused is a StoredRefusal.
using Outcome = std::string;

// One delivery of a request.
struct StoredDelivery {
  std::size_t sequence = 0;  // the request's, within the run
  int number = 1;
  bool displayed = false;
  Outcome outcome;   // what the first delivery makes of the request; unused for later ones
  std::string json;  // the delivery as one JSON object, as a delivery line carries it
  // The first attachment's file in the attachment store and its type, "" when none.
  std::string attachmentFile, attachmentType;
};

// A push the endpoint refused.
struct StoredRefusal {
  std::int64_t id = 0;
  std::string run;
  std::int64_t arrivedMs = 0;
  RefusedPush push;
};

// A request with everything that became of it: what the API's story and a card show.
struct RequestStory {
  StoredRequest request;
  Outcome outcome;
  bool expired = false;
  std::optional<double> abandonedAfterMs;
  std::vector<StoredDelivery> deliveries;  // in the order of their numbers
};

// What a change the listener is told of names.
struct StoreChange {
  enum Kind { request, delivery, refusal, cleared } kind;
  std::int64_t id = 0;  // the request's or the refusal's; 0 for cleared
};

struct StoreQuery {
  std::string device;        // "" for any
  std::int64_t sinceMs = 0;  // arrived at or after
  Outcome outcome;           // "" for any
  std::size_t limit = 100;
  std::string run;  // "" for every run kept
};

class Store {
 public:
  static constexpr int kRunsKept = 20;
  // A refusal that arrives while this many writes wait is counted, not recorded.
  static constexpr std::size_t kRefusalsQueuedAtMost = 4096;

  struct Settings {
    std::string path;  // the database file; made when missing
    std::string run;   // this run's name, as its attachment store folder is named
    bool durable = false;
    // Told, on the writer thread after each commit, of each change in it; must be quick and
    // must not call the store's writes.
    std::function<void(const StoreChange&)> listener;
  };

  // Opens (or makes) the database and starts the writer. Fails, saying what failed on which
  // file, when it cannot be opened or is not a store of ours.
  static Result<std::unique_ptr<Store>> open(Settings settings);
  // Commits what has queued, then closes.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Queue writes; any thread; never wait.
  // `replaces`: an earlier run's request this one runs again (see unshown()); it goes in the
  // same transaction, so that a push is shown by one run only.
  void recordTaken(const StoredRequest& request, std::int64_t replaces = 0);
  void recordExpired(std::size_t sequence);
  void recordDelivery(const StoredDelivery& delivery);
  void recordAbandoned(std::size_t sequence, double elapsedMs);
  // Counted, not recorded, while kRefusalsQueuedAtMost writes wait (said once on stderr).
  void recordRefusal(StoredRefusal refusal);
  std::size_t refusalsNotRecorded() const;
  // Drops every row of every run (the API's DELETE), in order with the writes around it.
  void clear();

  // Runs `done` on the writer thread once everything queued before it has been written:
  // `committed` says whether it was (and, when durable, is on disk) or a write failed.
  // `done` must be quick.
  void afterCommit(std::function<void(bool committed)> done);
  // Waits until everything queued so far has been written, or has failed to be.
  void flush();
  // How many writes wait for the writer: how far behind it is.
  std::size_t queued() const;
  // Waits until no more than `writes` wait: how an intake that may wait keeps the queue
  // bounded.
  void waitUntilQueuedAtMost(std::size_t writes) const;

  // Reads: any thread.
  std::vector<RequestStory> requests(const StoreQuery& query) const;
  std::optional<RequestStory> story(std::int64_t id) const;
  // What an event names of a request: its identifier, its device ("" for a line of a file)
  // and its outcome; one row read, without its deliveries.
  struct Brief {
    std::string identifier, device;
    Outcome outcome;
  };
  std::optional<Brief> brief(std::int64_t id) const;
  // The newest request with that identifier (an apns-id), when one is kept.
  std::optional<std::int64_t> find(const std::string& identifier) const;
  std::vector<StoredRefusal> refusals(const StoreQuery& query) const;
  // Pushes earlier runs took and never delivered (a crash, a kill), oldest first: the host
  // runs them first, recording each with `replaces` set to its id.
  std::vector<StoredRequest> unshown() const;

  struct Impl;
  explicit Store(std::unique_ptr<Impl> impl);  // through open()

 private:
  std::unique_ptr<Impl> _impl;
};

}  // namespace corvanta
