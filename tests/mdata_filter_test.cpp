// MDataFilter: which snapshots pass and which are dropped as older or repeated.
#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <string>

#include "quotelab/mdata_filter.h"

namespace {

_L2Snapshot snap(const char* symbol, int exchange, int day = 20240102, int time = 93000000) {
  _L2Snapshot s;
  memset(&s, 0, sizeof(s));
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = static_cast<uint8_t>(exchange);
  strncpy(s.symbol, symbol, sizeof(s.symbol) - 1);
  s.action_day = day;
  s.time = time;
  s.volume = 1000;
  s.ask_price[0] = 10.01;
  s.bid_price[0] = 10.00;
  s.ask_volume[0] = 300;
  s.bid_volume[0] = 200;
  return s;
}

class FilterTest : public ::testing::Test {
 protected:
  KX::MDataFilter filter_;
};

TEST_F(FilterTest, NewerPassesOlderAndRepeatsAreDroppedByDayThenTime) {
  _L2Snapshot s = snap("600000", 1);
  EXPECT_EQ(filter_.filter(&s), 0);
  EXPECT_EQ(filter_.filter(&s), 1);
  EXPECT_EQ(filter_.filter(nullptr), 1);
  const struct {
    int day, time, dropped;
  } steps[] = {{20240102, 92959999, 1},
               {20240102, 93000003, 0},
               {20240101, 150000000, 1},
               {20240103, 0, 0},
               {20240102, 150000000, 1}};
  for (const auto& st : steps) {
    s.action_day = st.day;
    s.time = st.time;
    EXPECT_EQ(filter_.filter(&s), st.dropped) << st.day << " " << st.time;
  }
  // Outside exchange 11 a quote change at the same time is still a repeat.
  s.volume += 100;
  s.ask_price[0] = 11.0;
  EXPECT_EQ(filter_.filter(&s), 1);
}

TEST_F(FilterTest, KeysAreExchangeAndWholeSymbolWithinItsField) {
  _L2Snapshot keys[] = {snap("600000", 1), snap("600000", 2), snap("600000", 0), snap("60000", 1)};
  for (_L2Snapshot& k : keys) EXPECT_EQ(filter_.filter(&k), 0) << k.symbol;
  // 30 symbol characters without a NUL: bytes after the field cannot change the key.
  _L2Snapshot s = snap("", 1);
  memset(s.symbol, 'A', sizeof(s.symbol));
  EXPECT_EQ(filter_.filter(&s), 0);
  s.reserved1[0] = 'B';
  EXPECT_EQ(filter_.filter(&s), 1);
  EXPECT_EQ(filter_.size(), 5);

  filter_.clear();
  EXPECT_EQ(filter_.size(), 0);
  EXPECT_EQ(filter_.filter(&keys[0]), 0);
  EXPECT_EQ(filter_.filter(&keys[0]), 1);
  for (int i = 0; i < 20000; ++i) {  // refill across several pool blocks after a reset
    _L2Snapshot r = snap(std::to_string(i).c_str(), 1);
    ASSERT_EQ(filter_.filter(&r), 0);
  }
  EXPECT_EQ(filter_.size(), 20001);
}

// Exchange 11 repeats timestamps: the volume and best quotes tell snapshots apart.
TEST_F(FilterTest, Exchange11ComparesVolumeAndBestQuotes) {
  _L2Snapshot base = snap("SR405", 11);
  ASSERT_EQ(filter_.filter(&base), 0);
  _L2Snapshot s = base;
  EXPECT_EQ(filter_.filter(&s), 1);
  s.ask_price[0] += 0.0000005;  // within the comparison's tolerance
  s.bid_price[0] -= 0.0000005;
  s.ask_price[1] = 99;  // only level 1 counts
  s.last = 12;
  EXPECT_EQ(filter_.filter(&s), 1);

  void (*changes[])(_L2Snapshot&) = {
      [](_L2Snapshot& x) { x.volume += 1; },
      [](_L2Snapshot& x) { x.bid_volume[0] += 1; },
      [](_L2Snapshot& x) { x.ask_volume[0] += 1; },
      [](_L2Snapshot& x) { x.ask_price[0] += 1e-5; },
      [](_L2Snapshot& x) { x.bid_price[0] -= 1e-5; },
  };
  for (size_t i = 0; i < sizeof changes / sizeof changes[0]; ++i) {
    changes[i](base);
    EXPECT_EQ(filter_.filter(&base), 0) << "change " << i;
    EXPECT_EQ(filter_.filter(&base), 1) << "change " << i;
  }
  // NaN never equals itself: every such snapshot is a change.
  base.ask_price[0] = std::nan("");
  EXPECT_EQ(filter_.filter(&base), 0);
  EXPECT_EQ(filter_.filter(&base), 0);
  base.ask_price[0] = 10.01;
  base.bid_price[0] = std::nan("");
  EXPECT_EQ(filter_.filter(&base), 0);
  // Older stays dropped whatever the quote.
  base.time -= 1;
  base.volume += 50;
  EXPECT_EQ(filter_.filter(&base), 1);
}

}  // namespace
