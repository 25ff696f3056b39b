// What a report shows of a rebuilt day checked against a snapshot file: coverage per trading
// phase and the first mismatches with their level differences. `quotelab verify` fills the
// same result with its exact comparison; check_against_rebuilt is the page's own quick one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quotelab/records.h"

namespace qltool {

// How many of a phase's file snapshots the rebuild reproduces.
struct CheckPhase {
  std::string name;  // "opening auction", "continuous trading", "closing auction"
  size_t matched = 0;
  size_t total = 0;
};

// One price level on which the file and the rebuilt book disagree.
struct LevelDiff {
  char side = 'B';  // 'B' bid, 'A' ask
  int level = 1;    // 1 (best) to 10
  double file_price = 0;
  int64_t file_volume = 0;
  double book_price = 0;
  int64_t book_volume = 0;
};

// A file snapshot that no rebuilt state equals.
struct CheckMismatch {
  int32_t time = 0;              // HHMMSSmmm of the file's snapshot
  size_t line = 0;               // where it is in the file (see DayCheck::location)
  std::vector<LevelDiff> diffs;  // the first few, asks then bids, best first
};

struct DayCheck {
  std::string source;                     // the snapshot file checked against
  std::string location = "line";          // what CheckMismatch::line counts: "line" or "record"
  std::vector<CheckPhase> phases;         // in the order of the day
  std::vector<CheckMismatch> mismatches;  // the first ones in file order, with their diffs
  std::vector<int32_t> mismatch_times;    // the time of every mismatch, for the time axis
};

// The phase a snapshot time falls in: before 09:30 the opening auction, from 14:57 the
// closing auction, continuous trading between.
const char* phase_of_time(int32_t hhmmssmmm);

// The page's own check, fed the rebuilt snapshots as the builder emits them (in time order)
// so that a day rebuilt at any interval is checked without keeping it. A file snapshot at
// time T matches when some rebuilt snapshot timed after the file's previous time and at or
// before T, or the last one before that, has the same ten levels a side (price and volume).
// A mismatch is diffed against the last rebuilt snapshot at or before T. Not thread-safe.
class SnapshotCheck {
 public:
  // file[i] is at lines[i] of its file (a line or a record number, as location says). Keeps
  // the diffs of the first max_detailed mismatches.
  SnapshotCheck(std::vector<_L2Snapshot> file, std::vector<size_t> lines, std::string source,
                std::string location, size_t max_detailed = 20);

  void add_rebuilt(const _L2Snapshot& snapshot);
  // Settles the file snapshots still open and gives the result.
  const DayCheck& finish();

 private:
  void open_group();
  void close_group();
  void compare(const _L2Snapshot& rebuilt);

  std::vector<_L2Snapshot> file_;
  std::vector<size_t> lines_;
  std::vector<size_t> order_;               // file indices by time (file order among equal times)
  std::vector<bool> matched_;               // of the open group, by position in order_
  size_t group_begin_ = 0, group_end_ = 0;  // the open group: file snapshots of one time
  bool group_open_ = false;
  _L2Snapshot current_{};  // the last rebuilt snapshot seen
  size_t max_detailed_;
  DayCheck check_;
};

}  // namespace qltool
