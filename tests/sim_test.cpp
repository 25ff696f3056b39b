// Tests of the feed simulator: the records it writes must be what the exchanges publish, and its
// truth must be the book those records describe. The replay below reads the feed by the
// exchanges' rules, independently of both the simulator and the order book engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>

#include "feed_sim.h"

namespace {

using qlsim::AuctionLevel;
using qlsim::BookTruth;
using qlsim::Config;
using qlsim::Day;
using qlsim::Style;

constexpr int kOpeningMatch = 92500000;
constexpr int kClosingMatch = 150000000;

// The records are packed: their 8-byte fields are read by value (a unary plus where a function
// would take a reference), as a reference to one would be misaligned.
bool is_order(const void* rec) {
  return *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER;
}
const _L2Order& as_order(const void* rec) {
  return *static_cast<const _L2Order*>(rec);
}
const _L2Trade& as_trade(const void* rec) {
  return *static_cast<const _L2Trade*>(rec);
}
int time_of(const void* rec) {
  return is_order(rec) ? as_order(rec).time : as_trade(rec).time;
}
bool continuous(int time) {
  return time >= 93000000 && time <= 145700999;
}
uint32_t px_of(double price) {
  return static_cast<uint32_t>((price + 0.00005) * 1000);
}
bool cancellation(const _L2Trade& t) {
  return t.bid_seq_num == 0 || t.ask_seq_num == 0;
}

Config day_config(Style style, uint64_t seed = 7, int orders = 3000) {
  Config c;
  c.style = style;
  c.seed = seed;
  c.orders = orders;
  c.record_truth = true;
  return c;
}

// ---- a small reading of the feed ---------------------------------------------------------

class FeedReplay {
 public:
  explicit FeedReplay(Style style) : shanghai_(style == Style::Shanghai) {}

  ::testing::AssertionResult feed(const void* rec) {
    return is_order(rec) ? on_order(as_order(rec)) : on_trade(as_trade(rec));
  }

  ::testing::AssertionResult matches(const BookTruth& truth) const {
    if (!expected_.empty() || !expected_cancel_.empty()) {
      return ::testing::AssertionFailure() << "predicted trades or cancellation not published";
    }
    for (int s = 0; s < 2; ++s) {
      const auto& levels = s == 0 ? truth.bids : truth.asks;
      if (levels.size() != sides_[s].size()) {
        return ::testing::AssertionFailure()
               << "side " << s << ": " << sides_[s].size() << " levels, truth " << levels.size();
      }
      size_t i = 0;
      for (const auto& [key, queue] : sides_[s]) {
        const auto& lv = levels[i++];
        if (lv.px != px_of_key(key) || lv.quantity != level_quantity(queue) ||
            lv.orders != static_cast<int32_t>(queue.size()) || px_of(lv.price) != lv.px) {
          return ::testing::AssertionFailure() << "level " << lv.px << " differs";
        }
      }
    }
    if (truth.num_trades != num_trades_ || truth.volume != volume_ || truth.turnover != turnover_ ||
        truth.open != open_ || truth.high != high_ || truth.low != low_ || truth.last != last_) {
      return ::testing::AssertionFailure() << "trade statistics differ";
    }
    return ::testing::AssertionSuccess();
  }

  // The largest volume a call auction could execute on the current book, price by price.
  int64_t max_auction_volume() const {
    std::set<uint32_t> prices;
    for (const auto& side : sides_) {
      for (const auto& level : side) prices.insert(px_of_key(level.first));
    }
    int64_t best = 0;
    for (uint32_t p : prices) {
      int64_t buy = 0, sell = 0;
      for (const auto& [k, q] : sides_[0]) buy += px_of_key(k) >= p ? level_quantity(q) : 0;
      for (const auto& [k, q] : sides_[1]) sell += px_of_key(k) <= p ? level_quantity(q) : 0;
      best = std::max(best, std::min(buy, sell));
    }
    return best;
  }

 private:
  struct Resting {
    int side;  // 0 buy, 1 sell
    uint32_t px;
    int64_t left;
  };
  struct Expected {
    int64_t bid, ask;
    uint32_t px;
    int64_t volume;
  };
  using Queue = std::deque<int64_t>;

  // Bids keyed by -px and asks by px, so that begin() is the best level of either side.
  static int64_t key_of(int side, uint32_t px) { return side == 0 ? -int64_t(px) : int64_t(px); }
  static uint32_t px_of_key(int64_t key) { return static_cast<uint32_t>(key < 0 ? -key : key); }
  int64_t level_quantity(const Queue& q) const {
    int64_t sum = 0;
    for (int64_t n : q) sum += orders_.at(n).left;
    return sum;
  }

  bool resting(int64_t n) const { return orders_.count(n) != 0; }
  int64_t head(int side) const {
    return sides_[side].empty() ? 0 : sides_[side].begin()->second.front();
  }

  void rest(int64_t n, int side, uint32_t px, int64_t quantity) {
    orders_[n] = Resting{side, px, quantity};
    sides_[side][key_of(side, px)].push_back(n);
  }

  void reduce(int64_t n, int64_t quantity) {
    Resting& o = orders_.at(n);
    o.left -= quantity;
    if (o.left > 0) return;
    auto level = sides_[o.side].find(key_of(o.side, o.px));
    level->second.erase(std::find(level->second.begin(), level->second.end(), n));
    if (level->second.empty()) sides_[o.side].erase(level);
    orders_.erase(n);
  }

  void count_trade(const _L2Trade& t) {
    ++num_trades_;
    volume_ += t.volume;
    turnover_ += t.volume * t.price;
    if (open_ == 0) open_ = t.price;
    if (t.price > high_) high_ = t.price;
    if (low_ == 0 || t.price < low_) low_ = t.price;
    last_ = t.price;
  }

  ::testing::AssertionResult on_order(const _L2Order& o) {
    const int side = o.bs_flag == 'B' ? 0 : 1;
    if (o.order_type == 'D') {
      if (!shanghai_ || !resting(o.seq_num)) return fail("cancel of an order not resting");
      const Resting& r = orders_.at(+o.seq_num);
      if (r.left != o.volume || r.side != side || r.px != px_of(o.price)) {
        return fail("cancel does not carry the resting order's remaining quantity");
      }
      reduce(o.seq_num, r.left);
      return ::testing::AssertionSuccess();
    }
    if (resting(o.seq_num)) return fail("order number already resting");
    if (!continuous(o.time)) {
      if (o.order_type != '2' || o.price <= 0) return fail("auction order not a priced limit");
      rest(o.seq_num, side, px_of(o.price), o.volume);
      return ::testing::AssertionSuccess();
    }
    if (shanghai_) {  // only what rests is published, and it no longer crosses
      const int64_t touch = head(1 - side);
      if (touch != 0 && (side == 0 ? orders_.at(touch).px <= px_of(o.price)
                                   : orders_.at(touch).px >= px_of(o.price))) {
        return fail("Shanghai order record would cross the book");
      }
      rest(o.seq_num, side, px_of(o.price), o.volume);
      return ::testing::AssertionSuccess();
    }
    return cross_shenzhen(o, side);
  }

  // A Shenzhen order during continuous trading: the replay crosses it and predicts the trade
  // records (and a market order's cancellation) that must follow.
  ::testing::AssertionResult cross_shenzhen(const _L2Order& o, int side) {
    const bool market = o.order_type == '1';
    if (market != (o.price == 0)) return fail("market orders, and only they, have price 0");
    int64_t left = o.volume;
    const uint32_t px = px_of(o.price);
    while (left > 0 && head(1 - side) != 0) {
      const int64_t h = head(1 - side);
      const Resting& r = orders_.at(h);
      if (!market && (side == 0 ? r.px > px : r.px < px)) break;
      const int64_t q = std::min(left, r.left);
      expected_.push_back(side == 0 ? Expected{o.seq_num, h, r.px, q}
                                    : Expected{h, o.seq_num, r.px, q});
      left -= q;
      reduce(h, q);
    }
    if (left > 0 && market) expected_cancel_[+o.seq_num] = left;
    if (left > 0 && !market) rest(o.seq_num, side, px, left);
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult on_trade(const _L2Trade& t) {
    if (cancellation(t)) {
      if (shanghai_) return fail("Shanghai cancellations are order records");
      if (t.price != 0 || t.trade_flag != '4') return fail("cancellation record fields");
      const int64_t n = t.bid_seq_num != 0 ? t.bid_seq_num : t.ask_seq_num;
      auto predicted = expected_cancel_.find(n);
      if (predicted != expected_cancel_.end()) {
        if (predicted->second != t.volume) return fail("market rest cancelled wrongly");
        expected_cancel_.erase(predicted);
        return ::testing::AssertionSuccess();
      }
      if (!resting(n) || orders_.at(n).left != t.volume ||
          orders_.at(n).side != (t.bid_seq_num != 0 ? 0 : 1)) {
        return fail("cancellation does not match a resting order");
      }
      reduce(n, t.volume);
      return ::testing::AssertionSuccess();
    }
    count_trade(t);
    if (!continuous(t.time)) return auction_trade(t);
    if (!shanghai_) {
      if (expected_.empty()) return fail("trade the replay did not predict");
      const Expected e = expected_.front();
      expected_.pop_front();
      if (e.bid != t.bid_seq_num || e.ask != t.ask_seq_num || e.px != px_of(t.price) ||
          e.volume != t.volume || t.bs_flag != (t.bid_seq_num > t.ask_seq_num ? 'B' : 'S')) {
        return fail("trade differs from the replay's crossing");
      }
      return ::testing::AssertionSuccess();
    }
    // Shanghai: the later order is the aggressor and is not in the book yet; the earlier one
    // must be the oldest order at the best price of its side, and the trade at its price.
    const bool buyer_later = t.bid_seq_num > t.ask_seq_num;
    const int64_t passive = buyer_later ? t.ask_seq_num : t.bid_seq_num;
    const int64_t aggressor = buyer_later ? t.bid_seq_num : t.ask_seq_num;
    if (resting(aggressor) || passive != head(buyer_later ? 1 : 0) ||
        orders_.at(passive).px != px_of(t.price) || t.bs_flag != (buyer_later ? 'B' : 'S')) {
      return fail("Shanghai trade does not hit the best resting order");
    }
    reduce(passive, t.volume);
    return ::testing::AssertionSuccess();
  }

  // Call auction trades pair the two sides in price-time priority at one price.
  ::testing::AssertionResult auction_trade(const _L2Trade& t) {
    if (t.time != kOpeningMatch && t.time != kClosingMatch) return fail("auction trade time");
    if (t.bid_seq_num != head(0) || t.ask_seq_num != head(1) || t.bs_flag != 0) {
      return fail("auction trade does not pair the two best orders");
    }
    const uint32_t px = px_of(t.price);
    if (orders_.at(+t.bid_seq_num).px < px || orders_.at(+t.ask_seq_num).px > px) {
      return fail("auction trade outside the orders' prices");
    }
    reduce(t.bid_seq_num, t.volume);
    reduce(t.ask_seq_num, t.volume);
    return ::testing::AssertionSuccess();
  }

  static ::testing::AssertionResult fail(const char* what) {
    return ::testing::AssertionFailure() << what;
  }

  bool shanghai_;
  std::map<int64_t, Queue> sides_[2];
  std::unordered_map<int64_t, Resting> orders_;
  std::deque<Expected> expected_;
  std::map<int64_t, int64_t> expected_cancel_;
  int32_t num_trades_ = 0;
  int64_t volume_ = 0;
  double turnover_ = 0, open_ = 0, high_ = 0, low_ = 0, last_ = 0;
};

// Feeds the day's records in sequence to the replay and compares it with every truth; at each
// call auction also checks that the match executes the most any price could.
::testing::AssertionResult replay_reaches_every_truth(const Day& day, int* auctions) {
  FeedReplay replay(day.config.style);
  size_t fed = 0;
  for (const BookTruth& truth : day.truths) {
    if (truth.fed <= fed || truth.time != time_of(day.sequence[truth.fed - 1])) {
      return ::testing::AssertionFailure() << "truth after record " << truth.fed << " misplaced";
    }
    for (; fed < truth.fed; ++fed) {
      const void* rec = day.sequence[fed];
      const int t = time_of(rec);
      if (!is_order(rec) && (t == kOpeningMatch || t == kClosingMatch) &&
          (fed == 0 || time_of(day.sequence[fed - 1]) != t)) {
        int64_t matched = 0;
        for (size_t i = fed; i < truth.fed; ++i) matched += as_trade(day.sequence[i]).volume;
        if (matched != replay.max_auction_volume()) {
          return ::testing::AssertionFailure() << "auction at " << t << " matched " << matched
                                               << " of " << replay.max_auction_volume();
        }
        ++*auctions;
      }
      auto fed_well = replay.feed(rec);
      if (!fed_well) return fed_well << " (record " << fed << " at " << t << ")";
    }
    auto same = replay.matches(truth);
    if (!same) return same << " (after record " << fed << " at " << truth.time << ")";
    const bool call_orders =
        truth.time < kOpeningMatch || (truth.time > 145700999 && truth.time < kClosingMatch);
    if (!call_orders && !truth.bids.empty() && !truth.asks.empty() &&
        truth.bids[0].px >= truth.asks[0].px) {
      return ::testing::AssertionFailure() << "crossed at " << truth.time;
    }
  }
  if (fed != day.sequence.size()) return ::testing::AssertionFailure() << "records after truth";
  return ::testing::AssertionSuccess();
}

// ---- properties of a day in either style ---------------------------------------------------

class SimDayTest : public ::testing::TestWithParam<Style> {
 protected:
  void SetUp() override { day_ = qlsim::simulate_day(day_config(GetParam())); }
  bool shanghai() const { return GetParam() == Style::Shanghai; }
  Day day_;
};

INSTANTIATE_TEST_SUITE_P(Styles, SimDayTest, ::testing::Values(Style::Shenzhen, Style::Shanghai),
                         [](const auto& info) {
                           return info.param == Style::Shanghai ? "Shanghai" : "Shenzhen";
                         });

// The replay checks every record against the book; what is left here is what it does not see.
TEST_P(SimDayTest, ReplayOfTheRecordsReachesEveryTruth) {
  int auctions = 0;
  EXPECT_TRUE(replay_reaches_every_truth(day_, &auctions));
  EXPECT_EQ(auctions, 2);
  EXPECT_EQ(day_.truths.back().time, kClosingMatch);
  EXPECT_EQ(day_.truths.back().last, +day_.trades.back().price);  // the closing match comes last
}

// Byte-for-byte equal record files.
template <class Rec>
bool same_records(const std::vector<Rec>& a, const std::vector<Rec>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Rec)) == 0;
}

TEST_P(SimDayTest, SameSeedSameDayOtherSeedOtherDay) {
  const Day again = qlsim::simulate_day(day_config(GetParam()));
  EXPECT_TRUE(same_records(again.orders, day_.orders));
  EXPECT_TRUE(same_records(again.trades, day_.trades));
  EXPECT_FALSE(same_records(qlsim::simulate_day(day_config(GetParam(), 8)).orders, day_.orders));
}

// Every record once, in file order, within the trading day, on the price grid, numbered as the
// exchange numbers them; and the day busy enough to test a book.
TEST_P(SimDayTest, RecordsAreWhatTheExchangePublishes) {
  const uint8_t exchange = shanghai() ? 1 : 2;
  auto on_grid = [&](double price) {
    return std::fabs(price * 100 - std::round(price * 100)) < 1e-6 && price >= day_.lower_limit &&
           price <= day_.upper_limit;
  };
  EXPECT_DOUBLE_EQ(day_.upper_limit, 11.00);
  EXPECT_DOUBLE_EQ(day_.lower_limit, 9.00);
  ASSERT_EQ(day_.sequence.size(), day_.events());
  size_t next_order = 0, next_trade = 0, cancels = 0, markets = 0, auction_trades = 0;
  int previous = 91500000;
  int64_t number = 0, trade_number = 0, newest_order = 0;
  for (const void* rec : day_.sequence) {
    const int t = time_of(rec);
    ASSERT_GE(t, previous);
    ASSERT_LE(t, kClosingMatch);
    ASSERT_FALSE(t >= 113000000 && t < 130000000) << t;  // lunch break
    ASSERT_TRUE(!shanghai() || t % 10 == 0) << t;        // Shanghai: 10 ms resolution
    previous = t;
    if (is_order(rec)) {
      ASSERT_EQ(rec, &day_.orders[next_order++]);
      const _L2Order& o = as_order(rec);
      ASSERT_EQ(o.type, QL_RECORD_L2ORDER);
      ASSERT_EQ(o.exchange, exchange);
      ASSERT_STREQ(o.symbol, "000001");
      ASSERT_EQ(o.action_day, 20240102);
      ASSERT_GT(o.volume, 0u);
      ASSERT_TRUE(o.bs_flag == 'B' || o.bs_flag == 'S');
      ASSERT_TRUE(o.order_type == '1' || on_grid(o.price)) << o.price;
      ASSERT_EQ(+o.order_index, ++number);  // BizIndex / ApplSeqNum: every record counts
      if (shanghai() && o.order_type != 'D') {
        ASSERT_GT(+o.seq_num, newest_order) << "a new order's number exceeds every earlier one";
        newest_order = o.seq_num;
      }
      ASSERT_TRUE(shanghai() || o.seq_num == number);
      cancels += o.order_type == 'D';
      markets += o.order_type == '1';
    } else {
      ASSERT_EQ(rec, &day_.trades[next_trade++]);
      const _L2Trade& tr = as_trade(rec);
      ASSERT_EQ(tr.type, QL_RECORD_L2TRADE);
      ASSERT_EQ(tr.exchange, exchange);
      ASSERT_GT(tr.volume, 0u);
      ASSERT_FALSE(tr.bid_seq_num == 0 && tr.ask_seq_num == 0);
      ASSERT_TRUE(cancellation(tr) || on_grid(tr.price)) << tr.price;
      ASSERT_EQ(shanghai() ? +tr.aux_no : +tr.seq_num, ++number);
      if (shanghai()) {
        ASSERT_EQ(+tr.seq_num, ++trade_number);
      } else {
        ASSERT_EQ(tr.trade_flag, cancellation(tr) ? '4' : 'F');
      }
      cancels += cancellation(tr);
      auction_trades += !cancellation(tr) && !continuous(t);
    }
  }
  EXPECT_GT(day_.events(), 4000u);
  EXPECT_GT(cancels, 500u);
  EXPECT_GT(auction_trades, 10u);
  EXPECT_TRUE(shanghai() || markets > 20u) << markets;
  EXPECT_GT(day_.truths.back().num_trades, 500);
}

TEST_P(SimDayTest, CopyPointsIntoItsOwnRecords) {
  Day copy = day_;
  ASSERT_EQ(copy.sequence.size(), day_.sequence.size());
  const void* begin = copy.orders.data();
  const void* end = copy.orders.data() + copy.orders.size();
  for (size_t i = 0; i < copy.sequence.size(); ++i) {
    const void* rec = copy.sequence[i];
    ASSERT_EQ(is_order(rec), is_order(day_.sequence[i]));
    ASSERT_EQ(is_order(rec), rec >= begin && rec < end);
    ASSERT_EQ(
        std::memcmp(rec, day_.sequence[i], is_order(rec) ? sizeof(_L2Order) : sizeof(_L2Trade)), 0);
  }
  Day moved = std::move(copy);
  EXPECT_EQ(moved.sequence.front(), static_cast<const void*>(&moved.orders.front()));
}

// Merges the order and trade files by time the way the order book's builder does: orders first
// at equal times in Shenzhen, trades first in Shanghai (where a remainder follows its trades).
std::vector<const void*> merge_by_time(const Day& day) {
  const bool trades_first = day.config.style == Style::Shanghai;
  std::vector<const void*> merged;
  size_t i = 0, j = 0;
  while (i < day.orders.size() || j < day.trades.size()) {
    const bool take_trade =
        i == day.orders.size() ||
        (j < day.trades.size() && (day.orders[i].time > day.trades[j].time ||
                                   (day.orders[i].time == day.trades[j].time && trades_first)));
    merged.push_back(take_trade ? static_cast<const void*>(&day.trades[j++]) : &day.orders[i++]);
  }
  return merged;
}

TEST_P(SimDayTest, DistinctGroupTimesLetAMergeByTimeRestoreTheSequence) {
  Config c = day_config(GetParam(), 7, 8000);
  c.distinct_group_times = true;
  const Day distinct = qlsim::simulate_day(c);
  size_t fed = 0;
  int previous = 0;
  for (const BookTruth& truth : distinct.truths) {
    ASSERT_GT(truth.time, previous);
    for (; fed < truth.fed; ++fed) ASSERT_EQ(time_of(distinct.sequence[fed]), truth.time);
    previous = truth.time;
  }
  EXPECT_TRUE(merge_by_time(distinct) == distinct.sequence);
  // Without it groups share times, and at 10 ms a merge by time cannot tell their order.
  EXPECT_FALSE(shanghai() && merge_by_time(day_) == day_.sequence);
}

// During continuous trading a Shanghai aggressive order's trades come together; what rests of it
// follows them at once with the same time, and an order filled at once publishes no order record.
TEST(ShanghaiDayTest, RemainderFollowsItsTradesAndFilledOrdersNeverAppear) {
  const Day day = qlsim::simulate_day(day_config(Style::Shanghai));
  const auto& seq = day.sequence;
  auto aggressor_of = [&](size_t k) {
    return std::max(+as_trade(seq[k]).bid_seq_num, +as_trade(seq[k]).ask_seq_num);
  };
  size_t filled_at_once = 0, with_remainder = 0;
  std::set<int64_t> aggressors_done;
  for (size_t i = 0; i < seq.size();) {
    if (is_order(seq[i]) || !continuous(time_of(seq[i]))) {
      ++i;
      continue;
    }
    const int64_t aggressor = aggressor_of(i);
    ASSERT_TRUE(aggressors_done.insert(aggressor).second) << "trades of one order are split";
    size_t j = i;
    for (; j < seq.size() && !is_order(seq[j]) && aggressor_of(j) == aggressor; ++j) {
      ASSERT_EQ(time_of(seq[j]), time_of(seq[i]));
    }
    if (j < seq.size() && is_order(seq[j]) && as_order(seq[j]).seq_num == aggressor) {
      ASSERT_EQ(as_order(seq[j]).order_type, '2');
      ASSERT_EQ(as_order(seq[j]).time, time_of(seq[i]));
      ++with_remainder;
      ++j;
    } else {
      ++filled_at_once;
    }
    i = j;
  }
  // No other order record names an order that traded on entry.
  size_t naming_aggressor = 0;
  for (const auto& o : day.orders) {
    naming_aggressor += o.order_type != 'D' && aggressors_done.count(+o.seq_num) != 0;
  }
  EXPECT_EQ(naming_aggressor, with_remainder);
  EXPECT_GT(filled_at_once, 100u);
  EXPECT_GT(with_remainder, 20u);
}

// ---- call auction price --------------------------------------------------------------------

TEST(CallAuctionTest, PriceMaximisesVolumeThenFollowsEachExchangesTieRule) {
  using Levels = std::vector<AuctionLevel>;
  const struct {
    const char* what;
    Levels bids, asks;
    Style style;
    int32_t reference, ticks;
    int64_t volume;
  } cases[] = {
      // Volumes by price: 9.99 400, 10.00 400, 10.01 500, 10.02 300, 10.03 0.
      {"most volume",
       {{1002, 300}, {1001, 200}, {1000, 500}},
       {{999, 400}, {1001, 300}, {1003, 1000}},
       Style::Shanghai,
       1000,
       1001,
       500},
      {"most volume",
       {{1002, 300}, {1001, 200}, {1000, 500}},
       {{999, 400}, {1001, 300}, {1003, 1000}},
       Style::Shenzhen,
       1000,
       1001,
       500},
      // Only 100 is sold at or below 10.00, where 300 + 50 would buy.
      {"any order, repeats add up",
       {{1000, 100}, {1002, 50}, {1000, 200}},
       {{1001, 300}, {999, 100}},
       Style::Shanghai,
       1000,
       -1,
       100},
      {"repeats add up", {{1001, 100}, {1001, 200}}, {{1000, 250}}, Style::Shanghai, 1000, -1, 250},
      // 10.00 and 10.01 both execute 300; 10.01 leaves 100 unmatched, 10.00 leaves 200.
      {"smallest imbalance",
       {{1001, 300}, {1000, 200}},
       {{999, 300}, {1001, 100}},
       Style::Shanghai,
       1000,
       1001,
       300},
      {"middle of equal prices", {{1000, 500}}, {{998, 500}}, Style::Shanghai, 1000, 999, 500},
      {"middle rounds up", {{1001, 500}}, {{998, 500}}, Style::Shanghai, 1000, 1000, 500},
      {"nearest the reference", {{1000, 500}}, {{998, 500}}, Style::Shenzhen, 1005, 1000, 500},
      {"nearest the reference", {{1000, 500}}, {{998, 500}}, Style::Shenzhen, 990, 998, 500},
      {"nearest the reference", {{1000, 500}}, {{998, 500}}, Style::Shenzhen, 999, 999, 500},
      {"no cross", {{999, 100}}, {{1000, 100}}, Style::Shanghai, 1000, -1, 0},
      {"one side empty", {}, {{1000, 100}}, Style::Shenzhen, 1000, -1, 0},
  };
  for (const auto& c : cases) {
    const auto m = qlsim::call_auction_price(c.bids, c.asks, c.style, c.reference);
    EXPECT_EQ(m.volume, c.volume) << c.what;
    EXPECT_TRUE(c.ticks < 0 || m.ticks == c.ticks) << c.what << ": " << m.ticks;
  }
}

// ---- odd configurations --------------------------------------------------------------------

TEST(SimConfigTest, EmptyTinyAndExtremeDaysStayWithinTheRecords) {
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    Config c = day_config(style, 3, 0);
    EXPECT_EQ(qlsim::simulate_day(c).events(), 0u);
    c.orders = -5;
    EXPECT_EQ(qlsim::simulate_day(c).events(), 0u);
    c.orders = 7;
    const Day tiny = qlsim::simulate_day(c);
    EXPECT_EQ(tiny.sequence.size(), tiny.events());
  }
  Config c = day_config(Style::Shanghai, 5, 500);
  c.symbol = "ABCDEFGHIJKLMNOP";
  c.pre_close = -3;
  c.cancel_ratio = 5;
  c.market_ratio = 2;
  c.opening_share = 3;
  const Day odd = qlsim::simulate_day(c);
  EXPECT_EQ(odd.lower_limit, 0.01);
  EXPECT_EQ(odd.upper_limit, 0.01);
  for (const auto& o : odd.orders) ASSERT_STREQ(o.symbol, "ABCDEFGHI");
  c.pre_close = 1e15;
  c.style = Style::Shenzhen;
  const Day dear = qlsim::simulate_day(c);
  EXPECT_EQ(dear.upper_limit, 5500.00);
  EXPECT_EQ(dear.sequence.size(), dear.events());
  for (const auto& t : dear.trades) ASSERT_LE(+t.price, dear.upper_limit);
  const double nan = std::nan("");
  c.pre_close = c.opening_share = c.daily_volatility = c.cancel_ratio = nan;
  const Day undefined = qlsim::simulate_day(c);
  EXPECT_EQ(undefined.upper_limit, 0.01);
  EXPECT_EQ(undefined.sequence.size(), undefined.events());
}

// Other prices, seeds and lopsided mixes reach the rarer paths: empty sides, markets at the
// limits, books that never cross in an auction.
TEST(SimConfigTest, ReplayHoldsForOtherPricesSeedsAndMixes) {
  Config dear = day_config(Style::Shenzhen, 11, 2000);
  dear.pre_close = 35.55;  // 39.105 rounds up to 39.11, 31.995 to 32.00
  const Day day = qlsim::simulate_day(dear);
  EXPECT_DOUBLE_EQ(day.upper_limit, 39.11);
  EXPECT_DOUBLE_EQ(day.lower_limit, 32.00);
  int auctions = 0;
  EXPECT_TRUE(replay_reaches_every_truth(day, &auctions));
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    for (uint64_t seed = 20; seed < 24; ++seed) {
      Config c = day_config(style, seed, 1500);
      c.cancel_ratio = (seed % 2) ? 0.9 : 0.1;
      c.market_ratio = (seed % 3) ? 0.3 : 0.0;
      c.aggressive_ratio = seed == 22 ? 0.9 : 0.25;
      c.target_resting = seed == 23 ? 5 : 300;
      c.daily_volatility = 0.3;
      c.pre_close = 0.5 + seed;
      EXPECT_TRUE(replay_reaches_every_truth(qlsim::simulate_day(c), &auctions)) << "seed " << seed;
    }
  }
}

}  // namespace
