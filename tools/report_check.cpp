#include "report_check.h"

namespace qltool {
namespace {

constexpr size_t kMaxDiffsPerMismatch = 8;

void append_side_diffs(char side, const double* file_price, const int32_t* file_volume,
                       const double* book_price, const int32_t* book_volume,
                       std::vector<LevelDiff>* out) {
  for (int i = 0; i < qlverify::kLevels && out->size() < kMaxDiffsPerMismatch; ++i) {
    if (file_price[i] == book_price[i] && file_volume[i] == book_volume[i]) continue;
    out->push_back({side, i + 1, file_price[i], file_volume[i], book_price[i], book_volume[i]});
  }
}

// The reference's levels against the rebuilt state's (an empty book when none is known).
std::vector<LevelDiff> level_diffs(const _L2Snapshot& file, const qlverify::Mismatch& m) {
  const qlverify::LevelView empty;
  const qlverify::LevelView& book = m.rebuilt_known ? m.rebuilt : empty;
  qlverify::LevelView f;  // aligned copies of the packed record's arrays
  for (int i = 0; i < qlverify::kLevels; ++i) {
    f.ask_price[i] = file.ask_price[i];
    f.ask_volume[i] = file.ask_volume[i];
    f.bid_price[i] = file.bid_price[i];
    f.bid_volume[i] = file.bid_volume[i];
  }
  std::vector<LevelDiff> diffs;
  append_side_diffs('A', f.ask_price, f.ask_volume, book.ask_price, book.ask_volume, &diffs);
  append_side_diffs('B', f.bid_price, f.bid_volume, book.bid_price, book.bid_volume, &diffs);
  return diffs;
}

}  // namespace

DayCheck day_check_of(const qlverify::VerifyReport& report,
                      const std::vector<qlverify::ReferenceSnapshot>& references,
                      const std::string& source, const std::string& location, size_t detailed) {
  DayCheck check;
  check.source = source;
  check.location = location;
  for (int p = 0; p < qlverify::kPhases; ++p) {
    check.phases.push_back(
        {qlverify::phase_name(p), report.coverage[p].matched, report.coverage[p].total});
  }
  for (const qlverify::Mismatch& m : report.mismatches) {
    if (m.reference >= references.size()) continue;
    const qlverify::ReferenceSnapshot& ref = references[m.reference];
    check.mismatch_times.push_back(ref.snapshot.time);
    if (check.mismatches.size() < detailed) {
      check.mismatches.push_back(
          {ref.snapshot.time, static_cast<size_t>(ref.line), level_diffs(ref.snapshot, m)});
    }
  }
  check.mismatch_count = report.mismatch_count;
  for (const qlverify::Statistic& s : report.closing) {
    check.closing.push_back({s.name, s.rebuilt, s.reference, s.equal});
  }
  return check;
}

}  // namespace qltool
