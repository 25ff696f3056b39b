#include "verify_input.h"

#include <cstring>

namespace qltool {

bool read_references(const std::string& path, char delimiter, const std::string& symbol, int date,
                     std::vector<qlverify::ReferenceSnapshot>* refs, std::string* error) {
  const FileFormat format = format_of_path(path);
  RecordArray<_L2Snapshot> ticks;
  if (!read_records(path, format, delimiter, &ticks, error)) return false;
  refs->reserve(ticks.size());
  for (size_t i = 0; i < ticks.size(); ++i) {
    if (symbol.compare(0, std::string::npos, ticks[i].symbol,
                       strnlen(ticks[i].symbol, sizeof ticks[i].symbol)) != 0 ||
        (ticks[i].trading_day != 0 && ticks[i].trading_day != date)) {
      continue;
    }
    qlverify::ReferenceSnapshot r;
    r.snapshot = ticks[i];
    r.line = static_cast<int64_t>(i) + (format == FileFormat::Csv ? 2 : 1);
    refs->push_back(r);
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
  if (job.sequence_path.empty()) {
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
