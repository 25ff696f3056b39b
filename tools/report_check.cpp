#include "report_check.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qltool {
namespace {

constexpr int32_t kContinuousStart = 93000000;  // 09:30:00.000
constexpr int32_t kClosingStart = 145700000;    // 14:57:00.000
constexpr size_t kMaxDiffsPerMismatch = 8;
const char* const kPhases[] = {"opening auction", "continuous trading", "closing auction"};

size_t phase_index(int32_t time) {
  return time < kContinuousStart ? 0 : time < kClosingStart ? 1 : 2;
}

// The ten levels of both sides: prices and volumes, compared as the file stores them.
bool same_levels(const _L2Snapshot& a, const _L2Snapshot& b) {
  return std::memcmp(a.ask_price, b.ask_price, sizeof a.ask_price) == 0 &&
         std::memcmp(a.ask_volume, b.ask_volume, sizeof a.ask_volume) == 0 &&
         std::memcmp(a.bid_price, b.bid_price, sizeof a.bid_price) == 0 &&
         std::memcmp(a.bid_volume, b.bid_volume, sizeof a.bid_volume) == 0;
}

void append_side_diffs(char side, const double* file_price, const int32_t* file_volume,
                       const double* book_price, const int32_t* book_volume,
                       std::vector<LevelDiff>* out) {
  for (int i = 0; i < 10 && out->size() < kMaxDiffsPerMismatch; ++i) {
    if (file_price[i] == book_price[i] && file_volume[i] == book_volume[i]) continue;
    out->push_back({side, i + 1, file_price[i], file_volume[i], book_price[i], book_volume[i]});
  }
}

std::vector<LevelDiff> level_diffs(const _L2Snapshot& file, const _L2Snapshot& book) {
  // Copies: the packed record's arrays are not aligned for the element type.
  _L2Snapshot f, b;
  std::memcpy(&f, &file, sizeof f);
  std::memcpy(&b, &book, sizeof b);
  double fp[10], bp[10];
  int32_t fv[10], bv[10];
  std::vector<LevelDiff> diffs;
  std::memcpy(fp, f.ask_price, sizeof fp);
  std::memcpy(fv, f.ask_volume, sizeof fv);
  std::memcpy(bp, b.ask_price, sizeof bp);
  std::memcpy(bv, b.ask_volume, sizeof bv);
  append_side_diffs('A', fp, fv, bp, bv, &diffs);
  std::memcpy(fp, f.bid_price, sizeof fp);
  std::memcpy(fv, f.bid_volume, sizeof fv);
  std::memcpy(bp, b.bid_price, sizeof bp);
  std::memcpy(bv, b.bid_volume, sizeof bv);
  append_side_diffs('B', fp, fv, bp, bv, &diffs);
  return diffs;
}

}  // namespace

const char* phase_of_time(int32_t hhmmssmmm) {
  return kPhases[phase_index(hhmmssmmm)];
}

SnapshotCheck::SnapshotCheck(std::vector<_L2Snapshot> file, std::vector<size_t> lines,
                             std::string source, std::string location, size_t max_detailed)
    : file_(std::move(file)), lines_(std::move(lines)), max_detailed_(max_detailed) {
  check_.source = std::move(source);
  check_.location = std::move(location);
  for (const char* name : kPhases) check_.phases.push_back({name, 0, 0});
  order_.resize(file_.size());
  for (size_t i = 0; i < order_.size(); ++i) order_[i] = i;
  std::stable_sort(order_.begin(), order_.end(),
                   [this](size_t a, size_t b) { return file_[a].time < file_[b].time; });
  matched_.resize(order_.size(), false);
}

// Opens the next group of file snapshots sharing a time; the state before its window (the
// last rebuilt snapshot so far) is its first candidate.
void SnapshotCheck::open_group() {
  group_begin_ = group_end_;
  const int32_t time = file_[order_[group_begin_]].time;
  while (group_end_ < order_.size() && file_[order_[group_end_]].time == time) ++group_end_;
  group_open_ = true;
  compare(current_);
}

void SnapshotCheck::compare(const _L2Snapshot& rebuilt) {
  for (size_t k = group_begin_; k < group_end_; ++k) {
    if (!matched_[k] && same_levels(rebuilt, file_[order_[k]])) matched_[k] = true;
  }
}

void SnapshotCheck::close_group() {
  for (size_t k = group_begin_; k < group_end_; ++k) {
    const size_t i = order_[k];
    const int32_t time = file_[i].time;
    CheckPhase& phase = check_.phases[phase_index(time)];
    ++phase.total;
    if (matched_[k]) {
      ++phase.matched;
      continue;
    }
    check_.mismatch_times.push_back(time);
    if (check_.mismatches.size() < max_detailed_) {
      check_.mismatches.push_back(
          {time, i < lines_.size() ? lines_[i] : 0, level_diffs(file_[i], current_)});
    }
  }
  group_open_ = false;
}

void SnapshotCheck::add_rebuilt(const _L2Snapshot& snapshot) {
  // Groups timed before this snapshot have seen every candidate they will get.
  while (group_end_ < order_.size() || group_open_) {
    if (!group_open_) open_group();
    if (file_[order_[group_begin_]].time >= snapshot.time) break;
    close_group();
  }
  if (group_open_) compare(snapshot);
  current_ = snapshot;
}

const DayCheck& SnapshotCheck::finish() {
  while (group_end_ < order_.size() || group_open_) {
    if (!group_open_) open_group();
    close_group();
  }
  return check_;
}

}  // namespace qltool
