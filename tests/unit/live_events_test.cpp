// The live page's event streams: the store's writer publishes and never waits on a reader.
#include <gtest/gtest.h>

#include "platform/extension_host/output/LiveEvents.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;

StoreChange delivery(std::int64_t id) {
  return {StoreChange::delivery, id};
}

TEST(LiveEventsTest, AStreamThatFallsBehindIsEndedWhileOthersGetEveryChangeInOrder) {
  LiveEvents events(2);
  const auto stalled = events.subscribe();
  const auto reading = events.subscribe();
  std::vector<std::int64_t> read;
  const auto take = [&] {
    const auto changes = reading->next(0ms);
    for (const auto& change : *changes) read.push_back(change.id);
  };
  for (std::int64_t id = 1; id <= std::int64_t(LiveEvents::kQueued) * 3; ++id) {
    events.publish(delivery(id));  // returns at once: nothing here reads `stalled`
    if (id % 100 == 0) take();
  }
  take();
  ASSERT_EQ(read.size(), LiveEvents::kQueued * 3);
  EXPECT_TRUE(std::is_sorted(read.begin(), read.end()));
  EXPECT_FALSE(stalled->next(0ms).has_value());
}

TEST(LiveEventsTest, AFullSetOfStreamsIsWokenToWriteAndAClosedOneFreesItsPlace) {
  LiveEvents events(1);
  auto open = events.subscribe();
  ASSERT_TRUE(open);
  EXPECT_EQ(events.subscribe(), nullptr);
  // The refused subscriber made the open stream write at once: a reader that has gone is
  // then found out without waiting for the keep-alive.
  const auto woken = open->next(10s);
  ASSERT_TRUE(woken);
  EXPECT_TRUE(woken->empty());
  open.reset();
  EXPECT_NE(events.subscribe(), nullptr);

  auto last = events.subscribe();
  events.close();
  EXPECT_FALSE(last->next(10s).has_value());
  EXPECT_EQ(events.subscribe(), nullptr);
}

}  // namespace
}  // namespace corvanta
