// quotelab feed simulator: one stock, one trading day, as the exchange publishes it.
//
// simulate_day runs a seeded price-time-priority matching engine through a whole day (opening
// call auction, passive orders before the open, continuous trading with limit orders, market
// orders and cancellations, closing call auction) and writes what happened as _L2Order and
// _L2Trade records in Shenzhen or Shanghai style, together with the exchange's own sequence of
// those records and, on request, the true book after every message group. It is the reference
// the order book is checked against, so it is written for plain correctness, independently of
// the order book engine; it is still fast (a 1,000,000-event day takes a fraction of a second).
//
// Records as written
// ------------------
// Shenzhen style (exchange 2, millisecond times):
//   - every order as entered: order_type '2' limit, '1' market (price 0), full quantity;
//   - one sequence counter (ApplSeqNum) shared by orders and trades, in seq_num of both (and
//     repeated in order_index of orders and aux_no of trades);
//   - trades name bid_seq_num and ask_seq_num, price of the resting order, trade_flag 'F',
//     bs_flag the aggressor's side ('B'/'S'; 0 for call auction trades);
//   - cancellations are trade records with the cancelled order's number on its side and 0 on
//     the other, price 0, volume the cancelled quantity, trade_flag '4', bs_flag 0;
//   - a market order is immediate-or-cancel over the whole opposite side: the unfilled rest is
//     cancelled at once by such a cancellation record.
// Shanghai style (exchange 1, times at 10 ms resolution):
//   - seq_num of an order record is the order number (OrderNo), given to every order at entry,
//     so an aggressive order's number is larger than that of every order resting before it;
//   - the exchange's one sequence (BizIndex) over orders and trades is order_index of orders and
//     aux_no of trades; seq_num of a trade is its own trade number (TradeIndex);
//   - during continuous trading an aggressive order's trades come first, then its resting
//     remainder as an order record (order_type '2', volume the remainder) with the same time; an
//     order filled at once never appears as an order record;
//   - a market order takes at most five price levels; half of them are immediate-or-cancel
//     (no order record ever), the other half rest their unfilled part as a limit order at the
//     last fill price (an order record '2' after the trades, as above);
//   - cancellations are order records of order_type 'D' carrying the cancelled order's number,
//     side, price and remaining quantity;
//   - trade bs_flag is the aggressor's side, 0 for call auction trades.
// In both styles orders entered during the call auctions and before the open appear as entered.
//
// The day
// -------
//   09:15:00 - 09:25:00  opening call auction; cancellations until 09:20:00
//   09:25:00.000         single-price match (maximum volume; ties: Shanghai the smallest
//                        imbalance then the middle price, Shenzhen the price nearest the previous
//                        close); trades pair both sides in price-time priority
//   09:25 - 09:30        orders published as they arrive, no cancellations; passive only,
//                        unless preopen_marketable_share is set (Shenzhen, below)
//   09:30:00.000         (Shenzhen, with preopen_marketable_share) the held 09:25 - 09:30
//                        orders are matched, in arrival order, as one message group
//   09:30:00 - 14:57:00  continuous trading (no orders 11:30 - 13:00); the last continuous
//                        moment is 14:56:59.999
//   14:57:00 - 15:00:00  closing call auction from 14:57:00.000, no cancellations
//   15:00:00.000         closing match (Shenzhen ties: nearest the last trade price)
// Times never decrease along the sequence; unrelated records may share a time.
//
// Orders held before the open (Shenzhen, preopen_marketable_share above 0)
// ------------------------------------------------------------------------
// The exchange accepts the orders entered between the opening match and 09:30 and publishes
// each as it arrives, but matches none of them: some are priced through the opposite best (a
// few sized to sweep more than one level). At 09:30:00.000 it takes them in arrival order into
// continuous matching, each crossing what rests at that point (the auction's leftovers and the
// held orders before it), and publishes their trades stamped 09:30:00.000 with the next
// sequence numbers, before any later order. The true book shows the held orders resting
// (possibly crossed) until then. With the share 0 (the default) a day is as it always was.
//
// Message groups and truth
// ------------------------
// A message group is the records of one incoming action: an order with its trades (and, in
// Shanghai, its remainder or, in Shenzhen, its market rest cancellation), one cancellation, or
// one call auction match. Actions that publish nothing (a Shanghai market order that found
// nothing) form no group. With record_truth a BookTruth is kept after every group: every price
// level of the exchange's true book, best first, and the trade statistics over the trade records
// fed so far (cancellation records excluded). `fed` strictly increases from truth to truth.
//
// Not thread-safe per call; separate calls share nothing and may run on separate threads.
#ifndef QUOTELAB_SIM_FEED_SIM_H
#define QUOTELAB_SIM_FEED_SIM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quotelab/records.h"

namespace qlsim {

enum class Style { Shenzhen, Shanghai };

struct Config {
  Style style = Style::Shenzhen;
  uint64_t seed = 1;
  int orders = 10000;  // order entries over the day (auctions and continuous), cancellations aside
  std::string symbol = "000001";  // at most 9 characters are written into the records
  int date = 20240102;
  double pre_close = 10.00;   // 0.01 to 5000.00; limits are +-10% (rounded half up to 0.01),
                              // prices on a 0.01 grid
  bool record_truth = false;  // keep the true book after each message group
  // Give every message group a time of its own, later than the group before (while a phase has
  // room: at most one group per millisecond, or per 10 ms in Shanghai). Merging the two files by
  // time then restores the sequence, taking orders first at equal times in Shenzhen and trades
  // first in Shanghai. Off, unrelated groups may share a time, as in real feeds.
  bool distinct_group_times = false;

  // The mix. With the defaults a day has about 1.94 records per entry in Shenzhen style and
  // 1.70 in Shanghai style: 515,000 and 580,000 entries give about 1,000,000 records.
  double cancel_ratio = 0.5;  // chance that an action cancels, when target_resting orders rest;
                              // it grows with the book, which keeps the book near that size
  int target_resting = 300;
  double market_ratio = 0.05;      // share of continuous entries that are market orders
  double aggressive_ratio = 0.25;  // share of continuous limit entries priced through the touch
  double daily_volatility = 0.02;  // standard deviation of the fair price's drift over the day
  // Share of the entries in the opening auction, before the open and in the closing auction;
  // continuous trading takes the rest.
  double opening_share = 0.04;
  double passive_share = 0.005;
  double closing_share = 0.02;
  // Shenzhen only: share of the entries between the opening match and the open that are priced
  // through the opposite best; above 0, every entry of that phase is held until 09:30 (above).
  double preopen_marketable_share = 0.0;
  // Orders placed as on a real day of a dear, busy stock (wide_book.cpp): most a few ticks
  // behind the touch, many far behind it, some near the limits, on round prices more often.
  bool wide_book = false;
};

// A day of the real shape of a dear, busy Shanghai stock (about 80,000 records, prices spread
// over 28,000 ticks, a thousand levels and several thousand orders resting at once), in either
// style.
Config wide_book_config(Style style, uint64_t seed);

// One price level: price in currency units, px in thousandths, total quantity, order count.
struct LevelTruth {
  double price;
  uint32_t px;
  int64_t quantity;
  int32_t orders;
};

struct BookTruth {
  size_t fed;                          // records of Day::sequence fed when this truth holds
  int32_t time;                        // time of the last record of the group
  std::vector<LevelTruth> bids, asks;  // every level, best first
  int32_t num_trades;
  int64_t volume;
  double turnover;               // sum of volume * price over the trade records, in sequence order
  double open, high, low, last;  // 0 until the first trade
};

// The shape of a simulated day, measured as it ran (levels and orders on the true book) and
// from its records.
struct DayStats {
  int64_t entries = 0;        // order records that enter an order (cancellations aside)
  int64_t cancellations = 0;  // cancellation records ('D' orders, Shenzhen cancel trades)
  int64_t trades = 0;         // trade records naming two orders
  int32_t min_ticks = 0;      // lowest and highest price an order rested at, in ticks of 0.01
  int32_t max_ticks = 0;
  int32_t max_levels = 0;   // most price levels on the book at once, both sides
  int32_t max_resting = 0;  // most orders resting at once
  int64_t new_levels = 0;   // price levels created over the day
  // Depth of a new level: the levels of its side better than it (0 when it is the best).
  double new_level_depth_mean = 0;
  int32_t new_level_depth_p90 = 0;
  int32_t new_level_depth_max = 0;
};

// One simulated day. `sequence` points into `orders` and `trades`; copies and moves keep it
// pointing into their own vectors.
struct Day {
  Config config;
  double upper_limit = 0, lower_limit = 0;
  std::vector<_L2Order> orders;       // the order file, in sequence order
  std::vector<_L2Trade> trades;       // the trade file, in sequence order
  std::vector<const void*> sequence;  // every record once, in the exchange's true sequence
  std::vector<BookTruth> truths;      // when config.record_truth
  DayStats stats;

  Day() = default;
  Day(const Day& other);
  Day& operator=(const Day& other);
  Day(Day&&) = default;
  Day& operator=(Day&&) = default;

  size_t events() const { return orders.size() + trades.size(); }
};

// Simulates one day. Deterministic per config (seed included); no global state.
Day simulate_day(const Config& config);

// ---- call auction price ---------------------------------------------------------------------
// The total quantity of one side at one price, in ticks of 0.01.
struct AuctionLevel {
  int32_t ticks;
  int64_t quantity;
};

// Result of a call auction: price in ticks and the volume executed there; volume 0 when the
// book does not cross (the price is then 0).
struct AuctionMatch {
  int32_t ticks = 0;
  int64_t volume = 0;
};

// Finds the single auction price of a book: the price with the largest executable volume at
// which every buy above it and every sell below it executes in full. Among several, Shanghai
// takes those leaving the smallest unmatched quantity at the price and then their middle price
// (rounded half up to the tick); Shenzhen takes the one nearest reference_ticks. Levels may come
// in any order and may repeat a price. Returns the price and volume, or volume 0.
AuctionMatch call_auction_price(const std::vector<AuctionLevel>& bids,
                                const std::vector<AuctionLevel>& asks, Style style,
                                int32_t reference_ticks);

}  // namespace qlsim

#endif  // QUOTELAB_SIM_FEED_SIM_H
