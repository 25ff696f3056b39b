#include "sim_book.h"

#include <algorithm>

namespace qlsim {
namespace detail {

SimBook::SimBook(int32_t lower_ticks, int32_t upper_ticks)
    : lower_(lower_ticks),
      upper_(upper_ticks),
      bids_(static_cast<size_t>(upper_ticks - lower_ticks + 1)),
      asks_(static_cast<size_t>(upper_ticks - lower_ticks + 1)) {}

int32_t SimBook::create(Side side, int32_t ticks, int32_t quantity, int64_t number) {
  orders_.push_back(SimOrder{number, ticks, quantity, quantity, -1, side});
  return static_cast<int32_t>(orders_.size() - 1);
}

SimBook::Level& SimBook::level(Side side, int32_t ticks) {
  return (side == Side::Buy ? bids_ : asks_)[static_cast<size_t>(ticks - lower_)];
}

const SimBook::Level& SimBook::level(Side side, int32_t ticks) const {
  return (side == Side::Buy ? bids_ : asks_)[static_cast<size_t>(ticks - lower_)];
}

void SimBook::rest(int32_t id) {
  SimOrder& o = orders_[id];
  Level& lv = level(o.side, o.ticks);
  lv.queue.push_back(id);
  lv.quantity += o.remaining;
  side_quantity_[static_cast<int>(o.side)] += o.remaining;
  if (++lv.orders == 1) {
    shape_.new_level(levels_better(o.side, o.ticks));
    if (o.side == Side::Buy) {
      ++bid_levels_;
      if (best_bid_ == kNone || o.ticks > best_bid_) best_bid_ = o.ticks;
    } else {
      ++ask_levels_;
      if (best_ask_ == kNone || o.ticks < best_ask_) best_ask_ = o.ticks;
    }
  }
  o.live_slot = static_cast<int32_t>(live_.size());
  live_.push_back(id);
  shape_.rested(o.ticks, bid_levels_ + ask_levels_, resting_count());
}

// Non-empty levels of a side at prices better than ticks.
int32_t SimBook::levels_better(Side side, int32_t ticks) const {
  int32_t n = 0;
  if (side == Side::Buy) {
    for (int32_t t = best_bid_; t != kNone && t > ticks; --t) n += level(side, t).orders > 0;
  } else {
    for (int32_t t = best_ask_; t != kNone && t < ticks; ++t) n += level(side, t).orders > 0;
  }
  return n;
}

int32_t SimBook::cancel(int32_t id) {
  const int32_t left = orders_[id].remaining;
  execute(id, left);
  return left;
}

// Takes quantity off a resting order; an order with nothing left stops resting.
void SimBook::execute(int32_t id, int32_t quantity) {
  SimOrder& o = orders_[id];
  o.remaining -= quantity;
  level(o.side, o.ticks).quantity -= quantity;
  side_quantity_[static_cast<int>(o.side)] -= quantity;
  if (o.remaining == 0) unrest(id);
}

void SimBook::unrest(int32_t id) {
  SimOrder& o = orders_[id];
  const int32_t last = live_.back();
  live_[static_cast<size_t>(o.live_slot)] = last;
  orders_[last].live_slot = o.live_slot;
  live_.pop_back();
  o.live_slot = -1;

  Level& lv = level(o.side, o.ticks);
  if (--lv.orders > 0) return;
  // The level is empty: drop the ids of orders that left it, and move the best if it was here.
  lv.queue.clear();
  lv.head = 0;
  if (o.side == Side::Buy) {
    --bid_levels_;
    if (o.ticks == best_bid_) find_next_best(Side::Buy);
  } else {
    --ask_levels_;
    if (o.ticks == best_ask_) find_next_best(Side::Sell);
  }
}

void SimBook::find_next_best(Side side) {
  if (side == Side::Buy) {
    int32_t t = best_bid_;
    while (t >= lower_ && level(Side::Buy, t).orders == 0) --t;
    best_bid_ = t >= lower_ ? t : kNone;
  } else {
    int32_t t = best_ask_;
    while (t <= upper_ && level(Side::Sell, t).orders == 0) ++t;
    best_ask_ = t <= upper_ ? t : kNone;
  }
}

int32_t SimBook::oldest_at_best(Side side) {
  Level& lv = level(side, best(side));
  while (orders_[lv.queue[lv.head]].live_slot < 0) ++lv.head;
  return lv.queue[lv.head];
}

int32_t SimBook::cross(int32_t id, bool market, int max_levels, std::vector<Fill>& fills) {
  SimOrder& in = orders_[id];
  const Side other = opposite(in.side);
  int levels_touched = 0;
  int32_t last_ticks = kNone;
  while (in.remaining > 0 && best(other) != kNone) {
    const int32_t px = best(other);
    if (!market && (in.side == Side::Buy ? px > in.ticks : px < in.ticks)) break;
    if (px != last_ticks) {
      if (levels_touched == max_levels) break;
      ++levels_touched;
      last_ticks = px;
    }
    const int32_t resting = oldest_at_best(other);
    const int32_t qty = std::min(in.remaining, orders_[resting].remaining);
    in.remaining -= qty;
    if (in.side == Side::Buy) {
      fills.push_back(Fill{id, resting, qty, px});
    } else {
      fills.push_back(Fill{resting, id, qty, px});
    }
    execute(resting, qty);
  }
  return in.remaining;
}

void SimBook::uncross(int32_t ticks, int64_t volume, std::vector<Fill>& fills) {
  while (volume > 0 && best_bid_ != kNone && best_ask_ != kNone && best_bid_ >= ticks &&
         best_ask_ <= ticks) {
    const int32_t buy = oldest_at_best(Side::Buy);
    const int32_t sell = oldest_at_best(Side::Sell);
    const int32_t qty = static_cast<int32_t>(
        std::min<int64_t>(volume, std::min(orders_[buy].remaining, orders_[sell].remaining)));
    fills.push_back(Fill{buy, sell, qty, ticks});
    volume -= qty;
    execute(buy, qty);
    execute(sell, qty);
  }
}

void SimBook::levels(Side side, std::vector<LevelTruth>& out) const {
  out.clear();
  int32_t left = side == Side::Buy ? bid_levels_ : ask_levels_;
  const int32_t step = side == Side::Buy ? -1 : 1;
  for (int32_t t = best(side); left > 0; t += step) {
    const Level& lv = level(side, t);
    if (lv.orders == 0) continue;
    out.push_back(LevelTruth{t / 100.0, static_cast<uint32_t>(t) * 10u, lv.quantity, lv.orders});
    --left;
  }
}

void SimBook::auction_levels(Side side, std::vector<AuctionLevel>& out) const {
  std::vector<LevelTruth> all;
  levels(side, all);
  out.clear();
  for (const LevelTruth& lv : all) {
    out.push_back(AuctionLevel{static_cast<int32_t>(lv.px / 10u), lv.quantity});
  }
}

}  // namespace detail
}  // namespace qlsim
