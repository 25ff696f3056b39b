// MDataCache: shared message items, auction window, watermark, bars, history queries.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quotelab/mdata_cache.h"
#include "quotelab/utilcore.h"

using KX::DataArray;
using KX::MDataCache;
using KX::NumArray;

namespace {

_L2Snapshot make_snap(const char* symbol, int exchange, int day, int time, double last = 10.0) {
  _L2Snapshot s;
  memset(&s, 0, sizeof(s));
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = static_cast<uint8_t>(exchange);
  strncpy(s.symbol, symbol, sizeof(s.symbol) - 1);
  s.action_day = day;
  s.time = time;
  s.last = last;
  s.pre_close = 9.5;
  return s;
}

_MDIndex make_index(int day, int time, double last) {
  _MDIndex x;
  memset(&x, 0, sizeof(x));
  x.type = QL_RECORD_MDINDEX;
  x.exchange = 1;
  x.action_day = day;
  x.time = time;
  x.last = last;
  return x;
}

_BarData make_bar(const char* symbol, int exchange, int day, int time, double close) {
  _BarData b;
  memset(&b, 0, sizeof(b));
  b.type = QL_RECORD_BAR;
  b.exchange = static_cast<uint8_t>(exchange);
  strncpy(b.symbol, symbol, sizeof(b.symbol) - 1);
  b.action_day = day;
  b.trading_day = day;
  b.time = time;
  b.open = close - 1;
  b.high = close + 1;
  b.low = close - 2;
  b.close = close;
  b.turnover = close * 100;
  b.volume = static_cast<int64_t>(close) * 10;
  b.open_interest = static_cast<int32_t>(close) + 7;
  b.num_trades = static_cast<int32_t>(close) + 3;
  return b;
}

msg_item_s* snap_item(const _L2Snapshot& s) {
  return msg_item_alloc(&s, sizeof(s));
}

// Each test ends with the cache destroyed and every item it allocated freed.
class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override { live_at_start_ = msg_item_live_count(); }
  void TearDown() override {
    cache_.reset();
    EXPECT_EQ(msg_item_live_count(), live_at_start_) << "message items leaked";
  }
  MDataCache& cache() { return *cache_; }
  void make_cache(int keep_tick, int keep_bars) {
    cache_.reset(new MDataCache(keep_tick, keep_bars));
  }

  std::unique_ptr<MDataCache> cache_{new MDataCache()};
  int64_t live_at_start_ = 0;
};

// ---- shared items ---------------------------------------------------------------------------

using CacheItemTest = CacheTest;

TEST_F(CacheItemTest, UpdateTickTakesItsOwnReference) {
  msg_item_s* item = snap_item(make_snap("600000", 1, 20240102, 93000000));
  EXPECT_EQ(cache().update_tick("600000", item), 0);
  EXPECT_EQ(msg_item_refcount(item), 2);
  EXPECT_EQ(cache().last_tick("600000"), msg_item_data(item));  // cached without a copy
  msg_item_decref_release(item);                                // the caller lets go
  ASSERT_NE(cache().last_tick("600000"), nullptr);
  EXPECT_EQ(cache().last_tick("600000")->time, 93000000);
}

TEST_F(CacheItemTest, ReplacingMovesTheReferenceToTheNewItem) {
  msg_item_s* a = snap_item(make_snap("600000", 1, 20240102, 93000000));
  msg_item_s* b = snap_item(make_snap("600000", 1, 20240102, 93000003));
  EXPECT_EQ(cache().update_tick("600000", a), 0);
  EXPECT_EQ(cache().update_tick("600000", b), 1);
  EXPECT_EQ(msg_item_refcount(a), 1);
  EXPECT_EQ(msg_item_refcount(b), 2);
  EXPECT_EQ(cache().get_num_ticks(), 1);
  msg_item_decref_release(a);
  msg_item_decref_release(b);
}

TEST_F(CacheItemTest, PassingTheCachedItemAgainNeverFreesIt) {
  msg_item_s* a = snap_item(make_snap("600000", 1, 20240102, 93000000));
  cache().update_tick("600000", a);
  msg_item_decref_release(a);  // only the cache holds it now
  ASSERT_EQ(msg_item_refcount(a), 1);
  EXPECT_EQ(cache().update_tick("600000", a), 1);
  EXPECT_EQ(msg_item_refcount(a), 1);
  EXPECT_EQ(cache().last_tick("600000")->action_day, 20240102);
}

TEST_F(CacheItemTest, IndexItemsAreSharedTheSameWay) {
  _MDIndex x = make_index(20240102, 93000000, 3000.5);
  msg_item_s* a = msg_item_alloc(&x, sizeof(x));
  EXPECT_EQ(cache().update_index("000001", a), 0);
  EXPECT_EQ(cache().update_index("000001", a), 1);
  EXPECT_EQ(msg_item_refcount(a), 2);
  EXPECT_EQ(cache().last_index("000001"), msg_item_data(a));
  msg_item_decref_release(a);
  EXPECT_DOUBLE_EQ(cache().last_index("000001")->last, 3000.5);
}

TEST_F(CacheItemTest, UpdateSetTickWritesIntoTheCallersItem) {
  msg_item_s* a = snap_item(make_snap("600000", 1, 20240102, 93000000, 10.0));
  cache().update_tick("600000", a);
  _L2Snapshot newer = make_snap("600000", 1, 20240102, 93000003, 10.5);
  EXPECT_EQ(cache().update_set_tick("600000", &newer), 1);
  EXPECT_EQ(memcmp(msg_item_data(a), &newer, sizeof(newer)), 0);
  EXPECT_EQ(msg_item_refcount(a), 2);
  msg_item_decref_release(a);
}

TEST_F(CacheItemTest, UpdateSetTickOfACachedPayloadIsHarmless) {
  _L2Snapshot s = make_snap("600000", 1, 20240102, 93000000, 10.0);
  cache().update_set_tick("600000", &s);
  EXPECT_EQ(cache().update_set_tick("600000", cache().last_tick("600000")), 1);
  EXPECT_DOUBLE_EQ(cache().last_tick("600000")->last, 10.0);
}

TEST_F(CacheItemTest, ClearAndRemoveReleaseOnlyTheCachesReference) {
  msg_item_s* held = snap_item(make_snap("600000", 1, 20240102, 92000000));  // auction time
  msg_item_addref(held, 1);  // a second holder, e.g. a publisher queue
  cache().update_tick("600000", held);
  EXPECT_EQ(cache().get_num_auctions(), 1);
  EXPECT_EQ(msg_item_refcount(held), 3);
  EXPECT_EQ(cache().remove_tick("600000"), 1);
  EXPECT_EQ(cache().remove_tick("600000"), 0);
  EXPECT_EQ(cache().get_num_auctions(), 0);
  EXPECT_EQ(msg_item_refcount(held), 2);

  cache().update_tick("600000", held);
  EXPECT_EQ(cache().clear_tick("600000"), 1);
  EXPECT_EQ(msg_item_refcount(held), 2);
  msg_item_decref_release(held);
  msg_item_decref_release(held);
}

TEST_F(CacheItemTest, DestructionLeavesItemsOfOtherHoldersAlive) {
  msg_item_s* a = snap_item(make_snap("600000", 1, 20240102, 93000000));
  _MDIndex x = make_index(20240102, 93000000, 1.0);
  msg_item_s* b = msg_item_alloc(&x, sizeof(x));
  cache().update_tick("600000", a);
  cache().update_index("000300", b);
  _L2Snapshot own = make_snap("000001", 2, 20240102, 92500000);
  cache().update_set_tick("000001", &own);
  cache().update_auction_tick("000001", &own);
  cache_.reset();
  EXPECT_EQ(msg_item_refcount(a), 1);
  EXPECT_EQ(msg_item_refcount(b), 1);
  EXPECT_EQ(static_cast<_L2Snapshot*>(msg_item_data(a))->time, 93000000);
  msg_item_decref_release(a);
  msg_item_decref_release(b);
}

TEST_F(CacheItemTest, ShortPayloadsAreRefusedAndChangeNothing) {
  _L2Snapshot s = make_snap("600000", 1, 20240105, 93000000);
  msg_item_s* short_tick = msg_item_alloc(&s, QL_L2SNAPSHOT_SIZE - 1);
  _MDIndex x = make_index(20240105, 93000000, 1.0);
  msg_item_s* short_index = msg_item_alloc(&x, QL_MDINDEX_SIZE - 1);

  EXPECT_EQ(cache().update_tick("600000", short_tick), -1);
  EXPECT_EQ(cache().update_index("000300", short_index), -1);
  EXPECT_EQ(cache().update_tick("600000", nullptr), -1);
  EXPECT_EQ(cache().update_index("000300", nullptr), -1);
  EXPECT_EQ(cache().update_tick(nullptr, short_tick), -1);
  EXPECT_EQ(msg_item_refcount(short_tick), 1);
  EXPECT_EQ(msg_item_refcount(short_index), 1);
  EXPECT_EQ(cache().get_num_ticks(), 0);
  EXPECT_EQ(cache().get_num_indexes(), 0);
  int date = -5, time = -5;
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 0);
  EXPECT_EQ(time, -1);

  // A refused item does not replace a cached one either.
  msg_item_s* good = snap_item(s);
  cache().update_tick("600000", good);
  EXPECT_EQ(cache().update_tick("600000", short_tick), -1);
  EXPECT_EQ(cache().last_tick("600000"), msg_item_data(good));
  msg_item_decref_release(good);
  msg_item_decref_release(short_tick);
  msg_item_decref_release(short_index);
}

TEST_F(CacheItemTest, LongerPayloadsAreAccepted) {
  std::vector<unsigned char> payload(QL_L2SNAPSHOT_SIZE + 16, 0);
  _L2Snapshot s = make_snap("600000", 1, 20240105, 93000000);
  memcpy(payload.data(), &s, sizeof(s));
  msg_item_s* item = msg_item_alloc(payload.data(), static_cast<int>(payload.size()));
  EXPECT_EQ(cache().update_tick("600000", item), 0);
  msg_item_decref_release(item);
}

TEST_F(CacheItemTest, TicksOffRefusesTicksAndIndexesButNotAuctions) {
  make_cache(0, 1);
  _L2Snapshot s = make_snap("600000", 1, 20240102, 92000000);
  _MDIndex x = make_index(20240102, 93000000, 1.0);
  msg_item_s* item = snap_item(s);
  msg_item_s* index_item = msg_item_alloc(&x, sizeof(x));
  EXPECT_EQ(cache().get_keep_tick(), 0);
  EXPECT_EQ(cache().update_tick("600000", item), -150);
  EXPECT_EQ(cache().update_set_tick("600000", &s), -150);
  EXPECT_EQ(cache().update_index("000300", index_item), -150);
  EXPECT_EQ(cache().update_set_index("000300", &x), -150);
  EXPECT_EQ(msg_item_refcount(item), 1);
  int date = 0, time = 0;
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 0);
  EXPECT_EQ(time, -1);
  EXPECT_EQ(cache().update_auction_tick("600000", &s), 0);
  EXPECT_EQ(cache().get_num_auctions(), 1);
  EXPECT_EQ(cache().get_num_ticks(), 0);
  msg_item_decref_release(item);
  msg_item_decref_release(index_item);
}

// ---- queries on ticks -----------------------------------------------------------------------

using CacheTickTest = CacheTest;

TEST_F(CacheTickTest, CopyingQueriesReportMissingSymbols) {
  _L2Snapshot out = make_snap("KEEP", 9, 1, 2);
  EXPECT_EQ(cache().last_tick(&out, "600000"), -107);
  EXPECT_EQ(cache().auction_tick(&out, "600000"), -107);
  EXPECT_STREQ(out.symbol, "KEEP");
  _MDIndex x = make_index(1, 2, 3.0);
  EXPECT_EQ(cache().last_index(&x, "000300"), -107);
  EXPECT_EQ(cache().last_tick(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(cache().last_tick(nullptr, "600000"), -1);

  _L2Snapshot s = make_snap("600000", 1, 20240102, 93000000, 11.0);
  cache().update_set_tick("600000", &s);
  EXPECT_EQ(cache().last_tick(&out, "600000"), 0);
  EXPECT_EQ(memcmp(&out, &s, sizeof(s)), 0);
  EXPECT_EQ(cache().last_tick("600001"), nullptr);
  EXPECT_EQ(cache().last_tick("60000"), nullptr);
}

TEST_F(CacheTickTest, NullArgumentsAreRefused) {
  _L2Snapshot s = make_snap("600000", 1, 20240102, 93000000);
  _MDIndex x = make_index(20240102, 93000000, 1.0);
  _BarData b = make_bar("600000", 1, 20240102, 93000000, 1.0);
  EXPECT_EQ(cache().update_set_tick(nullptr, &s), -1);
  EXPECT_EQ(cache().update_set_tick("600000", nullptr), -1);
  EXPECT_EQ(cache().update_auction_tick(nullptr, &s), -1);
  EXPECT_EQ(cache().update_auction_tick("600000", nullptr), -1);
  EXPECT_EQ(cache().update_set_index(nullptr, &x), -1);
  EXPECT_EQ(cache().last_index(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(cache().update_daily_bar(nullptr, &b), -1);
  EXPECT_EQ(cache().get_bar_array(nullptr, true), nullptr);
  EXPECT_EQ(cache().get_daily_bar_array(nullptr, 1, true), nullptr);
  EXPECT_EQ(cache().last_bar(nullptr), nullptr);
  EXPECT_EQ(cache().last_daily_bar(nullptr), nullptr);
  EXPECT_EQ(cache().history_data(nullptr, 4, 3, "1m").count, 0);
  EXPECT_EQ(cache().get_num_ticks() + cache().get_num_bars() + cache().get_num_daily_bars(), 0);
  int date = 0, time = 0;
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 0);
}

TEST_F(CacheTickTest, SymbolsMatchExactlyAndCaseSensitively) {
  _L2Snapshot s = make_snap("rb2410", 9, 20240102, 93000000);
  cache().update_set_tick("rb2410", &s);
  EXPECT_EQ(cache().last_tick("RB2410"), nullptr);
  EXPECT_NE(cache().last_tick("rb2410"), nullptr);
}

TEST_F(CacheTickTest, LastPriceFallsBackToPreCloseThenBarClose) {
  _L2Snapshot zero = make_snap("600000", 1, 20240102, 93000000, 0.0);
  cache().update_set_tick("600000", &zero);
  EXPECT_DOUBLE_EQ(cache().last_price("600000"), 9.5);

  _L2Snapshot nan_last = make_snap("600001", 1, 20240102, 93000000, std::nan(""));
  cache().update_set_tick("600001", &nan_last);
  EXPECT_TRUE(std::isnan(cache().last_price("600001")));

  _BarData bar = make_bar("600002", 1, 20240102, 93100000, 7.25);
  cache().update_bar("600002", &bar);
  EXPECT_DOUBLE_EQ(cache().last_price("600002"), 7.25);
  EXPECT_EQ(cache().clear_bars("600002"), 1);
  EXPECT_DOUBLE_EQ(cache().last_price("600002"), 0.0);

  cache().update_daily_bar("600003", &bar);  // daily bars are not consulted
  EXPECT_DOUBLE_EQ(cache().last_price("600003"), 0.0);
  EXPECT_DOUBLE_EQ(cache().last_price(nullptr), 0.0);
}

TEST_F(CacheTickTest, ClearAllEmptiesTicksAndAuctionsButKeepsIndexes) {
  for (const char* sym : {"600000", "600001", "000001"}) {
    _L2Snapshot s = make_snap(sym, 1, 20240102, 92000000);
    cache().update_set_tick(sym, &s);
    cache().update_auction_tick(sym, &s);
  }
  _MDIndex x = make_index(20240102, 93000000, 1.0);
  cache().update_set_index("000300", &x);
  EXPECT_EQ(cache().clear_tick(nullptr), 3);
  EXPECT_EQ(cache().get_num_ticks(), 0);
  EXPECT_EQ(cache().get_num_auctions(), 0);
  EXPECT_EQ(cache().get_num_indexes(), 1);
  EXPECT_EQ(cache().clear_tick(""), 0);
  EXPECT_EQ(cache().remove_tick(nullptr), 0);
}

TEST_F(CacheTickTest, UpdateSetIndexCopiesAndOverwrites) {
  _MDIndex a = make_index(20240102, 93000000, 1.0);
  _MDIndex b = make_index(20240102, 93000005, 2.0);
  EXPECT_EQ(cache().update_set_index("000300", &a), 0);
  EXPECT_EQ(cache().update_set_index("000300", &b), 1);
  _MDIndex out;
  EXPECT_EQ(cache().last_index(&out, "000300"), 0);
  EXPECT_EQ(memcmp(&out, &b, sizeof(b)), 0);
  EXPECT_EQ(cache().update_set_index("000300", nullptr), -1);
}

TEST_F(CacheTickTest, RemovedAndReaddedSymbolsWork) {
  for (int round = 0; round < 3; ++round) {
    _L2Snapshot s = make_snap("600000", 1, 20240102, 93000000 + round);
    EXPECT_EQ(cache().update_set_tick("600000", &s), 0);
    EXPECT_EQ(cache().last_tick("600000")->time, 93000000 + round);
    EXPECT_EQ(cache().remove_tick("600000"), 1);
  }
}

// ---- the auction window ---------------------------------------------------------------------

struct AuctionCase {
  int exchange;
  int time;
  bool is_auction;
};

class CacheAuctionTest : public ::testing::TestWithParam<AuctionCase> {};

TEST_P(CacheAuctionTest, UpdateTickFeedsTheAuctionTableInsideTheWindow) {
  const AuctionCase& c = GetParam();
  MDataCache cache;
  msg_item_s* item = snap_item(make_snap("600000", c.exchange, 20240102, c.time));
  cache.update_tick("600000", item);
  EXPECT_EQ(cache.get_num_auctions(), c.is_auction ? 1 : 0);
  _L2Snapshot out;
  EXPECT_EQ(cache.auction_tick(&out, "600000"), c.is_auction ? 0 : -107);
  if (c.is_auction) {
    EXPECT_EQ(out.time, c.time);
  }
  msg_item_decref_release(item);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, CacheAuctionTest,
    ::testing::Values(AuctionCase{1, 91500000, false}, AuctionCase{1, 91500001, true},
                      AuctionCase{1, 92999999, true}, AuctionCase{1, 93000000, false},
                      AuctionCase{2, 92000000, true}, AuctionCase{15, 92000000, true},
                      AuctionCase{3, 92000000, false}, AuctionCase{0, 92000000, false}));

TEST_F(CacheTest, AuctionTicksAreCopiesOfTheirOwn) {
  msg_item_s* item = snap_item(make_snap("600000", 1, 20240102, 92000000, 10.0));
  cache().update_tick("600000", item);
  EXPECT_EQ(msg_item_refcount(item), 2);  // the auction table took a copy, not a reference
  static_cast<_L2Snapshot*>(msg_item_data(item))->last = 99.0;
  _L2Snapshot out;
  ASSERT_EQ(cache().auction_tick(&out, "600000"), 0);
  EXPECT_DOUBLE_EQ(out.last, 10.0);
  _L2Snapshot s = make_snap("600001", 1, 20240102, 92000000);
  cache().update_set_tick("600001", &s);  // update_set_tick never feeds the auction table
  EXPECT_EQ(cache().auction_tick(&out, "600001"), -107);
  msg_item_decref_release(item);
}

// ---- the watermark --------------------------------------------------------------------------

using CacheWatermarkTest = CacheTest;

TEST_F(CacheWatermarkTest, AcceptsEqualAndNewerOnly) {
  EXPECT_EQ(cache().update_tick_datetime(20240102, 93000000), 1);
  EXPECT_EQ(cache().update_tick_datetime(20240102, 93000000), 1);
  EXPECT_EQ(cache().update_tick_datetime(20240102, 92959999), 0);
  EXPECT_EQ(cache().update_tick_datetime(20240101, 150000000), 0);
  EXPECT_EQ(cache().update_tick_datetime(20240103, 0), 1);
  cache().reset_tick_datetime();
  EXPECT_EQ(cache().update_tick_datetime(1, -1), 1);
  cache().last_tick_datetime(nullptr, nullptr);
}

TEST_F(CacheWatermarkTest, OnlyGrowsWhileOlderTicksStillReplace) {
  _L2Snapshot newer = make_snap("600000", 1, 20240102, 100000000, 10.0);
  _L2Snapshot older = make_snap("600000", 1, 20240102, 95000000, 9.0);
  cache().update_set_tick("600000", &newer);
  cache().update_set_tick("600000", &older);
  int date = 0, time = 0;
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 20240102);
  EXPECT_EQ(time, 100000000);
  EXPECT_DOUBLE_EQ(cache().last_tick("600000")->last, 9.0);
}

TEST_F(CacheWatermarkTest, IndexesMoveItAuctionsAndBarsDoNot) {
  _L2Snapshot s = make_snap("600000", 1, 20250101, 92000000);
  cache().update_auction_tick("600000", &s);
  _BarData bar = make_bar("600000", 1, 20250101, 93000000, 1.0);
  cache().update_bar("600000", &bar);
  cache().update_daily_bar("600000", &bar);
  int date = 0, time = 0;
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 0);
  _MDIndex x = make_index(20240102, 93000001, 1.0);
  cache().update_set_index("000300", &x);
  cache().last_tick_datetime(&date, &time);
  EXPECT_EQ(date, 20240102);
  EXPECT_EQ(time, 93000001);
}

// ---- key functions --------------------------------------------------------------------------

TEST(CacheKeyTest, HashTakesLittleEndianWordsThenBytes) {
  const uint64_t basis = 14695981039346656037ULL, prime = 1099511628211ULL;
  EXPECT_EQ(MDataCache::symbol_hash("", 0), basis);
  uint64_t word = (basis ^ 0x64636261ULL) * prime;  // "abcd" as one little-endian word
  EXPECT_EQ(MDataCache::symbol_hash("abcd", 4), word);
  EXPECT_EQ(MDataCache::symbol_hash("abcde", 5), (word ^ 'e') * prime);
  EXPECT_EQ(MDataCache::symbol_hash("abcde", 0), MDataCache::symbol_hash("abcde", 5));
  EXPECT_EQ(MDataCache::symbol_hash("ab", 2), (((basis ^ 'a') * prime) ^ 'b') * prime);
  EXPECT_EQ(MDataCache::symbol_hash("\xff\xfe\xfd\xfc", 4), (basis ^ 0xfcfdfeffULL) * prime);
}

TEST(CacheKeyTest, CompareIsUnsignedBytewise) {
  EXPECT_EQ(MDataCache::symbol_compare("600000", "600000"), 0);
  EXPECT_EQ(MDataCache::symbol_compare("600000", "600001"), -1);
  EXPECT_EQ(MDataCache::symbol_compare("6000001", "600000"), 1);
  EXPECT_EQ(MDataCache::symbol_compare("\x80", "a"), 1);
  EXPECT_EQ(MDataCache::symbol_compare("", "a"), -1);
}

// ---- bars -----------------------------------------------------------------------------------

using CacheBarTest = CacheTest;

TEST_F(CacheBarTest, KeepBarsZeroMakesNoArraysUntilAsked) {
  make_cache(1, 0);
  _BarData b1 = make_bar("600000", 1, 20240102, 93100000, 1.0);
  _BarData b2 = make_bar("600000", 1, 20240102, 93200000, 2.0);
  EXPECT_EQ(cache().update_bar("600000", &b1), -150);
  EXPECT_EQ(cache().get_num_bars(), 0);
  ASSERT_NE(cache().get_bar_array("600000", true), nullptr);
  EXPECT_EQ(cache().update_bar("600000", &b1), 1);
  EXPECT_EQ(cache().update_bar("600000", &b2), 1);
  EXPECT_DOUBLE_EQ(cache().last_bar("600000")->close, 2.0);
}

TEST_F(CacheBarTest, KeepBarsOneReplacesInPlace) {
  for (int i = 1; i <= 5; ++i) {
    _BarData b = make_bar("600000", 1, 20240102, 93000000 + i * 100000, i);
    EXPECT_EQ(cache().update_bar("600000", &b), 1);
  }
  EXPECT_DOUBLE_EQ(cache().last_bar("600000")->close, 5.0);
  EXPECT_EQ(cache().get_bar_array("600000", false)->count, 1);
}

TEST_F(CacheBarTest, OrderRuleRefusesSameAndOlderBars) {
  make_cache(1, 10);
  _BarData b = make_bar("600000", 1, 20240102, 93100000, 1.0);
  EXPECT_EQ(cache().update_bar("600000", &b), 1);
  EXPECT_EQ(cache().update_bar("600000", &b), -147);
  _BarData older = make_bar("600000", 1, 20240102, 93000000, 2.0);
  EXPECT_EQ(cache().update_bar("600000", &older), -147);
  _BarData older_day = make_bar("600000", 1, 20240101, 150000000, 2.0);
  EXPECT_EQ(cache().update_bar("600000", &older_day), -147);
  _BarData next_day_earlier_time = make_bar("600000", 1, 20240103, 90000000, 3.0);
  EXPECT_EQ(cache().update_bar("600000", &next_day_earlier_time), 2);
  EXPECT_EQ(cache().update_bar("600000", nullptr), -1);
  EXPECT_EQ(cache().update_bar(nullptr, &b), -1);
}

struct TrimCase {
  int keep_bars;
  int threshold;
};

class CacheTrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(CacheTrimTest, TrimsInBulkAtTheThreshold) {
  const TrimCase& c = GetParam();
  MDataCache cache(1, c.keep_bars);
  int t = 0;
  auto push = [&]() {
    ++t;
    _BarData b = make_bar("600000", 1, 20240102, t, t);
    return cache.update_bar("600000", &b);
  };
  for (int i = 1; i < c.threshold; ++i) ASSERT_EQ(push(), i);
  EXPECT_EQ(push(), c.keep_bars);
  EXPECT_EQ(push(), c.keep_bars + 1);
  // The newest keep_bars bars are there, in order.
  const DataArray* a = cache.get_bar_array("600000", false);
  EXPECT_DOUBLE_EQ(static_cast<_BarData*>(a->items[a->count - 1])->close, t);
  EXPECT_DOUBLE_EQ(static_cast<_BarData*>(a->items[0])->close, t - a->count + 1);
}

INSTANTIATE_TEST_SUITE_P(Counts, CacheTrimTest,
                         ::testing::Values(TrimCase{100, 400}, TrimCase{10, 256}, TrimCase{64, 256},
                                           TrimCase{65, 260}));

TEST_F(CacheBarTest, HugeKeepBarsDoesNotOverflowTheThreshold) {
  make_cache(1, 2);
  cache().history_data("600000", 4, 2000000000, "1m");  // raises keep_bars
  EXPECT_EQ(cache().get_keep_bars(), 2000000000);
  for (int i = 1; i <= 300; ++i) {
    _BarData b = make_bar("600000", 1, 20240102, i, i);
    ASSERT_EQ(cache().update_bar("600000", &b), i);
  }
}

TEST_F(CacheBarTest, DailyBarsCompareDaysOnlyAndAppend) {
  _BarData d1 = make_bar("600000", 1, 20240102, 0, 1.0);
  _BarData same_day = make_bar("600000", 1, 20240102, 0, 2.0);
  _BarData older = make_bar("600000", 1, 20240101, 0, 3.0);
  EXPECT_EQ(cache().update_daily_bar("600000", &d1), 1);
  EXPECT_EQ(cache().update_daily_bar("600000", &same_day), 2);
  EXPECT_EQ(cache().update_daily_bar("600000", &older), -147);
  EXPECT_DOUBLE_EQ(cache().last_daily_bar("600000")->close, 2.0);
  EXPECT_EQ(cache().get_num_daily_bars(), 1);
  EXPECT_EQ(cache().update_daily_bar("600000", nullptr), -1);

  cache().set_keep_daily_bars(1);
  _BarData d3 = make_bar("600001", 1, 20240103, 0, 4.0);
  _BarData d4 = make_bar("600001", 1, 20240104, 0, 5.0);
  EXPECT_EQ(cache().update_daily_bar("600001", &d3), 1);
  EXPECT_EQ(cache().update_daily_bar("600001", &d4), 1);
  EXPECT_DOUBLE_EQ(cache().last_daily_bar("600001")->close, 5.0);
}

// Bars in exactly-sized heap blocks, so that any read past a caller's record shows under ASan.
class CacheExtendedBarTest : public CacheTest {
 protected:
  static unsigned char* plain_bar(int day, double close) {
    auto* p = static_cast<unsigned char*>(malloc(QL_BAR_SIZE));
    _BarData b = make_bar("IF2401", 8, day, 0, close);
    memcpy(p, &b, QL_BAR_SIZE);
    return p;
  }
  static unsigned char* extended_bar(int day, double close, unsigned char fill) {
    auto* p = static_cast<unsigned char*>(malloc(QL_BAR_EXT_SIZE));
    _BarData b = make_bar("IF2401", 8, day, 0, close);
    b.extension = 1;
    memcpy(p, &b, QL_BAR_SIZE);
    memset(p + QL_BAR_SIZE, fill, QL_BAR_EXT_SIZE - QL_BAR_SIZE);
    return p;
  }
  static bool tail_is(const void* element, unsigned char value) {
    const unsigned char* p = static_cast<const unsigned char*>(element) + QL_BAR_SIZE;
    for (int i = 0; i < QL_BAR_EXT_SIZE - QL_BAR_SIZE; ++i) {
      if (p[i] != value) return false;
    }
    return true;
  }
  const _BarData* bar_of(const unsigned char* p) { return reinterpret_cast<const _BarData*>(p); }
};

TEST_F(CacheExtendedBarTest, ExtendedFirstBarMakesWideElements) {
  unsigned char* e = extended_bar(20240102, 1.0, 0xAB);
  unsigned char* p = plain_bar(20240103, 2.0);
  EXPECT_EQ(cache().update_daily_bar("IF2401", bar_of(e)), 1);
  EXPECT_EQ(cache().update_daily_bar("IF2401", bar_of(p)), 2);
  DataArray* a = cache().get_daily_bar_array("IF2401", 0, false);
  ASSERT_EQ(a->elem_size(), QL_BAR_EXT_SIZE);
  EXPECT_TRUE(tail_is(a->items[0], 0xAB));
  EXPECT_EQ(memcmp(a->items[0], e, QL_BAR_EXT_SIZE), 0);
  EXPECT_TRUE(tail_is(a->items[1], 0x00));  // the plain bar's missing 72 bytes are zeros
  EXPECT_EQ(memcmp(a->items[1], p, QL_BAR_SIZE), 0);

  DataArray h = cache().history_daily_bars("IF2401", 5);
  EXPECT_EQ(h.count, 2);
  EXPECT_EQ(h.elem_size(), QL_BAR_EXT_SIZE);
  free(e);
  free(p);
}

TEST_F(CacheExtendedBarTest, InPlaceReplacementReadsOnlyTheCallersRecord) {
  cache().set_keep_daily_bars(1);
  unsigned char* e = extended_bar(20240102, 1.0, 0xCD);
  unsigned char* p = plain_bar(20240103, 2.0);
  unsigned char* e2 = extended_bar(20240104, 3.0, 0xEF);
  cache().update_daily_bar("IF2401", bar_of(e));
  EXPECT_EQ(cache().update_daily_bar("IF2401", bar_of(p)), 1);
  const _BarData* last = cache().last_daily_bar("IF2401");
  EXPECT_DOUBLE_EQ(last->close, 2.0);
  EXPECT_EQ(last->extension, 0);
  EXPECT_TRUE(tail_is(last, 0x00));
  EXPECT_EQ(cache().update_daily_bar("IF2401", bar_of(e2)), 1);
  EXPECT_TRUE(tail_is(cache().last_daily_bar("IF2401"), 0xEF));
  free(e);
  free(p);
  free(e2);
}

TEST_F(CacheExtendedBarTest, NarrowElementsStoreExtendedBarsAsPlainOnes) {
  unsigned char* p = plain_bar(20240102, 1.0);
  unsigned char* e = extended_bar(20240103, 2.0, 0x11);
  cache().update_daily_bar("IF2401", bar_of(p));
  EXPECT_EQ(cache().update_daily_bar("IF2401", bar_of(e)), 2);
  EXPECT_EQ(cache().get_daily_bar_array("IF2401", 0, false)->elem_size(), QL_BAR_SIZE);
  EXPECT_EQ(cache().last_daily_bar("IF2401")->extension, 0);
  EXPECT_DOUBLE_EQ(cache().last_daily_bar("IF2401")->close, 2.0);
  // Intraday arrays are always 180 bytes wide.
  EXPECT_EQ(cache().update_bar("IF2401", bar_of(e)), 1);
  EXPECT_EQ(cache().last_bar("IF2401")->extension, 0);
  free(p);
  free(e);
}

// ---- history queries ------------------------------------------------------------------------

class CacheHistoryTest : public CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    make_cache(1, 2);
    for (int i = 1; i <= 8; ++i) {
      _BarData b = make_bar("600000", 1, 20240102, 93000000 + i * 100000, i);
      ASSERT_EQ(cache().update_bar("600000", &b), i);
      _BarData d = make_bar("600000", 1, 20240100 + i, 0, 100 + i);
      ASSERT_EQ(cache().update_daily_bar("600000", &d), i);
    }
  }
};

TEST_F(CacheHistoryTest, HistoryBarsSlicesTheNewest) {
  DataArray h = cache().history_bars("600000", 3);
  ASSERT_EQ(h.count, 3);
  EXPECT_DOUBLE_EQ(static_cast<_BarData*>(h.items[0])->close, 6.0);
  EXPECT_DOUBLE_EQ(static_cast<_BarData*>(h.items[2])->close, 8.0);
  EXPECT_EQ(cache().history_bars("600000", 0).count, 0);
  EXPECT_EQ(cache().history_bars("600000", 100).count, 8);
  DataArray none = cache().history_bars("999999", 3);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(none.elem_size(), QL_BAR_SIZE);
  EXPECT_EQ(cache().history_daily_bars(nullptr, 3).count, 0);
  EXPECT_EQ(cache().history_daily_bars("600000", 2).count, 2);
}

TEST_F(CacheHistoryTest, ClosesAsDoubleViewAndKeepBarsRaised) {
  NumArray v = cache().history_data("600000", 4, 5, "1m");
  EXPECT_EQ(cache().get_keep_bars(), 5);
  EXPECT_EQ(v.owns, 0);
  EXPECT_EQ(v.type, KX::FIELD_TYPE_DOUBLE);
  EXPECT_EQ(v.elem_size, 8);
  ASSERT_EQ(v.count, 5);
  EXPECT_EQ(v.size, 40u);
  EXPECT_EQ(v.capacity, 40u);
  const double* d = static_cast<const double*>(v.data);
  for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(d[i], 4 + i);
}

struct FieldCase {
  int field;
  int type;
  int elem_size;
  double newest;  // the newest bar's value (bar close 8)
};

class CacheHistoryFieldTest : public CacheHistoryTest,
                              public ::testing::WithParamInterface<FieldCase> {};

TEST_P(CacheHistoryFieldTest, EachFieldHasItsType) {
  const FieldCase& c = GetParam();
  NumArray v = cache().history_data("600000", c.field, 3, "5m");
  EXPECT_EQ(v.type, c.type);
  EXPECT_EQ(v.elem_size, c.elem_size);
  ASSERT_EQ(v.count, 3);
  double newest = 0;
  if (c.type == KX::FIELD_TYPE_DOUBLE) newest = static_cast<const double*>(v.data)[2];
  if (c.type == KX::FIELD_TYPE_INT64)
    newest = static_cast<double>(static_cast<const int64_t*>(v.data)[2]);
  if (c.type == KX::FIELD_TYPE_INT32) newest = static_cast<const int32_t*>(v.data)[2];
  EXPECT_DOUBLE_EQ(newest, c.newest);
  EXPECT_EQ(MDataCache::conv_bar_field_type(c.field), c.type);
}

INSTANTIATE_TEST_SUITE_P(Fields, CacheHistoryFieldTest,
                         ::testing::Values(FieldCase{1, 12, 8, 7.0}, FieldCase{2, 12, 8, 9.0},
                                           FieldCase{3, 12, 8, 6.0}, FieldCase{4, 12, 8, 8.0},
                                           FieldCase{5, 9, 8, 80.0}, FieldCase{6, 12, 8, 800.0},
                                           FieldCase{7, 7, 4, 15.0}, FieldCase{12, 7, 4, 11.0}));

TEST_F(CacheHistoryTest, FieldsWithoutDataGiveEmptyViews) {
  NumArray none = cache().history_data("600000", 9, 3, "1m");
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(none.type, KX::FIELD_TYPE_DOUBLE);
  NumArray zero = cache().history_data("600000", 0, 3, "1m");
  EXPECT_EQ(zero.type, KX::FIELD_TYPE_NONE);
  EXPECT_EQ(zero.elem_size, 0);
  EXPECT_EQ(zero.data, nullptr);
  EXPECT_STREQ(zero.name, bar_field_str(0));
  NumArray missing = cache().history_data("999999", 5, 3, "1m");
  EXPECT_EQ(missing.count, 0);
  EXPECT_EQ(missing.data, nullptr);
  EXPECT_EQ(missing.type, KX::FIELD_TYPE_DOUBLE);
  EXPECT_EQ(missing.elem_size, 8);
  EXPECT_STREQ(missing.name, bar_field_str(5));
  EXPECT_EQ(cache().history_data("600000", 4, -3, "1m").count, 0);
  EXPECT_EQ(MDataCache::conv_bar_field_type(0), KX::FIELD_TYPE_NONE);
  EXPECT_EQ(MDataCache::conv_bar_field_type(99), KX::FIELD_TYPE_DOUBLE);
}

TEST_F(CacheHistoryTest, DailyPeriodAndFieldNames) {
  NumArray v = cache().history_data("600000", "close", 2, "1d");
  ASSERT_EQ(v.count, 2);
  EXPECT_DOUBLE_EQ(static_cast<const double*>(v.data)[1], 108.0);
  NumArray unknown = cache().history_data("600000", static_cast<const char*>(nullptr), 2, "1d");
  EXPECT_EQ(unknown.type, KX::FIELD_TYPE_NONE);
  NumArray intraday = cache().history_data("600000", "close", 2, nullptr);
  EXPECT_DOUBLE_EQ(static_cast<const double*>(intraday.data)[1], 8.0);
}

TEST_F(CacheHistoryTest, NextQueryOnTheThreadReusesTheBuffer) {
  NumArray first = cache().history_data("600000", 4, 2, "1m");
  const double* numbers = static_cast<const double*>(first.data);
  EXPECT_DOUBLE_EQ(numbers[0], 7.0);
  NumArray second = cache().history_data("600000", 1, 2, "1m");
  EXPECT_EQ(second.data, first.data);
  EXPECT_DOUBLE_EQ(numbers[0], 6.0);  // the opens now
}

TEST_F(CacheHistoryTest, ViewsOutgrowTheInitialRoom) {
  make_cache(1, 1000);
  for (int i = 1; i <= 700; ++i) {
    _BarData b = make_bar("600000", 1, 20240102, i, i);
    ASSERT_EQ(cache().update_bar("600000", &b), i);
  }
  NumArray v = cache().history_data("600000", 4, 700, "1m");
  ASSERT_EQ(v.count, 700);
  EXPECT_DOUBLE_EQ(static_cast<const double*>(v.data)[699], 700.0);
}

TEST(CacheHistoryThreadTest, EachThreadHasItsOwnBuffers) {
  // Two threads, two caches: a view from one thread stays intact while the other thread
  // queries, and each thread's buffers go when it ends.
  std::atomic<int> step{0};
  auto fill = [](MDataCache& cache, double base) {
    for (int i = 0; i < 10; ++i) {
      _BarData b = make_bar("600000", 1, 20240102, i + 1, base + i);
      cache.update_bar("600000", &b);
    }
  };
  bool first_intact = false, second_ok = false;
  std::thread a([&] {
    MDataCache cache(1, 10);
    fill(cache, 100);
    NumArray v = cache.history_data("600000", 4, 10, "1m");
    step.store(1, std::memory_order_release);
    while (step.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    const double* d = static_cast<const double*>(v.data);
    first_intact = v.count == 10 && d[0] == 100 && d[9] == 109;
  });
  std::thread b([&] {
    MDataCache cache(1, 10);
    fill(cache, 500);
    while (step.load(std::memory_order_acquire) != 1) std::this_thread::yield();
    NumArray v = cache.history_data("600000", 4, 10, "1m");
    const double* d = static_cast<const double*>(v.data);
    second_ok = v.count == 10 && d[0] == 500 && d[9] == 509;
    step.store(2, std::memory_order_release);
  });
  a.join();
  b.join();
  EXPECT_TRUE(first_intact);
  EXPECT_TRUE(second_ok);
}

// ---- last_bars, clearing and removing -------------------------------------------------------

using CacheLastBarsTest = CacheTest;

TEST_F(CacheLastBarsTest, ListsTheNewestBarPerSymbolByExchange) {
  const struct {
    const char* symbol;
    int exchange;
  } symbols[] = {{"600000", 1}, {"600001", 1}, {"000001", 2}, {"000002", 2}, {"000003", 2}};
  for (const auto& s : symbols) {
    for (int t = 1; t <= 3; ++t) {
      _BarData b = make_bar(s.symbol, s.exchange, 20240102, t, t);
      cache().update_bar(s.symbol, &b);
    }
  }
  cache().get_bar_array("EMPTY", true);
  KX::DataVector<_BarData*> all = cache().last_bars(0);
  EXPECT_EQ(all.count, 5);
  for (_BarData* b : all) EXPECT_DOUBLE_EQ(b->close, 3.0);
  KX::DataVector<_BarData*> sz = cache().last_bars(2);
  EXPECT_EQ(sz.count, 3);
  for (_BarData* b : sz) EXPECT_EQ(b->exchange, 2);
  EXPECT_EQ(cache().last_bars(9).count, 0);
  EXPECT_EQ(cache().clear_bars("000001"), 1);
  EXPECT_EQ(cache().last_bars(2).count, 2);
}

TEST_F(CacheLastBarsTest, ClearAndRemoveCount) {
  for (const char* sym : {"a", "b", "c"}) {
    _BarData b = make_bar(sym, 1, 20240102, 1, 1.0);
    cache().update_bar(sym, &b);
    cache().update_daily_bar(sym, &b);
  }
  EXPECT_EQ(cache().clear_bars("zz"), 0);
  EXPECT_EQ(cache().remove_bar("a"), 1);
  EXPECT_EQ(cache().remove_bar("a"), 0);
  EXPECT_EQ(cache().remove_bar(nullptr), 0);
  EXPECT_EQ(cache().get_num_bars(), 2);
  EXPECT_EQ(cache().clear_bars(nullptr), 2);
  EXPECT_EQ(cache().get_num_bars(), 0);
  EXPECT_EQ(cache().get_num_daily_bars(), 3);
  EXPECT_EQ(cache().last_bar("b"), nullptr);
  _BarData b = make_bar("b", 1, 20240102, 1, 1.0);
  EXPECT_EQ(cache().update_bar("b", &b), 1);  // a cleared symbol starts afresh
}

// ---- NumArray and DataVector ----------------------------------------------------------------

TEST(NumArrayTest, AppendsGrowAndViewsRefuse) {
  NumArray a(KX::FIELD_TYPE_INT32);
  EXPECT_EQ(a.owns, 1);
  EXPECT_EQ(a.capacity, 4u * 512);
  for (int32_t i = 0; i < 1000; ++i) ASSERT_EQ(a.append(&i), 0);
  EXPECT_EQ(a.count, 1000);
  EXPECT_EQ(a.size, 4000u);
  EXPECT_EQ(static_cast<const int32_t*>(a.data)[999], 999);
  EXPECT_EQ(a.append(nullptr), -1);
  NumArray v = NumArray::view(a.data, a.count, a.type, "x");
  int32_t one = 1;
  EXPECT_EQ(v.append(&one), -1111);
  NumArray none(KX::FIELD_TYPE_NONE);
  EXPECT_EQ(none.append(&one), -1);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(NumArray::elem_size_of(3), 1);
  EXPECT_EQ(NumArray::elem_size_of(5), 2);
  EXPECT_EQ(NumArray::elem_size_of(11), 4);
  EXPECT_EQ(NumArray::elem_size_of(18), 8);
  EXPECT_EQ(NumArray::elem_size_of(2), 0);
}

TEST(NumArrayTest, MovingHandsTheStorageOver) {
  NumArray a(KX::FIELD_TYPE_DOUBLE);
  double x = 1.5;
  a.append(&x);
  NumArray b(std::move(a));
  EXPECT_EQ(a.owns, 0);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(b.owns, 1);
  EXPECT_DOUBLE_EQ(static_cast<const double*>(b.data)[0], 1.5);
  NumArray c(KX::FIELD_TYPE_INT64);
  c = std::move(b);
  EXPECT_EQ(c.type, KX::FIELD_TYPE_DOUBLE);
  EXPECT_EQ(c.count, 1);
}

TEST(DataVectorTest, GrowsAndMoves) {
  KX::DataVector<int> v;
  EXPECT_EQ(v.tag, -1);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(v.push_back(i), 0);
  EXPECT_EQ(v.capacity, 512);
  KX::DataVector<int> w(std::move(v));
  EXPECT_EQ(v.items, nullptr);
  EXPECT_EQ(w.count, 300);
  EXPECT_EQ(w[299], 299);
  w.owns = 0;  // a vector that does not own its array takes no elements
  EXPECT_EQ(w.push_back(1), -1);
  w.owns = 1;
}

}  // namespace
