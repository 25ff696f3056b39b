// DataReplayArray: records held by a caller's DataArray; DataReplayEmpty: no records at all.
#include <stddef.h>
#include <string.h>

#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"

namespace KX {
namespace {

struct RecordKind {
  int size;
  unsigned char type;
};

// True when s ends with the one letter c, in either case.
bool ends_with_letter(const char* s, char c) {
  const size_t n = strlen(s);
  if (n == 0) return false;
  const char last = s[n - 1];
  return last == c || last == c - ('a' - 'A');
}

// The record kind of a frequency, tested in this order without regard to case; {0, 0} when
// the frequency names none.
RecordKind record_kind_of(const char* frequency) {
  if (StringUtil::iequals(frequency, "tick") || StringUtil::iequals(frequency, "tick2")) {
    return {QL_L2SNAPSHOT_SIZE, QL_RECORD_L2SNAPSHOT};
  }
  if (StringUtil::iequals(frequency, "l2trade")) return {QL_L2TRADE_SIZE, QL_RECORD_L2TRADE};
  if (StringUtil::iequals(frequency, "l2order")) return {QL_L2ORDER_SIZE, QL_RECORD_L2ORDER};
  if (StringUtil::iequals(frequency, "minute") || ends_with_letter(frequency, 'm') ||
      StringUtil::iequals(frequency, "daily") || ends_with_letter(frequency, 'd')) {
    return {QL_BAR_SIZE, QL_RECORD_BAR};
  }
  return {0, 0};
}

int32_t read_day(const void* rec, size_t offset) {
  int32_t day = 0;
  memcpy(&day, static_cast<const char*>(rec) + offset, sizeof day);
  return day;
}

}  // namespace

DataReplayArray::DataReplayArray(const char* frequency, const char* data_market, DataArray* array)
    : IDataReplay("list", frequency, data_market), array(array) {
  const RecordKind kind = record_kind_of(this->frequency);
  record_size = kind.size;
  record_type = kind.type;
  if (record_type == 0) {
    fprintf(stderr, "%s: unknown frequency='%s'\n", "KX::DataReplayArray::DataReplayArray",
            this->frequency);
  }
}

DataReplayArray::~DataReplayArray() = default;

int DataReplayArray::init(int trading_day) {
  this->trading_day = trading_day;
  return 0;
}

int DataReplayArray::start() {
  return 0;
}

int DataReplayArray::data_length() const {
  return array != nullptr ? array->count : 0;
}

int DataReplayArray::record_trading_day(const void* rec) const {
  switch (record_type) {
    case QL_RECORD_L2SNAPSHOT:
      return read_day(rec, offsetof(_L2Snapshot, trading_day));
    case QL_RECORD_BAR:
      return read_day(rec, offsetof(_BarData, trading_day));
    case QL_RECORD_L2TRADE:
      return read_day(rec, offsetof(_L2Trade, action_day));
    default:
      return read_day(rec, offsetof(_L2Order, action_day));
  }
}

int DataReplayArray::next(void* buf, int /*size*/, unsigned char* type) {
  if (index_ >= data_length()) return QL_NO_MORE_RECORDS;
  if (record_type == 0) {  // unknown kind: pass the element over, reading nothing
    if (type != nullptr) *type = 0;
    ++index_;
    return 0;
  }
  if (buf == nullptr) return -1;
  const void* rec = array->items[index_];
  // An element that cannot be read as a whole record is passed over: reading it would leave
  // the element, and staying on it would stop the day for good.
  if (rec == nullptr || (array->owns() && array->elem_size() < record_size)) {
    ++index_;
    return -1;
  }
  if (type != nullptr) *type = record_type;
  const int day = record_trading_day(rec);
  if (record_type == QL_RECORD_BAR && day < trading_day) {
    ++index_;
    return QL_BAR_SKIPPED;
  }
  if (day != trading_day) return QL_OTHER_DAY;
  memcpy(buf, rec, static_cast<size_t>(record_size));
  ++index_;
  return record_size;
}

void DataReplayArray::release() {
  delete this;
}

DataReplayEmpty::DataReplayEmpty(const char* frequency, const char* data_market, void* /*unused*/)
    : IDataReplay("empty", frequency, data_market) {}

DataReplayEmpty::~DataReplayEmpty() = default;

int DataReplayEmpty::init(int trading_day) {
  this->trading_day = trading_day;
  return 0;
}

int DataReplayEmpty::start() {
  return 0;
}

int DataReplayEmpty::next(void* /*buf*/, int /*size*/, unsigned char* /*type*/) {
  return QL_OTHER_DAY;
}

void DataReplayEmpty::release() {
  delete this;
}

}  // namespace KX
