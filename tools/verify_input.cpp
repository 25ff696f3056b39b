#include "verify_input.h"

#include <cstring>

#include "args.h"
#include "quotelab/layout_reader.h"

namespace qltool {
namespace {

// Snapshots of the symbol and day (those without a trading day count as the day's).
bool of_day(const _L2Snapshot& s, const std::string& symbol, int date) {
  return symbol.compare(0, std::string::npos, s.symbol, strnlen(s.symbol, sizeof s.symbol)) == 0 &&
         (s.trading_day == 0 || s.trading_day == date);
}

// An exchange snapshot file in a layout the layout reader knows, with the order counts of each
// level and the file's lines. Returns false when the file is in no such layout (*taken false),
// or when it is but cannot be read (*taken true, *error set).
bool read_exchange_snapshots(const std::string& path, char delimiter, const std::string& symbol,
                             int date, bool lenient, std::vector<qlverify::ReferenceSnapshot>* refs,
                             bool* taken, std::string* error) {
  KX::LayoutReader reader;
  reader.set_delimiter(delimiter);
  reader.set_symbol(symbol.c_str());
  reader.set_trading_day(date);
  *taken = reader.open(path.c_str()) == 0 && reader.content() == KX::LayoutContent::Snapshots;
  if (!*taken) return false;
  const int refused = reader.read();
  if (refused < 0 || (refused > 0 && !lenient)) {
    *error = refused < 0 ? reader.error()
                         : std::to_string(refused) + " rows of '" + path +
                               "' could not be read: fix the file, or give --lenient";
    for (const KX::LayoutRefusal& r : reader.refusals()) {
      report("verify", "'%s' line %ld: %s: %s", r.file.c_str(), r.line, r.reason.c_str(),
             r.detail.c_str());
    }
    return false;
  }
  for (size_t i = 0; i < reader.snapshots().size(); ++i) {
    if (!of_day(reader.snapshots()[i], symbol, date)) continue;
    qlverify::ReferenceSnapshot r;
    r.snapshot = reader.snapshots()[i];
    r.line = reader.snapshot_lines()[i];
    r.has_order_counts = true;
    std::memcpy(r.bid_orders, reader.snapshot_extras()[i].bid_orders, sizeof r.bid_orders);
    std::memcpy(r.ask_orders, reader.snapshot_extras()[i].ask_orders, sizeof r.ask_orders);
    refs->push_back(r);
  }
  return true;
}

}  // namespace

bool read_references(const std::string& path, char delimiter, const std::string& symbol, int date,
                     bool lenient, std::vector<qlverify::ReferenceSnapshot>* refs,
                     std::string* error) {
  const FileFormat format = format_of_path(path);
  bool taken = false;
  if (format == FileFormat::Csv &&
      !read_exchange_snapshots(path, delimiter, symbol, date, lenient, refs, &taken, error) &&
      taken) {
    return false;
  }
  if (!taken) {
    RecordArray<_L2Snapshot> ticks;
    if (!read_records(path, format, delimiter, &ticks, error)) return false;
    refs->reserve(ticks.size());
    for (size_t i = 0; i < ticks.size(); ++i) {
      if (!of_day(ticks[i], symbol, date)) continue;
      qlverify::ReferenceSnapshot r;
      r.snapshot = ticks[i];
      // CSV rows follow their header line; binary records are counted from 1.
      r.line = static_cast<int64_t>(i) + (format == FileFormat::Csv ? 2 : 1);
      refs->push_back(r);
    }
  }
  if (refs->empty()) {
    *error = "'" + path + "' holds no snapshots of " + symbol + " on " + std::to_string(date);
    return false;
  }
  return true;
}

qlverify::DayInput day_input_of(const BookJob& job, const BookBuffers& buffers,
                                const BookResult& loaded) {
  qlverify::DayInput day;
  day.exchange = loaded.exchange;
  day.symbol = loaded.symbol;
  day.date = loaded.date;
  // The feed book_job settled: the exchange's sequence (a file, or the files' sequence
  // columns) when there is one, else the two files merged by time.
  if (buffers.sequence.empty() && job.sequence_path.empty()) {
    day.orders = buffers.orders.data();
    day.order_count = static_cast<int32_t>(buffers.orders.size());
    day.trades = buffers.trades.data();
    day.trade_count = static_cast<int32_t>(buffers.trades.size());
  } else {
    day.sequence = buffers.sequence.data();
    day.sequence_count = static_cast<int32_t>(buffers.sequence.size());
  }
  return day;
}

}  // namespace qltool
