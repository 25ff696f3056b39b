#include "day_stats.h"

#include <algorithm>

namespace qlsim {
namespace detail {

void ShapeRecorder::new_level(int32_t depth) {
  if (static_cast<size_t>(depth) >= depths_.size()) depths_.resize(static_cast<size_t>(depth) + 1);
  ++depths_[static_cast<size_t>(depth)];
  ++new_levels_;
  depth_sum_ += depth;
}

void ShapeRecorder::rested(int32_t ticks, int32_t levels, int32_t resting) {
  if (max_resting_ == 0 || ticks < min_ticks_) min_ticks_ = ticks;
  if (max_resting_ == 0 || ticks > max_ticks_) max_ticks_ = ticks;
  max_levels_ = std::max(max_levels_, levels);
  max_resting_ = std::max(max_resting_, resting);
}

DayStats ShapeRecorder::finish(const Day& day) const {
  DayStats s;
  for (const _L2Order& o : day.orders) {
    ++(o.order_type == 'D' ? s.cancellations : s.entries);
  }
  for (const _L2Trade& t : day.trades) {
    ++(t.bid_seq_num == 0 || t.ask_seq_num == 0 ? s.cancellations : s.trades);
  }
  s.min_ticks = min_ticks_;
  s.max_ticks = max_ticks_;
  s.max_levels = max_levels_;
  s.max_resting = max_resting_;
  s.new_levels = new_levels_;
  if (new_levels_ == 0) return s;
  s.new_level_depth_mean = static_cast<double>(depth_sum_) / static_cast<double>(new_levels_);
  s.new_level_depth_max = static_cast<int32_t>(depths_.size()) - 1;
  // The smallest depth at or below which 90% of the new levels lie.
  int64_t below = 0;
  for (size_t d = 0; d < depths_.size(); ++d) {
    below += depths_[d];
    if (below * 10 >= new_levels_ * 9) {
      s.new_level_depth_p90 = static_cast<int32_t>(d);
      break;
    }
  }
  return s;
}

}  // namespace detail
}  // namespace qlsim
