// What a report shows of a rebuilt day checked against a snapshot file: coverage per trading
// phase, the mismatches with their level differences, the closing statistics. Filled from the
// result of verify_day, the check `quotelab verify` runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "verify_day.h"

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

// One closing statistic of the day, rebuilt and in the file.
struct ClosingCheck {
  std::string name;  // "trades", "volume", "turnover", "open", "high", "low", "last"
  double rebuilt = 0, file = 0;
  bool equal = true;
};

struct DayCheck {
  std::string source;                     // the snapshot file checked against
  std::string location = "line";          // what CheckMismatch::line counts: "line" or "record"
  std::vector<CheckPhase> phases;         // in the order of the day
  std::vector<CheckMismatch> mismatches;  // the first ones in file order, with their diffs
  std::vector<int32_t> mismatch_times;    // the times of the mismatches known, for the axis
  size_t mismatch_count = 0;              // all of them
  std::vector<ClosingCheck> closing;
};

// The page's view of verify_day's result: the first `detailed` mismatches get their level
// differences against the nearest rebuilt state.
DayCheck day_check_of(const qlverify::VerifyReport& report,
                      const std::vector<qlverify::ReferenceSnapshot>& references,
                      const std::string& source, const std::string& location, size_t detailed = 20);

}  // namespace qltool
