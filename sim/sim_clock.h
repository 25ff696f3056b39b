// Times of the simulated day: HHMMSSmmm conversions and the clock that spreads one trading
// phase's actions over its hours. Not thread-safe.
#ifndef QUOTELAB_SIM_SIM_CLOCK_H
#define QUOTELAB_SIM_SIM_CLOCK_H

#include <cstdint>
#include <vector>

#include "sim_rng.h"

namespace qlsim {
namespace detail {

// Milliseconds since midnight of an HHMMSSmmm time, and back.
int ms_of_day(int hhmmssmmm);
int time_of_ms(int ms);
// The HHMMSSmmm time ms milliseconds after (or before, when negative) hhmmssmmm.
int time_add_ms(int hhmmssmmm, int ms);

// Gives the times of one phase: `entries` evenly spread entry times with jitter, and any number
// of times for other actions between them. Times never decrease, fall on the feed's resolution
// and inside the phase's spans; with `distinct` each is later than the one before while the
// phase has room.
class PhaseClock {
 public:
  struct Span {
    int begin, end;  // HHMMSSmmm, end excluded
  };
  PhaseClock(std::vector<Span> spans, int entries, int resolution_ms, bool distinct, Rng& rng);

  // Picks the moment of entry i (0 <= i < entries, in increasing order).
  void plan_entry(int i);
  // A time for an action before the planned entry.
  int time_before_entry();
  // The time of the planned entry, after any actions before it.
  int entry_time();

 private:
  int wall_ms(int64_t offset_ms) const;
  int give(int ms);

  std::vector<Span> spans_;
  int64_t total_ms_ = 0;
  int entries_;
  int resolution_;
  bool distinct_;
  int first_ms_, last_allowed_ms_;
  int given_ms_ = -1;  // the last time given, -1 before the first
  int planned_ms_ = 0;
  Rng& rng_;
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_SIM_CLOCK_H
