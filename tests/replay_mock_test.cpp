// DataReplayMock: the 60 generated records, the frequencies it serves, and its pacing.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "quotelab/data_replay.h"

namespace {

constexpr int kDay = 20240105;

// Lets a test replace the generated records, e.g. to give them times that differ.
class MockWithTimes : public KX::DataReplayMock {
 public:
  using KX::DataReplayMock::DataReplayMock;
  void set_tick_times(const std::vector<int>& times) {
    ticks = init_ticks(static_cast<int>(times.size()));
    for (size_t i = 0; i < times.size(); ++i) ticks[i].time = times[i];
  }
};

class MockReplayTest : public ::testing::Test {
 protected:
  unsigned char buf_[464];
  unsigned char type_ = 0;
};

TEST_F(MockReplayTest, TickInitGeneratesSixtySnapshotsOfTheDay) {
  KX::DataReplayMock replay("tick", "SHFE");
  ASSERT_EQ(replay.init(kDay), 0);
  for (int k = 1; k <= 60; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(replay.next(buf_, 0, &type_), 464);
    EXPECT_EQ(type_, QL_RECORD_L2SNAPSHOT);
    _L2Snapshot t;
    memcpy(&t, buf_, sizeof t);
    EXPECT_EQ(t.type, QL_RECORD_L2SNAPSHOT);
    EXPECT_EQ(t.exchange, 9);
    EXPECT_STREQ(t.symbol, "RB2210");
    EXPECT_EQ(t.action_day, kDay);
    EXPECT_EQ(t.trading_day, 0);
    EXPECT_EQ(t.time, 100000000);
    EXPECT_EQ(t.open, k);
    EXPECT_EQ(t.high, k + 1.0);
    EXPECT_EQ(t.low, 1.0);
    EXPECT_EQ(t.last, k);
    EXPECT_EQ(t.volume, 100 * k);
    EXPECT_EQ(t.ask_price[0], k + 1.0);
    EXPECT_EQ(t.bid_price[0], k - 1.0);
    EXPECT_EQ(t.ask_volume[0], 200 * k);
    EXPECT_EQ(t.bid_volume[0], 200 * k);
    EXPECT_EQ(t.ask_price[1] + t.bid_volume[9] + t.turnover, 0.0);
  }
  EXPECT_EQ(replay.next(buf_, 0, &type_), QL_NO_MORE_RECORDS);
  EXPECT_EQ(replay.next(buf_, 0, &type_), QL_NO_MORE_RECORDS);
}

TEST_F(MockReplayTest, BarFrequenciesGenerateSixtyBars) {
  for (const char* frequency : {"1m", "minute", "5m", "15m"}) {
    SCOPED_TRACE(frequency);
    KX::DataReplayMock replay(frequency, "");
    replay.init(kDay);
    for (int k = 1; k <= 60; ++k) {
      ASSERT_EQ(replay.next(buf_, 0, nullptr), 180);  // a NULL type is allowed
      _BarData b;
      memcpy(&b, buf_, sizeof b);
      EXPECT_EQ(b.type, QL_RECORD_BAR);
      EXPECT_EQ(b.open, k);
      EXPECT_EQ(b.high, k + 1.0);
      EXPECT_EQ(b.low, 1.0);
      EXPECT_EQ(b.close, k);
      EXPECT_EQ(b.volume, 100 * k);
      EXPECT_EQ(b.action_day, kDay);
    }
    EXPECT_EQ(replay.next(buf_, 0, &type_), QL_NO_MORE_RECORDS);
  }
}

TEST_F(MockReplayTest, ServesTick2AndMinuteBarsOnlyAfterInit) {
  KX::DataReplayMock tick2("tick2", "");
  EXPECT_EQ(tick2.next(buf_, 0, &type_), QL_NO_MORE_RECORDS);  // nothing generated before init
  tick2.init(kDay);
  EXPECT_EQ(tick2.next(buf_, 0, &type_), 464);
  EXPECT_EQ(type_, QL_RECORD_L2SNAPSHOT);
  for (const char* frequency : {"daily", "Tick", "1d", ""}) {
    KX::DataReplayMock replay(frequency, "");
    EXPECT_EQ(replay.init(kDay), 0);
    EXPECT_EQ(replay.next(buf_, 0, &type_), -1) << frequency;
    EXPECT_EQ(replay.next(buf_, 0, &type_), -1) << frequency;
  }
}

TEST_F(MockReplayTest, SecondInitContinuesAndNullBufferKeepsThePosition) {
  KX::DataReplayMock replay("tick", "");
  replay.init(kDay);
  for (int k = 0; k < 10; ++k) replay.next(buf_, 0, &type_);
  EXPECT_EQ(replay.next(nullptr, 0, &type_), QL_ERROR);
  replay.init(kDay + 1);
  ASSERT_EQ(replay.next(buf_, 0, &type_), 464);
  _L2Snapshot t;
  memcpy(&t, buf_, sizeof t);
  EXPECT_EQ(t.open, 11.0);
  EXPECT_EQ(t.action_day, kDay + 1);
  // The generators return records without changing what the replay serves.
  EXPECT_TRUE(replay.init_ticks(0).empty());
  EXPECT_TRUE(replay.init_ticks(-5).empty());
  EXPECT_TRUE(replay.init_bars(-1).empty());
  ASSERT_EQ(replay.init_bars(3).size(), 3u);
  ASSERT_EQ(replay.next(buf_, 0, &type_), 464);
  memcpy(&t, buf_, sizeof t);
  EXPECT_EQ(t.open, 12.0);
}

// The wait between two records is their distance in milliseconds of the day: 09:59:59.999 to
// 10:00:00.000 is 1 ms (the raw difference of the HHMMSSmmm numbers would be over an hour),
// and a record earlier than the last one is not waited for.
TEST_F(MockReplayTest, PacingUsesMillisecondsOfTheDayAndNeverWaitsBackwards) {
  MockWithTimes replay("tick", "");
  replay.set_tick_times({95959999, 100000000, 95959999, 0, 100000000});
  for (int i = 0; i < 4; ++i) EXPECT_EQ(replay.next(buf_, 0, &type_), 464);
  EXPECT_EQ(replay.next(buf_, 0, &type_), 464);  // last_time was 0: no wait either
  EXPECT_EQ(replay.next(buf_, 0, &type_), QL_NO_MORE_RECORDS);
}

}  // namespace
