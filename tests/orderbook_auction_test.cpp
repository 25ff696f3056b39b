// The indicative call-auction match: hand-made books for each tie rule, and the simulator's own
// auction results on many simulated days.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "feed_sim.h"
#include "quotelab/orderbook.h"

namespace {

struct Rest {
  char side;
  double price;
  int32_t quantity;
};

using Result = std::tuple<double, int64_t, int64_t, int32_t>;

Result indicative(const char* exchange, const std::vector<Rest>& orders, double reference = 0) {
  orderbook* book = orderbook_create(exchange, "600000", 1, 0);
  orderbook_reset(book, 20240105);
  int64_t seq = 1;
  for (const Rest& r : orders) {
    orderbook_on_l2order(book, seq++, '2', r.side, r.price, r.quantity, 92000000);
  }
  orderbook_auction a;
  EXPECT_EQ(orderbook_auction_indicative(book, reference, &a), 0);
  orderbook_release(book);
  return {a.price, a.matched, a.unmatched, a.unmatched_side};
}

TEST(AuctionIndicativeTest, MostVolumeThenEachExchangesTieRule) {
  // The most volume at one price: 10.01 executes 300 (bids 500 at or above, asks 300 below).
  EXPECT_EQ(indicative(
                "SZ", {{'B', 10.02, 200}, {'B', 10.01, 300}, {'S', 10.00, 300}, {'S', 10.03, 100}}),
            Result(10.01, 300, 200, 'B'));
  // 300 executes anywhere from 10.00 to 10.02 with no surplus: Shanghai the middle, Shenzhen the
  // price nearest the reference, clamped into the range.
  const std::vector<Rest> flat = {{'B', 10.02, 300}, {'S', 10.00, 300}};
  EXPECT_EQ(indicative("SH", flat), Result(10.01, 300, 0, 0));
  EXPECT_EQ(indicative("SZ", flat, 9.50), Result(10.00, 300, 0, 0));
  EXPECT_EQ(indicative("SZ", flat, 10.015), Result(10.015, 300, 0, 0));
  // Shanghai: the least surplus first (10.00 leaves nothing over, 10.01 leaves 100 asks).
  EXPECT_EQ(indicative(
                "SH", {{'B', 10.01, 300}, {'S', 10.00, 200}, {'S', 10.01, 100}, {'S', 10.00, 100}}),
            Result(10.00, 300, 0, 0));
  // The middle of an even range rounds half up to the tick.
  EXPECT_EQ(indicative("SH", {{'B', 10.01, 300}, {'S', 10.00, 300}}), Result(10.01, 300, 0, 0));
  // Nothing crosses, or one side is empty: no match.
  EXPECT_EQ(indicative("SH", {{'B', 9.99, 300}, {'S', 10.00, 300}}), Result(0.0, 0, 0, 0));
  EXPECT_EQ(indicative("SZ", {{'B', 9.99, 300}}), Result(0.0, 0, 0, 0));
  orderbook_auction a;
  EXPECT_EQ(orderbook_auction_indicative(nullptr, 0, &a), ORDERBOOK_ERROR);
}

int32_t time_of(const void* rec) {
  return *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER
             ? static_cast<const _L2Order*>(rec)->time
             : static_cast<const _L2Trade*>(rec)->time;
}

void feed(orderbook* book, const void* rec) {
  if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER) {
    const auto* o = static_cast<const _L2Order*>(rec);
    orderbook_on_l2order(book, o->seq_num, o->order_type, o->bs_flag, o->price,
                         static_cast<int32_t>(o->volume), o->time);
  } else {
    const auto* t = static_cast<const _L2Trade*>(rec);
    orderbook_on_l2trade(book, t->seq_num, t->bid_seq_num, t->ask_seq_num, t->price,
                         static_cast<int32_t>(t->volume), t->time);
  }
}

// Quantity of one side at or through a price.
int64_t through(orderbook* book, int32_t side, double price) {
  int64_t sum = 0;
  for (orderbook_queue* q = orderbook_at(book, side == 'B' ? -1 : 1); q != nullptr;
       q = orderbook_queue_next(q)) {
    const double p = orderbook_queue_price(q);
    if (side == 'B' ? p < price - 1e-9 : p > price + 1e-9) break;
    sum += orderbook_queue_quantity(q);
  }
  return sum;
}

// Just before each match the indicative is the match the simulator made: its price, the volume
// its trades add up to, and the unmatched quantity the book keeps after it.
class AuctionDayTest : public testing::TestWithParam<std::tuple<qlsim::Style, int>> {};

TEST_P(AuctionDayTest, IndicativeEqualsTheSimulatorsMatchJustBeforeIt) {
  qlsim::Config config;
  config.style = std::get<0>(GetParam());
  config.seed = static_cast<uint64_t>(std::get<1>(GetParam()));
  config.orders = 3000;
  config.pre_close = 8.0 + config.seed % 5;
  const qlsim::Day day = qlsim::simulate_day(config);
  orderbook* book =
      orderbook_create(config.style == qlsim::Style::Shanghai ? "SSE" : "SZSE", "000001", 1, 0);
  orderbook_reset(book, config.date);
  orderbook_init_static_fields(book, config.date, config.pre_close, day.upper_limit,
                               day.lower_limit);
  size_t k = 0;
  for (int32_t match_time : {92500000, 150000000}) {
    for (; k < day.sequence.size() && time_of(day.sequence[k]) < match_time; ++k) {
      feed(book, day.sequence[k]);
    }
    orderbook_auction a;
    ASSERT_EQ(orderbook_auction_indicative(book, 0, &a), 0);
    double price = 0;
    int64_t volume = 0;
    for (; k < day.sequence.size() && time_of(day.sequence[k]) == match_time; ++k) {
      const void* rec = day.sequence[k];
      if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2TRADE) {
        price = static_cast<const _L2Trade*>(rec)->price;
        volume += static_cast<const _L2Trade*>(rec)->volume;
      }
      feed(book, rec);
    }
    SCOPED_TRACE(match_time);
    EXPECT_EQ(a.matched, volume);
    EXPECT_DOUBLE_EQ(a.price, price);
    const int64_t bids_left = through(book, 'B', price), asks_left = through(book, 'S', price);
    EXPECT_EQ(a.unmatched, bids_left + asks_left);
    EXPECT_EQ(a.unmatched_side, bids_left > 0 ? 'B' : asks_left > 0 ? 'S' : 0);
  }
  orderbook_release(book);
}

INSTANTIATE_TEST_SUITE_P(ManySeeds, AuctionDayTest,
                         testing::Combine(testing::Values(qlsim::Style::Shenzhen,
                                                          qlsim::Style::Shanghai),
                                          testing::Range(1, 21)));

}  // namespace
