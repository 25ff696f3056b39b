// MDataCache: shared message items, auction window, watermark, bars, history queries.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "quotelab/mdata_cache.h"
#include "quotelab/utilcore.h"

using KX::DataArray;
using KX::MDataCache;
using KX::NumArray;

namespace {

constexpr int kDay = 20240102;

_L2Snapshot make_snap(const char* symbol, int time, double last = 10.0, int exchange = 1,
                      int day = kDay) {
  _L2Snapshot s{};
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = static_cast<uint8_t>(exchange);
  strncpy(s.symbol, symbol, sizeof(s.symbol) - 1);
  s.action_day = day, s.time = time, s.last = last, s.pre_close = 9.5;
  return s;
}

_MDIndex make_index(int time, double last) {
  _MDIndex x{};
  x.type = QL_RECORD_MDINDEX;
  x.exchange = 1, x.action_day = kDay, x.time = time, x.last = last;
  return x;
}

_BarData make_bar(const char* symbol, int day, int time, double close, int exchange = 1) {
  _BarData b{};
  b.type = QL_RECORD_BAR;
  b.exchange = static_cast<uint8_t>(exchange);
  strncpy(b.symbol, symbol, sizeof(b.symbol) - 1);
  b.action_day = b.trading_day = day;
  b.time = time;
  b.open = close - 1, b.high = close + 1, b.low = close - 2, b.close = close;
  b.turnover = close * 100, b.volume = static_cast<int64_t>(close) * 10;
  b.open_interest = static_cast<int32_t>(close) + 7, b.num_trades = b.open_interest - 4;
  return b;
}

template <class Rec>
msg_item_s* item_of(const Rec& r) {
  return msg_item_alloc(&r, sizeof(r));
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
  std::pair<int, int> watermark() {
    int date = -5, time = -5;
    cache().last_tick_datetime(&date, &time);
    return {date, time};
  }

  std::unique_ptr<MDataCache> cache_{new MDataCache()};
  int64_t live_at_start_ = 0;
};

TEST_F(CacheTest, UpdateTickAndIndexTakeTheNewReferenceBeforeReleasingTheOld) {
  msg_item_s* a = item_of(make_snap("600000", 93000000));
  msg_item_s* b = item_of(make_snap("600000", 93000003));
  EXPECT_EQ(cache().update_tick("600000", a), 0);
  EXPECT_EQ(msg_item_refcount(a), 2);
  EXPECT_EQ(cache().last_tick("600000"), msg_item_data(a));  // cached without a copy
  EXPECT_EQ(cache().update_tick("600000", b), 1);
  EXPECT_EQ(msg_item_refcount(a), 1);
  msg_item_decref_release(a);
  msg_item_decref_release(b);  // only the cache holds b now: passing it again must not free it
  EXPECT_EQ(cache().update_tick("600000", b), 1);
  EXPECT_EQ(cache().last_tick("600000")->time, 93000003);

  msg_item_s* x = item_of(make_index(93000000, 3000.5));
  EXPECT_EQ(cache().update_index("000001", x), 0);
  msg_item_decref_release(x);
  EXPECT_EQ(cache().update_index("000001", x), 1);
  EXPECT_EQ(msg_item_refcount(x), 1);
}

TEST_F(CacheTest, UpdateSetTickLeavesASharedItemToItsHolderAndWritesInPlaceOtherwise) {
  const _L2Snapshot first = make_snap("600000", 93000000, 10.0);
  msg_item_s* held = item_of(first);  // the caller (or a publisher) keeps its reference
  cache().update_tick("600000", held);
  const _L2Snapshot newer = make_snap("600000", 93000003, 10.5);
  EXPECT_EQ(cache().update_set_tick("600000", &newer), 1);
  EXPECT_EQ(memcmp(msg_item_data(held), &first, sizeof(first)), 0) << "holder's record changed";
  EXPECT_EQ(msg_item_refcount(held), 1);  // the cache let go of it
  _L2Snapshot* cached = cache().last_tick("600000");
  EXPECT_EQ(memcmp(cached, &newer, sizeof(newer)), 0);
  msg_item_decref_release(held);
  // The cache alone holds its item: written in place, also from its own payload.
  cached->last = 11.0;
  EXPECT_EQ(cache().update_set_tick("600000", cached), 1);
  EXPECT_EQ(cache().last_tick("600000"), cached);
  EXPECT_DOUBLE_EQ(cache().last_tick("600000")->last, 11.0);
}

// A publisher thread reads the items it was given while the cache keeps updating the symbol:
// every record it reads is whole (ThreadSanitizer also checks that nothing is written under it).
TEST_F(CacheTest, AHolderOnAnotherThreadNeverReadsAHalfWrittenRecord) {
  std::atomic<msg_item_s*> handed{nullptr};
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      msg_item_s* item = handed.exchange(nullptr);
      if (item == nullptr) continue;
      const auto* snap = static_cast<const _L2Snapshot*>(msg_item_data(item));
      for (int i = 0; i < 10; ++i) torn += snap->ask_volume[i] != snap->time;
      msg_item_decref_release(item);
    }
  });
  _L2Snapshot s = make_snap("600000", 93000000);
  for (int n = 1; n <= 4000; ++n) {
    s.time = 93000000 + n;
    std::fill(std::begin(s.ask_volume), std::end(s.ask_volume), s.time);
    if (n % 4 != 0) {
      cache().update_set_tick("600000", &s);
      continue;
    }
    // A live quote: cached and posted as one item; the host's reference goes to the reader.
    msg_item_s* item = item_of(s);
    cache().update_tick("600000", item);
    if (msg_item_s* unread = handed.exchange(item)) msg_item_decref_release(unread);
  }
  done = true;
  reader.join();
  if (msg_item_s* left = handed.exchange(nullptr)) msg_item_decref_release(left);
  EXPECT_EQ(torn.load(), 0);
}

TEST_F(CacheTest, ClearRemoveAndDestructionReleaseOnlyTheCachesReferences) {
  msg_item_s* held = item_of(make_snap("600000", 92000000));  // auction time
  msg_item_addref(held, 1);  // a second holder, e.g. a publisher queue
  cache().update_tick("600000", held);
  EXPECT_EQ(cache().get_num_auctions(), 1);
  EXPECT_EQ(msg_item_refcount(held), 3);
  EXPECT_EQ(cache().remove_tick("600000"), 1);
  EXPECT_EQ(cache().get_num_auctions(), 0);
  EXPECT_EQ(msg_item_refcount(held), 2);
  msg_item_s* index = item_of(make_index(93000000, 1.0));
  cache().update_index("000300", index);
  const _L2Snapshot own = make_snap("000001", 92500000, 10.0, 2);
  cache().update_set_tick("000001", &own);
  cache().update_tick("600000", held);
  EXPECT_EQ(cache().clear_tick(nullptr), 2);  // every tick and auction; indexes stay
  EXPECT_EQ(msg_item_refcount(held), 2);
  EXPECT_EQ(cache().get_num_ticks() + cache().get_num_auctions(), 0);
  EXPECT_DOUBLE_EQ(cache().last_index("000300")->last, 1.0);
  for (int round = 0; round < 3; ++round) {  // one key copy serves every comeback
    cache().update_set_tick("000001", &own);
    EXPECT_EQ(cache().remove_tick("000001"), 1);
  }
  cache().update_tick("600000", held);
  cache().update_auction_tick("000001", &own);
  cache_.reset();
  EXPECT_EQ(msg_item_refcount(held), 2);
  EXPECT_EQ(msg_item_refcount(index), 1);
  msg_item_decref_release(held);
  msg_item_decref_release(held);
  msg_item_decref_release(index);
}

// Short payloads, null items, symbols and records are refused and change nothing; with ticks
// off, ticks and indexes are refused but auctions kept. Lookups match the whole symbol.
TEST_F(CacheTest, RefusalsChangeNothingAndQueriesFindExactSymbols) {
  const _L2Snapshot s = make_snap("600000", 93000000);
  const _MDIndex x = make_index(93000000, 1.0);
  const _BarData b = make_bar("600000", kDay, 93000000, 1.0);
  msg_item_s* short_tick = msg_item_alloc(&s, QL_L2SNAPSHOT_SIZE - 1);
  msg_item_s* short_index = msg_item_alloc(&x, QL_MDINDEX_SIZE - 1);
  msg_item_s* good = item_of(s);
  const int refused[] = {
      cache().update_tick("600000", short_tick),
      cache().update_index("000300", short_index),
      cache().update_tick("600000", nullptr),
      cache().update_index("000300", nullptr),
      cache().update_tick(nullptr, short_tick),
      cache().update_set_tick("600000", nullptr),
      cache().update_auction_tick("600000", nullptr),
      cache().update_set_index(nullptr, &x),
      cache().update_bar(nullptr, &b),
      cache().update_daily_bar("600000", nullptr),
  };
  for (const int& r : refused) EXPECT_EQ(r, QL_ERROR) << &r - refused;
  EXPECT_EQ(msg_item_refcount(short_tick) + msg_item_refcount(short_index), 2);
  EXPECT_EQ(cache().get_num_ticks() + cache().get_num_indexes() + cache().get_num_bars() +
                cache().get_num_daily_bars(),
            0);
  EXPECT_EQ(cache().update_bar("600000", nullptr), QL_ERROR);  // after making the array
  // A refused item does not replace a cached one.
  EXPECT_EQ(cache().update_tick("600000", good), 0);
  EXPECT_EQ(cache().update_tick("600000", short_tick), QL_ERROR);
  EXPECT_EQ(cache().last_tick("600000"), msg_item_data(good));
  for (msg_item_s* i : {good, short_tick, short_index}) msg_item_decref_release(i);

  _L2Snapshot out = make_snap("KEEP", 2, 0, 9, 1);
  EXPECT_EQ(cache().last_tick(&out, "600001"), QL_NOT_CACHED);
  EXPECT_EQ(cache().auction_tick(&out, "600001"), QL_NOT_CACHED);
  EXPECT_STREQ(out.symbol, "KEEP");
  const _L2Snapshot rb = make_snap("rb2410", 93000000, 11.0, 9);
  cache().update_set_tick("rb2410", &rb);
  EXPECT_EQ(cache().last_tick(&out, "rb2410"), 0);
  EXPECT_EQ(memcmp(&out, &rb, sizeof(rb)), 0);
  for (const char* other : {"RB2410", "rb241", "rb24100"}) {
    EXPECT_EQ(cache().last_tick(other), nullptr) << other;
  }
  EXPECT_EQ(cache().last_tick(nullptr, "rb2410"), QL_ERROR);
  EXPECT_EQ(cache().last_tick(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(cache().last_bar(nullptr), nullptr);
  EXPECT_EQ(cache().history_data(nullptr, 4, 3, "1m").count, 0);

  make_cache(0, 1);
  msg_item_s* item = item_of(make_snap("600000", 92000000));
  EXPECT_EQ(cache().update_tick("600000", item), QL_REFUSED);
  EXPECT_EQ(msg_item_refcount(item), 1);
  msg_item_decref_release(item);
  EXPECT_EQ(cache().update_set_index("000300", &x), QL_REFUSED);
  EXPECT_EQ(cache().update_auction_tick("600000", &s), 0);
}

TEST_F(CacheTest, LastPriceFallsBackToPreCloseThenBarClose) {
  const _L2Snapshot zero = make_snap("600000", 93000000, 0.0);
  cache().update_set_tick("600000", &zero);
  EXPECT_DOUBLE_EQ(cache().last_price("600000"), 9.5);
  const _L2Snapshot nan_last = make_snap("600001", 93000000, std::nan(""));
  cache().update_set_tick("600001", &nan_last);
  EXPECT_TRUE(std::isnan(cache().last_price("600001")));
  const _BarData bar = make_bar("600002", kDay, 93100000, 7.25);
  cache().update_bar("600002", &bar);
  EXPECT_DOUBLE_EQ(cache().last_price("600002"), 7.25);
  cache().update_daily_bar("600003", &bar);  // daily bars are not consulted
  EXPECT_DOUBLE_EQ(cache().last_price("600003"), 0.0);
}

TEST_F(CacheTest, UpdateTickCopiesIntoTheAuctionTableInsideTheWindow) {
  const struct {
    int exchange, time;
    bool is_auction;
  } cases[] = {{1, 91500000, false}, {1, 91500001, true}, {1, 92999999, true},
               {1, 93000000, false}, {2, 92000000, true}, {15, 92000000, true},
               {3, 92000000, false}, {0, 92000000, false}};
  for (const auto& c : cases) {
    MDataCache cache;
    msg_item_s* item = item_of(make_snap("600000", c.time, 10.0, c.exchange));
    cache.update_tick("600000", item);
    EXPECT_EQ(msg_item_refcount(item), 2);  // the auction table took a copy, not a reference
    static_cast<_L2Snapshot*>(msg_item_data(item))->last = 99.0;
    _L2Snapshot out;
    EXPECT_EQ(cache.auction_tick(&out, "600000"), c.is_auction ? 0 : QL_NOT_CACHED) << c.time;
    EXPECT_TRUE(!c.is_auction || (out.time == c.time && out.last == 10.0)) << c.time;
    msg_item_decref_release(item);
  }
  const _L2Snapshot s = make_snap("600001", 92000000);
  cache().update_set_tick("600001", &s);  // update_set_tick never feeds the auction table
  EXPECT_EQ(cache().get_num_auctions(), 0);
}

TEST_F(CacheTest, WatermarkGrowsWithTicksAndIndexesOnly) {
  EXPECT_EQ(cache().update_tick_datetime(kDay, 93000000), 1);
  EXPECT_EQ(cache().update_tick_datetime(kDay, 93000000), 1);
  EXPECT_EQ(cache().update_tick_datetime(20240101, 150000000), 0);
  cache().reset_tick_datetime();
  // Auctions and bars, even of a later day, do not move it.
  const _L2Snapshot auction = make_snap("600000", 92000000, 10.0, 1, 20250101);
  cache().update_auction_tick("600000", &auction);
  const _BarData bar = make_bar("600000", 20250101, 93000000, 1.0);
  cache().update_bar("600000", &bar);
  EXPECT_EQ(watermark(), std::make_pair(0, -1));
  const _MDIndex x = make_index(93000001, 1.0);
  cache().update_set_index("000300", &x);
  EXPECT_EQ(watermark(), std::make_pair(kDay, 93000001));
  // An older tick still replaces the cached one, but the watermark only grows.
  const _L2Snapshot newer = make_snap("600000", 100000000, 10.0);
  const _L2Snapshot older = make_snap("600000", 95000000, 9.0);
  cache().update_set_tick("600000", &newer);
  cache().update_set_tick("600000", &older);
  EXPECT_EQ(watermark(), std::make_pair(kDay, 100000000));
  EXPECT_DOUBLE_EQ(cache().last_tick("600000")->last, 9.0);
}

TEST_F(CacheTest, BarsKeepTheirOrderAndKeepBarsZeroOrOneReplace) {
  make_cache(1, 0);
  const _BarData b1 = make_bar("600000", kDay, 93100000, 1.0);
  const _BarData b2 = make_bar("600000", kDay, 93200000, 2.0);
  EXPECT_EQ(cache().update_bar("600000", &b1), QL_REFUSED);  // no arrays until asked for one
  EXPECT_EQ(cache().get_num_bars(), 0);
  ASSERT_NE(cache().get_bar_array("600000", true), nullptr);
  EXPECT_EQ(cache().update_bar("600000", &b1), 1);
  EXPECT_EQ(cache().update_bar("600000", &b2), 1);  // replaced in place
  EXPECT_DOUBLE_EQ(cache().last_bar("600000")->close, 2.0);

  make_cache(1, 10);
  EXPECT_EQ(cache().update_bar("600000", &b2), 1);
  const _BarData refused[] = {b2, b1, make_bar("600000", 20240101, 150000000, 2.0)};
  for (const _BarData& r : refused) EXPECT_EQ(cache().update_bar("600000", &r), QL_BAR_NOT_NEWER);
  const _BarData next_day_earlier_time = make_bar("600000", 20240103, 90000000, 3.0);
  EXPECT_EQ(cache().update_bar("600000", &next_day_earlier_time), 2);
  // Daily bars compare days only.
  const _BarData same_day = make_bar("600000", kDay, 0, 2.0);
  EXPECT_EQ(cache().update_daily_bar("600000", &b1), 1);
  EXPECT_EQ(cache().update_daily_bar("600000", &same_day), 2);
  EXPECT_EQ(cache().update_daily_bar("600000", &refused[2]), QL_BAR_NOT_NEWER);
}

TEST(CacheTrimTest, TrimsInBulkAtTheThresholdKeepingTheNewest) {
  const struct {
    int keep_bars, threshold;
  } cases[] = {{100, 400}, {10, 256}, {64, 256}, {65, 260}};
  for (const auto& c : cases) {
    MDataCache cache(1, c.keep_bars);
    int t = 0;
    auto push = [&]() {
      ++t;
      const _BarData b = make_bar("600000", kDay, t, t);
      return cache.update_bar("600000", &b);
    };
    for (int i = 1; i < c.threshold; ++i) ASSERT_EQ(push(), i);
    EXPECT_EQ(push(), c.keep_bars) << c.keep_bars;
    EXPECT_EQ(push(), c.keep_bars + 1) << c.keep_bars;
    const DataArray* a = cache.get_bar_array("600000", false);
    EXPECT_DOUBLE_EQ(static_cast<_BarData*>(a->items[a->count - 1])->close, t);
    EXPECT_DOUBLE_EQ(static_cast<_BarData*>(a->items[0])->close, t - a->count + 1);
  }
  // 4 x keep_bars must not overflow into a tiny threshold.
  MDataCache huge(1, 2);
  huge.history_data("600000", 4, 2000000000, "1m");  // raises keep_bars
  EXPECT_EQ(huge.get_keep_bars(), 2000000000);
  for (int i = 1; i <= 300; ++i) {
    const _BarData b = make_bar("600000", kDay, i, i);
    ASSERT_EQ(huge.update_bar("600000", &b), i);
  }
}

// Bars in exactly-sized heap blocks, so that any read past a caller's record shows under ASan.
class CacheExtendedBarTest : public CacheTest {
 protected:
  void TearDown() override {
    for (unsigned char* p : blocks_) free(p);
    CacheTest::TearDown();
  }
  const _BarData* bar(int day, double close, int fill = -1) {
    const int size = fill < 0 ? QL_BAR_SIZE : QL_BAR_EXT_SIZE;
    auto* p = static_cast<unsigned char*>(malloc(size));
    blocks_.push_back(p);
    _BarData b = make_bar("IF2401", day, 0, close, 8);
    b.extension = fill < 0 ? 0 : 1;
    memcpy(p, &b, QL_BAR_SIZE);
    memset(p + QL_BAR_SIZE, fill, size - QL_BAR_SIZE);
    return reinterpret_cast<const _BarData*>(p);
  }
  static bool tail_is(const void* element, unsigned char value) {
    const auto* p = static_cast<const unsigned char*>(element);
    return std::count(p + QL_BAR_SIZE, p + QL_BAR_EXT_SIZE, value) == QL_BAR_EXT_SIZE - QL_BAR_SIZE;
  }
  std::vector<unsigned char*> blocks_;
};

// An extended first bar makes wide elements, where plain bars get zero tails; narrow elements
// store extended bars as plain ones.
TEST_F(CacheExtendedBarTest, ElementWidthFollowsTheFirstBar) {
  const _BarData* e = bar(20240102, 1.0, 0xAB);
  const _BarData* p = bar(20240103, 2.0);
  EXPECT_EQ(cache().update_daily_bar("IF2401", e), 1);
  EXPECT_EQ(cache().update_daily_bar("IF2401", p), 2);
  DataArray* a = cache().get_daily_bar_array("IF2401", 0, false);
  ASSERT_EQ(a->elem_size(), QL_BAR_EXT_SIZE);
  EXPECT_EQ(memcmp(a->items[0], e, QL_BAR_EXT_SIZE), 0);
  EXPECT_TRUE(tail_is(a->items[1], 0x00));  // the plain bar's missing 72 bytes are zeros
  EXPECT_EQ(memcmp(a->items[1], p, QL_BAR_SIZE), 0);

  cache().update_daily_bar("IF2403", bar(20240102, 1.0));
  const _BarData* x = bar(20240103, 2.0, 0x11);
  EXPECT_EQ(cache().update_daily_bar("IF2403", x), 2);
  EXPECT_EQ(cache().get_daily_bar_array("IF2403", 0, false)->elem_size(), QL_BAR_SIZE);
  EXPECT_EQ(cache().last_daily_bar("IF2403")->extension, 0);
  EXPECT_EQ(cache().update_bar("IF2403", x), 1);  // intraday arrays are always 180 bytes wide
  EXPECT_EQ(cache().last_bar("IF2403")->extension, 0);

  // Replacing in place (keep 1) reads only the caller's record.
  cache().set_keep_daily_bars(1);
  cache().update_daily_bar("IF2402", bar(20240104, 3.0, 0xCD));
  EXPECT_EQ(cache().update_daily_bar("IF2402", bar(20240105, 4.0)), 1);
  EXPECT_TRUE(tail_is(cache().last_daily_bar("IF2402"), 0x00));
  EXPECT_EQ(cache().update_daily_bar("IF2402", bar(20240106, 5.0, 0xEF)), 1);
  EXPECT_TRUE(tail_is(cache().last_daily_bar("IF2402"), 0xEF));
}

double at(const NumArray& v, int i) {
  if (v.type == KX::FIELD_TYPE_INT64) return double(static_cast<const int64_t*>(v.data)[i]);
  if (v.type == KX::FIELD_TYPE_INT32) return static_cast<const int32_t*>(v.data)[i];
  return static_cast<const double*>(v.data)[i];
}

TEST_F(CacheTest, HistoryFieldsAreViewsOfTheirTypeOverTheNewestBarsAndKeepBarsIsRaised) {
  make_cache(1, 2);
  for (int i = 1; i <= 8; ++i) {
    const _BarData b = make_bar("600000", kDay, 93000000 + i * 100000, i);
    ASSERT_EQ(cache().update_bar("600000", &b), i);
    const _BarData d = make_bar("600000", 20240100 + i, 0, 100 + i);
    ASSERT_EQ(cache().update_daily_bar("600000", &d), i);
  }
  DataArray h = cache().history_bars("600000", 3);
  ASSERT_EQ(h.count, 3);
  EXPECT_DOUBLE_EQ(static_cast<_BarData*>(h.items[0])->close, 6.0);
  NumArray v = cache().history_data("600000", 4, 5, "1m");
  EXPECT_EQ(cache().get_keep_bars(), 5);
  ASSERT_EQ(v.count, 5);
  for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(at(v, i), 4 + i);

  const struct {
    int field, type, elem_size;
    double newest;  // the newest bar's value (bar close 8)
  } fields[] = {{1, 12, 8, 7.0}, {2, 12, 8, 9.0},   {3, 12, 8, 6.0}, {4, 12, 8, 8.0},
                {5, 9, 8, 80.0}, {6, 12, 8, 800.0}, {7, 7, 4, 15.0}, {12, 7, 4, 11.0}};
  for (const auto& f : fields) {
    NumArray w = cache().history_data("600000", f.field, 3, "5m");
    EXPECT_EQ(w.type, f.type) << f.field;
    EXPECT_EQ(w.elem_size, f.elem_size) << f.field;
    ASSERT_EQ(w.count, 3) << f.field;
    EXPECT_DOUBLE_EQ(at(w, 2), f.newest) << f.field;
  }
  // Fields without data, unknown symbols and negative counts give empty views.
  EXPECT_EQ(cache().history_data("600000", 9, 3, "1m").count, 0);
  EXPECT_EQ(cache().history_data("600000", 0, 3, "1m").data, nullptr);
  EXPECT_EQ(cache().history_data("999999", 5, 3, "1m").data, nullptr);
  EXPECT_EQ(cache().history_data("600000", 4, -3, "1m").count, 0);
  // "1d" reads the daily bars.
  EXPECT_DOUBLE_EQ(at(cache().history_data("600000", "close", 2, "1d"), 1), 108.0);
  EXPECT_DOUBLE_EQ(at(cache().history_data("600000", "close", 2, nullptr), 1), 8.0);

  // The thread's buffer is reused, and grows.
  NumArray first = cache().history_data("600000", 4, 2, "1m");
  const double* numbers = static_cast<const double*>(first.data);
  EXPECT_DOUBLE_EQ(numbers[0], 7.0);
  EXPECT_EQ(cache().history_data("600000", 1, 2, "1m").data, first.data);
  EXPECT_DOUBLE_EQ(numbers[0], 6.0);  // the opens now

  make_cache(1, 1000);
  for (int i = 1; i <= 700; ++i) {
    const _BarData b = make_bar("600000", kDay, i, i);
    ASSERT_EQ(cache().update_bar("600000", &b), i);
  }
  NumArray big = cache().history_data("600000", 4, 700, "1m");
  ASSERT_EQ(big.count, 700);
  EXPECT_DOUBLE_EQ(at(big, 699), 700.0);
}

// Two threads, two caches: a view from one thread stays intact while the other thread queries,
// and each thread's buffers go when it ends.
TEST(CacheHistoryThreadTest, EachThreadHasItsOwnBuffers) {
  std::atomic<int> step{0};
  bool intact[2] = {false, false};
  auto run = [&](int me, double base) {
    MDataCache cache(1, 10);
    for (int i = 0; i < 10; ++i) {
      const _BarData b = make_bar("600000", kDay, i + 1, base + i);
      cache.update_bar("600000", &b);
    }
    while (step.load(std::memory_order_acquire) != me) std::this_thread::yield();
    NumArray v = cache.history_data("600000", 4, 10, "1m");
    step.store(me + 1, std::memory_order_release);
    while (step.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    const double* d = static_cast<const double*>(v.data);
    intact[me] = v.count == 10 && d[0] == base && d[9] == base + 9;
  };
  std::thread a(run, 0, 100.0), b(run, 1, 500.0);
  a.join();
  b.join();
  EXPECT_TRUE(intact[0] && intact[1]);
}

TEST_F(CacheTest, LastBarsListsTheNewestPerSymbolByExchangeAndClearingCounts) {
  const struct {
    const char* symbol;
    int exchange;
  } symbols[] = {{"600000", 1}, {"600001", 1}, {"000001", 2}, {"000002", 2}, {"000003", 2}};
  for (const auto& s : symbols) {
    for (int t = 1; t <= 3; ++t) {
      const _BarData b = make_bar(s.symbol, kDay, t, t, s.exchange);
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

  EXPECT_EQ(cache().clear_bars("000001"), 1);
  EXPECT_EQ(cache().last_bars(2).count, 2);
  EXPECT_EQ(cache().remove_bar("600000"), 1);
  EXPECT_EQ(cache().get_num_bars(), 5);  // "EMPTY" and the cleared "000001" stay
  const _BarData b = make_bar("000001", kDay, 1, 1.0);
  EXPECT_EQ(cache().update_bar("000001", &b), 1);  // a cleared symbol starts afresh
}

TEST(NumArrayTest, AppendsGrowViewsRefuseAndMovesHandOver) {
  NumArray a(KX::FIELD_TYPE_INT32);
  for (int32_t i = 0; i < 1000; ++i) ASSERT_EQ(a.append(&i), 0);
  EXPECT_EQ(static_cast<const int32_t*>(a.data)[999], 999);
  EXPECT_EQ(a.append(nullptr), QL_ERROR);
  int32_t one = 1;
  EXPECT_EQ(NumArray::view(a.data, a.count, a.type, "x").append(&one), QL_ARRAY_VIEW);
  EXPECT_EQ(NumArray(KX::FIELD_TYPE_NONE).append(&one), QL_ERROR);
  NumArray c(KX::FIELD_TYPE_INT64);
  c = std::move(a);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(static_cast<const int32_t*>(c.data)[999], 999);

  KX::DataVector<int> v;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(v.push_back(i), 0);
  KX::DataVector<int> w(std::move(v));
  EXPECT_EQ(v.items, nullptr);
  EXPECT_EQ(w[299], 299);
}

}  // namespace
