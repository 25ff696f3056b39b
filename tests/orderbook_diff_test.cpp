// Differential test: simulated days of both exchange styles, fed in the exchange's own sequence,
// must rebuild the simulator's true book (every level's price, quantity and order count) and its
// trade statistics after every message group, through the event functions and through
// orderbook_builder_run3.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feed_sim.h"
#include "quotelab/orderbook.h"
#include "testing/orderbook_check.h"

namespace {

using qlsim::BookTruth;
using qlsim::LevelTruth;
using qlsim::Style;

struct DiffCase {
  const char* name;
  Style style;
  uint64_t seed;
  int orders;
  double market_ratio;
  double aggressive_ratio;
  int target_resting;
  double preopen_marketable_share = 0;  // Shenzhen orders held before the open, some marketable
  double passive_share = 0.005;
  bool wide_book = false;  // orders far from the touch, many levels made and emptied
};

std::ostream& operator<<(std::ostream& os, const DiffCase& c) {
  return os << c.name;
}

const char* exchange_of(Style s) {
  return s == Style::Shanghai ? "SSE" : "SZSE";
}

// Feeds one record of the sequence to the book. Returns the book's result.
int32_t feed(orderbook* book, const void* rec) {
  if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER) {
    const auto& o = *static_cast<const _L2Order*>(rec);
    return orderbook_on_l2order(book, o.seq_num, static_cast<signed char>(o.order_type),
                                static_cast<signed char>(o.bs_flag), o.price,
                                static_cast<int32_t>(o.volume), o.time);
  }
  const auto& t = *static_cast<const _L2Trade*>(rec);
  return orderbook_on_l2trade(book, t.seq_num, t.bid_seq_num, t.ask_seq_num, t.price,
                              static_cast<int32_t>(t.volume), t.time);
}

std::string level_text(double price, int64_t quantity, int32_t orders) {
  return std::to_string(price) + " x " + std::to_string(quantity) + " /" + std::to_string(orders);
}

// The first difference between one side of the book and the truth, or "".
// An aggregating book's order counts are not compared: executions do not count orders out.
std::string side_difference(orderbook* book, int sign, const std::vector<LevelTruth>& truth,
                            bool counts) {
  orderbook_queue* q = orderbook_at(book, sign);
  for (size_t i = 0; i < truth.size(); ++i, q = orderbook_queue_next(q)) {
    const LevelTruth& t = truth[i];
    if (q == nullptr) return "level " + std::to_string(i + 1) + " missing";
    if (orderbook_queue_price(q) != t.px / 1000.0 || orderbook_queue_quantity(q) != t.quantity ||
        (counts && orderbook_queue_num_orders(q) != t.orders)) {
      return "level " + std::to_string(i + 1) + ": book " +
             level_text(orderbook_queue_price(q), orderbook_queue_quantity(q),
                        orderbook_queue_num_orders(q)) +
             ", truth " + level_text(t.price, t.quantity, t.orders);
    }
  }
  return q == nullptr ? "" : "extra level at " + std::to_string(orderbook_queue_price(q));
}

// The first difference between the book (levels, statistics, time, snapshot) and the truth, or "".
std::string difference(orderbook* book, const BookTruth& truth, bool counts = true) {
  std::string d = side_difference(book, -1, truth.bids, counts);
  if (!d.empty()) return "bids " + d;
  d = side_difference(book, 1, truth.asks, counts);
  if (!d.empty()) return "asks " + d;
  const _L2Snapshot* s = orderbook_snapshot(book);
  if (s->num_trades != truth.num_trades || s->volume != truth.volume ||
      s->turnover != truth.turnover || s->open != truth.open || s->high != truth.high ||
      s->low != truth.low || s->last != truth.last) {
    return "statistics: book " + std::to_string(s->num_trades) + " trades, volume " +
           std::to_string(s->volume) + ", truth " + std::to_string(truth.num_trades) +
           " trades, volume " + std::to_string(truth.volume);
  }
  if (s->time != truth.time) return "time " + std::to_string(s->time);
  for (size_t i = 0; i < 10; ++i) {  // the snapshot's ten levels are the first ten walked above
    const double bid = i < truth.bids.size() ? truth.bids[i].px / 1000.0 : 0.0;
    const double ask = i < truth.asks.size() ? truth.asks[i].px / 1000.0 : 0.0;
    if (s->bid_price[i] != bid || s->ask_price[i] != ask) {
      return "snapshot level " + std::to_string(i + 1);
    }
  }
  return "";
}

// Feeds the whole day through the event functions of a book and compares it with the truth after
// every group. An aggregating book keeps only level totals, and they must still be the true ones.
void expect_every_group_rebuilt(const qlsim::Day& day, uint8_t aggregate) {
  const char* exchange = exchange_of(day.config.style);
  orderbook* book = orderbook_create(exchange, "000001", 0, aggregate);
  orderbook_reset(book, day.config.date);
  size_t fed = 0;
  for (size_t g = 0; g < day.truths.size(); ++g) {
    const BookTruth& truth = day.truths[g];
    for (; fed < truth.fed; ++fed) {
      const int32_t r = feed(book, day.sequence[fed]);
      // The one refusal a true feed causes: a Shenzhen market order's unfilled rest, dropped
      // by the book on arrival, is then cancelled by the feed.
      ASSERT_TRUE(r >= 0 || r == ORDERBOOK_NOT_FOUND) << "record " << fed << " result " << r;
    }
    ASSERT_EQ(difference(book, truth, aggregate == 0), "")
        << exchange << " seed " << day.config.seed << ", aggregate " << int(aggregate)
        << ", after group " << g << " (record " << fed << ", time " << truth.time << ")";
    ASSERT_EQ(ql__orderbook_check(book), 0) << "after group " << g;
  }
  orderbook_release(book);
}

class DiffTest : public testing::TestWithParam<DiffCase> {
 protected:
  void SetUp() override { day_ = simulate(false); }

  qlsim::Day simulate(bool distinct_group_times) {
    const DiffCase& c = GetParam();
    qlsim::Config config = c.wide_book ? qlsim::wide_book_config(c.style, c.seed) : qlsim::Config{};
    config.style = c.style;
    config.seed = c.seed;
    config.orders = c.orders;
    config.market_ratio = c.market_ratio;
    config.aggressive_ratio = c.aggressive_ratio;
    config.target_resting = c.target_resting;
    config.preopen_marketable_share = c.preopen_marketable_share;
    config.passive_share = c.passive_share;
    config.record_truth = true;
    config.distinct_group_times = distinct_group_times;
    qlsim::Day day = qlsim::simulate_day(config);
    EXPECT_FALSE(day.truths.empty());
    return day;
  }

  // Group boundaries to check a whole run at: every group of a small day, a spread of about 400
  // for larger ones, and always the last.
  static std::vector<size_t> sampled_groups(const qlsim::Day& day) {
    const size_t groups = day.truths.size();
    const size_t stride = groups > 400 ? groups / 400 : 1;
    std::vector<size_t> chosen;
    for (size_t g = 0; g < groups; g += stride) chosen.push_back(g);
    if (chosen.back() != groups - 1) chosen.push_back(groups - 1);
    return chosen;
  }

  // Runs a builder over prefixes of the day that end at sampled group boundaries and compares
  // the book with the truth after each.
  template <class Run>
  void compare_prefix_runs(const qlsim::Day& day, Run run) {
    orderbook_builder* builder =
        orderbook_builder_create(exchange_of(GetParam().style), "000001", 3000);
    for (size_t g : sampled_groups(day)) {
      const BookTruth& truth = day.truths[g];
      ASSERT_GE(run(builder, truth.fed), 1);
      ASSERT_EQ(difference(orderbook_builder_get(builder), truth), "")
          << "prefix of group " << g << " (" << truth.fed << " records)";
    }
    orderbook_builder_release(builder);
  }

  qlsim::Day day_;
};

// Through the event functions, after every group, in a queueing and an aggregating book.
TEST_P(DiffTest, EventFunctionsRebuildTheTrueBookAfterEveryGroup) {
  for (uint8_t aggregate : {0, 1}) expect_every_group_rebuilt(day_, aggregate);
}

// run3 over prefixes of the sequence that end at group boundaries.
TEST_P(DiffTest, StreamRunRebuildsTheTrueBook) {
  compare_prefix_runs(day_, [&](orderbook_builder* b, size_t fed) {
    return orderbook_builder_run3(b, day_.config.date, day_.sequence.data(),
                                  static_cast<int32_t>(fed));
  });
}

// When every message group has a time of its own, merging the two files by time gives back the
// exchange's sequence, provided equal times take the order first in Shenzhen and the trade
// first in Shanghai (a Shanghai aggressor's trades precede its resting remainder): run2 over
// prefixes of both files must rebuild the true book.
TEST_P(DiffTest, MergedFilesRebuildTheTrueBookWhenGroupsHaveTheirOwnTimes) {
  const qlsim::Day day = simulate(true);
  compare_prefix_runs(day, [&](orderbook_builder* b, size_t fed) {
    int32_t orders = 0;
    for (size_t k = 0; k < fed; ++k) {
      orders += *static_cast<const uint8_t*>(day.sequence[k]) == QL_RECORD_L2ORDER ? 1 : 0;
    }
    return orderbook_builder_run2(b, day.config.date, day.orders.data(), orders, day.trades.data(),
                                  static_cast<int32_t>(fed) - orders);
  });
}

const DiffCase kCases[] = {
    {"ShenzhenSeed1", Style::Shenzhen, 1, 4000, 0.05, 0.25, 300},
    {"ShenzhenSeed2", Style::Shenzhen, 2, 4000, 0.05, 0.25, 300},
    {"ShenzhenSeed3", Style::Shenzhen, 3, 6000, 0.05, 0.25, 300},
    {"ShenzhenThinAndAggressive", Style::Shenzhen, 4, 5000, 0.2, 0.5, 40},
    {"ShanghaiSeed1", Style::Shanghai, 1, 4000, 0.05, 0.25, 300},
    {"ShanghaiSeed2", Style::Shanghai, 2, 4000, 0.05, 0.25, 300},
    {"ShanghaiSeed3", Style::Shanghai, 3, 6000, 0.05, 0.25, 300},
    {"ShanghaiThinAndAggressive", Style::Shanghai, 4, 5000, 0.2, 0.5, 40},
    {"ShenzhenHeldBeforeOpenSeed5", Style::Shenzhen, 5, 4000, 0.05, 0.25, 300, 0.3, 0.03},
    {"ShenzhenHeldBeforeOpenThin", Style::Shenzhen, 6, 4000, 0.2, 0.5, 40, 0.5, 0.05},
    {"ShenzhenWideBook", Style::Shenzhen, 5, 5000, 0.05, 0.25, 1500, 0, 0.005, true},
    {"ShanghaiWideBook", Style::Shanghai, 5, 5000, 0.05, 0.25, 1500, 0, 0.005, true},
};

INSTANTIATE_TEST_SUITE_P(SimulatedDays, DiffTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DiffCase>& info) {
                           return std::string(info.param.name);
                         });

// Shenzhen days whose orders between the opening match and the open are often marketable (some
// sweeping several levels), on many seeds: the book is crossed until the open, and the exchange's
// 09:30:00.000 trades for them must find them matched.
TEST(DiffHeldOrdersTest, ShenzhenDaysWithOrdersHeldBeforeTheOpenAreRebuiltOnManySeeds) {
  for (uint64_t seed = 100; seed < 140; ++seed) {
    qlsim::Config config;
    config.seed = seed;
    config.orders = 1500;
    config.passive_share = 0.04;
    config.preopen_marketable_share = seed % 2 ? 0.3 : 0.8;
    config.target_resting = seed % 3 ? 300 : 30;
    config.record_truth = true;
    const qlsim::Day day = qlsim::simulate_day(config);
    for (uint8_t aggregate : {0, 1}) {
      expect_every_group_rebuilt(day, aggregate);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

// The closing call auction starts at 14:57:00.000: orders of its first second rest, even those
// priced through the book that continuous trading left, and the first is stamped 14:57:00.000.
TEST(DiffClosingAuctionTest, OrdersFromTheFirstMomentOfTheClosingAuctionRest) {
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    qlsim::Config config;
    config.style = style;
    config.seed = 11;
    config.orders = 4000;
    config.closing_share = 0.25;  // several orders a second
    config.record_truth = true;
    qlsim::Day day = qlsim::simulate_day(config);
    size_t through = 0;  // first-second orders priced through the opposite best before them
    bool stamped = false;
    for (size_t g = 1; g < day.truths.size(); ++g) {
      BookTruth& truth = day.truths[g];
      auto* rec = static_cast<_L2Order*>(const_cast<void*>(day.sequence[truth.fed - 1]));
      if (truth.time < 145700000 || truth.time > 145700999 || rec->type != QL_RECORD_L2ORDER) {
        continue;
      }
      if (!stamped) {  // the first order of the auction, moved to its first millisecond
        rec->time = truth.time = 145700000;
        stamped = true;
      }
      const BookTruth& before = day.truths[g - 1];
      const uint32_t px = static_cast<uint32_t>((rec->price + 0.00005) * 1000);
      through += rec->bs_flag == 'B' ? !before.asks.empty() && px >= before.asks[0].px
                                     : !before.bids.empty() && px <= before.bids[0].px;
    }
    EXPECT_TRUE(stamped);
    EXPECT_GT(through, 0u);
    for (uint8_t aggregate : {0, 1}) expect_every_group_rebuilt(day, aggregate);
  }
}

}  // namespace
