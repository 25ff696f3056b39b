// The book map and the builder: merge order, snapshot rules, ordering errors, the stream run.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "quotelab/orderbook.h"

namespace {

constexpr int32_t kDate = 20240105;

_L2Order make_order(int64_t seq, char side, double price, uint32_t qty, int32_t t) {
  _L2Order o{};
  o.type = QL_RECORD_L2ORDER;
  o.seq_num = seq;
  o.bs_flag = side;
  o.order_type = '2';
  o.price = price;
  o.volume = qty;
  o.time = t;
  return o;
}

_L2Trade make_trade(int64_t bid, int64_t ask, double price, uint32_t qty, int32_t t) {
  _L2Trade r{};
  r.type = QL_RECORD_L2TRADE;
  r.bid_seq_num = bid;
  r.ask_seq_num = ask;
  r.price = price;
  r.volume = qty;
  r.time = t;
  return r;
}

// Bids of 100 at 10.00 numbered 1, 2, ...; trades of 100 at 10.00 between orders 7 and 8.
using Orders = std::vector<_L2Order>;
using Trades = std::vector<_L2Trade>;
Orders bids_at(std::initializer_list<int32_t> times) {
  Orders v;
  for (int32_t t : times) v.push_back(make_order(int64_t(v.size()) + 1, 'B', 10.0, 100, t));
  return v;
}
Trades trades_at(std::initializer_list<int32_t> times) {
  Trades v;
  for (int32_t t : times) v.push_back(make_trade(7, 8, 10.0, 100, t));
  return v;
}

class BuilderTest : public testing::Test {
 protected:
  void TearDown() override { orderbook_builder_release(builder_); }

  void make(const char* exchange, int32_t interval = 3000) {
    orderbook_builder_release(builder_);
    builder_ = orderbook_builder_create(exchange, "600000", interval);
    orderbook_builder_set_callback(builder_, keep, &snaps_);
  }
  static int keep(orderbook_builder*, const _L2Snapshot* s, void* user) {
    static_cast<std::vector<_L2Snapshot>*>(user)->push_back(*s);
    return 0;
  }
  int32_t run2(const Orders& orders, const Trades& trades) {
    snaps_.clear();
    return orderbook_builder_run2(builder_, kDate, orders.data(), int32_t(orders.size()),
                                  trades.data(), int32_t(trades.size()));
  }
  int32_t run3(std::vector<const void*> stream) {
    snaps_.clear();
    return orderbook_builder_run3(builder_, kDate, stream.data(), int32_t(stream.size()));
  }
  std::vector<int32_t> times() const {
    std::vector<int32_t> t;
    for (const _L2Snapshot& s : snaps_) t.push_back(s.time);
    return t;
  }

  orderbook_builder* builder_ = nullptr;
  std::vector<_L2Snapshot> snaps_;  // of the last run
};

// Exactly one interval, or exactly 5000 ms in the auction, is not more than it: no snapshot.
// A negative interval is exceeded even by events at one time, each of which then emits; an
// interval up to 10 means three seconds at create, but the setter stores it.
TEST_F(BuilderTest, SnapshotTimesFollowTheAuctionOpeningIntervalAndFinalRules) {
  const struct {
    Orders orders;
    Trades trades;
    std::vector<int32_t> times;
    int32_t interval = 3000, set_interval = 0;
  } cases[] = {
      // None between the match and the open.
      {bids_at({92400000, 92500000, 92600000, 92900000}), {}, {92900000}},
      // Only trades: the final snapshot.
      {{}, trades_at({92500000, 92500000}), {92500000}},
      // Trades after the last order still get interval snapshots.
      {bids_at({100000000}),
       trades_at({100000500, 100005000, 100010000}),
       {0, 100000500, 100005000, 100010000, 100010000}},
      // Auction snapshots every five seconds, strictly exceeded.
      {bids_at({91500000, 91503000, 91506000, 91509000}), {}, {91503000, 91509000, 91509000}},
      {bids_at({91500000, 91505000, 91510000, 91510001}), {}, {91505000, 91510001, 91510001}},
      {bids_at({92900000, 100000000, 100003000, 100003001, 100006001}),
       {},
       {92900000, 100000000, 100003001, 100006001}},
      {bids_at({100000000, 100000000, 100000000}),
       {},
       {0, 100000000, 100000000, 100000000},
       3000,
       -1},
      // Opening (09:29 is its base), 10:00:00 (far past it), 10:00:03.001, final.
      {bids_at({92900000, 100000000, 100003000, 100003001}),
       {},
       {92900000, 100000000, 100003001, 100003001},
       10},
      {bids_at({92900000, 100000000, 100000006, 100000012}),
       {},
       {92900000, 100000000, 100000006, 100000012, 100000012},
       10,
       5},
      // The opening snapshot comes after the match, before the first continuous order.
      {{make_order(1, 'B', 10.0, 300, 92000000), make_order(2, 'S', 10.0, 100, 92000000),
        make_order(3, 'B', 9.9, 100, 93000000)},
       {make_trade(1, 2, 10.0, 100, 92500000)},
       {92000000, 92500000, 93000000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    make("SZ", c.interval);
    if (c.set_interval != 0) orderbook_builder_set_interval_ms(builder_, c.set_interval);
    EXPECT_EQ(run2(c.orders, c.trades), static_cast<int32_t>(c.times.size()));
    EXPECT_EQ(times(), c.times);
  }
  EXPECT_EQ(snaps_[1].bid_volume[0], 200);  // the opening snapshot shows the match
  EXPECT_EQ(snaps_[1].bid_volume[1], 0);    // and not order 3
}

// run's base is the first event; 5000 ms is not more than an interval of 5000.
TEST_F(BuilderTest, RunMergesParallelArraysWithTheIntervalRule) {
  make("SZ", 5000);
  int64_t seq[] = {1, 2, 3, 4};
  int32_t type[] = {'2', '2', '2', '2'}, side[] = {'B', 'B', 'S', 'S'};
  int32_t qty[] = {100, 100, 100, 100}, time[] = {100000000, 100005000, 100005001, 100005002};
  double price[] = {10.0, 10.0, 10.5, 10.5};
  ASSERT_EQ(orderbook_builder_set_l2orders(builder_, 4, seq, type, side, price, qty, time), 0);
  ASSERT_EQ(orderbook_builder_set_l2trades(builder_, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr),
            0);
  EXPECT_EQ(orderbook_builder_run(builder_, kDate), 1);
  EXPECT_EQ(times(), (std::vector<int32_t>{100005001}));
  EXPECT_EQ(orderbook_builder_set_l2orders(builder_, 1, seq, nullptr, side, price, qty, time),
            ORDERBOOK_ERROR);
}

// Ordering errors are reported and the rest is fed, without interval snapshots.
TEST_F(BuilderTest, BackwardEventsAreNamedAndTheRestIsStillFed) {
  make("SZ");
  testing::internal::CaptureStderr();
  EXPECT_EQ(
      run2({make_order(1, 'B', 10.00, 100, 100000000), make_order(2, 'B', 9.99, 100, 100010000)},
           {make_trade(5, 6, 10.0, 10, 100005000), make_trade(5, 6, 10.0, 10, 100002000)}),
      3);
  EXPECT_EQ(snaps_.back().bid_volume[1], 100);  // order 2 was still fed
  EXPECT_EQ(run2(bids_at({100005000, 100001000, 100009000}), {}), 2);
  EXPECT_EQ(snaps_.back().bid_volume[0], 200);  // 2 refused by the book, 3 fed
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run2: ERROR l2trade idx=1 prev_time=100005000, "
            "curr_time=100002000\n"
            "orderbook_builder_run2: ERROR l2order 2 prev_time=100005000, curr_time=100001000\n");
}

// The differential test runs whole days through run2 and run3; here, what a stream may hold
// besides orders and trades (nulls and other records are skipped), and a day fed record by
// record emits what run3 emits over the same stream; runs wait for its end, and feeding needs a
// begun day.
TEST_F(BuilderTest, RecordByRecordDayEmitsWhatRun3EmitsSkippingOtherRecords) {
  make("SSE");
  _L2Order passive = make_order(3, 'S', 10.0, 100, 92000000);
  _L2Order late = make_order(5, 'B', 9.9, 300, 93000500);
  _L2Trade taken = make_trade(4, 3, 10.0, 100, 100000000);
  _L2Order unknown_cancel = make_order(99, 'S', 10.0, 100, 100000000);
  unknown_cancel.order_type = 'D';
  _L2Snapshot other{};
  other.type = QL_RECORD_L2SNAPSHOT;
  const std::vector<const void*> stream = {&passive, &late, &taken, &unknown_cancel};
  const int32_t emitted = run3({&passive, nullptr, &late, &other, &taken, &unknown_cancel});
  const std::vector<_L2Snapshot> by_run3 = snaps_;
  EXPECT_EQ(by_run3.back().ask_volume[0], 0);
  EXPECT_EQ(by_run3.back().volume, 100);

  snaps_.clear();
  EXPECT_EQ(orderbook_builder_feed(builder_, &passive), ORDERBOOK_ERROR);  // no day begun
  ASSERT_EQ(orderbook_builder_begin(builder_, kDate), ORDERBOOK_OK);
  EXPECT_EQ(orderbook_builder_begin(builder_, kDate), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, stream.data(), 4), ORDERBOOK_ERROR);
  std::vector<int32_t> results;
  for (const void* rec : stream) results.push_back(orderbook_builder_feed(builder_, rec));
  EXPECT_LT(results.back(), 0);  // the book refuses a cancel of an order it never saw
  EXPECT_EQ(orderbook_builder_feed(builder_, nullptr), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_finish(builder_), emitted);
  EXPECT_EQ(orderbook_builder_finish(builder_), ORDERBOOK_ERROR);
  ASSERT_EQ(snaps_.size(), by_run3.size());
  EXPECT_EQ(std::memcmp(snaps_.data(), by_run3.data(), snaps_.size() * sizeof(_L2Snapshot)), 0);
  // A builder released in the middle of a day frees it (checked by the sanitizers).
  ASSERT_EQ(orderbook_builder_begin(builder_, kDate), ORDERBOOK_OK);
  orderbook_builder_feed(builder_, &passive);
}

TEST_F(BuilderTest, MissingBookAndBadArraysAreRefused) {
  builder_ = orderbook_builder_create("SZ", nullptr, 3000);
  ASSERT_NE(builder_, nullptr);
  EXPECT_EQ(orderbook_builder_get(builder_), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, nullptr, 0, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run2: orderbook engine is null\n");

  make("SZ");
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, nullptr, 3, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, nullptr, 2), ORDERBOOK_ERROR);
}

// The callbacks run inside the run with the book busy: they read the builder and its book but
// cannot start another run, release either, or change or reset the book.
TEST_F(BuilderTest, CallbacksCannotReenterReleaseOrChangeTheBook) {
  make("SZ");
  static int32_t nested = 0, from_snapshot = 0;
  orderbook_builder_set_callback(
      builder_,
      [](orderbook_builder* b, const _L2Snapshot*, void*) {
        orderbook* book = orderbook_builder_get(b);
        nested = orderbook_builder_run2(b, kDate, nullptr, 0, nullptr, 0);
        from_snapshot = orderbook_on_l2order(book, 99, '2', 'B', 9.0, 1, 100000000);
        orderbook_reset(book, kDate);
        orderbook_release(book);
        orderbook_builder_release(b);
        return 0;
      },
      nullptr);
  orderbook_set_exec_callback(
      orderbook_builder_get(builder_),
      [](orderbook* book, int64_t, int32_t, int32_t, double, int32_t, void*) {
        orderbook_reset(book, kDate);  // would free the pool under the event loop
        return 0;
      },
      nullptr);
  // Own order -5 rests and is hit: the exec callback fires inside the run.
  Orders orders = {make_order(-5, 'S', 10.0, 100, 100000000),
                   make_order(2, 'B', 10.0, 40, 100000000), make_order(3, 'B', 9.9, 10, 100010000)};
  EXPECT_EQ(run2(orders, {}), 4);
  EXPECT_EQ(nested, ORDERBOOK_ERROR);
  EXPECT_EQ(from_snapshot, ORDERBOOK_ERROR);
  const _L2Snapshot* s = orderbook_snapshot(orderbook_builder_get(builder_));
  EXPECT_EQ(s->ask_volume[0], 60);
  EXPECT_EQ(s->bid_volume[0], 10);
  orderbook_release(orderbook_builder_get(builder_));  // the builder's: not released here either
  EXPECT_EQ(run2(orders, {}), 4);
}

// The closing match is many trades at 15:00:00.000: no snapshot may show it half applied.
TEST_F(BuilderTest, NoIntervalSnapshotWhileTheClosingMatchIsApplied) {
  make("SSE");
  Orders orders = {make_order(1, 'B', 10.0, 300, 145800000),
                   make_order(2, 'S', 10.0, 100, 145800000),
                   make_order(3, 'S', 10.0, 200, 145900000)};
  Trades trades = {make_trade(1, 2, 10.0, 100, 150000000), make_trade(1, 3, 10.0, 200, 150000000)};
  // Opening (before the first order), the second order, 14:59, the final one; not the first
  // trade of the match.
  EXPECT_EQ(run2(orders, trades), 4);
  EXPECT_EQ(times(), (std::vector<int32_t>{0, 145800000, 145900000, 150000000}));
  EXPECT_EQ(snaps_.back().num_trades, 2);
  EXPECT_EQ(snaps_.back().bid_volume[0], 0);
}

TEST_F(BuilderTest, ScheduleSetterRefusesBadSchedulesAndKeepsTheOld) {
  make("SZ");
  const int32_t counts[] = {0, 2, 1};
  EXPECT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_GRID, 1000, nullptr, 0), 0);
  EXPECT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_GRID, 0, nullptr, 0),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_TRADES, 0, counts, 3),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_TRADES, 0, nullptr, 1),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_schedule(builder_, 7, 0, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_schedule(nullptr, 0, 0, nullptr, 0), ORDERBOOK_ERROR);
  // Still the grid: one snapshot per second that has events, stamped with its grid point.
  EXPECT_EQ(run2(bids_at({100000000, 100000400, 100001000, 100005500}), {}), 3);
  EXPECT_EQ(times(), (std::vector<int32_t>{100000000, 100001000, 100006000}));
}

// ---- schedules against the simulator's true book ---------------------------------------------

using qlsim::BookTruth;

// The first difference between a snapshot's ten levels a side (and trade count) and the truth.
std::string level_difference(const _L2Snapshot& s, const BookTruth& truth) {
  for (int side = 0; side < 2; ++side) {
    const auto& levels = side == 0 ? truth.bids : truth.asks;
    const double* price = side == 0 ? s.bid_price : s.ask_price;
    const int32_t* volume = side == 0 ? s.bid_volume : s.ask_volume;
    for (size_t i = 0; i < 10; ++i) {
      const double p = i < levels.size() ? levels[i].px / 1000.0 : 0.0;
      const int64_t q = i < levels.size() ? levels[i].quantity : 0;
      if (price[i] != p || volume[i] != q) {
        return std::string(side == 0 ? "bid " : "ask ") + std::to_string(i + 1) + ": " +
               std::to_string(price[i]) + " x " + std::to_string(volume[i]) + ", truth " +
               std::to_string(p) + " x " + std::to_string(q);
      }
    }
  }
  if (s.num_trades != truth.num_trades) return "trades " + std::to_string(s.num_trades);
  return "";
}

class ScheduleTest : public BuilderTest, public testing::WithParamInterface<qlsim::Style> {
 protected:
  void SetUp() override {
    qlsim::Config config;
    config.style = GetParam();
    config.seed = 11;
    config.orders = 6000;
    config.record_truth = true;
    config.distinct_group_times = true;
    day_ = qlsim::simulate_day(config);
    make(GetParam() == qlsim::Style::Shanghai ? "SSE" : "SZSE");
  }
  int32_t run_day() { return run3(day_.sequence); }
  static int32_t time_of(const void* rec) {
    return *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER
               ? static_cast<const _L2Order*>(rec)->time
               : static_cast<const _L2Trade*>(rec)->time;
  }
  qlsim::Day day_;
};

INSTANTIATE_TEST_SUITE_P(ShenzhenThenShanghai, ScheduleTest,
                         testing::Values(qlsim::Style::Shenzhen, qlsim::Style::Shanghai));

TEST_P(ScheduleTest, EveryEventScheduleShowsTheTrueBookAfterEveryGroup) {
  ASSERT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_EVENTS, 0, nullptr, 0), 0);
  ASSERT_EQ(run_day(), static_cast<int32_t>(day_.sequence.size()));
  for (const BookTruth& truth : day_.truths) {
    ASSERT_EQ(level_difference(snaps_[truth.fed - 1], truth), "") << "after " << truth.fed;
    ASSERT_EQ(snaps_[truth.fed - 1].time, truth.time);
  }
}

TEST_P(ScheduleTest, GridScheduleShowsTheTrueBookAsOfEachGridPointWithEvents) {
  for (int32_t grid : {3000, 1000, 7}) {
    ASSERT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_GRID, grid, nullptr, 0),
              0);
    run_day();
    std::vector<int32_t> points;  // grid points that follow events, in order
    for (const void* rec : day_.sequence) {
      const int32_t ms = time2msec(time_of(rec));
      const int32_t point = msec2time((ms + grid - 1) / grid * grid);
      if (points.empty() || points.back() != point) points.push_back(point);
    }
    ASSERT_EQ(times(), points) << "grid " << grid;
    size_t g = 0;
    for (const _L2Snapshot& s : snaps_) {
      while (g + 1 < day_.truths.size() && day_.truths[g + 1].time <= s.time) ++g;
      ASSERT_EQ(level_difference(s, day_.truths[g]), "") << "grid " << grid << " at " << s.time;
    }
  }
}

TEST_P(ScheduleTest, TradeCountScheduleShowsTheTrueBookOnceEachCountIsReached) {
  // 0 (the auction book before the match), then counts groups end at, one of them twice.
  std::vector<int32_t> counts = {0};
  for (size_t g = 0; g < day_.truths.size(); g += 37) {
    if (day_.truths[g].num_trades > counts.back()) counts.push_back(day_.truths[g].num_trades);
  }
  counts.push_back(counts.back());
  counts.push_back(day_.truths.back().num_trades + 5);  // never reached: the end of the day
  ASSERT_EQ(orderbook_builder_set_schedule(builder_, ORDERBOOK_SCHEDULE_TRADES, 0, counts.data(),
                                           int32_t(counts.size())),
            0);
  ASSERT_EQ(run_day(), static_cast<int32_t>(counts.size()));
  for (size_t k = 0; k < counts.size(); ++k) {
    const BookTruth* expected = &day_.truths.back();
    if (counts[k] == 0) {
      for (const BookTruth& t : day_.truths) {
        if (t.num_trades == 0) expected = &t;
      }
    } else {
      for (const BookTruth& t : day_.truths) {
        if (t.num_trades == counts[k]) {
          expected = &t;
          break;
        }
      }
    }
    ASSERT_EQ(level_difference(snaps_[k], *expected), "") << "count " << counts[k];
  }
}

// ---- the map ---------------------------------------------------------------------------------

class MapTest : public testing::Test {
 protected:
  void TearDown() override { orderbook_map_release(map_); }
  orderbook* add(const char* exchange, const char* symbol) {
    orderbook* b = orderbook_create(exchange, symbol, 0, 0);
    EXPECT_EQ(orderbook_map_insert(map_, b), 0) << symbol;
    return b;
  }
  orderbook_map* map_ = orderbook_map_create();
};

// Option codes share their first six characters, hence the table key: every lookup still
// compares the exchange and the whole symbol, so each is held and found on its own.
TEST_F(MapTest, SymbolsSharingTheKeyAreAllHeldAndFoundByExchangeAndSymbol) {
  orderbook* call = add("CFE", "IO2306-C-3500");
  orderbook* put = add("CFE", "IO2306-P-3500");
  orderbook* month = add("CFE", "IO2306");
  orderbook* sz = add("SZSE", "IO2306");
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3500"), call);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306"), month);
  EXPECT_EQ(orderbook_map_get(map_, 2, "IO2306"), sz);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3600"), nullptr);
  EXPECT_EQ(orderbook_map_remove(map_, 0, "IO2306-C-3600"), nullptr);
  EXPECT_EQ(orderbook_map_remove(map_, 0, "IO2306-P-3500"), put);
  orderbook_release(put);  // the caller's now
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3500"), call);
  EXPECT_EQ(orderbook_map_clear(map_), 3);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306"), nullptr);
}

TEST_F(MapTest, InsertRefusals) {
  orderbook* first = add("SH", "600000");
  orderbook* again = orderbook_create("SH", "600000", 0, 0);
  EXPECT_EQ(orderbook_map_insert(map_, again), ORDERBOOK_MAP_PRESENT);
  orderbook_release(again);
  orderbook_map* other = orderbook_map_create();
  EXPECT_EQ(orderbook_map_insert(other, first), ORDERBOOK_ERROR);  // held by map_
  orderbook_map_release(other);
  orderbook* cut = orderbook_create("SH", std::string(64, 'A').c_str(), 0, 0);
  EXPECT_EQ(orderbook_map_insert(map_, cut), ORDERBOOK_ERROR);
  orderbook_release(cut);
  EXPECT_EQ(orderbook_map_insert(map_, nullptr), ORDERBOOK_ERROR);
  orderbook_release(first);  // held by the map: nothing happens
  EXPECT_EQ(orderbook_map_get(map_, 1, "600000"), first);
}

// A Shenzhen own-side-best order takes its side's best price as it enters; with its side empty
// it is refused (and said so) and the run goes on. run2 and the record-by-record feed (run3,
// begin/feed/finish) price it alike.
TEST(OrderbookBuilderOwnSideBest, RestsAtItsSideBestOrIsRefusedWhenTheSideIsEmpty) {
  std::vector<_L2Order> orders = {
      make_order(1, 'B', 10.00, 100, 91500000), make_order(2, 'B', 9.99, 100, 91500010),
      make_order(3, 'B', 0, 300, 91500020), make_order(4, 'S', 0, 300, 91500030)};
  orders[2].order_type = 'U';
  orders[3].order_type = 'U';
  for (const bool streamed : {false, true}) {
    orderbook_builder* b = orderbook_builder_create("SZ", "000001", 3000);
    ASSERT_NE(b, nullptr);
    testing::internal::CaptureStderr();
    if (streamed) {
      ASSERT_EQ(orderbook_builder_begin(b, kDate), 0);
      std::vector<int32_t> results;
      for (const _L2Order& o : orders) results.push_back(orderbook_builder_feed(b, &o));
      EXPECT_GE(results[2], 0);
      EXPECT_EQ(results[3], ORDERBOOK_NO_PRICE);
    } else {
      ASSERT_GT(orderbook_builder_run2(b, kDate, orders.data(), 4, nullptr, 0), 0);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    int64_t qty = 0;
    double price = 0;
    ASSERT_TRUE(orderbook_get_price_qty(orderbook_builder_get(b), -1, &qty, &price)) << streamed;
    EXPECT_EQ(price, 10.00) << streamed;
    EXPECT_EQ(qty, 400) << streamed;
    EXPECT_FALSE(orderbook_get_price_qty(orderbook_builder_get(b), 1, &qty, &price));
    EXPECT_NE(err.find("own-side best order 4 at 91500030 refused: no ask"), std::string::npos)
        << err;
    if (streamed) orderbook_builder_finish(b);
    orderbook_builder_release(b);
  }
}

}  // namespace
