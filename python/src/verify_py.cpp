// The check behind quotelab.verify: a day rebuilt by the program's own engine (verify_day) and
// compared with the exchange's snapshots, from a file (read_references) or an array.
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "records_py.h"
#include "snapshot_options.h"
#include "verify_day.h"
#include "verify_input.h"

namespace qlpy {
namespace {

using qlverify::kLevels;

// Mismatches kept with their levels; the count covers them all.
constexpr size_t kMismatchesKept = 1000;

// The reference snapshots: the file at `path` (its symbol and day, each with its line), or the
// records of an array as given (line 0: not known).
std::vector<qlverify::ReferenceSnapshot> references_of(const py::object& path,
                                                       const py::object& array,
                                                       const std::string& symbol, int32_t date) {
  std::vector<qlverify::ReferenceSnapshot> refs;
  if (!path.is_none()) {
    std::string error;
    bool ok;
    {
      const std::string file = path.cast<std::string>();
      py::gil_scoped_release unlocked;
      ok = qltool::read_references(file, ',', symbol, date, false, &refs, &error);
    }
    if (!ok) raise_error("FileError", "snapshots: " + error);
    return refs;
  }
  const auto [snapshots, count] = records_of<_L2Snapshot>(array.cast<py::array>(), "snapshots");
  if (count == 0) throw py::value_error("snapshots: the array holds no snapshots");
  refs.resize(count);
  for (size_t i = 0; i < count; ++i) refs[i].snapshot = snapshots[i];
  return refs;
}

// The levels of one side where the reference and the nearest rebuilt state differ, as
// (side, level, price, volume, orders, rebuilt_price, rebuilt_volume, rebuilt_orders); orders
// are None when the reference gives none, the rebuilt values None when no state is known.
void add_differences(const char* side, const double* price, const int32_t* volume,
                     const int32_t* orders, const double* rebuilt_price,
                     const int32_t* rebuilt_volume, const int32_t* rebuilt_orders, bool known,
                     py::list* out) {
  for (int i = 0; i < kLevels; ++i) {
    const bool equal = known && price[i] == rebuilt_price[i] && volume[i] == rebuilt_volume[i] &&
                       (orders == nullptr || orders[i] == rebuilt_orders[i]);
    if (equal) continue;
    const py::object none = py::none();
    out->append(py::make_tuple(
        side, i + 1, price[i], volume[i], orders != nullptr ? py::cast(orders[i]) : none,
        known ? py::cast(rebuilt_price[i]) : none, known ? py::cast(rebuilt_volume[i]) : none,
        known && orders != nullptr ? py::cast(rebuilt_orders[i]) : none));
  }
}

py::dict mismatch_of(const qlverify::Mismatch& m, const qlverify::ReferenceSnapshot& ref) {
  const _L2Snapshot& s = ref.snapshot;
  const qlverify::LevelView& r = m.rebuilt;
  py::list differences;
  add_differences("bid", s.bid_price, s.bid_volume, ref.has_order_counts ? ref.bid_orders : nullptr,
                  r.bid_price, r.bid_volume, r.bid_orders, m.rebuilt_known, &differences);
  add_differences("ask", s.ask_price, s.ask_volume, ref.has_order_counts ? ref.ask_orders : nullptr,
                  r.ask_price, r.ask_volume, r.ask_orders, m.rebuilt_known, &differences);
  py::dict out;
  out["index"] = m.reference;
  out["line"] = ref.line;
  out["time"] = s.time;
  out["phase"] = qlverify::phase_name(m.phase);
  out["rebuilt_time"] = m.rebuilt_known ? py::cast(r.time) : py::none();
  out["differences"] = differences;
  return out;
}

py::dict report_of(const qlverify::VerifyReport& report,
                   const std::vector<qlverify::ReferenceSnapshot>& refs) {
  py::list phases, mismatches, closing;
  for (int p = 0; p < qlverify::kPhases; ++p) {
    const qlverify::Coverage& c = report.coverage[p];
    phases.append(py::make_tuple(qlverify::phase_name(p), c.matched, c.total, c.percent()));
  }
  for (const qlverify::Mismatch& m : report.mismatches) {
    mismatches.append(mismatch_of(m, refs[m.reference]));
  }
  for (const qlverify::Statistic& s : report.closing) {
    closing.append(py::make_tuple(s.name, s.rebuilt, s.reference, s.equal));
  }
  py::dict out;
  out["phases"] = phases;
  out["mismatches"] = mismatches;
  out["mismatch_count"] = report.mismatch_count;
  out["closing"] = closing;
  out["closing_equal"] = report.closing_equal;
  out["events"] = report.events;
  out["text"] = qlverify::format_report(report, refs);
  return out;
}

py::dict verify_day(const py::array& order_array, const py::array& trade_array,
                    const std::string& exchange, const std::string& symbol, int32_t date,
                    const py::object& sequence, const py::object& snapshot_path,
                    const py::object& snapshot_array, const std::string& auction_view,
                    double pre_close) {
  const auto [orders, order_count] = records_of<_L2Order>(order_array, "orders");
  const auto [trades, trade_count] = records_of<_L2Trade>(trade_array, "trades");
  if (order_count > INT32_MAX || trade_count > INT32_MAX) {
    throw py::value_error("more than 2147483647 records");
  }
  qlverify::VerifyOptions options;
  if (!auction_view.empty() &&
      !qltool::parse_auction_view(auction_view, &options.exchange_auction_view)) {
    throw py::value_error("auction_view: '" + auction_view + "' is neither book nor exchange");
  }
  if (pre_close < 0) throw py::value_error("pre_close: expected a price of 0 or more");
  options.pre_close = pre_close;
  options.mismatches_kept = kMismatchesKept;
  const std::vector<qlverify::ReferenceSnapshot> refs =
      references_of(snapshot_path, snapshot_array, symbol, date);

  qlverify::DayInput day;
  day.exchange = exchange;
  day.symbol = symbol;
  day.date = date;
  std::vector<const void*> stream;
  if (sequence.is_none()) {
    day.orders = orders;
    day.order_count = static_cast<int32_t>(order_count);
    day.trades = trades;
    day.trade_count = static_cast<int32_t>(trade_count);
  } else {
    stream = sequence_records(std::string(sequence.cast<py::bytes>()), orders, order_count, trades,
                              trade_count, symbol);
    day.sequence = stream.data();
    day.sequence_count = static_cast<int32_t>(stream.size());
  }
  qlverify::VerifyReport report;
  std::string error;
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = qlverify::verify_day(day, refs, options, &report, &error);
  }
  if (!ok) raise_error("OrderBookError", error);
  return report_of(report, refs);
}

}  // namespace

void bind_verify(py::module_& m) {
  m.def("verify_day", &verify_day, py::arg("orders"), py::arg("trades"), py::arg("exchange"),
        py::arg("symbol"), py::arg("date"), py::arg("sequence"), py::arg("snapshot_path"),
        py::arg("snapshot_array"), py::arg("auction_view") = "", py::arg("pre_close") = 0.0,
        "Rebuilds one day and checks the reference snapshots (a file's, or an array's) against "
        "it, the GIL released. Returns the report as a dict; raises FileError for the file, "
        "OrderBookError when the builder refuses the day.");
}

}  // namespace qlpy
