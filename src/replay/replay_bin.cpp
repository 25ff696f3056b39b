// DataReplayBin: fixed-size records read one at a time from a binary data file.
#include <stddef.h>
#include <string.h>

#include "quotelab/data_replay.h"
#include "replay/replay_detail.h"

namespace KX {
namespace {

// stdio buffer of the data file. Larger buffers mean fewer read calls per record (a 4 KiB
// default refills every 8 ticks); past a few hundred KiB the gain is gone and only memory is
// spent, per open replay.
constexpr size_t kFileBufferBytes = 256 * 1024;

int32_t stored_trading_day(const void* record, size_t offset) {
  int32_t day = 0;
  memcpy(&day, static_cast<const char*>(record) + offset, sizeof day);
  return day;
}

}  // namespace

DataReplayBin::DataReplayBin(const char* frequency, const char* data_market, const char* bin_file)
    : IDataReplay("bin", frequency, data_market) {
  is_tick = frequency_is_tick();
  file = bin_file != nullptr ? fopen(bin_file, "rb") : nullptr;
  if (file == nullptr) {
    fprintf(stderr, "DataReplayBin open bin_file='%s' failed\n", detail::printable_path(bin_file));
    return;
  }
  // A failed setvbuf keeps the default buffer, which only reads more slowly.
  setvbuf(file, nullptr, _IOFBF, kFileBufferBytes);
}

DataReplayBin::~DataReplayBin() {
  if (file != nullptr) fclose(file);
}

int DataReplayBin::record_size() const {
  return is_tick ? QL_L2SNAPSHOT_SIZE : QL_BAR_SIZE;
}

int DataReplayBin::init(int trading_day) {
  this->trading_day = trading_day;
  if (file == nullptr || feof(file)) return -3;
  return 0;
}

int DataReplayBin::start() {
  return 0;
}

int DataReplayBin::next(void* buf, int size, unsigned char* type) {
  if (file == nullptr) return -4;
  const int record_bytes = record_size();
  // Too little room: read nothing, so the record is neither lost nor split.
  if (buf == nullptr || size < record_bytes) return -1;
  // Exactly one record whatever larger room is given: reading more would swallow the next one.
  if (fread(buf, static_cast<size_t>(record_bytes), 1, file) != 1) return 0;

  if (is_tick) {
    if (type != nullptr) *type = QL_RECORD_L2SNAPSHOT;
    const int32_t day = stored_trading_day(buf, offsetof(_L2Snapshot, trading_day));
    if (trading_day > 0 && day != trading_day) return -2;
    return record_bytes;
  }
  if (type != nullptr) *type = QL_RECORD_BAR;
  const int32_t day = stored_trading_day(buf, offsetof(_BarData, trading_day));
  if (trading_day != 0 && day != trading_day) return -2;
  memcpy(static_cast<char*>(buf) + offsetof(_BarData, trading_day), &trading_day,
         sizeof trading_day);
  return record_bytes;
}

void DataReplayBin::release() {
  delete this;
}

}  // namespace KX
