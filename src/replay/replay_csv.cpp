// DataReplayCsv: the rows of a market-data CSV file, decoded one per call by DataCsvReader.
#include <string.h>

#include <new>

#include "quotelab/csv_reader.h"
#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"
#include "replay/replay_detail.h"

namespace KX {

DataReplayCsv::DataReplayCsv(const char* frequency, const char* data_market, const char* csv_file)
    : IDataReplay("csv", frequency, data_market) {
  reader = new (std::nothrow) DataCsvReader(csv_file, ',');
  is_tick = frequency_is_tick();
  if (!is_open()) {
    fprintf(stderr, "DataReplayCsv: csv_file '%s' not opened\n", detail::printable_path(csv_file));
    return;
  }
  trading_day_col = csv_find_idx(reader->csv_handle, "trading_day");
  csv_next(reader->csv_handle);  // stand on the first data row
}

DataReplayCsv::~DataReplayCsv() {
  delete reader;
}

bool DataReplayCsv::is_open() const {
  return reader != nullptr && reader->csv_handle != nullptr;
}

int DataReplayCsv::init(int trading_day) {
  if (!is_open()) return QL_NOT_OPEN;
  if (csv_eof(reader->csv_handle)) return QL_NO_MORE_RECORDS;
  this->trading_day = trading_day;
  return 0;
}

int DataReplayCsv::start() {
  return 0;
}

int DataReplayCsv::next(void* buf, int /*size*/, unsigned char* type) {
  // A CSV that never opened has no rows: end of data, buf untouched.
  if (!is_open() || csv_eof(reader->csv_handle)) return QL_NO_MORE_RECORDS;
  if (buf == nullptr) return -1;
  return is_tick ? next_tick(buf, type) : next_bar(buf, type);
}

int DataReplayCsv::row_trading_day() const {
  return csv_get_int32_byidx(reader->csv_handle, trading_day_col);
}

int DataReplayCsv::next_tick(void* buf, unsigned char* type) {
  // The whole record is cleared: fields the row lacks must read 0, never stale bytes.
  memset(buf, 0, QL_L2SNAPSHOT_SIZE);
  _L2Snapshot* rec = static_cast<_L2Snapshot*>(buf);
  reader->get(rec);  // a refused row stays zero and goes through the same tests
  rec->type = QL_RECORD_L2SNAPSHOT;
  if (type != nullptr) *type = QL_RECORD_L2SNAPSHOT;

  int day = 0;
  if (trading_day_col >= 0) {
    day = row_trading_day();
    if (day > 0 && trading_day > 0 && day != trading_day) return QL_OTHER_DAY;
  } else {
    day = rec->action_day;
    if (day != trading_day) return QL_OTHER_DAY;
  }
  rec->trading_day = day;
  csv_next(reader->csv_handle);
  return QL_L2SNAPSHOT_SIZE;
}

int DataReplayCsv::next_bar(void* buf, unsigned char* type) {
  memset(buf, 0, QL_BAR_SIZE);
  _BarData* rec = static_cast<_BarData*>(buf);
  reader->get(rec);
  rec->type = QL_RECORD_BAR;
  if (type != nullptr) *type = QL_RECORD_BAR;

  const int day = trading_day_col >= 0 ? row_trading_day() : rec->action_day;
  const bool other_day = trading_day_col >= 0 ? day > 0 && trading_day > 0 && day != trading_day
                                              : trading_day > 0 && day != trading_day;
  if (other_day) return QL_OTHER_DAY;
  rec->trading_day = trading_day;
  csv_next(reader->csv_handle);
  return QL_BAR_SIZE;
}

void DataReplayCsv::release() {
  delete this;
}

}  // namespace KX
