// A simulated market day: many stocks' days (simulate_day) in one stream of records, the way a
// vendor delivers a whole market in one order file and one trade file.
//
// Symbols take both exchanges' styles by their codes (6xxxxx Shanghai, 0xxxxx and 3xxxxx
// Shenzhen) and sizes spread like a real market: about one symbol in two hundred (at least one)
// has 1 to 2 million events, the others 10,000 to 100,000 (log-uniform); a total scales them
// all. The stream runs in time order; records of one time come in symbol order, and each
// symbol's records in its own exchange sequence, so a symbol's share of the stream is exactly
// its own day.
#ifndef QUOTELAB_SIM_MARKET_SIM_H
#define QUOTELAB_SIM_MARKET_SIM_H

#include <cstdint>
#include <functional>
#include <vector>

#include "feed_sim.h"

namespace qlsim {

struct MarketConfig {
  int symbols = 100;
  int64_t events = 0;  // about this many events over all symbols; 0: the sizes as spread
  uint64_t seed = 1;
  int date = 20240102;
};

// The day of each symbol, in symbol order. Deterministic per config.
std::vector<Config> plan_market(const MarketConfig& market);

// Simulates every planned day and hands each record (an _L2Order or _L2Trade) to sink in the
// market's stream. Holds every day in memory while it merges them.
void simulate_market(const std::vector<Config>& plans,
                     const std::function<void(const void* record)>& sink);

}  // namespace qlsim

#endif  // QUOTELAB_SIM_MARKET_SIM_H
