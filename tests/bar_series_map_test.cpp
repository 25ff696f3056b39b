// BarDataSeriesMap: column series per symbol, the sliding window and last_bar.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "quotelab/bar_series_map.h"

using KX::BarDataSeries;
using KX::BarDataSeriesMap;

namespace {

_BarData bar(const char* symbol, int n, int trading_day = 20240105) {
  _BarData b;
  memset(&b, 0, sizeof(b));
  b.type = QL_RECORD_BAR;
  b.exchange = 9;
  strncpy(b.symbol, symbol, sizeof(b.symbol) - 1);
  b.action_day = b.trading_day = trading_day;
  b.time = 90000000 + n;
  b.open = n + 0.1;
  b.high = n + 0.2;
  b.low = n + 0.3;
  b.close = n + 0.4;
  b.turnover = n * 1000.0;
  b.volume = n * 10;
  b.open_interest = n + 100;
  b.num_trades = n + 200;
  b.iopv = n + 0.5;
  b.pre_close = 77;
  b.turn = 88;
  return b;
}

class SeriesMapTest : public ::testing::Test {
 protected:
  _BarData last(const std::string& symbol) {
    _BarData out;
    memset(&out, 0, sizeof(out));
    EXPECT_TRUE(map_.last_bar(symbol, &out)) << symbol;
    return out;
  }
  BarDataSeriesMap map_{3};
};

TEST_F(SeriesMapTest, SlidesOnceTwiceTheLengthIsKeptAndLastBarRebuildsTheRecord) {
  for (int n = 1; n <= 7; ++n) {
    _BarData b = bar("RB2410", n);
    ASSERT_TRUE(map_.push(&b));
  }
  const BarDataSeries* s = map_.get_bar_series("RB2410");
  ASSERT_EQ(s->size(), 6);
  for (int k = 0; k < 6; ++k) {
    const int n = k + 2;  // bars 2 to 7
    EXPECT_EQ(s->time.data()[k], 90000000 + n);
    EXPECT_DOUBLE_EQ(s->close.data()[k], n + 0.4);
    EXPECT_EQ(s->volume.data()[k], n * 10);
    EXPECT_EQ(s->num_trades.data()[k], n + 200);
  }
  EXPECT_EQ(s->iopv.size(), 6);
  EXPECT_EQ(s->close.values.capacity, 6);

  _BarData expect = bar("RB2410", 7);
  expect.pre_close = 0;  // not kept: out keeps its own
  expect.turn = 0;
  _BarData out = last("RB2410");
  EXPECT_EQ(memcmp(&out, &expect, sizeof(out)), 0);

  BarDataSeriesMap one(1);  // length one keeps two bars; repeats and older bars append too
  for (int n : {1, 2, 3, 4, 5, 5, 1}) {
    _BarData b = bar("RB2410", n);
    one.push(&b);
  }
  EXPECT_EQ(one.get_bar_series("RB2410")->size(), 2);
  EXPECT_EQ(one.get_bar_series("RB2410")->time.data()[0], 90000005);
  EXPECT_EQ(one.get_bar_series("RB2410")->time.back(), 90000001);
}

TEST_F(SeriesMapTest, TradingDayComesFromTheFirstBarAndExchangeFromTheRecord) {
  _BarData first = bar("RB2410", 1, 20240105);
  _BarData later = bar("RB2410", 2, 20240108);
  map_.push(&first);
  map_.push(&later);
  const _BarData out = last("RB2410");
  EXPECT_EQ(out.trading_day, 20240105);
  EXPECT_EQ(out.action_day, 20240108);
  EXPECT_EQ(out.exchange, 9);
  EXPECT_EQ(map_.create_bar_series("RB2410", 20250101), map_.get_bar_series("RB2410"));
  // A symbol text with a suffix gives the series its exchange.
  BarDataSeries* s = map_.create_bar_series("600000.SH", 20240105);
  EXPECT_STREQ(s->symbol, "600000");
  EXPECT_EQ(s->exchange, 1);
}

TEST_F(SeriesMapTest, KeysAreExactTextsReadWithinTheSymbolField) {
  _BarData out = bar("KEEP", 1);
  const _BarData copy = out;
  EXPECT_FALSE(map_.last_bar("RB2210", &out));
  EXPECT_EQ(memcmp(&out, &copy, sizeof(out)), 0);
  EXPECT_EQ(map_.get_bar_series("RB2210"), nullptr);
  map_.create_bar_series("RB2210", 20240105);
  EXPECT_FALSE(map_.last_bar("RB2210", &out));  // a series without bars
  EXPECT_FALSE(map_.push(nullptr));

  int n = 0;
  for (const char* sym : {"RB2210", "rb2210", "RB22"}) {
    _BarData b = bar(sym, ++n);
    map_.push(&b);
  }
  EXPECT_EQ(map_.size(), 3);
  EXPECT_EQ(map_.get_bar_series("rb2210")->close.back(), 2.4);
  EXPECT_EQ(map_.get_bar_series("RB22")->close.back(), 3.4);

  _BarData full = bar("", 1);
  memset(full.symbol, 'X', sizeof(full.symbol));  // 30 characters, no NUL
  ASSERT_TRUE(map_.push(&full));
  EXPECT_EQ(strnlen(last(std::string(30, 'X')).symbol, sizeof(full.symbol)), 29u);
}

TEST_F(SeriesMapTest, BatchesPushInOrderAndEmptyBatchesNothing) {
  std::vector<_BarData> bars;
  for (int n = 1; n <= 4; ++n) bars.push_back(bar("RB2410", n));
  std::vector<_BarData*> p;
  for (auto& b : bars) p.push_back(&b);
  map_.push_batch(p.data(), 0);
  map_.push_batch(std::vector<_BarData*>());
  KX::DataArray empty(nullptr, 0, QL_BAR_SIZE);
  map_.push_batch(&empty);
  map_.push_batch(static_cast<const KX::DataArray*>(nullptr));
  EXPECT_EQ(map_.size(), 0);

  map_.push_batch(p.data(), 2);
  map_.push_batch(std::vector<_BarData*>{p[2]});
  KX::DataArray borrowed(reinterpret_cast<void**>(&p[3]), 1, QL_BAR_SIZE);
  map_.push_batch(&borrowed);
  const BarDataSeries* s = map_.get_bar_series("RB2410");
  ASSERT_EQ(s->size(), 4);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(s->time.data()[k], 90000001 + k);
}

TEST(SeriesMapLengthTest, NoRoomRefusesTheBarAndManySymbolsStayPut) {
  for (int len : {0, -1}) {
    BarDataSeriesMap map(len);
    _BarData b = bar("RB2410", 1);
    EXPECT_FALSE(map.push(&b));
    EXPECT_EQ(map.create_bar_series("RB2410", 20240105), nullptr);
    EXPECT_EQ(map.size(), 0);
  }
  BarDataSeriesMap map(4);
  std::vector<BarDataSeries*> series;
  for (int i = 0; i < 500; ++i) {
    const std::string sym = "S" + std::to_string(i);
    series.push_back(map.create_bar_series(sym, 20240105));
    _BarData b = bar(sym.c_str(), i);
    map.push(&b);
  }
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(map.get_bar_series("S" + std::to_string(i)), series[i]);
    EXPECT_EQ(series[i]->time.back(), 90000000 + i);
  }
}

}  // namespace
