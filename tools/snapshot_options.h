// The snapshot options `book` and `verify` share: the schedule the builder emits on
// (--schedule) and how call-auction snapshots show the book (--auction-view).
#pragma once

#include <string>
#include <vector>

#include "quotelab/orderbook.h"

namespace qltool {

class Args;

struct SnapshotSchedule {
  int kind = ORDERBOOK_SCHEDULE_TRADING_HOURS;
  int grid_ms = 0;
  std::vector<int32_t> trade_counts;  // of trades:FILE, non-decreasing
};

// Reads "events", "grid:MS" or "trades:FILE" (the file: trade counts separated by blanks,
// commas or line ends, non-decreasing). Returns false with *error set.
bool parse_schedule(const std::string& text, SnapshotSchedule* schedule, std::string* error);

// Reads --schedule, --auction-view and --pre-close when given (reporting what is wrong).
// Returns false on a bad value.
bool parse_snapshot_options(const Args& args, SnapshotSchedule* schedule, bool* exchange_view,
                            double* pre_close);

// Gives the schedule to the builder (which borrows the counts). Returns false when refused.
bool apply_schedule(orderbook_builder* builder, const SnapshotSchedule& schedule);

// --auction-view: "book" (the book's own levels) or "exchange" (the indicative match during the
// call auctions, as the exchange's snapshots show it).
bool parse_auction_view(const std::string& text, bool* exchange_view);

}  // namespace qltool
