// Writes the simulated day's records into a Day: the order and trade files, the exchange's
// sequence over both, the trade statistics, and the true book at the end of each message group.
// It numbers the records the way the style's exchange does; what a group holds is the
// simulation's choice. Not thread-safe.
#ifndef QUOTELAB_SIM_FEED_WRITER_H
#define QUOTELAB_SIM_FEED_WRITER_H

#include <cstdint>
#include <vector>

#include "feed_sim.h"
#include "sim_book.h"

namespace qlsim {
namespace detail {

class FeedWriter {
 public:
  explicit FeedWriter(Day& day);

  // Shenzhen orders take their number from the sequence shared with trades; Shanghai orders
  // have a counter of their own. Returns the number for a new order.
  int64_t next_order_number();

  // An order record: `volume` and `price_ticks` as published (0 for a market order).
  void order(const SimOrder& o, int32_t volume, int32_t price_ticks, char order_type, int time);
  // A trade record of a fill; aggressor 0 for a call auction trade.
  void trade(const SimBook& book, const Fill& fill, char aggressor, int time);
  // A Shenzhen cancellation: a trade record naming the order on its side and 0 on the other.
  void cancellation_trade(const SimOrder& o, int32_t volume, int time);

  // Closes the current message group: records the truth when asked and something was written.
  // Orders the exchange holds unmatched (`held`, when given) rest in the true book too.
  void end_group(const SimBook& book, const SimBook* held = nullptr);

  void reserve(size_t records) { placement_.reserve(records); }

  // Turns the record placements into Day::sequence; call once, after the last record.
  void finish();

 private:
  int64_t next_sequence() { return ++sequence_; }
  void push_order(const _L2Order& rec);
  void push_trade(const _L2Trade& rec);
  void count_trade(uint32_t volume, double price);

  Day& day_;
  bool shanghai_;
  _L2Order blank_order_;  // zero-filled but for type, exchange, symbol and date
  _L2Trade blank_trade_;
  int64_t sequence_ = 0;      // ApplSeqNum or BizIndex
  int64_t order_number_ = 0;  // Shanghai OrderNo
  int64_t trade_number_ = 0;  // Shanghai TradeIndex
  size_t fed_at_last_truth_ = 0;
  int32_t last_time_ = 0;
  // Trade statistics over the trade records written so far.
  int32_t num_trades_ = 0;
  int64_t volume_ = 0;
  double turnover_ = 0, open_ = 0, high_ = 0, low_ = 0, last_ = 0;
  // Where each record of the sequence is, until the files stop growing: index into orders
  // (>= 0) or ~index into trades.
  std::vector<int64_t> placement_;
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_FEED_WRITER_H
