// The single price of a call auction. Written as the exchanges state the rule, price by price,
// rather than cleverly: it runs twice a day.
#include <algorithm>
#include <cstdlib>

#include "feed_sim.h"

namespace qlsim {
namespace {

struct Candidate {
  int32_t ticks;
  int64_t volume;   // executable at this price
  int64_t surplus;  // unmatched quantity at this price
};

int64_t quantity_where(const std::vector<AuctionLevel>& levels, bool (*keep)(int32_t, int32_t),
                       int32_t ticks) {
  int64_t sum = 0;
  for (const AuctionLevel& lv : levels) {
    if (keep(lv.ticks, ticks)) sum += lv.quantity;
  }
  return sum;
}

bool at_or_above(int32_t t, int32_t p) {
  return t >= p;
}
bool above(int32_t t, int32_t p) {
  return t > p;
}
bool at_or_below(int32_t t, int32_t p) {
  return t <= p;
}
bool below(int32_t t, int32_t p) {
  return t < p;
}

// The prices at which the largest volume executes with every buy above and every sell below
// the price executed in full. A price between two such prices is one too, so the answer is the
// range these candidates span.
std::vector<Candidate> best_candidates(const std::vector<AuctionLevel>& bids,
                                       const std::vector<AuctionLevel>& asks) {
  std::vector<int32_t> prices;
  for (const AuctionLevel& lv : bids) prices.push_back(lv.ticks);
  for (const AuctionLevel& lv : asks) prices.push_back(lv.ticks);
  std::sort(prices.begin(), prices.end());
  prices.erase(std::unique(prices.begin(), prices.end()), prices.end());

  std::vector<Candidate> best;
  for (int32_t p : prices) {
    const int64_t buy = quantity_where(bids, at_or_above, p);
    const int64_t sell = quantity_where(asks, at_or_below, p);
    const int64_t volume = std::min(buy, sell);
    if (volume <= 0) continue;
    if (quantity_where(bids, above, p) > volume || quantity_where(asks, below, p) > volume) {
      continue;
    }
    if (!best.empty() && volume < best.front().volume) continue;
    if (!best.empty() && volume > best.front().volume) best.clear();
    best.push_back(Candidate{p, volume, std::llabs(buy - sell)});
  }
  return best;
}

}  // namespace

AuctionMatch call_auction_price(const std::vector<AuctionLevel>& bids,
                                const std::vector<AuctionLevel>& asks, Style style,
                                int32_t reference_ticks) {
  std::vector<Candidate> best = best_candidates(bids, asks);
  if (best.empty()) return AuctionMatch{};
  AuctionMatch match;
  match.volume = best.front().volume;
  if (style == Style::Shenzhen) {
    match.ticks = std::clamp(reference_ticks, best.front().ticks, best.back().ticks);
    return match;
  }
  int64_t least = best.front().surplus;
  for (const Candidate& c : best) least = std::min(least, c.surplus);
  int32_t lo = -1, hi = -1;
  for (const Candidate& c : best) {
    if (c.surplus != least) continue;
    if (lo < 0) lo = c.ticks;
    hi = c.ticks;
  }
  match.ticks = (lo + hi + 1) / 2;
  return match;
}

}  // namespace qlsim
