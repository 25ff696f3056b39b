#include "report_html.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "args.h"

namespace qltool {
namespace {

// Geometry in SVG user units; the page scales the charts to the window's width.
constexpr double kWidth = 1200;
constexpr double kLeft = 76;
constexpr double kRight = 12;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kAxisHeight = 22;  // below each chart: time labels
constexpr double kTopPad = 8;
// One line point per 2 px and one heat map column per 4 px: finer than a laptop screen shows
// neither, and a whole day at any snapshot interval stays some 100 KB.
constexpr double kLineBinPx = 2;
constexpr double kHeatColumnPx = 4;
constexpr int kHeatShades = 8;
constexpr double kHeatRowPx = 10;
// A pause longer than this (the lunch break) is cut out of the time axis.
constexpr int kSessionGapMs = 30 * 60000;
constexpr double kSegmentGapPx = 10;
constexpr size_t kMismatchRows = 10;  // mismatches listed in the table

const char kStyle[] = R"(:root{color-scheme:light dark;--bg:#fff;--fg:#1b2430;--muted:#5b6577;
--grid:#e4e7ec;--last:#1f5fbf;--ask:#d9480f;--bid:#2f9e44;--band:#1f5fbf;--vol:#5f6b85;
--auction:#f59f00;--bad:#e03131}
@media (prefers-color-scheme:dark){:root{--bg:#111418;--fg:#dde3ea;--muted:#98a2b3;
--grid:#2a313b;--last:#74a9ff;--ask:#ff8e5e;--bid:#5ad07a;--band:#74a9ff;--vol:#9aa8c4;
--auction:#ffc53d;--bad:#ff6b6b}}
body{margin:0 auto;max-width:1200px;padding:10px 16px;background:var(--bg);color:var(--fg);
font:14px/1.4 system-ui,sans-serif}
h1{font-size:20px;margin:4px 0}h2{font-size:15px;margin:14px 0 2px}
p{margin:2px 0;color:var(--muted)}
svg{width:100%;height:auto;display:block}
svg text{fill:var(--muted);font-size:11px}
.grid{stroke:var(--grid)}.axis{stroke:var(--muted)}
.last{fill:none;stroke:var(--last);stroke-width:1.5}
.range{stroke:var(--last);stroke-opacity:.3;stroke-width:1.6}
.askl{fill:none;stroke:var(--ask);stroke-width:.8}.bidl{fill:none;stroke:var(--bid);stroke-width:.8}
.band{fill:var(--band);fill-opacity:.14}.auction{fill:var(--auction);fill-opacity:.13}
.spread{fill:none;stroke:var(--fg);stroke-width:1}
.vol{fill:var(--vol)}.clip{fill:var(--auction)}.bad{stroke:var(--bad);stroke-width:1.5}
.a{fill:var(--ask)}.b{fill:var(--bid)}
table{border-collapse:collapse;font-size:13px;margin:4px 0}
#coverage,#closing{display:inline-table;vertical-align:top;margin-right:40px}
td,th{padding:2px 10px;border-bottom:1px solid var(--grid);text-align:right}
th{color:var(--muted);font-weight:600}td.l,th.l{text-align:left}
.miss{color:var(--bad)}
)";

void appendf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends one short formatted piece (at most 511 bytes: longer texts are appended directly).
void appendf(std::string* out, const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n > 0) out->append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

void append_escaped(std::string* out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += "&quot;";
        break;
      default:
        *out += c;
    }
  }
}

int ms_of_day(int32_t hhmmssmmm) {
  const int t = hhmmssmmm < 0 ? 0 : hhmmssmmm;
  return t / 10000000 * 3600000 + t / 100000 % 100 * 60000 + t / 1000 % 100 * 1000 + t % 1000;
}

std::string clock_text(int ms, bool seconds) {
  char buf[32];
  if (seconds) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%02d:%02d", ms / 3600000, ms / 60000 % 60);
  }
  return buf;
}

// One session of the time axis: [start_ms, end_ms] drawn over [x0, x1].
struct Segment {
  int start_ms, end_ms;
  double x0, x1;
};

double segment_x(const Segment& s, int ms) {
  const int t = std::min(std::max(ms, s.start_ms), s.end_ms);
  return s.x0 + (s.x1 - s.x0) * (t - s.start_ms) / (s.end_ms - s.start_ms);
}

// The time axis: the day's sessions side by side, pauses longer than kSessionGapMs cut out.
class TimeAxis {
 public:
  explicit TimeAxis(const std::vector<_L2Snapshot>& snapshots) {
    std::vector<int> ms;
    ms.reserve(snapshots.size());
    for (const _L2Snapshot& s : snapshots) ms.push_back(ms_of_day(s.time));
    std::sort(ms.begin(), ms.end());
    for (size_t i = 0; i < ms.size(); ++i) {
      if (i == 0 || ms[i] - ms[i - 1] > kSessionGapMs) segments_.push_back({ms[i], ms[i], 0, 0});
      segments_.back().end_ms = ms[i];
    }
    if (segments_.empty()) segments_.push_back({9 * 3600000, 15 * 3600000, 0, 0});
    double total = 0;
    for (Segment& s : segments_) {
      s.start_ms = s.start_ms / 60000 * 60000;  // whole minutes at both ends
      s.end_ms = std::max((s.end_ms + 59999) / 60000 * 60000, s.start_ms + 60000);
      total += s.end_ms - s.start_ms;
    }
    const double width = kPlotWidth - kSegmentGapPx * (segments_.size() - 1);
    double x = kLeft;
    for (Segment& s : segments_) {
      s.x0 = x;
      s.x1 = x + width * (s.end_ms - s.start_ms) / total;
      x = s.x1 + kSegmentGapPx;
    }
  }

  const std::vector<Segment>& segments() const { return segments_; }

  // A time inside a pause maps to the start of the next session.
  double x(int ms) const { return segment_x(segments_[segment_of(ms)], ms); }

  size_t segment_of(int ms) const {
    for (size_t i = 0; i < segments_.size(); ++i) {
      if (ms <= segments_[i].end_ms) return i;
    }
    return segments_.size() - 1;
  }

 private:
  std::vector<Segment> segments_;
};

// The last snapshot of each bin of bin_px along the time axis, in time order: the series every
// line chart draws from.
struct Sample {
  size_t first;    // the bin's first snapshot
  size_t index;    // its last one, the one drawn
  size_t segment;  // of the time axis
  double x;
};

std::vector<Sample> sample_last(const std::vector<_L2Snapshot>& snapshots, const TimeAxis& axis,
                                double bin_px) {
  std::vector<Sample> samples;
  long last_bin = -1;
  for (size_t i = 0; i < snapshots.size(); ++i) {
    const int ms = ms_of_day(snapshots[i].time);
    const size_t seg = axis.segment_of(ms);
    const double x = segment_x(axis.segments()[seg], ms);
    const long bin = static_cast<long>((x - kLeft) / bin_px);
    if (bin == last_bin && !samples.empty()) {
      samples.back() = {samples.back().first, i, seg, x};
    } else {
      samples.push_back({i, i, seg, x});
      last_bin = bin;
    }
  }
  return samples;
}

// A chart's vertical scale.
struct Frame {
  double top, height, lo, hi;
  double y(double v) const { return top + height - (v - lo) / (hi - lo) * height; }
  double bottom() const { return top + height; }
};

// About `count` round steps over [lo, hi] (1, 2 or 5 times a power of ten).
std::vector<double> nice_ticks(double lo, double hi, int count) {
  std::vector<double> ticks;
  const double range = hi - lo;
  if (!(range > 0) || !std::isfinite(range)) return ticks;
  const double raw = range / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * power;
    if (step >= raw) break;
  }
  for (double v = std::ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) {
    ticks.push_back(std::fabs(v) < step * 1e-9 ? 0 : v);
  }
  return ticks;
}

// Pads [lo, hi] by a twentieth at both ends (a flat series gets a unit-wide range).
Frame frame_for(double top, double height, double lo, double hi, bool from_zero) {
  if (!(lo <= hi)) lo = hi = 0;
  if (from_zero) lo = std::min(lo, 0.0);
  const double pad = hi > lo ? (hi - lo) / 20 : std::max(std::fabs(hi) / 100, 0.5);
  return {top, height, from_zero && lo == 0 ? 0 : lo - pad, hi + pad};
}

std::string number_text(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// Decimals that tell the ticks of a scale apart.
int decimals_for(const std::vector<double>& ticks) {
  if (ticks.size() < 2) return 2;
  const double step = ticks[1] - ticks[0];
  return step >= 1 ? 0 : std::min(4, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
}

std::string volume_text(double v) {
  if (v >= 1e6) return number_text(v / 1e6, v >= 1e7 ? 0 : 1) + "M";
  if (v >= 1e4) return number_text(v / 1e3, 0) + "k";
  return number_text(v, 0);
}

void open_chart(std::string* out, const char* id, const char* title, double height) {
  appendf(out, "<h2>%s</h2>\n<svg id=\"%s\" viewBox=\"0 0 %.0f %.0f\" role=\"img\">\n", title, id,
          kWidth, height);
}

void close_chart(std::string* out) {
  *out += "</svg>\n";
}

void draw_time_label(std::string* out, double x, double y, int ms, const char* anchor) {
  appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\">%s</text>\n", x, y, anchor,
          clock_text(ms, false).c_str());
}

// Vertical grid lines at the ends of each session and at whole half hours, with their times:
// a session's start and end labels sit inside it, so those of neighbouring sessions never meet.
void draw_time_axis(std::string* out, const TimeAxis& axis, const Frame& f) {
  const double label_y = f.bottom() + 15;
  const double label_room = 32;  // half a label's width, and some air
  for (size_t i = 0; i < axis.segments().size(); ++i) {
    const Segment& s = axis.segments()[i];
    for (int t = s.start_ms; t <= s.end_ms;
         t = t == s.end_ms ? t + 1 : std::min((t / 1800000 + 1) * 1800000, s.end_ms)) {
      const double x = segment_x(s, t);
      appendf(out, "<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x,
              f.top, x, f.bottom());
      if (t == s.start_ms) {
        draw_time_label(out, x, label_y, t, i == 0 ? "middle" : "start");
      } else if (t == s.end_ms) {
        if (s.x1 - s.x0 > 2 * label_room) draw_time_label(out, x, label_y, t, "end");
      } else if (x - s.x0 > 1.5 * label_room && s.x1 - x > 1.5 * label_room) {
        draw_time_label(out, x, label_y, t, "middle");
      }
    }
    appendf(out, "<line class=\"axis\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", s.x0,
            f.bottom(), s.x1, f.bottom());
  }
}

void draw_value_axis(std::string* out, const Frame& f, const std::vector<double>& ticks,
                     bool volumes) {
  const int decimals = decimals_for(ticks);
  for (double v : ticks) {
    const double y = f.y(v);
    appendf(out, "<line class=\"grid\" x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\"/>\n", kLeft,
            y, kWidth - kRight, y);
    const std::string label = volumes ? volume_text(v) : number_text(v, decimals);
    appendf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kLeft - 6, y + 4,
            label.c_str());
  }
}

// The call auctions (09:15-09:25 and 14:57-15:00) where the axis shows them.
void shade_auctions(std::string* out, const TimeAxis& axis, const Frame& f) {
  static const int kAuctions[][2] = {{9 * 3600000 + 15 * 60000, 9 * 3600000 + 25 * 60000},
                                     {14 * 3600000 + 57 * 60000, 15 * 3600000}};
  for (const auto& a : kAuctions) {
    for (const Segment& s : axis.segments()) {
      const int from = std::max(a[0], s.start_ms), to = std::min(a[1], s.end_ms);
      if (from >= to) continue;
      const double x0 = segment_x(s, from), x1 = segment_x(s, to);
      appendf(out,
              "<rect class=\"auction\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
              "<title>call auction %s-%s</title></rect>\n",
              x0, f.top, x1 - x0, f.height, clock_text(from, false).c_str(),
              clock_text(to, false).c_str());
    }
  }
}

// One polyline per run of samples for which value(sample, &v) gives a value, broken at the
// pauses of the axis.
template <class Value>
void draw_series(std::string* out, const char* cls, const std::vector<Sample>& samples,
                 const Frame& f, Value value) {
  std::string points;
  size_t count = 0, segment = 0;
  auto flush = [&]() {
    if (count > 0) {
      appendf(out, "<polyline class=\"%s\" points=\"", cls);
      *out += points;
      *out += "\"/>\n";
    }
    points.clear();
    count = 0;
  };
  for (const Sample& s : samples) {
    double v = 0;
    const bool present = value(s, &v);
    if (!present || s.segment != segment) flush();
    segment = s.segment;
    if (!present) continue;
    appendf(&points, "%s%.1f,%.1f", count == 0 ? "" : " ", s.x, f.y(v));
    ++count;
  }
  flush();
}

// The range of the last price over each bin, as a faint vertical stroke: the line shows the
// last price at the end of each bin, this every peak in between.
void draw_last_price_range(std::string* out, const std::vector<_L2Snapshot>& snaps,
                           const std::vector<Sample>& samples, const Frame& f) {
  std::string d;
  for (const Sample& s : samples) {
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (size_t i = s.first; i <= s.index; ++i) {
      if (!(snaps[i].last > 0)) continue;
      lo = std::min(lo, snaps[i].last);
      hi = std::max(hi, snaps[i].last);
    }
    if (lo < hi) appendf(&d, "M%.1f %.1fV%.1f", s.x, f.y(lo), f.y(hi));
  }
  if (!d.empty()) *out += "<path class=\"range\" d=\"" + d + "\"/>\n";
}

struct Range {
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  void add(double v) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  bool empty() const { return lo > hi; }
};

void draw_price_chart(std::string* out, const std::vector<_L2Snapshot>& snaps, const TimeAxis& axis,
                      const std::vector<Sample>& samples, const DayCheck* check) {
  const double height = 300;
  Range range;
  for (const Sample& s : samples) {
    for (double v : {snaps[s.index].bid_price[0], snaps[s.index].ask_price[0]}) {
      if (v > 0) range.add(v);
    }
  }
  for (const _L2Snapshot& s : snaps) {
    if (s.last > 0) range.add(s.last);
  }
  const Frame f = frame_for(kTopPad, height - kTopPad - kAxisHeight, range.lo, range.hi, false);
  open_chart(out, "price", "Last price, best bid and ask", height);
  shade_auctions(out, axis, f);
  const std::vector<double> ticks = nice_ticks(f.lo, f.hi, 6);
  draw_value_axis(out, f, ticks, false);
  draw_time_axis(out, axis, f);
  const auto both_sides = [&](size_t i) {
    return snaps[i].bid_price[0] > 0 && snaps[i].ask_price[0] > 0;
  };
  // The band: ask forwards, bid backwards, one path per run with both sides quoted.
  for (size_t a = 0; a < samples.size();) {
    size_t b = a;
    while (b < samples.size() && both_sides(samples[b].index) &&
           samples[b].segment == samples[a].segment) {
      ++b;
    }
    if (b == a) {
      ++a;
      continue;
    }
    std::string d;
    for (size_t k = a; k < b; ++k) {
      appendf(&d, "%c%.1f,%.1f", k == a ? 'M' : 'L', samples[k].x,
              f.y(snaps[samples[k].index].ask_price[0]));
    }
    for (size_t k = b; k-- > a;) {
      appendf(&d, "L%.1f,%.1f", samples[k].x, f.y(snaps[samples[k].index].bid_price[0]));
    }
    *out += "<path class=\"band\" d=\"" + d + "Z\"/>\n";
    a = b;
  }
  draw_series(out, "askl", samples, f, [&](const Sample& s, double* v) {
    *v = snaps[s.index].ask_price[0];
    return *v > 0;
  });
  draw_series(out, "bidl", samples, f, [&](const Sample& s, double* v) {
    *v = snaps[s.index].bid_price[0];
    return *v > 0;
  });
  draw_last_price_range(out, snaps, samples, f);
  draw_series(out, "last", samples, f, [&](const Sample& s, double* v) {
    *v = snaps[s.index].last;
    return *v > 0;
  });
  if (check != nullptr) {
    // A mark per 2 px bin that holds mismatches, on the time axis.
    long last_bin = -1;
    for (int32_t t : check->mismatch_times) {
      const double x = axis.x(ms_of_day(t));
      const long bin = static_cast<long>(x / kLineBinPx);
      if (bin == last_bin) continue;
      last_bin = bin;
      appendf(out, "<line class=\"bad\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x,
              f.bottom() - 7, x, f.bottom());
    }
  }
  appendf(out,
          "<text x=\"%.0f\" y=\"20\" style=\"fill:var(--last)\">last</text>"
          "<text x=\"%.0f\" y=\"20\" style=\"fill:var(--ask)\">best ask</text>"
          "<text x=\"%.0f\" y=\"20\" style=\"fill:var(--bid)\">best bid</text>"
          "<text x=\"%.0f\" y=\"20\">shaded: call auctions%s</text>\n",
          kLeft + 8, kLeft + 40, kLeft + 100, kLeft + 160,
          check != nullptr ? "; red marks: mismatches" : "");
  close_chart(out);
}

void draw_spread_chart(std::string* out, const std::vector<_L2Snapshot>& snaps,
                       const TimeAxis& axis, const std::vector<Sample>& samples) {
  const double height = 140;
  // Only an uncrossed book has a spread (a call auction's book may cross).
  const auto spread = [&](const Sample& s, double* v) {
    const _L2Snapshot& r = snaps[s.index];
    *v = r.ask_price[0] - r.bid_price[0];
    return r.bid_price[0] > 0 && *v > 0;
  };
  Range range;
  for (const Sample& s : samples) {
    double v;
    if (spread(s, &v)) range.add(v);
  }
  const Frame f =
      frame_for(kTopPad, height - kTopPad - kAxisHeight, 0, range.empty() ? 0 : range.hi, true);
  open_chart(out, "spread", "Spread (best ask - best bid)", height);
  shade_auctions(out, axis, f);
  draw_value_axis(out, f, nice_ticks(f.lo, f.hi, 3), false);
  draw_time_axis(out, axis, f);
  draw_series(out, "spread", samples, f, spread);
  close_chart(out);
}

// The heat map's log scale: from the 5th to the 98th percentile of the volumes it shows, so
// neither single lots nor one huge order wash out the rest.
struct HeatScale {
  double log_lo = 0, log_span = 1;
  explicit HeatScale(std::vector<int64_t> volumes) {
    if (volumes.empty()) return;
    const auto at = [&](size_t percent) {
      auto it = volumes.begin() + static_cast<long>(volumes.size() * percent / 100);
      std::nth_element(volumes.begin(), it, volumes.end());
      return std::log(static_cast<double>(std::max<int64_t>(*it, 1)));
    };
    const double hi = at(98);
    log_lo = std::min(at(5), hi);
    log_span = std::max(hi - log_lo, 1e-9);
  }
  // Shade 1..kHeatShades of a level's volume; 0 for an empty level.
  int shade(int64_t volume) const {
    if (volume <= 0) return 0;
    const double t = (std::log(static_cast<double>(volume)) - log_lo) / log_span;
    return std::min(std::max(static_cast<int>(std::ceil(t * kHeatShades)), 1), kHeatShades);
  }
  // The smallest volume drawn in a shade.
  double start_of(int shade) const {
    return shade <= 1 ? 1 : std::exp(log_lo + log_span * (shade - 1) / kHeatShades);
  }
};

void draw_depth_chart(std::string* out, const std::vector<_L2Snapshot>& snaps,
                      const TimeAxis& axis) {
  const std::vector<Sample> columns = sample_last(snaps, axis, kHeatColumnPx);
  std::vector<int64_t> volumes;
  for (const Sample& c : columns) {
    for (int l = 0; l < 10; ++l) {
      if (snaps[c.index].ask_volume[l] > 0) volumes.push_back(snaps[c.index].ask_volume[l]);
      if (snaps[c.index].bid_volume[l] > 0) volumes.push_back(snaps[c.index].bid_volume[l]);
    }
  }
  const HeatScale scale(std::move(volumes));
  const double rows_top = kTopPad;
  const double height = rows_top + 20 * kHeatRowPx + kAxisHeight + 18;
  const Frame f{rows_top, 20 * kHeatRowPx, 0, 1};
  open_chart(out, "depth", "Depth: volume at the ten levels a side", height);
  // Rows: ask 10 at the top down to ask 1, then bid 1 down to bid 10. One path per side and
  // shade, cells of equal shade next to each other merged.
  std::string paths[2][kHeatShades + 1];
  for (int row = 0; row < 20; ++row) {
    const bool ask = row < 10;
    const int level = ask ? 9 - row : row - 10;
    const double y = rows_top + row * kHeatRowPx;
    for (size_t c = 0; c < columns.size();) {
      const _L2Snapshot& s = snaps[columns[c].index];
      const int shade = scale.shade(ask ? s.ask_volume[level] : s.bid_volume[level]);
      size_t e = c + 1;
      while (e < columns.size() && columns[e].segment == columns[c].segment &&
             scale.shade(ask ? snaps[columns[e].index].ask_volume[level]
                             : snaps[columns[e].index].bid_volume[level]) == shade) {
        ++e;
      }
      if (shade > 0) {
        const double x0 = columns[c].x;
        const double x1 = e < columns.size() && columns[e].segment == columns[c].segment
                              ? columns[e].x
                              : columns[e - 1].x + kHeatColumnPx;
        appendf(&paths[ask ? 0 : 1][shade], "M%.1f %.0fh%.1fv%.0fh-%.1fz", x0, y, x1 - x0,
                kHeatRowPx - 1, x1 - x0);
      }
      c = e;
    }
  }
  for (int side = 0; side < 2; ++side) {
    for (int shade = 1; shade <= kHeatShades; ++shade) {
      if (paths[side][shade].empty()) continue;
      appendf(out, "<path class=\"%c\" fill-opacity=\"%.3g\" d=\"", side == 0 ? 'a' : 'b',
              static_cast<double>(shade) / kHeatShades);
      *out += paths[side][shade];
      *out += "\"/>\n";
    }
  }
  const char* labels[] = {"ask 10", "ask 1", "bid 1", "bid 10"};
  const int label_rows[] = {0, 9, 10, 19};
  for (int i = 0; i < 4; ++i) {
    appendf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kLeft - 6,
            rows_top + label_rows[i] * kHeatRowPx + 8, labels[i]);
  }
  draw_time_axis(out, axis, f);
  // Legend: the shades with the volumes they start at.
  const double ly = height - 10;
  appendf(out, "<text x=\"%.0f\" y=\"%.1f\">volume from (log scale)</text>\n", kLeft, ly);
  for (int shade = 1; shade <= kHeatShades; ++shade) {
    const double x = kLeft + 150 + (shade - 1) * 72;
    appendf(out,
            "<rect class=\"a\" fill-opacity=\"%.3g\" x=\"%.0f\" y=\"%.1f\" width=\"14\" "
            "height=\"10\"/><rect class=\"b\" fill-opacity=\"%.3g\" x=\"%.0f\" y=\"%.1f\" "
            "width=\"14\" height=\"10\"/><text x=\"%.0f\" y=\"%.1f\">%s</text>\n",
            static_cast<double>(shade) / kHeatShades, x, ly - 9,
            static_cast<double>(shade) / kHeatShades, x + 14, ly - 9, x + 31, ly,
            volume_text(scale.start_of(shade)).c_str());
  }
  close_chart(out);
}

// Traded volume per minute of the clock, from the cumulative volume of the snapshots.
std::vector<std::pair<int, int64_t>> volume_per_minute(const std::vector<_L2Snapshot>& snaps) {
  std::vector<int64_t> minutes(24 * 60 + 1, 0);
  int64_t previous = 0;
  for (const _L2Snapshot& s : snaps) {
    const int64_t volume = s.volume;
    if (volume > previous) {
      minutes[std::min(ms_of_day(s.time) / 60000, 24 * 60)] += volume - previous;
    }
    previous = volume;
  }
  std::vector<std::pair<int, int64_t>> out;
  for (int m = 0; m <= 24 * 60; ++m) {
    if (minutes[m] > 0) out.push_back({m, minutes[m]});
  }
  return out;
}

void draw_volume_chart(std::string* out, const std::vector<_L2Snapshot>& snaps,
                       const TimeAxis& axis) {
  const double height = 170;
  const std::vector<std::pair<int, int64_t>> bars = volume_per_minute(snaps);
  // An auction's match can dwarf every minute of continuous trading: past four times the
  // 95th percentile the scale is cut, and the cut bars are drawn in the auction colour.
  std::vector<int64_t> sorted;
  for (const auto& b : bars) sorted.push_back(b.second);
  std::sort(sorted.begin(), sorted.end());
  double top = sorted.empty() ? 1 : static_cast<double>(sorted.back());
  if (!sorted.empty()) {
    const double p95 = static_cast<double>(sorted[sorted.size() * 95 / 100]);
    if (top > 4 * p95) top = 1.5 * p95;
  }
  const Frame f = frame_for(kTopPad, height - kTopPad - kAxisHeight, 0, top, true);
  open_chart(out, "volume", "Volume per minute", height);
  shade_auctions(out, axis, f);
  draw_value_axis(out, f, nice_ticks(f.lo, f.hi, 4), true);
  draw_time_axis(out, axis, f);
  for (const auto& b : bars) {
    int ms = b.first * 60000;
    const Segment& s = axis.segments()[axis.segment_of(ms)];
    // A match at a session's closing minute (15:00:00.000) belongs to the minute it closes.
    if (ms >= s.end_ms && ms - 60000 >= s.start_ms) ms -= 60000;
    const double x0 = segment_x(s, ms), x1 = segment_x(s, ms + 60000);
    const bool cut = b.second > top;
    const double y = f.y(cut ? f.hi : static_cast<double>(b.second));
    appendf(out,
            "<rect class=\"vol%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
            "<title>%s %s</title></rect>\n",
            cut ? " clip" : "", x0 + 0.3, y, std::max(x1 - x0 - 0.6, 0.8), f.bottom() - y,
            clock_text(ms, false).c_str(), group_digits(static_cast<uint64_t>(b.second)).c_str());
  }
  close_chart(out);
}

// As verify prints it (floored: 100.00% means every one); "-" for a phase without snapshots.
std::string percent_text(size_t matched, size_t total) {
  if (total == 0) return "-";
  return number_text(qlverify::Coverage{matched, total}.percent(), 2) + "%";
}

std::string level_text(double price, int64_t volume) {
  if (price == 0 && volume == 0) return "-";
  return number_text(price, 2) + " x " +
         group_digits(static_cast<uint64_t>(std::max<int64_t>(volume, 0)));
}

void draw_coverage(std::string* out, const DayCheck& check) {
  *out += "<h2>Check against ";
  append_escaped(out, check.source);
  *out +=
      "</h2>\n<p>Each snapshot of the file is looked for among the states the rebuilt book "
      "passes through, as <code>quotelab verify</code> does: by trade count outside the call "
      "auctions, by time in them.</p>\n<table id=\"coverage\"><tr><th class=\"l\">phase</th>"
      "<th>matched</th><th>snapshots</th><th>coverage</th></tr>\n";
  size_t matched = 0, total = 0;
  for (const CheckPhase& p : check.phases) {
    appendf(out, "<tr><td class=\"l\">%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
            p.name.c_str(), group_digits(p.matched).c_str(), group_digits(p.total).c_str(),
            percent_text(p.matched, p.total).c_str());
    matched += p.matched;
    total += p.total;
  }
  appendf(out, "<tr><th class=\"l\">day</th><th>%s</th><th>%s</th><th>%s</th></tr></table>\n",
          group_digits(matched).c_str(), group_digits(total).c_str(),
          percent_text(matched, total).c_str());
}

void draw_mismatches(std::string* out, const DayCheck& check) {
  if (check.mismatch_count == 0) {
    *out += "<p>Every snapshot of the file matches the rebuilt book.</p>\n";
    return;
  }
  appendf(out, "<p class=\"miss\">%s mismatch%s; the first %zu:</p>\n",
          group_digits(check.mismatch_count).c_str(), check.mismatch_count == 1 ? "" : "es",
          std::min(kMismatchRows, check.mismatches.size()));
  appendf(out,
          "<table id=\"mismatches\"><tr><th class=\"l\">time</th><th>%s</th><th class=\"l\">"
          "level</th><th>file</th><th>rebuilt</th></tr>\n",
          check.location.c_str());
  for (size_t i = 0; i < check.mismatches.size() && i < kMismatchRows; ++i) {
    const CheckMismatch& m = check.mismatches[i];
    const size_t rows = std::max<size_t>(m.diffs.size(), 1);
    for (size_t d = 0; d < rows; ++d) {
      *out += "<tr>";
      if (d == 0) {
        appendf(out, "<td class=\"l\" rowspan=\"%zu\">%s.%03d</td><td rowspan=\"%zu\">%zu</td>",
                rows, clock_text(ms_of_day(m.time), true).c_str(), ms_of_day(m.time) % 1000, rows,
                m.line);
      }
      if (m.diffs.empty()) {  // the levels agree: the order counts of a level differ
        *out += "<td class=\"l\">order counts</td><td></td><td></td></tr>\n";
        continue;
      }
      const LevelDiff& l = m.diffs[d];
      appendf(out, "<td class=\"l\">%s %d</td><td>%s</td><td>%s</td></tr>\n",
              l.side == 'A' ? "ask" : "bid", l.level,
              level_text(l.file_price, l.file_volume).c_str(),
              level_text(l.book_price, l.book_volume).c_str());
    }
  }
  *out += "</table>\n";
}

// Counts and amounts grouped by thousands, prices with their two decimals.
std::string statistic_text(double v) {
  if (v == std::floor(v) && std::fabs(v) < 1e18) {
    return (v < 0 ? "-" : "") + group_digits(static_cast<uint64_t>(std::fabs(v)));
  }
  return number_text(v, 2);
}

void draw_closing(std::string* out, const DayCheck& check) {
  if (check.closing.empty()) return;
  *out +=
      "<table id=\"closing\"><tr><th class=\"l\">closing</th><th>rebuilt</th><th>file</th>"
      "<th></th></tr>\n";
  for (const ClosingCheck& c : check.closing) {
    appendf(out, "<tr><td class=\"l\">%s</td><td>%s</td><td>%s</td><td%s>%s</td></tr>\n",
            c.name.c_str(), statistic_text(c.rebuilt).c_str(), statistic_text(c.file).c_str(),
            c.equal ? "" : " class=\"miss\"", c.equal ? "equal" : "differs");
  }
  *out += "</table>\n";
}

void draw_check(std::string* out, const DayCheck& check) {
  draw_coverage(out, check);
  draw_closing(out, check);
  draw_mismatches(out, check);
}

void write_summary(std::string* out, const std::vector<_L2Snapshot>& snaps) {
  if (snaps.empty()) {
    *out += "<p>The rebuild emitted no snapshots.</p>\n";
    return;
  }
  const _L2Snapshot& s = snaps.back();
  appendf(out,
          "<p id=\"summary\">%s-%s &middot; open %.2f high %.2f low %.2f last %.2f "
          "&middot; volume %s &middot; %s trades &middot; turnover %s</p>\n",
          clock_text(ms_of_day(snaps.front().time), true).c_str(),
          clock_text(ms_of_day(s.time), true).c_str(), s.open, s.high, s.low, s.last,
          group_digits(static_cast<uint64_t>(std::max<int64_t>(s.volume, 0))).c_str(),
          group_digits(static_cast<uint64_t>(std::max(s.num_trades, 0))).c_str(),
          group_digits(static_cast<uint64_t>(std::max(s.turnover, 0.0))).c_str());
}

}  // namespace

void ReportSeries::add(const _L2Snapshot& s) {
  ++seen_;
  if (kept_.empty() || s.time / 1000 != kept_.back().time / 1000) {
    second_begin_ = kept_.size();
    kept_.push_back(s);
    return;
  }
  // Of the second's kept snapshots and this one, keep the lowest and highest last price (in
  // time order) and this latest one.
  kept_.push_back(s);
  size_t lo = second_begin_, hi = second_begin_;
  for (size_t i = second_begin_; i < kept_.size(); ++i) {
    if (kept_[i].last < kept_[lo].last) lo = i;
    if (kept_[i].last > kept_[hi].last) hi = i;
  }
  const size_t last = kept_.size() - 1;
  size_t keep[3] = {std::min(lo, hi), std::max(lo, hi), last};
  size_t n = second_begin_;
  for (size_t k = 0; k < 3; ++k) {
    if (k > 0 && keep[k] == keep[k - 1]) continue;
    if (n != keep[k]) kept_[n] = kept_[keep[k]];
    ++n;
  }
  kept_.resize(n);
}

std::string render_report_html(const std::vector<_L2Snapshot>& snapshots,
                               const ReportHeading& heading, const DayCheck* check) {
  std::string out;
  out.reserve(256 * 1024);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n<title>";
  append_escaped(&out, heading.title);
  out += " - quotelab report</title>\n<style>";
  out += kStyle;
  out += "</style></head>\n<body>\n<h1>";
  append_escaped(&out, heading.title);
  out += "</h1>\n<p>";
  append_escaped(&out, heading.source);
  out += "</p>\n";
  write_summary(&out, snapshots);
  const TimeAxis axis(snapshots);
  const std::vector<Sample> samples = sample_last(snapshots, axis, kLineBinPx);
  draw_price_chart(&out, snapshots, axis, samples, check);
  draw_spread_chart(&out, snapshots, axis, samples);
  draw_depth_chart(&out, snapshots, axis);
  draw_volume_chart(&out, snapshots, axis);
  if (check != nullptr) draw_check(&out, *check);
  out += "</body></html>\n";
  return out;
}

}  // namespace qltool
