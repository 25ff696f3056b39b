// The simulator's true book: one stock, price-time priority, prices as integer ticks of 0.01
// between the day's limits. It knows nothing about feeds; the simulation writes the records.
// Not thread-safe.
#ifndef QUOTELAB_SIM_SIM_BOOK_H
#define QUOTELAB_SIM_SIM_BOOK_H

#include <cstdint>
#include <vector>

#include "day_stats.h"
#include "feed_sim.h"

namespace qlsim {
namespace detail {

enum class Side : uint8_t { Buy, Sell };

inline Side opposite(Side side) {
  return side == Side::Buy ? Side::Sell : Side::Buy;
}
inline char side_flag(Side side) {
  return side == Side::Buy ? 'B' : 'S';
}

struct SimOrder {
  int64_t number;     // the exchange's order number, as the records name it
  int32_t ticks;      // limit price; 0 for a market order until it rests
  int32_t quantity;   // as entered
  int32_t remaining;  // not yet executed or cancelled
  int32_t live_slot;  // index in the book's list of resting orders, -1 when not resting
  Side side;
};

// One execution of an incoming or auction order against a resting one.
struct Fill {
  int32_t buy, sell;  // order ids
  int32_t quantity;
  int32_t ticks;
};

class SimBook {
 public:
  static constexpr int32_t kNone = -1;

  SimBook(int32_t lower_ticks, int32_t upper_ticks);

  void reserve(size_t orders) { orders_.reserve(orders); }

  // Creates an order that does not rest yet; returns its id.
  int32_t create(Side side, int32_t ticks, int32_t quantity, int64_t number);
  SimOrder& order(int32_t id) { return orders_[id]; }
  const SimOrder& order(int32_t id) const { return orders_[id]; }

  // Puts a created order with quantity remaining at the back of its price level.
  void rest(int32_t id);
  // Removes a resting order; returns the quantity it had left.
  int32_t cancel(int32_t id);

  // Crosses a created, not resting order against the opposite side, best price first and
  // oldest first, while the opposite best is within the order's price (any price when market)
  // and at most max_levels price levels are touched. Appends one fill per resting order hit at
  // that order's price; returns the incoming order's remaining quantity.
  int32_t cross(int32_t id, bool market, int max_levels, std::vector<Fill>& fills);

  // Call auction: matches the book at `ticks` for `volume`, pairing the best buy and the best
  // sell in price-time priority. The caller has checked with call_auction_price that the book
  // holds that volume on both sides at that price.
  void uncross(int32_t ticks, int64_t volume, std::vector<Fill>& fills);

  int32_t best(Side side) const { return side == Side::Buy ? best_bid_ : best_ask_; }
  // Quantity resting at the best price of a side, and on the whole side.
  int64_t best_quantity(Side side) const {
    return best(side) == kNone ? 0 : level(side, best(side)).quantity;
  }
  int64_t side_quantity(Side side) const { return side_quantity_[static_cast<int>(side)]; }
  int32_t resting_count() const { return static_cast<int32_t>(live_.size()); }
  int32_t resting_order(uint32_t index) const { return live_[index]; }

  // Every level of one side, best first; replaces `out`.
  void levels(Side side, std::vector<LevelTruth>& out) const;
  // Every level of one side as auction input; replaces `out`.
  void auction_levels(Side side, std::vector<AuctionLevel>& out) const;

  // The day's shape so far: levels created and the book's size as orders rest.
  const ShapeRecorder& shape() const { return shape_; }

 private:
  struct Level {
    std::vector<int32_t> queue;  // order ids in time priority; ids that stopped resting linger
    uint32_t head = 0;           // first id that may still rest
    int64_t quantity = 0;
    int32_t orders = 0;
  };

  Level& level(Side side, int32_t ticks);
  const Level& level(Side side, int32_t ticks) const;
  int32_t oldest_at_best(Side side);
  void execute(int32_t id, int32_t quantity);
  void unrest(int32_t id);
  void find_next_best(Side side);
  int32_t levels_better(Side side, int32_t ticks) const;

  int32_t lower_, upper_;
  std::vector<Level> bids_, asks_;  // indexed by ticks - lower_
  int32_t best_bid_ = kNone, best_ask_ = kNone;
  int32_t bid_levels_ = 0, ask_levels_ = 0;  // non-empty levels per side
  int64_t side_quantity_[2] = {0, 0};
  std::vector<SimOrder> orders_;
  std::vector<int32_t> live_;  // resting order ids, in no particular order
  ShapeRecorder shape_;
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_SIM_BOOK_H
