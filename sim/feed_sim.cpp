// The simulated day: who enters what and when, phase by phase. The true book lives in SimBook,
// the records are written by FeedWriter; this file decides the orders and the shape of each
// message group in the two styles.
#include "feed_sim.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

#include "feed_writer.h"
#include "sim_book.h"
#include "sim_clock.h"
#include "sim_rng.h"
#include "wide_book.h"

namespace qlsim {
namespace detail {
namespace {

constexpr int kOpeningStart = 91500000;
constexpr int kOpeningCancelEnd = 92000000;  // no cancellations in the last five minutes
constexpr int kOpeningMatch = 92500000;
constexpr int kContinuousStart = 93000000;
constexpr int kMorningEnd = 113000000;
constexpr int kAfternoonStart = 130000000;
constexpr int kContinuousEnd = 145700000;  // excluded: the last continuous moment is 14:56:59.999
constexpr int kClosingStart = 145700000;
constexpr int kClosingMatch = 150000000;

constexpr int kAnyDepth = INT_MAX;
constexpr int32_t kMaxQuantity = 100000000;
// Chance that an aggressive limit order is sized to take the whole opposite best level (the
// level clears, the price moves, and what is left rests), and that a market order is sized to
// take the whole opposite side (the side empties; in Shenzhen its rest is cancelled).
constexpr double kTakeLevelChance = 0.1;
constexpr double kSweepSideChance = 0.02;
// Chance that a marketable order held before the open is sized to take the whole opposite best
// level and more, so that it sweeps further levels when its price reaches them.
constexpr double kHeldSweepChance = 0.3;
constexpr int kShanghaiMarketDepth = 5;  // "best five" market orders
constexpr char kLimitOrder = '2';
constexpr char kMarketOrder = '1';
constexpr char kCancelOrder = 'D';

// The book keeps one slot per tick between the limits: a previous close of 5,000.00 gives
// 100,000 slots a side, beyond any listed stock's price.
constexpr double kMaxPreCloseTicks = 500000;
// Room reserved up front is for days of up to this many entries; larger ones grow as they go.
constexpr int kMaxReservedEntries = 20000000;

// A share between 0 and 1; not a number counts as 0.
double clamp_share(double share) {
  return share > 0 ? std::min(share, 1.0) : 0.0;
}

class Simulation {
 public:
  explicit Simulation(Day& day);
  void run();

 private:
  void reserve_room();
  enum class Cancels { None, Until0920, Always };

  template <typename Enter>
  void run_phase(std::vector<PhaseClock::Span> spans, int entries, Cancels cancels, Enter enter);
  void auction_match(int time, int32_t reference_ticks);

  bool wants_cancel();
  void cancel_random(int time);
  void enter_resting(Side side, int32_t ticks, int time);
  void enter_auction_order(int time);
  void enter_passive_order(int time);
  void enter_held_order(int time);
  bool match_held_orders(int time);
  void enter_continuous_order(int time);
  void enter_limit(Side side, int32_t ticks, int32_t quantity, int time);
  void enter_market(Side side, int32_t quantity, int time);
  void write_fills(Side aggressor, int time);

  void drift();
  int32_t fair_ticks() const { return static_cast<int32_t>(std::lround(fair_)); }
  int32_t clamp_ticks(int32_t ticks) const { return std::clamp(ticks, lower_, upper_); }
  int32_t passive_price(Side side);
  int32_t behind_touch(int32_t near, int32_t start, bool buy);
  Side aggressor_side();
  int32_t random_quantity();
  int32_t quantity_beyond(int64_t quantity);

  Day& day_;
  const Config& config_;
  bool shanghai_;
  int resolution_ms_;
  Rng rng_;
  int32_t pre_close_, lower_, upper_;  // ticks
  SimBook book_;
  FeedWriter writer_;
  std::vector<Fill> fills_;
  std::vector<AuctionLevel> auction_bids_, auction_asks_;
  // Orders entered between the opening match and the open, held unmatched until 09:30 (in
  // Shenzhen style with preopen_marketable_share set): a book of their own, for the truth, and
  // their ids there in arrival order.
  bool hold_preopen_;
  std::unique_ptr<SimBook> held_book_;
  std::vector<int32_t> held_;
  double fair_;          // the price traders aim at, in ticks; drifts over the day
  double drift_chance_;  // chance per action that the fair price moves one tick
  int32_t last_trade_ = 0;
};

// The previous close in ticks, brought into 0.01 .. 5000.00 (not a number gives 0.01).
int32_t pre_close_ticks(const Config& config) {
  const double ticks = std::round(config.pre_close * 100.0);
  return ticks >= 1.0 ? static_cast<int32_t>(std::min(ticks, kMaxPreCloseTicks)) : 1;
}

// Limits are the previous close +-10%, rounded half up to the tick.
int32_t limit_ticks(int32_t pre_close, int percent) {
  return static_cast<int32_t>((static_cast<int64_t>(pre_close) * percent + 50) / 100);
}

Simulation::Simulation(Day& day)
    : day_(day),
      config_(day.config),
      shanghai_(day.config.style == Style::Shanghai),
      resolution_ms_(shanghai_ ? 10 : 1),
      rng_(day.config.seed),
      pre_close_(pre_close_ticks(day.config)),
      lower_(limit_ticks(pre_close_, 90)),
      upper_(limit_ticks(pre_close_, 110)),
      book_(lower_, upper_),
      writer_(day),
      hold_preopen_(!shanghai_ && config_.preopen_marketable_share > 0),
      fair_(pre_close_) {
  day_.lower_limit = lower_ / 100.0;
  day_.upper_limit = upper_ / 100.0;
  // A random walk of n steps of one tick has a standard deviation of sqrt(n) ticks.
  const double sigma = config_.daily_volatility * pre_close_;
  const double actions = std::max(1.0, 1.5 * config_.orders);
  drift_chance_ = std::clamp(sigma * sigma / actions, 0.0, 1.0);
  reserve_room();
}

// Growing the files by doubling copies them again and again; reserving generously up front
// costs only address space, as pages are touched when records are written.
void Simulation::reserve_room() {
  const size_t entries = static_cast<size_t>(std::clamp(config_.orders, 0, kMaxReservedEntries));
  day_.orders.reserve(entries * 3 / 2 + 16);
  day_.trades.reserve(entries * 3 / 2 + 16);
  day_.sequence.reserve(entries * 3 + 32);
  writer_.reserve(entries * 3 + 32);
  book_.reserve(entries + 16);
}

void Simulation::run() {
  const int orders = std::max(0, config_.orders);
  const int opening = static_cast<int>(orders * clamp_share(config_.opening_share));
  const int passive =
      std::min(orders - opening, static_cast<int>(orders * clamp_share(config_.passive_share)));
  const int closing = std::min(orders - opening - passive,
                               static_cast<int>(orders * clamp_share(config_.closing_share)));
  const int continuous = orders - opening - passive - closing;

  run_phase({{kOpeningStart, kOpeningMatch}}, opening, Cancels::Until0920,
            [this](int t) { enter_auction_order(t); });
  auction_match(kOpeningMatch, pre_close_);
  run_phase({{time_add_ms(kOpeningMatch, resolution_ms_), kContinuousStart}}, passive,
            Cancels::None, [this](int t) {
              if (hold_preopen_) {
                enter_held_order(t);
              } else {
                enter_passive_order(t);
              }
            });
  // With distinct group times the first continuous group comes after the 09:30 match.
  const bool matched = match_held_orders(kContinuousStart);
  const int open = matched && config_.distinct_group_times
                       ? time_add_ms(kContinuousStart, resolution_ms_)
                       : kContinuousStart;
  run_phase({{open, kMorningEnd}, {kAfternoonStart, kContinuousEnd}}, continuous, Cancels::Always,
            [this](int t) { enter_continuous_order(t); });
  run_phase({{kClosingStart, kClosingMatch}}, closing, Cancels::None,
            [this](int t) { enter_auction_order(t); });
  auction_match(kClosingMatch, last_trade_ > 0 ? last_trade_ : pre_close_);
  writer_.finish();
  day_.stats = book_.shape().finish(day_);
}

template <typename Enter>
void Simulation::run_phase(std::vector<PhaseClock::Span> spans, int entries, Cancels cancels,
                           Enter enter) {
  if (entries <= 0) return;
  PhaseClock clock(std::move(spans), entries, resolution_ms_, config_.distinct_group_times, rng_);
  for (int i = 0; i < entries; ++i) {
    clock.plan_entry(i);
    while (cancels != Cancels::None && wants_cancel()) {
      const int t = clock.time_before_entry();
      if (cancels == Cancels::Until0920 && t >= kOpeningCancelEnd) break;
      drift();
      cancel_random(t);
    }
    drift();
    enter(clock.entry_time());
  }
}

bool Simulation::wants_cancel() {
  const int32_t resting = book_.resting_count();
  if (resting == 0) return false;
  double p = config_.cancel_ratio;
  if (config_.target_resting > 0) p *= static_cast<double>(resting) / config_.target_resting;
  return rng_.chance(std::min(p, 0.9));
}

void Simulation::cancel_random(int time) {
  const uint32_t count = static_cast<uint32_t>(book_.resting_count());
  const uint32_t index =
      config_.wide_book ? wide_book_cancel_index(rng_, count) : rng_.below(count);
  const int32_t id = book_.resting_order(index);
  const int32_t left = book_.cancel(id);
  const SimOrder& o = book_.order(id);
  if (shanghai_) {
    writer_.order(o, left, o.ticks, kCancelOrder, time);
  } else {
    writer_.cancellation_trade(o, left, time);
  }
  writer_.end_group(book_);
}

// An order that rests whole without matching, published as entered (call auctions and the
// minutes before the open, in both styles).
void Simulation::enter_resting(Side side, int32_t ticks, int time) {
  const int32_t quantity = random_quantity();
  const int32_t id = book_.create(side, ticks, quantity, writer_.next_order_number());
  book_.rest(id);
  writer_.order(book_.order(id), quantity, ticks, kLimitOrder, time);
  writer_.end_group(book_);
}

// Auction orders gather around the fair price, buyers a little above and sellers a little
// below it often enough for the match to find volume.
void Simulation::enter_auction_order(int time) {
  const Side side = rng_.chance(0.5) ? Side::Buy : Side::Sell;
  const int32_t offset = side == Side::Buy ? rng_.between(-6, 3) : rng_.between(-3, 6);
  enter_resting(side, clamp_ticks(fair_ticks() + offset), time);
}

void Simulation::enter_passive_order(int time) {
  Side side = rng_.chance(0.5) ? Side::Buy : Side::Sell;
  int32_t ticks = passive_price(side);
  if (ticks == SimBook::kNone) {
    side = opposite(side);
    ticks = passive_price(side);
  }
  if (ticks != SimBook::kNone) enter_resting(side, ticks, time);
}

// An order between the opening match and the open that the exchange holds until 09:30: some
// are priced through the opposite best of the book as the auction left it.
void Simulation::enter_held_order(int time) {
  Side side = aggressor_side();
  int32_t ticks = SimBook::kNone;
  int32_t quantity = 0;
  if (rng_.chance(config_.preopen_marketable_share)) {
    const int32_t touch = book_.best(opposite(side));
    if (touch != SimBook::kNone) {
      const int32_t through = rng_.geometric(1.0, 20);
      ticks = clamp_ticks(side == Side::Buy ? touch + through : touch - through);
      const int64_t size = rng_.chance(kHeldSweepChance) ? book_.best_quantity(opposite(side)) : 0;
      quantity = quantity_beyond(size);
    }
  }
  if (ticks == SimBook::kNone) {
    ticks = passive_price(side);
    if (ticks == SimBook::kNone) {
      side = opposite(side);
      ticks = passive_price(side);
    }
    if (ticks == SimBook::kNone) return;
    quantity = random_quantity();
  }
  if (held_book_ == nullptr) held_book_ = std::make_unique<SimBook>(lower_, upper_);
  const int32_t id = held_book_->create(side, ticks, quantity, writer_.next_order_number());
  held_book_->rest(id);
  held_.push_back(id);
  writer_.order(held_book_->order(id), quantity, ticks, kLimitOrder, time);
  writer_.end_group(book_, held_book_.get());
}

// The exchange takes the held orders into continuous matching at `time`, in arrival order, and
// publishes their trades as one message group. Returns true when anything traded.
bool Simulation::match_held_orders(int time) {
  if (held_.empty()) return false;
  fills_.clear();
  for (const int32_t h : held_) {
    const SimOrder& held = held_book_->order(h);
    const int32_t id = book_.create(held.side, held.ticks, held.quantity, held.number);
    const size_t first = fills_.size();
    const int32_t left = book_.cross(id, false, kAnyDepth, fills_);
    for (size_t k = first; k < fills_.size(); ++k) {
      writer_.trade(book_, fills_[k], side_flag(held.side), time);
    }
    if (left > 0) book_.rest(id);
  }
  held_.clear();
  held_book_.reset();
  if (fills_.empty()) return false;
  last_trade_ = fills_.back().ticks;
  writer_.end_group(book_);
  return true;
}

void Simulation::enter_continuous_order(int time) {
  if (rng_.chance(config_.market_ratio)) {
    // Now and then a market order larger than the whole opposite side, which empties it (not
    // on a wide book: no one sweeps its far orders).
    const Side side = aggressor_side();
    const bool sweep = rng_.chance(kSweepSideChance) && !config_.wide_book;
    const int64_t size = sweep ? book_.side_quantity(opposite(side)) : 0;
    enter_market(side, quantity_beyond(size), time);
    return;
  }
  if (rng_.chance(config_.aggressive_ratio)) {
    const Side side = aggressor_side();
    const int32_t touch = book_.best(opposite(side));
    if (touch != SimBook::kNone) {
      const int32_t through = rng_.geometric(1.0, 20);
      // Some orders take the whole best level, so that prices move and remainders rest.
      const int64_t size = rng_.chance(kTakeLevelChance) ? book_.best_quantity(opposite(side)) : 0;
      enter_limit(side, clamp_ticks(side == Side::Buy ? touch + through : touch - through),
                  quantity_beyond(size), time);
      return;
    }
  }
  Side side = rng_.chance(0.5) ? Side::Buy : Side::Sell;
  int32_t ticks = passive_price(side);
  if (ticks == SimBook::kNone) {
    side = opposite(side);
    ticks = passive_price(side);
  }
  if (ticks != SimBook::kNone) enter_limit(side, ticks, quantity_beyond(0), time);
}

// A limit order during continuous trading. Shenzhen publishes it as entered, before its trades;
// Shanghai publishes its trades, then what rests of it.
void Simulation::enter_limit(Side side, int32_t ticks, int32_t quantity, int time) {
  const int32_t id = book_.create(side, ticks, quantity, writer_.next_order_number());
  if (!shanghai_) writer_.order(book_.order(id), quantity, ticks, kLimitOrder, time);
  fills_.clear();
  const int32_t left = book_.cross(id, false, kAnyDepth, fills_);
  write_fills(side, time);
  if (left > 0) {
    book_.rest(id);
    if (shanghai_) writer_.order(book_.order(id), left, ticks, kLimitOrder, time);
  }
  writer_.end_group(book_);
}

// A market order. Shenzhen: immediate-or-cancel at any depth, published as entered with price
// 0, its unfilled rest cancelled by a cancellation record. Shanghai: best five levels, the
// unfilled rest either dropped (never published) or resting at the last fill price.
void Simulation::enter_market(Side side, int32_t quantity, int time) {
  const int32_t id = book_.create(side, 0, quantity, writer_.next_order_number());
  if (!shanghai_) writer_.order(book_.order(id), quantity, 0, kMarketOrder, time);
  fills_.clear();
  const int32_t left = book_.cross(id, true, shanghai_ ? kShanghaiMarketDepth : kAnyDepth, fills_);
  write_fills(side, time);
  if (left > 0 && !shanghai_) {
    writer_.cancellation_trade(book_.order(id), left, time);
  } else if (left > 0 && !fills_.empty() && rng_.chance(0.5)) {
    book_.order(id).ticks = fills_.back().ticks;
    book_.rest(id);
    writer_.order(book_.order(id), left, book_.order(id).ticks, kLimitOrder, time);
  }
  writer_.end_group(book_);
}

void Simulation::write_fills(Side aggressor, int time) {
  for (const Fill& f : fills_) writer_.trade(book_, f, side_flag(aggressor), time);
  if (!fills_.empty()) last_trade_ = fills_.back().ticks;
}

void Simulation::auction_match(int time, int32_t reference_ticks) {
  book_.auction_levels(Side::Buy, auction_bids_);
  book_.auction_levels(Side::Sell, auction_asks_);
  const AuctionMatch match =
      call_auction_price(auction_bids_, auction_asks_, config_.style, reference_ticks);
  if (match.volume == 0) return;
  fills_.clear();
  book_.uncross(match.ticks, match.volume, fills_);
  for (const Fill& f : fills_) writer_.trade(book_, f, 0, time);
  last_trade_ = match.ticks;
  writer_.end_group(book_);
}

void Simulation::drift() {
  if (!rng_.chance(drift_chance_)) return;
  fair_ += rng_.chance(0.5) ? 1.0 : -1.0;
  // Stay a little inside the limits, where both sides can still quote.
  const double lo = lower_ + 2.0, hi = upper_ - 2.0;
  if (lo < hi) fair_ = std::clamp(fair_, lo, hi);
}

// A price that does not reach the opposite best: at or behind the fair price, a few ticks
// behind the touch. kNone when the opposite side already sits at this side's limit.
int32_t Simulation::passive_price(Side side) {
  const int32_t behind = rng_.geometric(2.0, 50);
  const int32_t touch = book_.best(opposite(side));
  if (side == Side::Buy) {
    if (touch != SimBook::kNone && touch <= lower_) return SimBook::kNone;
    int32_t ticks = fair_ticks();
    if (touch != SimBook::kNone) ticks = std::min(ticks, touch - 1);
    const int32_t start = std::min(ticks, upper_);
    return std::max(lower_, start - behind_touch(behind, start, true));
  }
  if (touch != SimBook::kNone && touch >= upper_) return SimBook::kNone;
  int32_t ticks = fair_ticks();
  if (touch != SimBook::kNone) ticks = std::max(ticks, touch + 1);
  const int32_t start = std::max(ticks, lower_);
  return std::min(upper_, start + behind_touch(behind, start, false));
}

// How far behind `start` a passive order rests: `near` ticks, or on a wide book its own mix
// counted from its side's best when that is better than start.
int32_t Simulation::behind_touch(int32_t near, int32_t start, bool buy) {
  if (!config_.wide_book) return near;
  const int32_t best = book_.best(buy ? Side::Buy : Side::Sell);
  const int32_t from = best == SimBook::kNone ? start
                       : buy                  ? std::max(start, best)
                                              : std::min(start, best);
  return (buy ? start - from : from - start) + wide_book_behind(rng_, from, buy);
}

// Buyers take liquidity more often while the market trades below the fair price.
Side Simulation::aggressor_side() {
  const int32_t bid = book_.best(Side::Buy), ask = book_.best(Side::Sell);
  const double mid = bid != SimBook::kNone && ask != SimBook::kNone ? (bid + ask) / 2.0 : fair_;
  const double buy = 0.5 + std::clamp(0.05 * (fair_ - mid), -0.3, 0.3);
  return rng_.chance(buy) ? Side::Buy : Side::Sell;
}

// A random quantity more than `quantity`.
int32_t Simulation::quantity_beyond(int64_t quantity) {
  return static_cast<int32_t>(std::min<int64_t>(quantity + random_quantity(), kMaxQuantity));
}

// Round lots of 100 shares, mostly a few lots, now and then a block ten times larger.
int32_t Simulation::random_quantity() {
  int32_t lots = 1 + rng_.geometric(3.0, 999);
  if (rng_.chance(0.05)) lots *= 10;
  return lots * 100;
}

}  // namespace
}  // namespace detail

Day::Day(const Day& other) {
  *this = other;
}

Day& Day::operator=(const Day& other) {
  if (this == &other) return *this;
  config = other.config;
  upper_limit = other.upper_limit;
  lower_limit = other.lower_limit;
  orders = other.orders;
  trades = other.trades;
  truths = other.truths;
  stats = other.stats;
  // Point into our own copies: the same record index in the same file.
  sequence.clear();
  sequence.reserve(other.sequence.size());
  for (const void* p : other.sequence) {
    if (*static_cast<const uint8_t*>(p) == QL_RECORD_L2ORDER) {
      sequence.push_back(orders.data() + (static_cast<const _L2Order*>(p) - other.orders.data()));
    } else {
      sequence.push_back(trades.data() + (static_cast<const _L2Trade*>(p) - other.trades.data()));
    }
  }
  return *this;
}

Day simulate_day(const Config& config) {
  Day day;
  day.config = config;
  detail::Simulation(day).run();
  return day;
}

}  // namespace qlsim
