// Where orders rest on a real-shaped day (Config::wide_book): the distances behind the touch of
// a dear, busy stock's passive orders. Not thread-safe (uses the simulation's generator).
#ifndef QUOTELAB_SIM_WIDE_BOOK_H
#define QUOTELAB_SIM_WIDE_BOOK_H

#include <cstdint>

#include "sim_rng.h"

namespace qlsim {
namespace detail {

// Ticks behind `start` (the nearest price a passive order of its side may take) at which a
// passive order rests: buys at start - result, sells at start + result. Far orders prefer round
// prices, as people type them.
int32_t wide_book_behind(Rng& rng, int32_t start, bool buy);

// Which of `count` (> 0) resting orders, held newest last, is cancelled: often one just
// entered, as quoting programs replace their orders.
uint32_t wide_book_cancel_index(Rng& rng, uint32_t count);

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_WIDE_BOOK_H
