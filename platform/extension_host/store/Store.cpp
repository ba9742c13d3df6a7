#include "platform/extension_host/store/Store.h"

#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Handle.h"

namespace corvanta {
namespace {

// 2: pushes are found by apns-id through push_ids, not an index of requests (1).
constexpr int kSchemaVersion = 2;

// Pushes wait to be added to push_ids until this many have, or the oldest has waited this long
// and a transaction comes: one page write then serves tens of them.
constexpr std::size_t kPushIdsTogether = 4096;
constexpr std::chrono::seconds kPushIdsWait{1};
constexpr std::int64_t kNoneUnindexed = INT64_MAX;

// A transaction takes what queued while the last one was written, up to kBatchWrites. A run
// that syncs starts it at once: the pushes that arrive while a commit syncs make the next
// batch, and a wait would only add to each 200's delay (it cost a tenth of the endpoint's
// pushes a second). A run that does not sync waits kBatchWaitNotDurable after the first
// write for more: one write a transaction would rewrite the same last pages thousands of
// times.
constexpr std::size_t kBatchWrites = 4096;
constexpr std::chrono::milliseconds kBatchWaitNotDurable{2};
// How long a writer that wrote a flood's worth of writes waits idle before it gives their
// memory back.
constexpr std::chrono::milliseconds kIdleBeforeGivingBack{250};

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS runs (
  name TEXT PRIMARY KEY,
  opened INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS requests (
  id INTEGER PRIMARY KEY,
  run TEXT NOT NULL,
  sequence INTEGER NOT NULL,
  identifier TEXT NOT NULL,
  arrived INTEGER NOT NULL,
  payload TEXT NOT NULL,
  device TEXT,            -- NULL for a line of a file
  push_type TEXT,
  priority INTEGER,
  topic TEXT,
  collapse_id TEXT,
  outcome TEXT NOT NULL DEFAULT 'pending',
  expired INTEGER NOT NULL DEFAULT 0,
  abandoned_after REAL,
  -- The first delivery, kept in its request's row: most requests have no other, and a row
  -- fewer a request is a third of what a plain run spends writing.
  displayed INTEGER,
  json TEXT,
  attachment_file TEXT,
  attachment_type TEXT
);
-- Pushes by apns-id, kept beside the requests rather than as an index of theirs: an apns-id
-- is random, so an index of it took a page of its own for nearly every push a commit held,
-- most of what the endpoint's writes cost. The writer adds them a few thousand at a time; the
-- newest pushes, not added yet, are found among the newest requests. A file's lines,
-- numbered in the order read, are rarely looked up by identifier and are not kept here.
CREATE TABLE IF NOT EXISTS push_ids (
  identifier TEXT NOT NULL,
  request INTEGER NOT NULL,
  PRIMARY KEY (identifier, request)
) WITHOUT ROWID;
-- The newest request whose push push_ids holds: a start adds those after it (a crash's).
CREATE TABLE IF NOT EXISTS push_ids_upto (id INTEGER NOT NULL);
INSERT INTO push_ids_upto SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM push_ids_upto);
DROP INDEX IF EXISTS requests_by_identifier;
CREATE INDEX IF NOT EXISTS requests_by_device ON requests (device) WHERE device IS NOT NULL;
-- What a start looks for: pushes never shown, among all the runs kept.
CREATE INDEX IF NOT EXISTS requests_unshown ON requests (id)
  WHERE outcome = 'pending' AND device IS NOT NULL;
-- The later deliveries, numbered from 2.
CREATE TABLE IF NOT EXISTS deliveries (
  request INTEGER NOT NULL,  -- deleted with its request (no foreign key: no statement journal)
  number INTEGER NOT NULL,
  displayed INTEGER NOT NULL,
  json TEXT NOT NULL,
  attachment_file TEXT NOT NULL,
  attachment_type TEXT NOT NULL,
  PRIMARY KEY (request, number)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS refusals (
  id INTEGER PRIMARY KEY,
  run TEXT NOT NULL,
  arrived INTEGER NOT NULL,
  apns_id TEXT NOT NULL,
  status INTEGER NOT NULL,
  reason TEXT NOT NULL,
  fault TEXT NOT NULL,
  device TEXT NOT NULL,
  push_type TEXT NOT NULL,
  priority INTEGER NOT NULL,
  topic TEXT NOT NULL,
  collapse_id TEXT
);
CREATE INDEX IF NOT EXISTS refusals_by_run ON refusals (run);
)";

using Database = std::unique_ptr<sqlite3, FreeWith<sqlite3_close_v2>>;
using Statement = std::unique_ptr<sqlite3_stmt, FreeWith<sqlite3_finalize>>;

std::string messageOf(sqlite3* db) {
  return sqlite3_errmsg(db);
}

// Runs `sql` (any number of statements, no results).
Result<> execute(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return {};
  std::string message = error ? error : messageOf(db);
  sqlite3_free(error);
  return Failure{message};
}

Result<Statement> prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* made = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &made, nullptr) != SQLITE_OK) {
    return Failure{messageOf(db)};
  }
  return Statement(made);
}

Result<Database> openDatabase(const std::string& path, int flags) {
  sqlite3* opened = nullptr;
  const int status = sqlite3_open_v2(path.c_str(), &opened, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(opened);
  if (status != SQLITE_OK) {
    return Failure{opened ? messageOf(opened) : std::string(sqlite3_errstr(status))};
  }
  sqlite3_busy_timeout(db.get(), 5000);
  return db;
}

// Values are bound in place (SQLITE_STATIC): each outlives the step that reads it. Not named
// bind: std::bind, found through a std::string argument, would be the better match.
void bindValue(sqlite3_stmt* statement, int at, std::string_view text) {
  sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}
void bindValue(sqlite3_stmt* statement, int at, std::int64_t number) {
  sqlite3_bind_int64(statement, at, number);
}
void bindOptional(sqlite3_stmt* statement, int at, const std::optional<std::string>& text) {
  if (text) {
    bindValue(statement, at, *text);
  } else {
    sqlite3_bind_null(statement, at);
  }
}

std::string textAt(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}
std::optional<std::string> optionalTextAt(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
  return textAt(statement, column);
}

// The queued writes are compact and hold no string of their own: their texts lie one after
// another in the text queued with them (Impl::queueText), each at a TextSpan. A write's
// thread frees its own strings, where its allocator reuses them at once; strings freed by
// the writer one by one went back to the other thread's arena under its lock (a fifth of the
// writer's time), and large writes cost the queuing thread a cache line from the writer's
// core for every 64 bytes.
struct TextSpan {
  std::size_t at = 0, size = 0;
};
struct Delivered {
  std::size_t sequence = 0;  // the request's, within the run
  int number = 1;
  bool displayed = false;
  bool withItsRequest = false;  // a first delivery that goes in with its request's row
  TextSpan outcome, json, attachmentFile, attachmentType;
};
struct Taken {
  std::size_t sequence = 0;
  std::int64_t arrivedMs = 0;
  std::int64_t replaces = 0;
  TextSpan identifier, payload;
  bool push = false;  // whether the push's fields are given
  bool hasCollapseId = false;
  int priority = 0;
  TextSpan device, type, topic, collapseId;
  const Delivered* first = nullptr;  // when it came in the same batch
};
struct Expired {
  std::size_t sequence;
};
struct Abandoned {
  std::size_t sequence;
  double elapsedMs;
};
struct Cleared {};
struct Committed {
  std::function<void(bool)> done;
};
// A refusal, rarer and larger, is kept whole, out of the queue's own memory.
using Refused = std::unique_ptr<StoredRefusal>;
using Write = std::variant<Taken, Expired, Delivered, Abandoned, Refused, Cleared, Committed>;

constexpr const char* kRequestColumns =
    "id, run, sequence, identifier, arrived, payload, device, push_type, priority, topic, "
    "collapse_id, outcome, expired, abandoned_after, displayed, json, attachment_file, "
    "attachment_type";

}  // namespace

struct Store::Impl {
  Settings settings;
  Database writerDb, readerDb;
  Statement insertRequest, removeReplaced, markExpired, markAbandoned, insertDelivery,
      setFirstDelivery, insertRefusal, insertPushId, removePushId, setPushIdsUpto;

  mutable std::mutex mutex;
  std::condition_variable wake, drained;
  std::vector<Write> queue;  // guarded by mutex; swapped with the writer's, both keep capacity
  std::string queueText;     // the queued writes' texts; guarded by mutex; swapped as queue is
  std::string batchText;     // the writer's
  // queue.size(), stored under the lock and read without it: whoever waits for room looks
  // here first, without taking the lock the writer and the recorders share.
  std::atomic<std::size_t> queueSize{0};
  std::size_t applying = 0;  // writes taken by the writer, not yet committed; guarded by mutex
  bool stopping = false;     // guarded by mutex
  std::size_t refusalsNotRecorded = 0;  // guarded by mutex
  bool failureSaid = false;             // writer thread only
  std::thread writer;

  // The writer's: this run's request ids by sequence (0: not stored, or cleared).
  std::vector<std::int64_t> idOfSequence;
  // The writer's: pushes written and not yet in push_ids, oldest first, and since when.
  std::vector<std::pair<std::string, std::int64_t>> unindexed;
  Clock::time_point unindexedSince;
  // The id of the oldest of them, for readers; kNoneUnindexed when there are none.
  std::atomic<std::int64_t> unindexedFrom{kNoneUnindexed};
  std::vector<StoreChange> changes;

  mutable std::mutex readMutex;  // the reading connection is used by one thread at a time

  Result<> prepareWrites();
  // Queues the write that `make` returns; `make` is given `keep`, which appends a text to
  // queueText and returns its span. Both run under the lock.
  template <class Make>
  void enqueue(Make make);
  std::string_view textOf(TextSpan span) const { return {batchText.data() + span.at, span.size}; }
  // Binds the first delivery's columns from `at` on: displayed, json, file, type.
  void bindFirstDelivery(sqlite3_stmt* statement, int at, const Delivered& first) const;
  void run();
  // False when the write failed (said once on standard error).
  bool apply(Write& write, std::vector<std::function<void(bool)>>& callbacks);
  // A request taken and first delivered in the same batch is inserted with its delivery,
  // rather than inserted and then updated.
  static void settleFirstDeliveries(std::vector<Write>& batch);
  bool step(sqlite3_stmt* statement);
  std::int64_t idOf(std::size_t sequence) const {
    return sequence < idOfSequence.size() ? idOfSequence[sequence] : 0;
  }
  void sayFailure(const std::string& what);
  // Whether enough pushes have waited for push_ids, or the oldest long enough.
  bool pushIdsDue() const {
    return unindexed.size() >= kPushIdsTogether ||
           (!unindexed.empty() && Clock::Current().now() - unindexedSince >= kPushIdsWait);
  }
  // Adds the pushes waiting for push_ids in the open transaction; false when a write failed
  // (they wait for the next, the adding being idempotent).
  bool addPushIds();
  // Once the transaction that added them has committed, or every request is gone.
  void forgetUnindexed() {
    unindexed.clear();
    unindexedFrom.store(kNoneUnindexed);
  }

  // Reads; readMutex held.
  std::vector<RequestStory> storiesWhere(const std::string& where,
                                         const std::function<void(sqlite3_stmt*)>& bindAll) const;
  // Appends the later deliveries to `story`; `later` is the prepared query for them.
  static void addLaterDeliveries(sqlite3_stmt* later, RequestStory& story);
};

namespace {

StoredRequest requestAt(sqlite3_stmt* row) {
  StoredRequest request;
  request.id = sqlite3_column_int64(row, 0);
  request.run = textAt(row, 1);
  request.sequence = static_cast<std::size_t>(sqlite3_column_int64(row, 2));
  request.identifier = textAt(row, 3);
  request.arrivedMs = sqlite3_column_int64(row, 4);
  request.payload = textAt(row, 5);
  if (sqlite3_column_type(row, 7) != SQLITE_NULL) {
    PushDetails push;
    push.device = textAt(row, 6);
    push.type = textAt(row, 7);
    push.priority = sqlite3_column_int(row, 8);
    push.topic = textAt(row, 9);
    push.collapseId = optionalTextAt(row, 10);
    request.push = std::make_shared<const PushDetails>(std::move(push));
  }
  return request;
}

RequestStory storyAt(sqlite3_stmt* row) {
  RequestStory story;
  story.request = requestAt(row);
  story.outcome = textAt(row, 11);
  story.expired = sqlite3_column_int(row, 12) != 0;
  if (sqlite3_column_type(row, 13) != SQLITE_NULL) {
    story.abandonedAfterMs = sqlite3_column_double(row, 13);
  }
  if (sqlite3_column_type(row, 15) != SQLITE_NULL) {
    StoredDelivery first;
    first.sequence = story.request.sequence;
    first.displayed = sqlite3_column_int(row, 14) != 0;
    first.outcome = story.outcome;
    first.json = textAt(row, 15);
    first.attachmentFile = textAt(row, 16);
    first.attachmentType = textAt(row, 17);
    story.deliveries.push_back(std::move(first));
  }
  return story;
}

}  // namespace

Result<> Store::Impl::prepareWrites() {
  sqlite3* db = writerDb.get();
  const std::pair<Statement*, const char*> statements[] = {
      {&insertRequest,
       "INSERT INTO requests (run, sequence, identifier, arrived, payload, device, push_type, "
       "priority, topic, collapse_id, outcome, displayed, json, attachment_file, "
       "attachment_type) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
       "?15)"},
      {&removeReplaced, "DELETE FROM requests WHERE id = ?1 AND outcome = 'pending'"},
      {&markExpired, "UPDATE requests SET expired = 1 WHERE id = ?1"},
      {&markAbandoned, "UPDATE requests SET abandoned_after = ?2 WHERE id = ?1"},
      {&insertDelivery,
       "INSERT INTO deliveries (request, number, displayed, json, attachment_file, "
       "attachment_type) VALUES (?1, ?2, ?3, ?4, ?5, ?6)"},
      {&setFirstDelivery,
       "UPDATE requests SET outcome = ?2, displayed = ?3, json = ?4, attachment_file = ?5, "
       "attachment_type = ?6 WHERE id = ?1"},
      {&insertPushId, "INSERT OR IGNORE INTO push_ids (identifier, request) VALUES (?1, ?2)"},
      {&removePushId, "DELETE FROM push_ids WHERE identifier = ?1 AND request = ?2"},
      {&setPushIdsUpto, "UPDATE push_ids_upto SET id = ?1"},
      {&insertRefusal,
       "INSERT INTO refusals (run, arrived, apns_id, status, reason, fault, device, push_type, "
       "priority, topic, collapse_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"},
  };
  for (const auto& [statement, sql] : statements) {
    auto prepared = prepare(db, sql);
    if (!prepared) return std::move(prepared).failure();
    *statement = std::move(*prepared);
  }
  return {};
}

void Store::Impl::sayFailure(const std::string& what) {
  if (failureSaid) return;
  failureSaid = true;
  std::fprintf(stderr, "corvanta-nse: store %s: %s; the run goes on without recording it\n",
               settings.path.c_str(), what.c_str());
}

bool Store::Impl::step(sqlite3_stmt* statement) {
  const int status = sqlite3_step(statement);
  const bool done = status == SQLITE_DONE || status == SQLITE_ROW;
  if (!done) sayFailure("cannot write: " + messageOf(writerDb.get()));
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return done;
}

bool Store::Impl::apply(Write& write, std::vector<std::function<void(bool)>>& callbacks) {
  return std::visit(
      [&](auto& op) -> bool {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, Taken>) {
          sqlite3_stmt* s = insertRequest.get();
          bindValue(s, 1, settings.run);
          bindValue(s, 2, static_cast<std::int64_t>(op.sequence));
          bindValue(s, 3, textOf(op.identifier));
          bindValue(s, 4, op.arrivedMs);
          bindValue(s, 5, textOf(op.payload));
          if (op.push) {
            bindValue(s, 6, textOf(op.device));
            bindValue(s, 7, textOf(op.type));
            bindValue(s, 8, static_cast<std::int64_t>(op.priority));
            bindValue(s, 9, textOf(op.topic));
            if (op.hasCollapseId) bindValue(s, 10, textOf(op.collapseId));
          }
          bindValue(s, 11, op.first ? textOf(op.first->outcome) : std::string_view("pending"));
          if (op.first) bindFirstDelivery(s, 12, *op.first);
          if (!step(s)) return false;
          const std::int64_t id = sqlite3_last_insert_rowid(writerDb.get());
          if (idOfSequence.size() <= op.sequence) idOfSequence.resize(op.sequence + 1);
          idOfSequence[op.sequence] = id;
          changes.push_back({StoreChange::request, id});
          if (op.first) changes.push_back({StoreChange::delivery, id});
          if (op.push) {
            if (unindexed.empty()) {
              unindexedSince = Clock::Current().now();
              unindexedFrom.store(id);
            }
            unindexed.emplace_back(textOf(op.identifier), id);
          }
          if (op.replaces != 0) {
            bindValue(removeReplaced.get(), 1, op.replaces);
            if (!step(removeReplaced.get())) return false;
            bindValue(removePushId.get(), 1, textOf(op.identifier));
            bindValue(removePushId.get(), 2, op.replaces);
            return step(removePushId.get());
          }
          return true;
        } else if constexpr (std::is_same_v<Op, Expired>) {
          const std::int64_t id = idOf(op.sequence);
          if (id == 0) return true;
          bindValue(markExpired.get(), 1, id);
          return step(markExpired.get());
        } else if constexpr (std::is_same_v<Op, Abandoned>) {
          const std::int64_t id = idOf(op.sequence);
          if (id == 0) return true;
          bindValue(markAbandoned.get(), 1, id);
          sqlite3_bind_double(markAbandoned.get(), 2, op.elapsedMs);
          if (!step(markAbandoned.get())) return false;
          changes.push_back({StoreChange::delivery, id});
          return true;
        } else if constexpr (std::is_same_v<Op, Delivered>) {
          const std::int64_t id = idOf(op.sequence);
          if (id == 0 || op.withItsRequest) return true;  // cleared, or inserted with its request
          if (op.number == 1) {
            sqlite3_stmt* s = setFirstDelivery.get();
            bindValue(s, 1, id);
            bindValue(s, 2, textOf(op.outcome));
            bindFirstDelivery(s, 3, op);
            if (!step(s)) return false;
          } else {
            sqlite3_stmt* s = insertDelivery.get();
            bindValue(s, 1, id);
            bindValue(s, 2, static_cast<std::int64_t>(op.number));
            bindValue(s, 3, static_cast<std::int64_t>(op.displayed ? 1 : 0));
            bindValue(s, 4, textOf(op.json));
            bindValue(s, 5, textOf(op.attachmentFile));
            bindValue(s, 6, textOf(op.attachmentType));
            if (!step(s)) return false;
          }
          changes.push_back({StoreChange::delivery, id});
          return true;
        } else if constexpr (std::is_same_v<Op, Refused>) {
          const RefusedPush& refused = op->push;
          sqlite3_stmt* s = insertRefusal.get();
          bindValue(s, 1, settings.run);
          bindValue(s, 2, op->arrivedMs);
          bindValue(s, 3, refused.apnsId);
          bindValue(s, 4, static_cast<std::int64_t>(refused.refusal.status));
          bindValue(s, 5, refused.refusal.reason);
          bindValue(s, 6, refused.refusal.fault);
          bindValue(s, 7, refused.push.device);
          bindValue(s, 8, refused.push.type);
          bindValue(s, 9, static_cast<std::int64_t>(refused.push.priority));
          bindValue(s, 10, refused.push.topic);
          bindOptional(s, 11, refused.push.collapseId);
          if (!step(s)) return false;
          changes.push_back({StoreChange::refusal, sqlite3_last_insert_rowid(writerDb.get())});
          return true;
        } else if constexpr (std::is_same_v<Op, Cleared>) {
          std::fill(idOfSequence.begin(), idOfSequence.end(), 0);
          forgetUnindexed();
          changes.push_back({StoreChange::cleared, 0});
          // Ids start again from 1 once every request is gone.
          const Result<> cleared = execute(writerDb.get(),
                                           "DELETE FROM deliveries; DELETE FROM requests; "
                                           "DELETE FROM refusals; DELETE FROM push_ids; "
                                           "UPDATE push_ids_upto SET id = 0;");
          if (!cleared) sayFailure("cannot clear: " + cleared.failure().message);
          return cleared.ok();
        } else {
          callbacks.push_back(std::move(op.done));
          return true;
        }
      },
      write);
}

bool Store::Impl::addPushIds() {
  for (const auto& [identifier, id] : unindexed) {
    bindValue(insertPushId.get(), 1, identifier);
    bindValue(insertPushId.get(), 2, id);
    if (!step(insertPushId.get())) return false;
  }
  bindValue(setPushIdsUpto.get(), 1, unindexed.back().second);
  return step(setPushIdsUpto.get());
}

void Store::Impl::bindFirstDelivery(sqlite3_stmt* statement, int at, const Delivered& first) const {
  bindValue(statement, at, static_cast<std::int64_t>(first.displayed ? 1 : 0));
  bindValue(statement, at + 1, textOf(first.json));
  bindValue(statement, at + 2, textOf(first.attachmentFile));
  bindValue(statement, at + 3, textOf(first.attachmentType));
}

void Store::Impl::settleFirstDeliveries(std::vector<Write>& batch) {
  // Requests are taken in the order of their sequence numbers, so a batch's span them.
  static thread_local std::vector<Taken*> taken;
  std::size_t first = 0;
  for (Write& write : batch) {
    if (auto* request = std::get_if<Taken>(&write)) {
      if (taken.empty()) first = request->sequence;
      const std::size_t at = request->sequence - first;
      if (request->sequence < first || at > batch.size()) continue;  // replayed ones
      if (taken.size() <= at) taken.resize(at + 1, nullptr);
      taken[at] = request;
    } else if (auto* delivered = std::get_if<Delivered>(&write);
               delivered && delivered->number == 1 && delivered->sequence >= first &&
               delivered->sequence - first < taken.size()) {
      if (Taken* itsRequest = taken[delivered->sequence - first]) {
        itsRequest->first = delivered;
        delivered->withItsRequest = true;
      }
    }
  }
  taken.clear();
}

void Store::Impl::run() {
  // Nobody waits on a record no promise hangs on: the writer of a run that does not sync gives
  // the cores to the run itself, and catches up in its gaps (Linux nices a thread by its id).
  if (!settings.durable) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  std::vector<Write> batch;
  std::vector<std::function<void(bool)>> callbacks;
  // Writes since the writer last gave memory back: a flood's worth (kBatchWrites) makes it
  // give back at its next idle spell.
  std::size_t writtenSinceGivingBack = 0;
  while (true) {
    {
      std::unique_lock lock(mutex);
      applying = 0;
      drained.notify_all();
      const auto woken = [&] { return stopping || !queue.empty(); };
      // A writer that has caught up after a flood gives back what the flood's writes held, to
      // the system and not only to the allocator, once no write has come for a while: a run
      // that keeps it busy would take it again at once, a page fault for every 4 KiB.
      if (writtenSinceGivingBack >= kBatchWrites &&
          !wake.wait_for(lock, kIdleBeforeGivingBack, woken)) {
        writtenSinceGivingBack = 0;
        std::string().swap(queueText);  // empty, as the queue is
        std::string().swap(batchText);
        lock.unlock();
        malloc_trim(0);
        lock.lock();
      }
      wake.wait(lock, woken);
      if (queue.empty()) {  // stopping, with nothing left
        lock.unlock();
        if (!unindexed.empty() && execute(writerDb.get(), "BEGIN") && addPushIds() &&
            execute(writerDb.get(), "COMMIT")) {
          forgetUnindexed();
        }
        return;
      }
      if (!settings.durable) {
        wake.wait_for(lock, kBatchWaitNotDurable,
                      [&] { return stopping || queue.size() >= kBatchWrites; });
      }
      batch.swap(queue);
      batchText.swap(queueText);
      queueSize.store(0, std::memory_order_relaxed);
      applying = batch.size();
    }
    const std::size_t taken = batch.size();
    // Whatever arrived while the last batch was being synced goes in one transaction: the
    // group commit that makes one fsync serve many pushes.
    bool committed = execute(writerDb.get(), "BEGIN").ok();
    settleFirstDeliveries(batch);
    // A write that failed (the rest of the batch still goes in) breaks the promise of every
    // callback waiting on the batch: they cannot tell whose it was.
    bool written = true;
    for (Write& write : batch) written = apply(write, callbacks) && written;
    const bool idsAdded = committed && pushIdsDue() && addPushIds();
    if (committed) {
      const Result<> ended = execute(writerDb.get(), "COMMIT");
      if (!ended) {
        sayFailure("cannot commit: " + ended.failure().message);
        (void)execute(writerDb.get(), "ROLLBACK");
        committed = false;
      }
    } else {
      sayFailure("cannot begin a transaction: " + messageOf(writerDb.get()));
    }
    batch.clear();
    batchText.clear();
    if (committed && idsAdded) forgetUnindexed();
    if (committed && settings.listener) {
      for (const StoreChange& change : changes) settings.listener(change);
    }
    changes.clear();
    for (auto& done : callbacks) done(committed && written);
    callbacks.clear();
    writtenSinceGivingBack += taken;
  }
}

template <class Make>
void Store::Impl::enqueue(Make make) {
  std::size_t queued;
  {
    const std::lock_guard lock(mutex);
    const auto keep = [this](std::string_view text) {
      const TextSpan span{queueText.size(), text.size()};
      queueText.append(text);
      return span;
    };
    queue.push_back(make(keep));
    queued = queue.size();
    queueSize.store(queued, std::memory_order_relaxed);
  }
  // The writer wakes for the first write of a batch and for a full one, not for each.
  if (queued == 1 || queued == kBatchWrites) wake.notify_one();
}

Result<std::unique_ptr<Store>> Store::open(Settings settings) {
  const std::string where = "store " + settings.path;
  auto impl = std::make_unique<Impl>();
  auto writerDb = openDatabase(settings.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!writerDb) return std::move(writerDb).failure().within(where);
  impl->writerDb = std::move(*writerDb);
  sqlite3* db = impl->writerDb.get();

  // A file that is not a database of ours is refused before anything is written to it.
  auto version = prepare(db, "PRAGMA user_version");
  if (!version || sqlite3_step(version->get()) != SQLITE_ROW) {
    return Failure{"cannot read: " + messageOf(db)}.within(where);
  }
  const int found = sqlite3_column_int(version->get(), 0);
  version = Failure{""};
  // Version 1 differs only in how pushes are found by apns-id: it is brought up to date.
  if (found != 0 && found != 1 && found != kSchemaVersion) {
    return Failure{"made by another version (schema " + std::to_string(found) +
                   "); move it away to start a new one"}
        .within(where);
  }
  const std::string setUp =
      // 16 KiB pages: a third fewer system calls for a run's writes than 4 KiB ones.
      std::string(
          "PRAGMA page_size=16384; PRAGMA journal_mode=WAL; "
          "PRAGMA temp_store=MEMORY; PRAGMA cache_size=-8192; "
          "PRAGMA synchronous=") +
      (settings.durable ? "FULL" : "OFF") + ";" + kSchema +
      "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  if (const Result<> made = execute(db, setUp.c_str()); !made) {
    return Failure{made.failure().message}.within(where);
  }
  if (const Result<> prepared = impl->prepareWrites(); !prepared) {
    return Failure{prepared.failure().message}.within(where);
  }

  // This run, and the runs kept with it: older ones go with their rows, except the pushes
  // they took and never showed, which the host runs first.
  {
    auto insertRun = prepare(db, "INSERT OR IGNORE INTO runs (name, opened) VALUES (?1, ?2)");
    if (!insertRun) return std::move(insertRun).failure().within(where);
    bindValue(insertRun->get(), 1, settings.run);
    bindValue(insertRun->get(), 2, wallClockMs());
    sqlite3_step(insertRun->get());
    const std::string prune =
        "BEGIN;"
        "CREATE TEMP TABLE dropped AS SELECT name FROM runs ORDER BY opened DESC, name DESC "
        "  LIMIT -1 OFFSET " +
        std::to_string(kRunsKept) +
        ";"
        "CREATE TEMP TABLE gone AS SELECT id FROM requests WHERE run IN (SELECT name FROM dropped) "
        "  AND NOT (outcome = 'pending' AND device IS NOT NULL);"
        "DELETE FROM deliveries WHERE request IN (SELECT id FROM gone);"
        "DELETE FROM push_ids WHERE (identifier, request) IN (SELECT identifier, id FROM "
        "  requests WHERE id IN (SELECT id FROM gone) AND device IS NOT NULL);"
        "DELETE FROM requests WHERE id IN (SELECT id FROM gone);"
        "DROP TABLE gone;"
        "DELETE FROM refusals WHERE run IN (SELECT name FROM dropped);"
        "DELETE FROM runs WHERE name IN (SELECT name FROM dropped);"
        "DROP TABLE dropped;"
        "COMMIT;";
    if (const Result<> pruned = execute(db, prune.c_str()); !pruned) {
      return Failure{"cannot drop old runs: " + pruned.failure().message}.within(where);
    }
    // The pushes an earlier run wrote and did not add to push_ids (it was killed), or all of
    // a version 1 store's.
    const Result<> added =
        execute(db,
                "BEGIN;"
                "INSERT OR IGNORE INTO push_ids (identifier, request) SELECT identifier, id FROM "
                "  requests WHERE id > (SELECT id FROM push_ids_upto) AND device IS NOT NULL;"
                "UPDATE push_ids_upto SET id = (SELECT COALESCE(MAX(id), 0) FROM requests);"
                "COMMIT;");
    if (!added) return Failure{"cannot find pushes: " + added.failure().message}.within(where);
  }

  auto readerDb = openDatabase(settings.path, SQLITE_OPEN_READONLY);
  if (!readerDb) return std::move(readerDb).failure().within(where);
  impl->readerDb = std::move(*readerDb);

  impl->settings = std::move(settings);
  Impl* raw = impl.get();
  impl->writer = std::thread([raw] { raw->run(); });
  return std::make_unique<Store>(std::move(impl));
}

std::int64_t wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Store::Store(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

Store::~Store() {
  {
    const std::lock_guard lock(_impl->mutex);
    _impl->stopping = true;
  }
  _impl->wake.notify_one();
  _impl->writer.join();
}

void Store::recordTaken(const StoredRequest& request, std::int64_t replaces) {
  _impl->enqueue([&](const auto& keep) -> Write {
    Taken taken;
    taken.sequence = request.sequence;
    taken.arrivedMs = request.arrivedMs;
    taken.replaces = replaces;
    taken.identifier = keep(request.identifier);
    taken.payload = keep(request.payload);
    if (const auto& push = request.push) {
      taken.push = true;
      taken.device = keep(push->device);
      taken.type = keep(push->type);
      taken.priority = push->priority;
      taken.topic = keep(push->topic);
      if (push->collapseId) {
        taken.hasCollapseId = true;
        taken.collapseId = keep(*push->collapseId);
      }
    }
    return taken;
  });
}
void Store::recordExpired(std::size_t sequence) {
  _impl->enqueue([&](const auto&) -> Write { return Expired{sequence}; });
}
void Store::recordDelivery(const StoredDelivery& delivery) {
  _impl->enqueue([&](const auto& keep) -> Write {
    Delivered delivered;
    delivered.sequence = delivery.sequence;
    delivered.number = delivery.number;
    delivered.displayed = delivery.displayed;
    delivered.outcome = keep(delivery.outcome);
    delivered.json = keep(delivery.json);
    delivered.attachmentFile = keep(delivery.attachmentFile);
    delivered.attachmentType = keep(delivery.attachmentType);
    return delivered;
  });
}
void Store::recordAbandoned(std::size_t sequence, double elapsedMs) {
  _impl->enqueue([&](const auto&) -> Write { return Abandoned{sequence, elapsedMs}; });
}
void Store::recordRefusal(StoredRefusal refusal) {
  {
    // A refusal is worth less than a push taken: a flood of them (a client repeating a bad
    // push thousands of times a second) must hold neither memory nor the writer's queue,
    // which would turn good pushes away as "behind". Past the bound they are counted only.
    const std::lock_guard lock(_impl->mutex);
    if (_impl->queue.size() + _impl->applying >= kRefusalsQueuedAtMost) {
      if (_impl->refusalsNotRecorded++ == 0) {
        std::fprintf(stderr,
                     "corvanta-nse: store: refused pushes arrive faster than they can be "
                     "recorded; past %zu waiting, they are counted, not recorded\n",
                     kRefusalsQueuedAtMost);
      }
      return;
    }
  }
  auto refused = std::make_unique<StoredRefusal>(std::move(refusal));
  _impl->enqueue([&](const auto&) -> Write { return std::move(refused); });
}

std::size_t Store::refusalsNotRecorded() const {
  const std::lock_guard lock(_impl->mutex);
  return _impl->refusalsNotRecorded;
}
void Store::clear() {
  _impl->enqueue([](const auto&) -> Write { return Cleared{}; });
}
void Store::afterCommit(std::function<void(bool)> done) {
  _impl->enqueue([&](const auto&) -> Write { return Committed{std::move(done)}; });
}

void Store::flush() {
  std::promise<void> committed;
  afterCommit([&committed](bool) { committed.set_value(); });
  committed.get_future().wait();
}

std::size_t Store::queued() const {
  const std::lock_guard lock(_impl->mutex);
  return _impl->queue.size() + _impl->applying;
}

void Store::waitUntilQueuedAtMost(std::size_t writes) const {
  if (_impl->queueSize.load(std::memory_order_relaxed) <= writes) return;
  std::unique_lock lock(_impl->mutex);
  _impl->drained.wait(lock, [&] { return _impl->queue.size() <= writes; });
}

void Store::Impl::addLaterDeliveries(sqlite3_stmt* s, RequestStory& story) {
  sqlite3_reset(s);
  bindValue(s, 1, story.request.id);
  while (sqlite3_step(s) == SQLITE_ROW) {
    StoredDelivery delivery;
    delivery.sequence = story.request.sequence;
    delivery.number = sqlite3_column_int(s, 0);
    delivery.displayed = sqlite3_column_int(s, 1) != 0;
    delivery.json = textAt(s, 2);
    delivery.attachmentFile = textAt(s, 3);
    delivery.attachmentType = textAt(s, 4);
    if (delivery.number == 1) delivery.outcome = story.outcome;
    story.deliveries.push_back(std::move(delivery));
  }
}

std::vector<RequestStory> Store::Impl::storiesWhere(
    const std::string& where, const std::function<void(sqlite3_stmt*)>& bindAll) const {
  std::vector<RequestStory> stories;
  const std::string sql = std::string("SELECT ") + kRequestColumns + " FROM requests " + where;
  auto statement = prepare(readerDb.get(), sql.c_str());
  if (!statement) return stories;
  bindAll(statement->get());
  while (sqlite3_step(statement->get()) == SQLITE_ROW) stories.push_back(storyAt(statement->get()));
  // One query for every story's later deliveries: the live page reads 200 stories a reload.
  auto later = prepare(readerDb.get(),
                       "SELECT number, displayed, json, attachment_file, attachment_type "
                       "FROM deliveries WHERE request = ?1 AND number > 1 ORDER BY number");
  if (!later) return stories;
  for (RequestStory& story : stories) addLaterDeliveries(later->get(), story);
  return stories;
}

std::vector<RequestStory> Store::requests(const StoreQuery& query) const {
  const std::lock_guard lock(_impl->readMutex);
  std::string where = "WHERE arrived >= ?1";
  if (!query.device.empty()) where += " AND device = ?2";
  if (!query.outcome.empty()) where += " AND outcome = ?3";
  if (!query.run.empty()) where += " AND run = ?4";
  where += " ORDER BY id DESC LIMIT ?5";
  return _impl->storiesWhere(where, [&](sqlite3_stmt* s) {
    bindValue(s, 1, query.sinceMs);
    if (!query.device.empty()) bindValue(s, 2, query.device);
    if (!query.outcome.empty()) bindValue(s, 3, query.outcome);
    if (!query.run.empty()) bindValue(s, 4, query.run);
    bindValue(s, 5, static_cast<std::int64_t>(query.limit));
  });
}

std::optional<RequestStory> Store::story(std::int64_t id) const {
  const std::lock_guard lock(_impl->readMutex);
  auto found = _impl->storiesWhere("WHERE id = ?1", [&](sqlite3_stmt* s) { bindValue(s, 1, id); });
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::optional<Store::Brief> Store::brief(std::int64_t id) const {
  const std::lock_guard lock(_impl->readMutex);
  auto statement = prepare(_impl->readerDb.get(),
                           "SELECT identifier, COALESCE(device, ''), outcome FROM requests "
                           "WHERE id = ?1");
  if (!statement) return std::nullopt;
  bindValue(statement->get(), 1, id);
  if (sqlite3_step(statement->get()) != SQLITE_ROW) return std::nullopt;
  return Brief{textAt(statement->get(), 0), textAt(statement->get(), 1),
               textAt(statement->get(), 2)};
}

std::optional<std::int64_t> Store::find(const std::string& identifier) const {
  const std::lock_guard lock(_impl->readMutex);
  auto statement = prepare(_impl->readerDb.get(),
                           "SELECT COALESCE((SELECT MAX(id) FROM (SELECT p.request AS id FROM "
                           "push_ids p JOIN requests r ON r.id = p.request WHERE p.identifier = "
                           "?1 UNION ALL SELECT id FROM requests WHERE id >= ?2 AND identifier = "
                           "?1 AND device IS NOT NULL)), (SELECT MAX(id) FROM requests WHERE "
                           "identifier = ?1))");
  if (!statement) return std::nullopt;
  bindValue(statement->get(), 1, identifier);
  // The newest pushes, not yet in push_ids, are looked for among the newest requests.
  bindValue(statement->get(), 2, _impl->unindexedFrom.load());
  if (sqlite3_step(statement->get()) != SQLITE_ROW ||
      sqlite3_column_type(statement->get(), 0) == SQLITE_NULL) {
    return std::nullopt;
  }
  return sqlite3_column_int64(statement->get(), 0);
}

std::vector<StoredRefusal> Store::refusals(const StoreQuery& query) const {
  const std::lock_guard lock(_impl->readMutex);
  std::vector<StoredRefusal> found;
  std::string sql =
      "SELECT id, run, arrived, apns_id, status, reason, fault, device, push_type, priority, "
      "topic, collapse_id FROM refusals WHERE arrived >= ?1";
  if (!query.device.empty()) sql += " AND device = ?2";
  if (!query.run.empty()) sql += " AND run = ?4";
  sql += " ORDER BY id DESC LIMIT ?5";
  auto statement = prepare(_impl->readerDb.get(), sql.c_str());
  if (!statement) return found;
  sqlite3_stmt* s = statement->get();
  bindValue(s, 1, query.sinceMs);
  if (!query.device.empty()) bindValue(s, 2, query.device);
  if (!query.run.empty()) bindValue(s, 4, query.run);
  bindValue(s, 5, static_cast<std::int64_t>(query.limit));
  while (sqlite3_step(s) == SQLITE_ROW) {
    StoredRefusal refusal;
    refusal.id = sqlite3_column_int64(s, 0);
    refusal.run = textAt(s, 1);
    refusal.arrivedMs = sqlite3_column_int64(s, 2);
    refusal.push.apnsId = textAt(s, 3);
    refusal.push.refusal.status = sqlite3_column_int(s, 4);
    refusal.push.refusal.reason = textAt(s, 5);
    refusal.push.refusal.fault = textAt(s, 6);
    refusal.push.push.device = textAt(s, 7);
    refusal.push.push.type = textAt(s, 8);
    refusal.push.push.priority = sqlite3_column_int(s, 9);
    refusal.push.push.topic = textAt(s, 10);
    refusal.push.push.collapseId = optionalTextAt(s, 11);
    found.push_back(std::move(refusal));
  }
  return found;
}

std::vector<StoredRequest> Store::unshown() const {
  const std::lock_guard lock(_impl->readMutex);
  std::vector<StoredRequest> found;
  const std::string sql = std::string("SELECT ") + kRequestColumns +
                          " FROM requests WHERE outcome = 'pending' AND device IS NOT NULL "
                          "AND run <> ?1 ORDER BY id";
  auto statement = prepare(_impl->readerDb.get(), sql.c_str());
  if (!statement) return found;
  bindValue(statement->get(), 1, _impl->settings.run);
  while (sqlite3_step(statement->get()) == SQLITE_ROW) {
    found.push_back(requestAt(statement->get()));
  }
  return found;
}

}  // namespace corvanta
