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
constexpr int kOpen = 93000000;
constexpr int kClosingStart = 145700000;
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
  return time >= kOpen && time < kClosingStart;
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

using Result = ::testing::AssertionResult;
Result fail(const char* what) {
  return ::testing::AssertionFailure() << what;
}

class FeedReplay {
 public:
  explicit FeedReplay(Style style) : shanghai_(style == Style::Shanghai) {}

  Result feed(const void* rec) {
    if (!held_.empty() && continuous(time_of(rec))) match_held();
    return is_order(rec) ? on_order(as_order(rec)) : on_trade(as_trade(rec));
  }

  Result matches(const BookTruth& truth) const {
    if (!expected_.empty() || !expected_cancel_.empty()) {
      return fail("predicted trades or cancellation not published");
    }
    for (int s = 0; s < 2; ++s) {
      const auto& levels = s == 0 ? truth.bids : truth.asks;
      if (levels.size() != sides_[s].size()) return fail("number of levels differs");
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
      return fail("trade statistics differ");
    }
    return ::testing::AssertionSuccess();
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

  Result rest(int64_t n, int side, uint32_t px, int64_t quantity) {
    orders_[n] = Resting{side, px, quantity};
    sides_[side][key_of(side, px)].push_back(n);
    return ::testing::AssertionSuccess();
  }

  Result reduce(int64_t n, int64_t quantity) {
    Resting& o = orders_.at(n);
    if ((o.left -= quantity) > 0) return ::testing::AssertionSuccess();
    auto level = sides_[o.side].find(key_of(o.side, o.px));
    level->second.erase(std::find(level->second.begin(), level->second.end(), n));
    if (level->second.empty()) sides_[o.side].erase(level);
    orders_.erase(n);
    return ::testing::AssertionSuccess();
  }

  Result on_order(const _L2Order& o) {
    const int side = o.bs_flag == 'B' ? 0 : 1;
    const uint32_t px = px_of(o.price);
    if (o.order_type == 'D') {
      if (!shanghai_ || !resting(o.seq_num)) return fail("cancel of an order not resting");
      const Resting& r = orders_.at(+o.seq_num);
      if (r.left != o.volume || r.side != side || r.px != px) {
        return fail("cancel does not carry the resting order's remaining quantity");
      }
      return reduce(o.seq_num, r.left);
    }
    if (resting(o.seq_num)) return fail("order number already resting");
    if (!continuous(o.time)) {
      if (o.order_type != '2' || o.price <= 0) return fail("auction order not a priced limit");
      // Shenzhen holds the orders entered after the opening match until the open.
      if (!shanghai_ && o.time > kOpeningMatch && o.time < kOpen) held_.push_back(+o.seq_num);
      return rest(o.seq_num, side, px, o.volume);
    }
    if (shanghai_) {  // only what rests is published, and it no longer crosses
      const int64_t touch = head(1 - side);
      if (touch != 0 && (side == 0 ? orders_.at(touch).px <= px : orders_.at(touch).px >= px)) {
        return fail("Shanghai order record would cross the book");
      }
      return rest(o.seq_num, side, px, o.volume);
    }
    // Shenzhen: the replay crosses the order and predicts the trade records (and a market
    // order's cancellation) that must follow.
    const bool market = o.order_type == '1';
    if (market != (o.price == 0)) return fail("market orders, and only they, have price 0");
    return cross(o.seq_num, side, px, o.volume, market);
  }

  // Crosses an incoming Shenzhen order, predicting its trade records (and a market order's
  // cancellation), and rests what a limit order has left.
  Result cross(int64_t n, int side, uint32_t px, int64_t left, bool market) {
    for (int64_t h; left > 0 && (h = head(1 - side)) != 0;) {
      const Resting& r = orders_.at(h);
      if (!market && (side == 0 ? r.px > px : r.px < px)) break;
      const int64_t q = std::min(left, r.left);
      expected_.push_back(side == 0 ? Expected{n, h, r.px, q} : Expected{h, n, r.px, q});
      left -= q;
      reduce(h, q);
    }
    if (left > 0 && market) expected_cancel_[n] = left;
    if (left > 0 && !market) rest(n, side, px, left);
    return ::testing::AssertionSuccess();
  }

  // The open: the held orders leave the book and enter it again in arrival order, as if they
  // arrived now.
  void match_held() {
    std::vector<std::pair<int64_t, Resting>> held;
    for (int64_t n : held_) {
      if (!resting(n)) continue;
      held.emplace_back(n, orders_.at(n));
      reduce(n, held.back().second.left);
    }
    held_.clear();
    for (const auto& [n, r] : held) cross(n, r.side, r.px, r.left, false);
  }

  Result on_trade(const _L2Trade& t) {
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
      return reduce(n, t.volume);
    }
    ++num_trades_;
    volume_ += t.volume;
    turnover_ += t.volume * t.price;
    open_ = open_ == 0 ? t.price : open_;
    high_ = std::max(high_, +t.price);
    low_ = low_ == 0 ? t.price : std::min(low_, +t.price);
    last_ = t.price;
    const uint32_t px = px_of(t.price);
    if (!continuous(t.time)) {  // call auctions pair the two best orders at one price
      if (t.time != kOpeningMatch && t.time != kClosingMatch) return fail("auction trade time");
      if (t.bid_seq_num != head(0) || t.ask_seq_num != head(1) || t.bs_flag != 0 ||
          orders_.at(+t.bid_seq_num).px < px || orders_.at(+t.ask_seq_num).px > px) {
        return fail("auction trade does not pair the two best orders within their prices");
      }
      reduce(t.bid_seq_num, t.volume);
      return reduce(t.ask_seq_num, t.volume);
    }
    const bool buyer_later = t.bid_seq_num > t.ask_seq_num;
    if (t.bs_flag != (buyer_later ? 'B' : 'S')) return fail("trade's side flag");
    if (!shanghai_) {
      if (expected_.empty()) return fail("trade the replay did not predict");
      const Expected e = expected_.front();
      expected_.pop_front();
      if (e.bid != t.bid_seq_num || e.ask != t.ask_seq_num || e.px != px || e.volume != t.volume) {
        return fail("trade differs from the replay's crossing");
      }
      return ::testing::AssertionSuccess();
    }
    // Shanghai: the later order is the aggressor and is not in the book yet; the earlier one
    // must be the oldest order at the best price of its side, and the trade at its price.
    const int64_t passive = buyer_later ? t.ask_seq_num : t.bid_seq_num;
    if (resting(buyer_later ? t.bid_seq_num : t.ask_seq_num) ||
        passive != head(buyer_later ? 1 : 0) || orders_.at(passive).px != px) {
      return fail("Shanghai trade does not hit the best resting order");
    }
    return reduce(passive, t.volume);
  }

  bool shanghai_;
  std::map<int64_t, Queue> sides_[2];
  std::unordered_map<int64_t, Resting> orders_;
  std::deque<Expected> expected_;
  std::vector<int64_t> held_;  // Shenzhen orders held for the open, in arrival order
  std::map<int64_t, int64_t> expected_cancel_;
  int32_t num_trades_ = 0;
  int64_t volume_ = 0;
  double turnover_ = 0, open_ = 0, high_ = 0, low_ = 0, last_ = 0;
};

// Feeds the day's records in sequence to the replay and compares it with every truth. Outside
// the call phases the book never crosses: after an auction match that means it executed the
// most any price could, as the replay pairs the best orders in priority.
Result replay_reaches_every_truth(const Day& day) {
  FeedReplay replay(day.config.style);
  size_t fed = 0;
  for (const BookTruth& truth : day.truths) {
    if (truth.fed <= fed || truth.time != time_of(day.sequence[truth.fed - 1])) {
      return ::testing::AssertionFailure() << "truth after record " << truth.fed << " misplaced";
    }
    for (; fed < truth.fed; ++fed) {
      auto fed_well = replay.feed(day.sequence[fed]);
      if (!fed_well) return fed_well << " (record " << fed << ")";
    }
    auto same = replay.matches(truth);
    if (!same) return same << " (after record " << fed << " at " << truth.time << ")";
    const bool held_orders = day.config.style == Style::Shenzhen &&
                             day.config.preopen_marketable_share > 0 &&
                             truth.time > kOpeningMatch && truth.time < kOpen;
    const bool call_orders = truth.time < kOpeningMatch || held_orders ||
                             (truth.time >= kClosingStart && truth.time < kClosingMatch);
    if (!call_orders && !truth.bids.empty() && !truth.asks.empty() &&
        truth.bids[0].px >= truth.asks[0].px) {
      return ::testing::AssertionFailure() << "crossed at " << truth.time;
    }
  }
  if (fed != day.sequence.size()) return fail("records after the last truth");
  return ::testing::AssertionSuccess();
}

class SimDayTest : public ::testing::TestWithParam<Style> {
 protected:
  void SetUp() override { day_ = qlsim::simulate_day(day_config(GetParam())); }
  bool shanghai() const { return GetParam() == Style::Shanghai; }
  Day day_;
};

INSTANTIATE_TEST_SUITE_P(ShenzhenThenShanghai, SimDayTest,
                         ::testing::Values(Style::Shenzhen, Style::Shanghai));

template <class Rec>
bool same_records(const std::vector<Rec>& a, const std::vector<Rec>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Rec)) == 0;
}

// The replay checks every record against the book; the closing match comes last. The seed alone
// decides the day. A copy points into its own records.
TEST_P(SimDayTest, ReplayOfTheRecordsReachesEveryTruthAndTheSeedDecidesTheDay) {
  EXPECT_TRUE(replay_reaches_every_truth(day_));
  EXPECT_EQ(day_.truths.back().last, +day_.trades.back().price);
  const Day again = qlsim::simulate_day(day_config(GetParam()));
  EXPECT_TRUE(same_records(again.orders, day_.orders) && same_records(again.trades, day_.trades));
  EXPECT_FALSE(same_records(qlsim::simulate_day(day_config(GetParam(), 8)).orders, day_.orders));

  const Day copy = day_;
  ASSERT_EQ(copy.sequence.size(), day_.sequence.size());
  const void* begin = copy.orders.data();
  const void* end = copy.orders.data() + copy.orders.size();
  for (size_t i = 0; i < copy.sequence.size(); ++i) {
    const void* rec = copy.sequence[i];
    ASSERT_TRUE(rec != day_.sequence[i] && is_order(rec) == (rec >= begin && rec < end)) << i;
    ASSERT_EQ(
        std::memcmp(rec, day_.sequence[i], is_order(rec) ? sizeof(_L2Order) : sizeof(_L2Trade)), 0);
  }
}

// What the replay does not see: every record once, in file order, within the trading day, on the
// price grid, numbered as the exchange numbers them; and the day busy enough to test a book.
TEST_P(SimDayTest, RecordsAreWhatTheExchangePublishes) {
  const uint8_t exchange = shanghai() ? 1 : 2;
  auto on_grid = [&](double price) {
    return std::fabs(price * 100 - std::round(price * 100)) < 1e-6 && price >= day_.lower_limit &&
           price <= day_.upper_limit;
  };
  ASSERT_EQ(day_.sequence.size(), day_.events());
  size_t next_order = 0, next_trade = 0, cancels = 0, markets = 0;
  int previous = 91500000;
  int64_t number = 0, trade_number = 0, newest_order = 0;
  std::multiset<int> auction_trades;  // the replay admits only the opening and closing match
  for (const void* rec : day_.sequence) {
    const int t = time_of(rec);
    ASSERT_TRUE(t >= previous && t <= kClosingMatch && (t < 113000000 || t >= 130000000)) << t;
    ASSERT_TRUE(!shanghai() || t % 10 == 0) << t;  // Shanghai: 10 ms resolution
    previous = t;
    if (is_order(rec)) {
      ASSERT_EQ(rec, &day_.orders[next_order++]);
      const _L2Order& o = as_order(rec);
      ASSERT_EQ(o.exchange, exchange);
      ASSERT_STREQ(o.symbol, "000001");
      ASSERT_TRUE(o.volume > 0 && (o.bs_flag == 'B' || o.bs_flag == 'S'));
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
      ASSERT_EQ(tr.exchange, exchange);
      ASSERT_TRUE(tr.volume > 0 && (tr.bid_seq_num != 0 || tr.ask_seq_num != 0));
      ASSERT_TRUE(cancellation(tr) || on_grid(tr.price)) << tr.price;
      ASSERT_EQ(shanghai() ? +tr.aux_no : +tr.seq_num, ++number);
      ASSERT_TRUE(shanghai() ? tr.seq_num == ++trade_number
                             : tr.trade_flag == (cancellation(tr) ? '4' : 'F'));
      cancels += cancellation(tr);
      if (!cancellation(tr) && !continuous(t)) auction_trades.insert(t);
    }
  }
  EXPECT_GT(day_.events(), 4000u);
  EXPECT_GT(cancels, 500u);
  EXPECT_GT(auction_trades.size(), 10u);
  EXPECT_TRUE(auction_trades.count(kOpeningMatch) && auction_trades.count(kClosingMatch));
  EXPECT_TRUE(shanghai() || markets > 20u) << markets;
}

TEST(CallAuctionTest, PriceMaximisesVolumeThenFollowsEachExchangesTieRule) {
  using Levels = std::vector<AuctionLevel>;
  constexpr Style SH = Style::Shanghai, SZ = Style::Shenzhen;
  const Levels bids = {{1002, 300}, {1001, 200}, {1000, 500}};
  const Levels asks = {{999, 400}, {1001, 300}, {1003, 1000}};
  const struct {
    Levels bids, asks;
    Style style;
    int32_t reference, ticks;  // ticks -1: any price
    int64_t volume;
  } cases[] = {
      // Most volume: 9.99 400, 10.00 400, 10.01 500, 10.02 300, 10.03 0; in either style.
      {bids, asks, SH, 1000, 1001, 500},
      {bids, asks, SZ, 1000, 1001, 500},
      // Levels in any order, repeats add up: only 100 is sold at or below 10.00.
      {{{1000, 100}, {1002, 50}, {1000, 200}}, {{1001, 300}, {999, 100}}, SH, 1000, -1, 100},
      {{{1001, 100}, {1001, 200}}, {{1000, 250}}, SH, 1000, -1, 250},
      // Shanghai: 10.00 and 10.01 both execute 300; 10.01 leaves the smaller imbalance.
      {{{1001, 300}, {1000, 200}}, {{999, 300}, {1001, 100}}, SH, 1000, 1001, 300},
      // Shanghai then takes the middle of equal prices, rounded up.
      {{{1000, 500}}, {{998, 500}}, SH, 1000, 999, 500},
      {{{1001, 500}}, {{998, 500}}, SH, 1000, 1000, 500},
      // Shenzhen takes the price nearest the reference.
      {{{1000, 500}}, {{998, 500}}, SZ, 1005, 1000, 500},
      {{{1000, 500}}, {{998, 500}}, SZ, 990, 998, 500},
      // No cross, or one side empty.
      {{{999, 100}}, {{1000, 100}}, SH, 1000, -1, 0},
      {{}, {{1000, 100}}, SZ, 1000, -1, 0},
  };
  for (const auto& c : cases) {
    const auto m = qlsim::call_auction_price(c.bids, c.asks, c.style, c.reference);
    EXPECT_EQ(m.volume, c.volume) << &c - cases;
    EXPECT_TRUE(c.ticks < 0 || m.ticks == c.ticks) << &c - cases << ": " << m.ticks;
  }
}

TEST(SimConfigTest, EmptyTinyAndExtremeDaysStayWithinTheRecords) {
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    for (int orders : {0, -5, 7}) {
      const Day d = qlsim::simulate_day(day_config(style, 3, orders));
      EXPECT_EQ(d.sequence.size(), d.events());
      EXPECT_TRUE(orders > 0 || d.events() == 0);
    }
  }
  Config c = day_config(Style::Shanghai, 5, 500);
  c.symbol = "ABCDEFGHIJKLMNOP";
  c.pre_close = -3;
  c.cancel_ratio = 5;
  c.market_ratio = 2;
  c.opening_share = 3;
  const Day odd = qlsim::simulate_day(c);
  EXPECT_EQ(odd.upper_limit, 0.01);
  for (const auto& o : odd.orders) ASSERT_STREQ(o.symbol, "ABCDEFGHI");
  c.pre_close = 1e15;
  c.style = Style::Shenzhen;
  const Day dear = qlsim::simulate_day(c);
  EXPECT_EQ(dear.upper_limit, 5500.00);
  EXPECT_EQ(dear.sequence.size(), dear.events());
  for (const auto& t : dear.trades) ASSERT_LE(+t.price, dear.upper_limit);
  c.pre_close = c.opening_share = c.daily_volatility = c.cancel_ratio = std::nan("");
  const Day undefined = qlsim::simulate_day(c);
  EXPECT_EQ(undefined.upper_limit, 0.01);
  EXPECT_EQ(undefined.sequence.size(), undefined.events());
}

// Other prices, seeds and lopsided mixes reach the rarer paths: empty sides, markets at the
// limits, books that never cross in an auction.
TEST(SimConfigTest, ReplayHoldsForOtherPricesSeedsAndMixes) {
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    for (uint64_t seed = 20; seed < 25; ++seed) {
      Config c = day_config(style, seed, 1500);
      c.cancel_ratio = (seed % 2) ? 0.9 : 0.1;
      c.market_ratio = (seed % 3) ? 0.3 : 0.0;
      c.aggressive_ratio = seed == 22 ? 0.9 : 0.25;
      c.target_resting = seed == 23 ? 5 : 300;
      c.daily_volatility = 0.3;
      c.pre_close = seed == 24 ? 35.55 : 0.5 + seed;  // 39.105 rounds up to 39.11, 31.995 to 32
      const Day day = qlsim::simulate_day(c);
      EXPECT_TRUE(replay_reaches_every_truth(day)) << "seed " << seed;
      EXPECT_TRUE(seed < 24 || (day.upper_limit == 39.11 && day.lower_limit == 32.00));
    }
  }
}

// Shenzhen orders held between the opening match and the open: some are marketable (a few sweep
// more than one level), the book rests crossed until the open, and the exchange matches them at
// 09:30:00.000 in arrival order right after the last of them, before any later order. Shanghai
// days ignore the setting.
TEST(SimConfigTest, ShenzhenOrdersHeldBeforeTheOpenTradeAtTheOpen) {
  size_t crossed_days = 0, sweeps = 0, held_trades = 0;
  for (uint64_t seed = 30; seed < 40; ++seed) {
    Config c = day_config(Style::Shenzhen, seed, 2000);
    c.passive_share = 0.03;
    c.preopen_marketable_share = 0.3;
    const Day day = qlsim::simulate_day(c);
    ASSERT_TRUE(replay_reaches_every_truth(day)) << "seed " << seed;
    for (const BookTruth& t : day.truths) {
      if (t.time > kOpeningMatch && t.time < kOpen && !t.bids.empty() && !t.asks.empty() &&
          t.bids[0].px >= t.asks[0].px) {
        ++crossed_days;
        break;
      }
    }
    std::map<int64_t, std::set<double>> prices;  // held aggressor -> its trade prices
    bool later_order = false;
    for (const void* rec : day.sequence) {
      if (time_of(rec) < kOpen) continue;
      if (is_order(rec)) {
        later_order = true;
        continue;
      }
      const _L2Trade& t = as_trade(rec);
      const int64_t aggressor = std::max(+t.bid_seq_num, +t.ask_seq_num);
      // A Shenzhen number is the record's place in the sequence, from 1.
      const void* entry = day.sequence[static_cast<size_t>(aggressor) - 1];
      const bool by_held = !cancellation(t) && is_order(entry) && time_of(entry) < kOpen;
      if (!by_held) continue;
      ASSERT_TRUE(t.time == kOpen && !later_order) << "seed " << seed;
      prices[aggressor].insert(+t.price);
      ++held_trades;
    }
    for (const auto& p : prices) sweeps += p.second.size() > 1;
  }
  EXPECT_GE(crossed_days, 8u);
  EXPECT_GT(held_trades, 100u);
  EXPECT_GE(sweeps, 10u);
  Config sh = day_config(Style::Shanghai, 30, 2000);
  const Day plain = qlsim::simulate_day(sh);
  sh.preopen_marketable_share = 0.3;
  const Day with = qlsim::simulate_day(sh);
  EXPECT_TRUE(same_records(plain.orders, with.orders) && same_records(plain.trades, with.trades));
}

}  // namespace

// A wide-book day has the shape of the real day it copies (600519, a whole Shanghai day) within
// a factor of two, in both styles, and its records still replay to every truth.
TEST(SimConfigTest, WideBookDayHasTheRealDaysShape) {
  for (Style style : {Style::Shenzhen, Style::Shanghai}) {
    const Day day = qlsim::simulate_day(qlsim::wide_book_config(style, 2));
    const qlsim::DayStats& s = day.stats;
    const struct {
      const char* figure;
      double real, simulated;
    } figures[] = {
        {"events", 81870, static_cast<double>(day.events())},
        {"price spread in ticks", 28534, static_cast<double>(s.max_ticks - s.min_ticks)},
        {"most levels", 1110, static_cast<double>(s.max_levels)},
        {"most resting orders", 3716, static_cast<double>(s.max_resting)},
        {"levels created", 15125, static_cast<double>(s.new_levels)},
        {"mean depth of a new level", 14, s.new_level_depth_mean},
        {"90th percentile depth", 33, static_cast<double>(s.new_level_depth_p90)},
        {"deepest new level", 585, static_cast<double>(s.new_level_depth_max)},
        {"entries per cancellation", 2.5,
         static_cast<double>(s.entries) / static_cast<double>(s.cancellations)},
    };
    for (const auto& f : figures) {
      EXPECT_GE(f.simulated, f.real / 2) << f.figure;
      EXPECT_LE(f.simulated, f.real * 2) << f.figure;
    }
    Config c = qlsim::wide_book_config(style, 3);
    c.orders = 3000;
    c.record_truth = true;
    EXPECT_TRUE(replay_reaches_every_truth(qlsim::simulate_day(c)));
  }
}
