// MDataFilter: which snapshots pass and which are dropped as older or repeated.
#include <gtest/gtest.h>

#include <string.h>

#include <cmath>

#include "quotelab/mdata_filter.h"

using KX::MDataFilter;

namespace {

_L2Snapshot snap(const char* symbol, int exchange, int day, int time) {
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
  MDataFilter filter_;
};

TEST_F(FilterTest, FirstPassesRepeatIsDropped) {
  _L2Snapshot s = snap("600000", 1, 20240102, 93000000);
  EXPECT_EQ(filter_.filter(&s), 0);
  EXPECT_EQ(filter_.filter(&s), 1);
  EXPECT_EQ(filter_.size(), 1);
  EXPECT_EQ(filter_.filter(nullptr), 1);
}

TEST_F(FilterTest, OrderByDayThenTime) {
  _L2Snapshot s = snap("600000", 1, 20240102, 93000000);
  filter_.filter(&s);
  s.time = 92959999;
  EXPECT_EQ(filter_.filter(&s), 1);  // older time, same day
  s.time = 93000003;
  EXPECT_EQ(filter_.filter(&s), 0);
  s.action_day = 20240101;
  s.time = 150000000;
  EXPECT_EQ(filter_.filter(&s), 1);  // older day, any time
  s.action_day = 20240103;
  s.time = 0;
  EXPECT_EQ(filter_.filter(&s), 0);  // newer day, any time
  s.action_day = 20240102;
  s.time = 150000000;
  EXPECT_EQ(filter_.filter(&s), 1);  // the stored day moved on
}

TEST_F(FilterTest, OtherExchangesIgnoreQuoteChangesAtTheSameTime) {
  _L2Snapshot s = snap("600000", 1, 20240102, 93000000);
  filter_.filter(&s);
  s.volume += 100;
  s.ask_price[0] = 11.0;
  s.bid_volume[0] = 1;
  EXPECT_EQ(filter_.filter(&s), 1);
}

TEST_F(FilterTest, ExchangesAreFilteredApart) {
  _L2Snapshot sh = snap("600000", 1, 20240102, 93000000);
  _L2Snapshot sz = snap("600000", 2, 20240102, 93000000);
  _L2Snapshot none = snap("600000", 0, 20240102, 93000000);
  EXPECT_EQ(filter_.filter(&sh), 0);
  EXPECT_EQ(filter_.filter(&sz), 0);
  EXPECT_EQ(filter_.filter(&none), 0);
  EXPECT_EQ(filter_.size(), 3);
}

TEST_F(FilterTest, SymbolsThatArePrefixesAreDistinct) {
  _L2Snapshot a = snap("60000", 1, 20240102, 93000000);
  _L2Snapshot b = snap("600000", 1, 20240102, 93000000);
  EXPECT_EQ(filter_.filter(&a), 0);
  EXPECT_EQ(filter_.filter(&b), 0);
  EXPECT_EQ(filter_.size(), 2);
}

TEST_F(FilterTest, SymbolIsReadWithinItsField) {
  // 30 symbol characters without a NUL: the key stops at the field's end, so bytes after the
  // field (the reserved area) cannot change it.
  _L2Snapshot s = snap("", 1, 20240102, 93000000);
  memset(s.symbol, 'A', sizeof(s.symbol));
  EXPECT_EQ(filter_.filter(&s), 0);
  s.reserved1[0] = 'B';
  EXPECT_EQ(filter_.filter(&s), 1);
  EXPECT_EQ(filter_.size(), 1);
}

TEST_F(FilterTest, ClearForgetsEverything) {
  _L2Snapshot a = snap("600000", 1, 20240102, 93000000);
  _L2Snapshot b = snap("000001", 2, 20240102, 93000000);
  filter_.filter(&a);
  filter_.filter(&b);
  filter_.clear();
  EXPECT_EQ(filter_.size(), 0);
  EXPECT_EQ(filter_.filter(&a), 0);
  EXPECT_EQ(filter_.filter(&b), 0);
  EXPECT_EQ(filter_.filter(&a), 1);
  for (int i = 0; i < 20000; ++i) {  // refill across several pool blocks after a reset
    _L2Snapshot s = snap(std::to_string(i).c_str(), 1, 20240102, 93000000);
    ASSERT_EQ(filter_.filter(&s), 0);
  }
  EXPECT_EQ(filter_.size(), 20002);
}

// Exchange 11 repeats timestamps: the volume and best quotes tell snapshots apart.
class FilterExchange11Test : public FilterTest {
 protected:
  void SetUp() override {
    base_ = snap("SR405", 11, 20240102, 93000000);
    ASSERT_EQ(filter_.filter(&base_), 0);
  }
  _L2Snapshot base_;
};

TEST_F(FilterExchange11Test, SameQuoteIsARepeat) {
  _L2Snapshot s = base_;
  EXPECT_EQ(filter_.filter(&s), 1);
  s.ask_price[0] += 0.0000005;
  EXPECT_EQ(filter_.filter(&s), 1);
  s.bid_price[0] -= 0.0000005;
  EXPECT_EQ(filter_.filter(&s), 1);
  s.ask_price[1] = 99;  // only level 1 counts
  s.last = 12;
  EXPECT_EQ(filter_.filter(&s), 1);
}

TEST_F(FilterExchange11Test, EachQuoteValueCountsAsAChange) {
  auto passes_once = [this](void (*change)(_L2Snapshot&)) {
    _L2Snapshot s = base_;
    change(s);
    bool passed = filter_.filter(&s) == 0;
    bool repeat_dropped = filter_.filter(&s) == 1;
    base_ = s;
    return passed && repeat_dropped;
  };
  EXPECT_TRUE(passes_once([](_L2Snapshot& s) { s.volume += 1; }));
  EXPECT_TRUE(passes_once([](_L2Snapshot& s) { s.bid_volume[0] += 1; }));
  EXPECT_TRUE(passes_once([](_L2Snapshot& s) { s.ask_volume[0] += 1; }));
  EXPECT_TRUE(passes_once([](_L2Snapshot& s) { s.ask_price[0] += 0.00001; }));
  EXPECT_TRUE(passes_once([](_L2Snapshot& s) { s.bid_price[0] -= 0.00001; }));
}

TEST_F(FilterExchange11Test, NaNPricesCountAsChanges) {
  _L2Snapshot s = base_;
  s.ask_price[0] = std::nan("");
  EXPECT_EQ(filter_.filter(&s), 0);
  EXPECT_EQ(filter_.filter(&s), 0);  // NaN against NaN: still a change
  s.ask_price[0] = 10.01;
  EXPECT_EQ(filter_.filter(&s), 0);
  s.bid_price[0] = std::nan("");
  EXPECT_EQ(filter_.filter(&s), 0);
}

TEST_F(FilterExchange11Test, OlderStaysDroppedWhateverTheQuote) {
  _L2Snapshot s = base_;
  s.time -= 1;
  s.volume += 50;
  EXPECT_EQ(filter_.filter(&s), 1);
}

}  // namespace
