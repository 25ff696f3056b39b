#include "sim_clock.h"

#include <algorithm>
#include <utility>

#include "quotelab/utilcore.h"

namespace qlsim {
namespace detail {

int ms_of_day(int t) {
  return KX::TimeTools::time_to_msec(t);
}

int time_of_ms(int ms) {
  return KX::TimeTools::msec_to_time(ms);
}

int time_add_ms(int hhmmssmmm, int ms) {
  return time_of_ms(ms_of_day(hhmmssmmm) + ms);
}

PhaseClock::PhaseClock(std::vector<Span> spans, int entries, int resolution_ms, bool distinct,
                       Rng& rng)
    : spans_(std::move(spans)),
      entries_(entries),
      resolution_(resolution_ms),
      distinct_(distinct),
      rng_(rng) {
  for (const Span& s : spans_) total_ms_ += ms_of_day(s.end) - ms_of_day(s.begin);
  first_ms_ = spans_.empty() ? 0 : ms_of_day(spans_.front().begin);
  last_allowed_ms_ = spans_.empty() ? 0 : ms_of_day(spans_.back().end) - resolution_;
}

// The wall-clock millisecond of an offset into the phase's trading time, skipping the gaps
// between spans (the lunch break).
int PhaseClock::wall_ms(int64_t offset_ms) const {
  for (const Span& s : spans_) {
    const int64_t length = ms_of_day(s.end) - ms_of_day(s.begin);
    if (offset_ms < length) return ms_of_day(s.begin) + static_cast<int>(offset_ms);
    offset_ms -= length;
  }
  return last_allowed_ms_;
}

void PhaseClock::plan_entry(int i) {
  // Slot i of `entries` equal slots, at a random point inside it.
  const double at = (i + rng_.uniform()) * static_cast<double>(total_ms_) / entries_;
  planned_ms_ = wall_ms(static_cast<int64_t>(at));
}

int PhaseClock::time_before_entry() {
  const int from = given_ms_ < 0 ? first_ms_ : given_ms_;
  return give(from + static_cast<int>(rng_.uniform() * std::max(0, planned_ms_ - from)));
}

int PhaseClock::entry_time() {
  return give(planned_ms_);
}

// Rounds down to the resolution, then moves forward as far as the order of times (and their
// distinctness) asks and out of any gap between spans, never past the phase's last moment.
int PhaseClock::give(int ms) {
  ms -= ms % resolution_;
  if (given_ms_ >= 0) ms = std::max(ms, distinct_ ? given_ms_ + resolution_ : given_ms_);
  for (const Span& s : spans_) {
    if (ms < ms_of_day(s.begin)) ms = ms_of_day(s.begin);
    if (ms < ms_of_day(s.end)) break;
  }
  given_ms_ = std::min(std::max(ms, given_ms_), last_allowed_ms_);
  return time_of_ms(given_ms_);
}

}  // namespace detail
}  // namespace qlsim
