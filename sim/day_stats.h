// The simulator's measure of a day's shape (DayStats): the true book's levels and orders as the
// day runs, and the records it wrote. Not thread-safe (one per simulation).
#ifndef QUOTELAB_SIM_DAY_STATS_H
#define QUOTELAB_SIM_DAY_STATS_H

#include <cstdint>
#include <vector>

#include "feed_sim.h"

namespace qlsim {
namespace detail {

class ShapeRecorder {
 public:
  // A price level was created `depth` levels behind its side's best.
  void new_level(int32_t depth);
  // An order rested at `ticks`, leaving `levels` levels and `resting` orders on the book.
  void rested(int32_t ticks, int32_t levels, int32_t resting);
  // The statistics of the finished day whose records are in `day`.
  DayStats finish(const Day& day) const;

 private:
  std::vector<int64_t> depths_;  // new levels by depth
  int64_t new_levels_ = 0;
  int64_t depth_sum_ = 0;
  int32_t min_ticks_ = 0, max_ticks_ = 0;
  int32_t max_levels_ = 0, max_resting_ = 0;
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_DAY_STATS_H
