// The book map and the builder: merge order, snapshot rules, ordering errors, the stream run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quotelab/orderbook.h"

namespace {

constexpr int32_t kDate = 20240105;

_L2Order make_order(int64_t seq, char side, double price, uint32_t qty, int32_t t,
                    char type = '2') {
  _L2Order o;
  std::memset(&o, 0, sizeof o);
  o.type = QL_RECORD_L2ORDER;
  o.seq_num = seq;
  o.bs_flag = side;
  o.order_type = type;
  o.price = price;
  o.volume = qty;
  o.time = t;
  return o;
}

_L2Trade make_trade(int64_t bid, int64_t ask, double price, uint32_t qty, int32_t t) {
  _L2Trade r;
  std::memset(&r, 0, sizeof r);
  r.type = QL_RECORD_L2TRADE;
  r.bid_seq_num = bid;
  r.ask_seq_num = ask;
  r.price = price;
  r.volume = qty;
  r.time = t;
  return r;
}

class BuilderTest : public testing::Test {
 protected:
  void TearDown() override { orderbook_builder_release(builder_); }

  orderbook_builder* make(const char* exchange, int32_t interval = 3000) {
    builder_ = orderbook_builder_create(exchange, "600000", interval);
    orderbook_builder_set_callback(builder_, keep, &snaps_);
    return builder_;
  }
  static int keep(orderbook_builder*, const _L2Snapshot* s, void* user) {
    static_cast<std::vector<_L2Snapshot>*>(user)->push_back(*s);
    return 0;
  }
  int32_t run2(const std::vector<_L2Order>& orders, const std::vector<_L2Trade>& trades) {
    snaps_.clear();
    return orderbook_builder_run2(builder_, kDate, orders.data(),
                                  static_cast<int32_t>(orders.size()), trades.data(),
                                  static_cast<int32_t>(trades.size()));
  }
  std::vector<int32_t> snapshot_times() const {
    std::vector<int32_t> t;
    for (const _L2Snapshot& s : snaps_) t.push_back(s.time);
    return t;
  }
  orderbook* book() { return orderbook_builder_get(builder_); }

  orderbook_builder* builder_ = nullptr;
  std::vector<_L2Snapshot> snaps_;
};

// ---- snapshot rules of run2 ------------------------------------------------------------------

TEST_F(BuilderTest, AuctionSnapshotsComeEveryFiveSeconds) {
  make("SZ");
  std::vector<_L2Order> orders = {
      make_order(1, 'B', 10.0, 100, 91500000), make_order(2, 'B', 10.0, 100, 91503000),
      make_order(3, 'B', 10.0, 100, 91506000), make_order(4, 'B', 10.0, 100, 91509000)};
  EXPECT_EQ(run2(orders, {}), 3);
  EXPECT_EQ(snapshot_times(), (std::vector<int32_t>{91503000, 91509000, 91509000}));
  EXPECT_EQ(snaps_[0].bid_volume[0], 200);
  EXPECT_EQ(snaps_[2].bid_volume[0], 400);
  EXPECT_EQ(snaps_[0].action_day, kDate);
  EXPECT_EQ(snaps_[0].trading_day, 0);
}

TEST_F(BuilderTest, OpeningSnapshotShowsTheAuctionResult) {
  make("SZ");
  std::vector<_L2Order> orders = {make_order(1, 'B', 10.0, 300, 92000000),
                                  make_order(2, 'S', 10.0, 100, 92000000),
                                  make_order(3, 'B', 9.9, 100, 93000000)};
  std::vector<_L2Trade> trades = {make_trade(1, 2, 10.0, 100, 92500000)};
  EXPECT_EQ(run2(orders, trades), 3);
  EXPECT_EQ(snapshot_times(), (std::vector<int32_t>{92000000, 92500000, 93000000}));
  EXPECT_EQ(snaps_[1].bid_volume[0], 200);  // the opening snapshot: after the match
  EXPECT_EQ(snaps_[1].bid_volume[1], 0);    // order 3 is not in it yet
  EXPECT_EQ(snaps_[1].volume, 100);
  EXPECT_EQ(snaps_[2].bid_volume[1], 100);
}

TEST_F(BuilderTest, NoIntervalSnapshotsBetweenTheMatchAndTheOpen) {
  make("SZ");
  std::vector<_L2Order> orders = {
      make_order(1, 'B', 10.0, 100, 92400000), make_order(2, 'B', 10.0, 100, 92500000),
      make_order(3, 'B', 10.0, 100, 92600000), make_order(4, 'B', 10.0, 100, 92900000)};
  EXPECT_EQ(run2(orders, {}), 1);
}

TEST_F(BuilderTest, IntervalDefaultsToThreeSecondsAndSetterStoresAnyValue) {
  for (int32_t interval : {0, 10}) {
    make("SZ", interval);
    // 09:29 sets the base of the opening snapshot; 10:00:00 is far past it.
    std::vector<_L2Order> orders = {
        make_order(1, 'B', 10.0, 100, 92900000), make_order(2, 'B', 10.0, 100, 100000000),
        make_order(3, 'B', 10.0, 100, 100003000), make_order(4, 'B', 10.0, 100, 100003001)};
    EXPECT_EQ(run2(orders, {}), 4) << interval;  // opening, 10:00:00, 10:00:03.001, final
    orderbook_builder_set_interval_ms(builder_, 5);
    orders = {make_order(1, 'B', 10.0, 100, 92900000), make_order(2, 'B', 10.0, 100, 100000000),
              make_order(3, 'B', 10.0, 100, 100000006), make_order(4, 'B', 10.0, 100, 100000012)};
    EXPECT_EQ(run2(orders, {}), 5);
    orderbook_builder_release(builder_);
    builder_ = nullptr;
  }
}

TEST_F(BuilderTest, OnlyTradesGiveTheFinalSnapshot) {
  make("SZ");
  std::vector<_L2Trade> trades = {make_trade(1, 2, 10.0, 100, 92500000),
                                  make_trade(3, 4, 10.0, 100, 92500000)};
  EXPECT_EQ(run2({}, trades), 1);
  EXPECT_EQ(snaps_[0].volume, 200);
}

// Once one input is used up the other still gets its interval snapshots.
TEST_F(BuilderTest, TradesAfterTheLastOrderStillGetIntervalSnapshots) {
  make("SZ");
  std::vector<_L2Order> orders = {make_order(1, 'B', 10.0, 100, 100000000)};
  std::vector<_L2Trade> trades = {make_trade(7, 8, 10.0, 100, 100000500),
                                  make_trade(7, 8, 10.0, 100, 100005000),
                                  make_trade(7, 8, 10.0, 100, 100010000)};
  EXPECT_EQ(run2(orders, trades), 5);
  EXPECT_EQ(snapshot_times(),
            (std::vector<int32_t>{0, 100000500, 100005000, 100010000, 100010000}));
}

// ---- merge order -----------------------------------------------------------------------------

TEST_F(BuilderTest, ShenzhenTakesTheOrderFirstAtEqualTimes) {
  make("SZ");
  std::vector<_L2Order> orders = {make_order(5, 'S', 10.0, 100, 100000000)};
  std::vector<_L2Trade> trades = {make_trade(0, 5, 0.0, 100, 100000000)};  // its cancellation
  run2(orders, trades);
  EXPECT_EQ(snaps_.back().ask_volume[0], 0);
}

// A Shanghai aggressor's trades come before its resting remainder at the same time; taking the
// remainder first would cross it against the book and execute the quantity twice.
TEST_F(BuilderTest, ShanghaiTakesTheTradeFirstAtEqualTimes) {
  make("SSE");
  std::vector<_L2Order> orders = {make_order(1, 'S', 10.0, 100, 95959000),
                                  make_order(2, 'B', 10.0, 50, 100000000)};
  std::vector<_L2Trade> trades = {make_trade(2, 1, 10.0, 100, 100000000)};
  run2(orders, trades);
  const _L2Snapshot& s = snaps_.back();
  EXPECT_EQ(s.ask_volume[0], 0);
  EXPECT_EQ(s.bid_volume[0], 50);
  EXPECT_EQ(s.bid_price[0], 10.0);
}

TEST_F(BuilderTest, RunMergesParallelArraysWithTheIntervalRule) {
  make("SZ");
  int64_t seq[] = {1, 2, 3, 4};
  int32_t type[] = {'2', '2', '2', '2'};
  int32_t side[] = {'B', 'B', 'S', 'S'};
  double price[] = {10.0, 10.0, 10.5, 10.5};
  int32_t qty[] = {100, 100, 100, 100};
  int32_t time[] = {100000000, 100001000, 100003500, 100005000};
  ASSERT_EQ(orderbook_builder_set_l2orders(builder_, 4, seq, type, side, price, qty, time), 0);
  ASSERT_EQ(orderbook_builder_set_l2trades(builder_, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr),
            0);
  EXPECT_EQ(orderbook_builder_run(builder_, kDate), 1);
  EXPECT_EQ(snapshot_times(), (std::vector<int32_t>{100003500}));
  EXPECT_EQ(orderbook_builder_set_l2orders(builder_, 1, seq, nullptr, side, price, qty, time),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_l2trades(builder_, -1, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr),
            ORDERBOOK_ERROR);
}

// ---- ordering errors -------------------------------------------------------------------------

TEST_F(BuilderTest, BackwardTradeStopsSnapshotsButNotFeeding) {
  make("SZ");
  std::vector<_L2Order> orders = {make_order(1, 'B', 10.00, 100, 100000000),
                                  make_order(2, 'B', 9.99, 100, 100010000)};
  std::vector<_L2Trade> trades = {make_trade(5, 6, 10.0, 10, 100005000),
                                  make_trade(5, 6, 10.0, 10, 100002000)};
  testing::internal::CaptureStderr();
  EXPECT_EQ(run2(orders, trades), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run2: ERROR l2trade idx=1 prev_time=100005000, "
            "curr_time=100002000\n");
  EXPECT_EQ(snaps_.back().bid_volume[1], 100);  // order 2 was still fed
}

TEST_F(BuilderTest, BackwardOrderIsNamedByItsCount) {
  make("SZ");
  std::vector<_L2Order> orders = {make_order(1, 'B', 10.0, 100, 100005000),
                                  make_order(2, 'B', 10.0, 100, 100001000),
                                  make_order(3, 'B', 10.0, 100, 100009000)};
  testing::internal::CaptureStderr();
  EXPECT_EQ(run2(orders, {}), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run2: ERROR l2order 2 prev_time=100005000, curr_time=100001000\n");
  EXPECT_EQ(snaps_.back().bid_volume[0], 200);  // 2 refused by the book, 3 fed
}

// ---- run3: the exchange's own sequence -------------------------------------------------------

TEST_F(BuilderTest, StreamKeepsTheExchangeSequenceAtEqualTimes) {
  make("SSE");
  // A passive sell rests, then a buyer takes it, all within one 10 ms tick.
  _L2Order passive = make_order(3, 'S', 10.0, 100, 100000000);
  _L2Trade taken = make_trade(4, 3, 10.0, 100, 100000000);
  _L2Snapshot other;
  std::memset(&other, 0, sizeof other);
  other.type = QL_RECORD_L2SNAPSHOT;
  const void* stream[] = {&passive, nullptr, &other, &taken};
  // The opening snapshot, one at the trade (its base is the empty morning) and the final one.
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, stream, 4), 3);
  EXPECT_EQ(snaps_.back().ask_volume[0], 0);
  EXPECT_EQ(snaps_.back().volume, 100);
  // A merge by time takes the trade first and leaves the sell resting.
  run2({passive}, {taken});
  EXPECT_EQ(snaps_.back().ask_volume[0], 100);
}

TEST_F(BuilderTest, StreamReportsBackwardEventsAndFeedsTheRest) {
  make("SZ");
  _L2Order a = make_order(1, 'B', 10.0, 100, 92000000);
  _L2Trade t0 = make_trade(7, 8, 11.0, 5, 92001000);  // priced to match no resting order
  _L2Trade t1 = make_trade(7, 8, 11.0, 5, 91000000);
  _L2Order b = make_order(2, 'B', 10.0, 100, 100000000);
  const void* stream[] = {&a, &t0, &t1, &b};
  testing::internal::CaptureStderr();
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, stream, 4), 2);  // at t0, final
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run3: ERROR l2trade idx=1 prev_time=92001000, "
            "curr_time=91000000\n");
  EXPECT_EQ(snaps_.back().bid_volume[0], 200);
}

// ---- refusals --------------------------------------------------------------------------------

TEST_F(BuilderTest, BuilderWithoutBookRefusesToRun) {
  builder_ = orderbook_builder_create("SZ", nullptr, 3000);
  ASSERT_NE(builder_, nullptr);
  EXPECT_EQ(orderbook_builder_get(builder_), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orderbook_builder_run(builder_, kDate), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, nullptr, 0, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_builder_run: orderbook engine is null\n"
            "orderbook_builder_run2: orderbook engine is null\n"
            "orderbook_builder_run3: orderbook engine is null\n");
  EXPECT_EQ(orderbook_builder_run2(nullptr, kDate, nullptr, 0, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_get(nullptr), nullptr);
}

TEST_F(BuilderTest, BadArraysAreRefused) {
  make("SZ");
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, nullptr, 3, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, nullptr, -1, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, nullptr, 2), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(builder_, kDate, nullptr, 0), 1);
}

// The callback runs inside the run: it cannot start another run or release the builder or
// its book.
TEST_F(BuilderTest, CallbackCannotReenterOrRelease) {
  make("SZ");
  static int32_t nested = 0;
  orderbook_builder_set_callback(
      builder_,
      [](orderbook_builder* b, const _L2Snapshot*, void*) {
        nested = orderbook_builder_run2(b, kDate, nullptr, 0, nullptr, 0);
        orderbook_release(orderbook_builder_get(b));
        orderbook_builder_release(b);
        return 0;
      },
      nullptr);
  std::vector<_L2Order> orders = {make_order(1, 'B', 10.0, 100, 100000000)};
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, orders.data(), 1, nullptr, 0), 2);
  EXPECT_EQ(nested, ORDERBOOK_ERROR);
  orderbook_release(book());  // the builder's: not released here either
  EXPECT_EQ(orderbook_builder_run2(builder_, kDate, orders.data(), 1, nullptr, 0), 2);
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

TEST_F(MapTest, NewMapIsEmpty) {
  EXPECT_EQ(orderbook_map_count(map_), 0);
  EXPECT_EQ(orderbook_map_get(map_, 1, "600000"), nullptr);
  EXPECT_EQ(orderbook_map_remove(map_, 1, "600000"), nullptr);
}

TEST_F(MapTest, BooksAreFoundByExchangeAndSymbol) {
  orderbook* sh = add("SSE", "000001");
  orderbook* sz = add("SZSE", "000001");
  EXPECT_EQ(orderbook_map_get(map_, 1, "000001"), sh);
  EXPECT_EQ(orderbook_map_get(map_, 2, "000001"), sz);
  EXPECT_EQ(orderbook_map_get(map_, 2, "00000"), nullptr);
  EXPECT_EQ(orderbook_map_count(map_), 2);
  EXPECT_EQ(orderbook_map_remove(map_, 2, "000001"), sz);
  EXPECT_EQ(orderbook_map_get(map_, 2, "000001"), nullptr);
  EXPECT_EQ(orderbook_map_count(map_), 1);
  orderbook_release(sz);  // the caller's now
}

// Option codes share their first six characters, hence the table key: every lookup still
// compares the whole symbol, so each is held and found on its own.
TEST_F(MapTest, SymbolsSharingTheKeyAreAllHeld) {
  orderbook* call = add("CFE", "IO2306-C-3500");
  orderbook* put = add("CFE", "IO2306-P-3500");
  orderbook* month = add("CFE", "IO2306");
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3500"), call);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-P-3500"), put);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306"), month);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3600"), nullptr);
  EXPECT_EQ(orderbook_map_remove(map_, 0, "IO2306-C-3600"), nullptr);
  EXPECT_EQ(orderbook_map_remove(map_, 0, "IO2306-P-3500"), put);
  orderbook_release(put);
  EXPECT_EQ(orderbook_map_remove(map_, 0, "IO2306-C-3500"), call);
  orderbook_release(call);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306"), month);
  EXPECT_EQ(orderbook_map_count(map_), 1);
}

TEST_F(MapTest, InsertRefusals) {
  orderbook* first = add("SH", "600000");
  orderbook* again = orderbook_create("SH", "600000", 0, 0);
  EXPECT_EQ(orderbook_map_insert(map_, again), ORDERBOOK_MAP_PRESENT);
  orderbook_release(again);
  orderbook_map* other = orderbook_map_create();
  EXPECT_EQ(orderbook_map_insert(other, first), ORDERBOOK_ERROR);  // held by map_
  orderbook_map_release(other);
  std::string long_symbol(64, 'A');
  orderbook* cut = orderbook_create("SH", long_symbol.c_str(), 0, 0);
  EXPECT_EQ(orderbook_map_insert(map_, cut), ORDERBOOK_ERROR);
  orderbook_release(cut);
  EXPECT_EQ(orderbook_map_insert(map_, nullptr), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_map_insert(nullptr, first), ORDERBOOK_ERROR);
  orderbook_release(first);  // held by the map: nothing happens
  EXPECT_EQ(orderbook_map_get(map_, 1, "600000"), first);
}

TEST_F(MapTest, ClearReleasesEveryBook) {
  add("SH", "600000");
  add("SH", "600001");
  add("CFE", "IO2306-C-3500");
  add("CFE", "IO2306-P-3500");
  EXPECT_EQ(orderbook_map_clear(map_), 4);
  EXPECT_EQ(orderbook_map_count(map_), 0);
  EXPECT_EQ(orderbook_map_get(map_, 0, "IO2306-C-3500"), nullptr);
  add("SH", "600000");
}

TEST(MapNull, FunctionsAcceptNull) {
  orderbook_map_release(nullptr);
  EXPECT_EQ(orderbook_map_clear(nullptr), 0);
  EXPECT_EQ(orderbook_map_count(nullptr), 0);
  EXPECT_EQ(orderbook_map_get(nullptr, 1, "600000"), nullptr);
  EXPECT_EQ(orderbook_map_remove(nullptr, 1, "600000"), nullptr);
}

}  // namespace
