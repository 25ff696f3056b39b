// The page of `quotelab report`: one self-contained HTML file that shows a rebuilt day at a
// glance. Inline SVG charts, inline CSS for a light and a dark theme, no script and no
// reference to anything outside the file:
//   - last price over the best bid/ask band, call auctions shaded, mismatches marked;
//   - the spread between best ask and best bid;
//   - a depth heat map of the ten levels a side;
//   - traded volume per minute;
//   - with a check, its coverage per phase and the first mismatches' level differences.
// Every chart is drawn from series downsampled to the width of the page (a point per 2 px, a
// heat map column per 4 px), so the page stays near 100 KB whatever the snapshot interval.
#pragma once

#include <string>
#include <vector>

#include "quotelab/records.h"
#include "report_check.h"

namespace qltool {

struct ReportHeading {
  std::string title;   // "000001.SZ 20240102"
  std::string source;  // what was rebuilt, one line ("orders.dat + trades.dat, 3000 ms")
};

// The snapshots a page needs of a day, kept as the builder emits them: per second of the clock
// the last snapshot and those with the second's lowest and highest last price. The charts are
// drawn at half a minute per point or so, so a day rebuilt at a 1 ms interval (600,000
// snapshots) is drawn from some 20,000 of them, with every price extreme and every minute's
// volume intact. Not thread-safe.
class ReportSeries {
 public:
  void add(const _L2Snapshot& snapshot);
  const std::vector<_L2Snapshot>& kept() const { return kept_; }
  size_t seen() const { return seen_; }

 private:
  std::vector<_L2Snapshot> kept_;
  size_t second_begin_ = 0;  // the first kept snapshot of the current second
  size_t seen_ = 0;
};

// Renders the page of `snapshots` (in time order, as the builder emits them); check may be
// NULL. Returns the whole HTML text.
std::string render_report_html(const std::vector<_L2Snapshot>& snapshots,
                               const ReportHeading& heading, const DayCheck* check);

}  // namespace qltool
