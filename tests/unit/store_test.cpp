#include "platform/extension_host/store/Store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <mutex>

#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

using testing::ScratchDirectory;

std::unique_ptr<Store> openStore(const ScratchDirectory& scratch, const std::string& run,
                                 std::function<void(const StoreChange&)> listener = nullptr) {
  auto opened = Store::open({scratch.path() + "store.db", run, true, std::move(listener)});
  EXPECT_TRUE(opened.ok()) << (opened ? "" : opened.failure().message);
  return std::move(opened).value();
}

StoredRequest push(std::size_t sequence, std::string identifier, std::string device) {
  StoredRequest request;
  request.sequence = sequence;
  request.identifier = std::move(identifier);
  request.arrivedMs = 1000 + static_cast<std::int64_t>(sequence);
  request.payload = R"({"aps":{"alert":"hi"}})";
  request.push = std::make_shared<const PushDetails>(
      PushDetails{std::move(device), "alert", 10, "com.example", "c1"});
  return request;
}

StoredRequest fileLine(std::size_t sequence, std::string identifier, std::int64_t arrivedMs = 0) {
  StoredRequest request;
  request.sequence = sequence;
  request.identifier = std::move(identifier);
  request.arrivedMs = arrivedMs;
  return request;
}

StoreQuery query(std::string device, std::int64_t sinceMs, Outcome outcome, std::size_t limit) {
  return {std::move(device), sinceMs, std::move(outcome), limit, ""};
}

TEST(StoreTest, KeepsEachRequestsStoryAndAnswersQueries) {
  const ScratchDirectory scratch;
  std::mutex mutex;
  std::vector<StoreChange> changes;
  const auto store = openStore(scratch, "run-1", [&](const StoreChange& change) {
    const std::lock_guard lock(mutex);
    changes.push_back(change);
  });
  store->recordTaken(push(0, "A", "aa"));
  store->recordTaken(push(1, "B", "bb"));
  store->recordTaken(fileLine(2, "file", 1002));
  store->recordExpired(0);
  store->recordDelivery({0, 1, true, "attached", R"({"delivery":1})", "/s/a.png", "image/png"});
  store->recordDelivery({0, 2, false, "", R"({"delivery":2})", "", ""});
  store->recordAbandoned(1, 4000.5);
  StoredRefusal refusal;
  refusal.arrivedMs = 1003;
  refusal.push.apnsId = "X";
  refusal.push.refusal = {400, "BadPriority", "priority: 7"};
  refusal.push.push.device = "cc";
  store->recordRefusal(refusal);
  bool committed = false;
  store->afterCommit([&](bool ok) { committed = ok; });
  store->flush();
  EXPECT_TRUE(committed);

  const auto a = store->story(*store->find("A"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->outcome, "attached");
  EXPECT_TRUE(a->expired);
  ASSERT_EQ(a->deliveries.size(), 2u);
  EXPECT_EQ(a->deliveries[0].attachmentFile, "/s/a.png");
  EXPECT_EQ(a->deliveries[1].json, R"({"delivery":2})");
  EXPECT_EQ(a->request.push->collapseId, "c1");
  EXPECT_EQ(a->request.run, "run-1");

  const auto all = store->requests({});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].request.identifier, "file");  // newest first
  EXPECT_FALSE(all[0].request.push);
  EXPECT_EQ(all[1].outcome, "pending");
  EXPECT_EQ(all[1].abandonedAfterMs, 4000.5);
  EXPECT_EQ(store->requests(query("bb", 0, "", 100)).size(), 1u);
  EXPECT_EQ(store->requests(query("", 0, "attached", 100)).size(), 1u);
  EXPECT_EQ(store->requests(query("", 1001, "", 100)).size(), 2u);
  EXPECT_EQ(store->requests(query("", 0, "", 1)).size(), 1u);
  EXPECT_FALSE(store->find("nobody"));

  const auto refused = store->refusals({});
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].push.refusal.reason, "BadPriority");
  EXPECT_EQ(refused[0].push.push.device, "cc");

  store->clear();
  store->recordDelivery({1, 1, true, "without attachment", "{}", "", ""});  // of a cleared one
  store->flush();
  EXPECT_TRUE(store->requests({}).empty());
  EXPECT_TRUE(store->refusals({}).empty());
  const std::lock_guard lock(mutex);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.front().kind, StoreChange::request);
  EXPECT_EQ(changes.back().kind, StoreChange::cleared);
}

// A push taken and never shown, by a run that ended without showing it, is given to the next
// run to show, once: the run that shows it replaces it.
TEST(StoreTest, GivesPushesNeverShownToTheNextRunOnce) {
  const ScratchDirectory scratch;
  {
    const auto crashed = openStore(scratch, "run-1");
    crashed->recordTaken(push(0, "shown", "aa"));
    crashed->recordDelivery({0, 1, true, "without attachment", "{}", "", ""});
    crashed->recordTaken(push(1, "lost", "aa"));
    crashed->recordTaken(fileLine(2, "file line"));
  }
  {
    const auto next = openStore(scratch, "run-2");
    const auto unshown = next->unshown();
    ASSERT_EQ(unshown.size(), 1u);
    EXPECT_EQ(unshown[0].identifier, "lost");
    EXPECT_EQ(unshown[0].payload, R"({"aps":{"alert":"hi"}})");
    StoredRequest again = unshown[0];
    again.sequence = 0;
    next->recordTaken(again, unshown[0].id);
    next->flush();
    EXPECT_TRUE(next->unshown().empty());  // this run's own are not given back to it
    EXPECT_EQ(next->story(*next->find("lost"))->request.run, "run-2");
  }
  const auto third = openStore(scratch, "run-3");
  const auto unshown = third->unshown();
  ASSERT_EQ(unshown.size(), 1u);  // taken by run-2, never shown there either
  EXPECT_EQ(unshown[0].run, "run-2");
  EXPECT_EQ(third->story(*third->find("lost"))->request.run, "run-2");
}

// Pushes are found by apns-id however far the writer has got with filing them: not yet, in
// the middle of a run, at its end, never (a run killed before it did) and in a store the
// version before made, which filed them as an index of requests.
TEST(StoreTest, FindsPushesByIdentifierWhateverTheirFiling) {
  const ScratchDirectory scratch;
  const auto name = [](std::size_t i) { return "P" + std::to_string(i); };
  constexpr std::size_t kPushes = 5000;  // more than are filed at once
  {
    const auto store = openStore(scratch, "run-1");
    for (std::size_t i = 0; i < kPushes; ++i) store->recordTaken(push(i, name(i), "aa"));
    store->flush();
    for (const std::size_t i : {std::size_t{0}, kPushes - 1}) {
      const auto found = store->find(name(i));
      ASSERT_TRUE(found) << i;
      EXPECT_EQ(store->story(*found)->request.sequence, i);
    }
  }
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((scratch.path() + "store.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "DELETE FROM push_ids; UPDATE push_ids_upto SET id = 0; "
                           "CREATE INDEX requests_by_identifier ON requests (identifier) "
                           "WHERE device IS NOT NULL; PRAGMA user_version = 1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const auto store = openStore(scratch, "run-2");
  for (const std::size_t i : {std::size_t{0}, std::size_t{4095}, kPushes - 1}) {
    const auto found = store->find(name(i));
    ASSERT_TRUE(found) << i;
    EXPECT_EQ(store->story(*found)->request.sequence, i);
  }
  store->clear();  // ids start again from 1
  store->recordTaken(push(0, "after", "aa"));
  store->flush();
  EXPECT_TRUE(store->find("after"));
  EXPECT_FALSE(store->find(name(0)));
}

// A flood of refusals faster than the writer is bounded: what does not fit is counted, so
// that every refusal is either recorded or counted, and the queue never grows past the bound.
TEST(StoreTest, AFloodOfRefusalsIsBoundedAndCounted) {
  const ScratchDirectory scratch;
  const auto store = openStore(scratch, "run-1");
  constexpr std::size_t kFlood = 100'000;
  std::size_t mostQueued = 0;
  for (std::size_t i = 0; i < kFlood; ++i) {
    StoredRefusal refusal;
    refusal.push.apnsId = "R" + std::to_string(i);
    refusal.push.refusal = {405, "MethodNotAllowed", ""};
    store->recordRefusal(std::move(refusal));
    mostQueued = std::max(mostQueued, store->queued());
  }
  store->flush();
  StoreQuery all = query("", 0, "", kFlood);
  const std::size_t recorded = store->refusals(all).size();
  EXPECT_GT(store->refusalsNotRecorded(), 0u);
  EXPECT_EQ(recorded + store->refusalsNotRecorded(), kFlood);
  EXPECT_LE(mostQueued, Store::kRefusalsQueuedAtMost);
}

TEST(StoreTest, KeepsTheNewestRunsAndRefusesAForeignFile) {
  const ScratchDirectory scratch;
  for (int run = 0; run < Store::kRunsKept + 2; ++run) {
    const auto store = openStore(scratch, "run-" + std::to_string(100 + run));
    store->recordTaken(run == 0 ? push(0, "pending push", "aa")
                                : fileLine(0, "r" + std::to_string(run)));
  }
  const auto store = openStore(scratch, "run-200");
  const auto kept = store->requests(query("", 0, "", 1000));
  EXPECT_EQ(kept.size(), static_cast<std::size_t>(Store::kRunsKept - 1) + 1);
  EXPECT_EQ(kept.back().request.identifier, "pending push");  // older, but never shown
  EXPECT_FALSE(store->find("r1"));

  scratch.write("foreign.db", "not a database at all, but long enough to look like a header");
  const auto foreign = Store::open({scratch.path() + "foreign.db", "run-1", false, nullptr});
  ASSERT_FALSE(foreign.ok());
  EXPECT_NE(foreign.failure().message.find("foreign.db"), std::string::npos);
}

}  // namespace
}  // namespace corvanta
