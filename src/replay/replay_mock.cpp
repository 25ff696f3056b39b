// DataReplayMock: 60 generated records of one instrument, handed out at the pace of their times.
#include <string.h>

#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"

namespace KX {
namespace {

constexpr unsigned char kMockExchange = 9;  // SHF
constexpr const char* kMockSymbol = "RB2210";
constexpr int kMockTime = 100000000;  // 10:00:00.000 on every generated record

// Fills the fields a snapshot and a bar share, the same way for record i.
template <typename Record>
void fill_common(Record& rec, unsigned char type, int action_day, int i) {
  memset(&rec, 0, sizeof rec);
  rec.type = type;
  rec.exchange = kMockExchange;
  StringUtil::copy_cut(rec.symbol, kMockSymbol, static_cast<int>(sizeof rec.symbol) - 1);
  rec.action_day = action_day;
  rec.time = kMockTime;
  rec.open = i;
  rec.high = i + 1.0;
  rec.low = 1.0;
  rec.volume = 100 * static_cast<int64_t>(i);
}

}  // namespace

DataReplayMock::DataReplayMock(const char* frequency, const char* data_market)
    : IDataReplay("mock", frequency, data_market) {}

DataReplayMock::~DataReplayMock() = default;

bool DataReplayMock::serves_bars() const {
  return StringUtil::endswith_c(frequency, "m") || strcmp(frequency, "minute") == 0;
}

int DataReplayMock::init(int trading_day) {
  this->trading_day = trading_day;
  if (frequency_is_tick()) ticks = init_ticks(kGeneratedRecords);
  if (serves_bars()) bars = init_bars(kGeneratedRecords);
  return 0;
}

int DataReplayMock::start() {
  return 0;
}

std::vector<_L2Snapshot> DataReplayMock::init_ticks(int count) const {
  std::vector<_L2Snapshot> out(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 1; i <= count; ++i) {
    _L2Snapshot& rec = out[static_cast<size_t>(i - 1)];
    fill_common(rec, QL_RECORD_L2SNAPSHOT, trading_day, i);
    rec.last = i;
    rec.ask_price[0] = i + 1.0;
    rec.ask_volume[0] = 200 * i;
    rec.bid_price[0] = i - 1.0;
    rec.bid_volume[0] = 200 * i;
  }
  return out;
}

std::vector<_BarData> DataReplayMock::init_bars(int count) const {
  std::vector<_BarData> out(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 1; i <= count; ++i) {
    _BarData& rec = out[static_cast<size_t>(i - 1)];
    fill_common(rec, QL_RECORD_BAR, trading_day, i);
    rec.close = i;
  }
  return out;
}

// Waits as long as the record lies after the last one delivered, in milliseconds of the day;
// a record that lies before it is not waited for.
void DataReplayMock::pace(int record_time) {
  if (last_time != 0) {
    // Any two times of day lie less than INT_MAX milliseconds apart: the wait fits an int.
    const int64_t wait = static_cast<int64_t>(TimeTools::time_to_msec(record_time)) -
                         TimeTools::time_to_msec(last_time);
    if (wait > 0) TimeTools::delay_ms(static_cast<int>(wait));
  }
  last_time = record_time;
}

int DataReplayMock::next(void* buf, int /*size*/, unsigned char* type) {
  const bool tick = frequency_is_tick();
  if (!tick && !serves_bars()) return -1;
  const size_t available = tick ? ticks.size() : bars.size();
  if (index < 0 || static_cast<size_t>(index) >= available) return QL_NO_MORE_RECORDS;
  if (buf == nullptr) return -1;

  const size_t at = static_cast<size_t>(index++);
  if (tick) {
    pace(ticks[at].time);
    memcpy(buf, &ticks[at], sizeof(_L2Snapshot));
    if (type != nullptr) *type = QL_RECORD_L2SNAPSHOT;
    return QL_L2SNAPSHOT_SIZE;
  }
  pace(bars[at].time);
  memcpy(buf, &bars[at], sizeof(_BarData));
  if (type != nullptr) *type = QL_RECORD_BAR;
  return QL_BAR_SIZE;
}

void DataReplayMock::release() {
  delete this;
}

}  // namespace KX
