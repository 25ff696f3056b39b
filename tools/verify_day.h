// Checking a rebuilt day against the exchange's own snapshots.
//
// The day is replayed through an orderbook_builder on its every-event schedule, and each
// reference snapshot is looked for among the book states the replay passes through:
//  - outside the call auctions, by trade count: a snapshot that shows N trades must equal some
//    state between trade N and trade N+1 (the exchange cuts its snapshots by sequence, so their
//    trade counts place them exactly), the snapshots in file order;
//  - in the call auctions (before 09:25:00.000, and 14:57:00.000 to 15:00:00.000), where the
//    count stands still, by search: starting at the state that matched the snapshot before,
//    among the states after each event timed before the snapshot's time plus three seconds
//    (the exchange stamps an auction snapshot up to about half a second before the last event
//    it shows); when none matches, the snapshot is missed and the search goes on from the last
//    state timed at or before it.
// Equal means ten levels a side, price and quantity, and the order count of each level when the
// reference carries them. With the exchange auction view, call-auction states are compared as
// the exchange shows them (the indicative match: exchange_auction_view).
//
// Depends on the public headers only, so that other front ends (the Python package) can build
// it beside their own readers. Not thread-safe; separate calls share nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quotelab/orderbook.h"
#include "quotelab/records.h"

namespace qlverify {

constexpr int kLevels = QL_SNAPSHOT_LEVELS;

// One snapshot of the reference file.
struct ReferenceSnapshot {
  _L2Snapshot snapshot{};
  int64_t line = 0;               // where it stands in its file (0: not known)
  bool has_order_counts = false;  // the file gives the orders of each level
  int32_t bid_orders[kLevels] = {};
  int32_t ask_orders[kLevels] = {};
};

enum Phase { kOpeningAuction = 0, kContinuousTrading = 1, kClosingAuction = 2, kPhases = 3 };

// "opening auction", "continuous trading", "closing auction".
const char* phase_name(int phase);
// The phase a reference snapshot stamped `time` is checked in.
Phase phase_of(int32_t time);

// True for a time in a call auction as the exchange's snapshots show it: 09:15:00.000 to
// 09:25:00.000 and 14:57:00.000 to 15:00:00.000, both ends excluded.
bool in_call_auction(int32_t time);
// Rewrites the levels of a snapshot of `book` stamped in a call auction as the exchange shows
// them: bid 1 and ask 1 at the indicative price with the matched quantity, level 2 of the side
// with unmatched quantity at price 0 with that quantity, nothing else (no level when nothing
// would match). Leaves other snapshots as they are. A Shenzhen auction's ties go to the price
// nearest the last trade price, or before the first trade to pre_close (the book's own
// snapshot has none: the caller knows it from the exchange's snapshots or the user).
void exchange_auction_view(orderbook* book, _L2Snapshot* snapshot, double pre_close = 0.0);

// The day to rebuild: two time-ordered files (run2), or the exchange's sequence over them
// (run3, when sequence is not NULL). The arrays are borrowed.
struct DayInput {
  std::string exchange;  // "SH", "SZ", ...
  std::string symbol;
  int32_t date = 0;
  const _L2Order* orders = nullptr;
  int32_t order_count = 0;
  const _L2Trade* trades = nullptr;
  int32_t trade_count = 0;
  const void* const* sequence = nullptr;
  int32_t sequence_count = 0;
};

struct VerifyOptions {
  bool exchange_auction_view = false;
  double pre_close = 0;        // for the auction view; 0: the first the reference snapshots give
  size_t mismatches_kept = 5;  // first mismatches kept for the report
};

// Ten levels a side of one book state (or of a reference snapshot).
struct LevelView {
  int32_t time = 0;
  int32_t num_trades = 0;
  bool has_order_counts = false;
  double bid_price[kLevels] = {}, ask_price[kLevels] = {};
  int32_t bid_volume[kLevels] = {}, ask_volume[kLevels] = {};
  int32_t bid_orders[kLevels] = {}, ask_orders[kLevels] = {};
};

struct Mismatch {
  size_t reference;  // index into the reference snapshots
  Phase phase;
  LevelView rebuilt;  // the nearest state: the last one with the snapshot's trade count, or
                      // in an auction the last one timed at or before it
  bool rebuilt_known;
};

struct Coverage {
  size_t matched = 0, total = 0;
  // Percent matched, floored to hundredths (so 100.00 means every one); 100 when none.
  double percent() const;
};

// One closing statistic, rebuilt and reference.
struct Statistic {
  const char* name;
  double rebuilt, reference;
  bool equal;
};

struct VerifyReport {
  Coverage coverage[kPhases];
  std::vector<Mismatch> mismatches;  // the first VerifyOptions::mismatches_kept, in file order
  size_t mismatch_count = 0;
  std::vector<Statistic> closing;  // trades, volume, turnover, open, high, low, last
  bool closing_equal = true;
  int64_t events = 0;
};

// Rebuilds the day and checks every reference snapshot (in file order, their trade counts not
// decreasing). Returns false with *error set when the builder refuses the day.
bool verify_day(const DayInput& day, const std::vector<ReferenceSnapshot>& references,
                const VerifyOptions& options, VerifyReport* report, std::string* error);

// The report as text: one coverage line per phase ("continuous trading: 4732/4740 (99.83%)"),
// each kept mismatch as a side-by-side level diff naming its line, the closing statistics.
std::string format_report(const VerifyReport& report,
                          const std::vector<ReferenceSnapshot>& references);

}  // namespace qlverify
