#include "sim_clock.h"

#include <algorithm>
#include <utility>

namespace qlsim {
namespace detail {

int ms_of_day(int t) {
  return ((t / 10000000) * 3600 + (t / 100000 % 100) * 60 + t / 1000 % 100) * 1000 + t % 1000;
}

int time_of_ms(int ms) {
  const int s = ms / 1000;
  return (s / 3600) * 10000000 + (s / 60 % 60) * 100000 + (s % 60) * 1000 + ms % 1000;
}

int time_add_ms(int hhmmssmmm, int ms) {
  return time_of_ms(ms_of_day(hhmmssmmm) + ms);
}

PhaseClock::PhaseClock(std::vector<Span> spans, int entries, int resolution_ms, Rng& rng)
    : spans_(std::move(spans)), entries_(entries), resolution_(resolution_ms), rng_(rng) {
  for (const Span& s : spans_) total_ms_ += ms_of_day(s.end) - ms_of_day(s.begin);
  last_ = entry_ = spans_.empty() ? 0 : ms_of_day(spans_.front().begin);
}

// The wall-clock millisecond of an offset into the phase's trading time, skipping the gaps
// between spans (the lunch break).
int PhaseClock::wall_time(int64_t offset_ms) const {
  for (const Span& s : spans_) {
    const int64_t length = ms_of_day(s.end) - ms_of_day(s.begin);
    if (offset_ms < length) return ms_of_day(s.begin) + static_cast<int>(offset_ms);
    offset_ms -= length;
  }
  return ms_of_day(spans_.back().end) - 1;
}

int PhaseClock::entry_time(int i) {
  last_ = std::max(last_, entry_);  // the previous entry has happened
  // Slot i of `entries` equal slots, at a random point inside it: never before slot i - 1.
  const double at = (i + rng_.uniform()) * static_cast<double>(total_ms_) / entries_;
  int ms = wall_time(static_cast<int64_t>(at));
  ms -= ms % resolution_;
  entry_ = std::max(last_, ms);
  return time_of_ms(entry_);
}

int PhaseClock::time_before_entry() {
  int ms = last_ + static_cast<int>(rng_.uniform() * (entry_ - last_));
  ms -= ms % resolution_;
  last_ = std::max(last_, ms);
  return time_of_ms(last_);
}

}  // namespace detail
}  // namespace qlsim
