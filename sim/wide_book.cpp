// The real shape, taken from a whole Shanghai day of a stock priced near 1,900.00: 39,000
// entries, a cancellation for every 2.5 of them, up to 1,100 levels and 3,700 orders resting,
// resting prices spread over 28,500 ticks, 15,000 levels created at a mean depth of 14 levels.
#include "wide_book.h"

#include <cmath>

#include "feed_sim.h"

namespace qlsim {
namespace detail {
namespace {

// The mix of distances: most orders join the crowd near the touch, a third wait some way back,
// and a few rest far off, down to a fifth of the price.
constexpr double kNearShare = 0.865;
constexpr double kMiddleShare = 0.1;
constexpr double kNearMean = 15;    // ticks
constexpr double kMiddleMean = 25;  // ticks
constexpr int32_t kFarMin = 800, kFarMax = 14000;

// Share of cancellations that take one of the latest orders, and how far back they reach.
constexpr double kRecentCancelShare = 0.95;
constexpr double kRecentCancelMean = 3;

// Distance from start that lands on a multiple of `unit` ticks (at least `d`).
int32_t rounded(int32_t start, int32_t d, bool buy, int32_t unit) {
  const int32_t price = buy ? start - d : start + d;
  const int32_t snapped = buy ? price - ((price % unit) + unit) % unit
                              : price + (unit - ((price % unit) + unit) % unit) % unit;
  return buy ? start - snapped : snapped - start;
}

}  // namespace

int32_t wide_book_behind(Rng& rng, int32_t start, bool buy) {
  const double u = rng.uniform();
  if (u < kNearShare) return rng.geometric(kNearMean, 200);
  if (u < kNearShare + kMiddleShare) {
    const int32_t d = rng.geometric(kMiddleMean, 3000);
    return rng.chance(0.4) ? rounded(start, d, buy, 10) : d;
  }
  const int32_t d = rng.between(kFarMin, kFarMax);
  return rounded(start, d, buy, rng.chance(0.3) ? 100 : 10);
}

uint32_t wide_book_cancel_index(Rng& rng, uint32_t count) {
  if (!rng.chance(kRecentCancelShare)) return rng.below(count);
  const uint32_t back = static_cast<uint32_t>(rng.geometric(kRecentCancelMean, 1000000));
  return back < count ? count - 1 - back : 0;
}

}  // namespace detail

Config wide_book_config(Style style, uint64_t seed) {
  Config c;
  c.style = style;
  c.seed = seed;
  c.symbol = "600519";
  c.pre_close = 1900.00;
  c.orders = 39000;
  c.target_resting = 3000;
  c.cancel_ratio = 0.5;
  c.daily_volatility = 0.03;
  c.wide_book = true;
  return c;
}

}  // namespace qlsim
