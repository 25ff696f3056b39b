#include "feed_writer.h"

#include <cstring>
#include <utility>

namespace qlsim {
namespace detail {
namespace {

double price_of(int32_t ticks) {
  return ticks / 100.0;
}

// A zero-filled record with the fields every record of the day shares.
template <typename Record>
Record blank_record(uint8_t type, uint8_t exchange, const Config& config) {
  Record rec;
  std::memset(&rec, 0, sizeof rec);
  rec.type = type;
  rec.exchange = exchange;
  std::strncpy(rec.symbol, config.symbol.c_str(), sizeof rec.symbol - 1);
  rec.action_day = config.date;
  return rec;
}

// Adds the levels of `more` (best first) into `levels` (best first), summing equal prices.
void merge_levels(std::vector<LevelTruth>& levels, const std::vector<LevelTruth>& more, Side side) {
  std::vector<LevelTruth> merged;
  merged.reserve(levels.size() + more.size());
  size_t i = 0, j = 0;
  while (i < levels.size() || j < more.size()) {
    if (j == more.size() ||
        (i < levels.size() &&
         (side == Side::Buy ? levels[i].px > more[j].px : levels[i].px < more[j].px))) {
      merged.push_back(levels[i++]);
    } else if (i == levels.size() || levels[i].px != more[j].px) {
      merged.push_back(more[j++]);
    } else {
      LevelTruth sum = levels[i++];
      sum.quantity += more[j].quantity;
      sum.orders += more[j++].orders;
      merged.push_back(sum);
    }
  }
  levels = std::move(merged);
}

}  // namespace

FeedWriter::FeedWriter(Day& day)
    : day_(day),
      shanghai_(day.config.style == Style::Shanghai),
      blank_order_(blank_record<_L2Order>(QL_RECORD_L2ORDER, shanghai_ ? 1 : 2, day.config)),
      blank_trade_(blank_record<_L2Trade>(QL_RECORD_L2TRADE, shanghai_ ? 1 : 2, day.config)) {}

int64_t FeedWriter::next_order_number() {
  return shanghai_ ? ++order_number_ : next_sequence();
}

void FeedWriter::order(const SimOrder& o, int32_t volume, int32_t price_ticks, char order_type,
                       int time) {
  _L2Order rec = blank_order_;
  rec.time = time;
  rec.volume = static_cast<uint32_t>(volume);
  rec.price = price_of(price_ticks);
  rec.seq_num = o.number;
  rec.order_index = shanghai_ ? next_sequence() : o.number;
  rec.bs_flag = side_flag(o.side);
  rec.order_type = order_type;
  push_order(rec);
}

void FeedWriter::trade(const SimBook& book, const Fill& fill, char aggressor, int time) {
  _L2Trade rec = blank_trade_;
  rec.time = time;
  rec.volume = static_cast<uint32_t>(fill.quantity);
  rec.price = price_of(fill.ticks);
  rec.bid_seq_num = book.order(fill.buy).number;
  rec.ask_seq_num = book.order(fill.sell).number;
  rec.bs_flag = aggressor;
  const int64_t sequence = next_sequence();
  rec.seq_num = shanghai_ ? ++trade_number_ : sequence;
  rec.aux_no = static_cast<int32_t>(sequence);
  if (!shanghai_) rec.trade_flag = 'F';
  push_trade(rec);
  count_trade(rec.volume, rec.price);
}

void FeedWriter::cancellation_trade(const SimOrder& o, int32_t volume, int time) {
  _L2Trade rec = blank_trade_;
  rec.time = time;
  rec.volume = static_cast<uint32_t>(volume);
  if (o.side == Side::Buy) {
    rec.bid_seq_num = o.number;
  } else {
    rec.ask_seq_num = o.number;
  }
  rec.seq_num = next_sequence();
  rec.aux_no = static_cast<int32_t>(rec.seq_num);
  rec.trade_flag = '4';
  push_trade(rec);
}

void FeedWriter::push_order(const _L2Order& rec) {
  placement_.push_back(static_cast<int64_t>(day_.orders.size()));
  day_.orders.push_back(rec);
  last_time_ = rec.time;
}

void FeedWriter::push_trade(const _L2Trade& rec) {
  placement_.push_back(~static_cast<int64_t>(day_.trades.size()));
  day_.trades.push_back(rec);
  last_time_ = rec.time;
}

void FeedWriter::count_trade(uint32_t volume, double price) {
  ++num_trades_;
  volume_ += volume;
  turnover_ += volume * price;
  if (open_ == 0) open_ = price;
  if (price > high_) high_ = price;
  if (low_ == 0 || price < low_) low_ = price;
  last_ = price;
}

void FeedWriter::end_group(const SimBook& book, const SimBook* held) {
  const size_t fed = placement_.size();
  if (fed == fed_at_last_truth_) return;
  fed_at_last_truth_ = fed;
  if (!day_.config.record_truth) return;
  BookTruth truth;
  truth.fed = fed;
  truth.time = last_time_;
  book.levels(Side::Buy, truth.bids);
  book.levels(Side::Sell, truth.asks);
  if (held != nullptr) {
    std::vector<LevelTruth> more;
    held->levels(Side::Buy, more);
    merge_levels(truth.bids, more, Side::Buy);
    held->levels(Side::Sell, more);
    merge_levels(truth.asks, more, Side::Sell);
  }
  truth.num_trades = num_trades_;
  truth.volume = volume_;
  truth.turnover = turnover_;
  truth.open = open_;
  truth.high = high_;
  truth.low = low_;
  truth.last = last_;
  day_.truths.push_back(std::move(truth));
}

void FeedWriter::finish() {
  day_.sequence.clear();
  day_.sequence.reserve(placement_.size());
  for (int64_t at : placement_) {
    if (at >= 0) {
      day_.sequence.push_back(&day_.orders[static_cast<size_t>(at)]);
    } else {
      day_.sequence.push_back(&day_.trades[static_cast<size_t>(~at)]);
    }
  }
  placement_.clear();
}

}  // namespace detail
}  // namespace qlsim
