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
// of cancellation times between them, never decreasing, at the feed's resolution.
class PhaseClock {
 public:
  struct Span {
    int begin, end;  // HHMMSSmmm, end excluded
  };
  PhaseClock(std::vector<Span> spans, int entries, int resolution_ms, Rng& rng);

  // Time of entry i (0 <= i < entries); call with i increasing.
  int entry_time(int i);
  // A time from the last one given up to that of the coming entry, for an action before it.
  int time_before_entry();

 private:
  int wall_time(int64_t offset_ms) const;

  std::vector<Span> spans_;
  int64_t total_ms_ = 0;
  int entries_;
  int resolution_;
  int last_ = 0;   // ms of the last action given a time
  int entry_ = 0;  // ms of the coming entry
  Rng& rng_;
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_SIM_CLOCK_H
