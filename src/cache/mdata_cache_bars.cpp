// MDataCache: intraday and daily bars, history queries and the per-thread history buffers.
#include <stddef.h>
#include <string.h>

#include <new>

#include "cache/mdata_cache_detail.h"
#include "quotelab/mdata_cache.h"

namespace KX {

namespace {

constexpr int kDefaultBarCapacity = 576;
// Upper bound of the room a new bar array reserves up front. history_data raises keep_bars to
// any count a caller asks for; beyond this bound arrays grow as bars arrive instead of
// reserving room for bars that may never come.
constexpr int kMaxInitialBarCapacity = 4096;
// How many bars ahead history_data prefetches: far enough to hide a memory access behind the
// copies in between, near enough not to evict what is still to be read.
constexpr int kPrefetchAhead = 8;
// Below this many bars an intraday array is never trimmed, whatever keep_bars says.
constexpr int64_t kMinTrimThreshold = 256;

int initial_capacity(int setting, int when_unset) {
  if (setting <= 0) return when_unset;
  return setting < kMaxInitialBarCapacity ? setting : kMaxInitialBarCapacity;
}

// Copies a caller's bar into an element of `elem_size` bytes. The caller's record is read as
// 252 bytes only when its extension byte says it has them: a plain bar in a 252-byte element
// gets zeros for the missing 72 bytes, and an extended bar kept in a 180-byte element is stored
// as the plain bar it now is (extension byte 0), so no reader takes it for 252 bytes.
void store_bar(void* dst, int elem_size, const _BarData* bar) {
  const bool extended = bar->extension != 0;
  if (elem_size >= QL_BAR_EXT_SIZE) {
    if (extended) {
      memmove(dst, bar, QL_BAR_EXT_SIZE);
    } else {
      memmove(dst, bar, QL_BAR_SIZE);
      memset(static_cast<char*>(dst) + QL_BAR_SIZE, 0, QL_BAR_EXT_SIZE - QL_BAR_SIZE);
    }
    return;
  }
  memmove(dst, bar, QL_BAR_SIZE);
  if (extended) static_cast<_BarData*>(dst)->extension = 0;
}

// Appends a copy of bar to the array. Returns 0 or -1.
int push_bar(DataArray* array, const _BarData* bar) {
  if (array->elem_size() == QL_BAR_SIZE && bar->extension == 0) return array->push_back(bar);
  alignas(16) unsigned char element[QL_BAR_EXT_SIZE];
  store_bar(element, array->elem_size(), bar);
  return array->push_back(element);
}

const _BarData* newest(const DataArray* array) {
  return static_cast<const _BarData*>(array->back());
}

// Position of each numbered bar field inside _BarData, or -1 for numbers without a field.
ptrdiff_t bar_field_offset(int field) {
  switch (field) {
    case 1:
      return offsetof(_BarData, open);
    case 2:
      return offsetof(_BarData, high);
    case 3:
      return offsetof(_BarData, low);
    case 4:
      return offsetof(_BarData, close);
    case 5:
      return offsetof(_BarData, volume);
    case 6:
      return offsetof(_BarData, turnover);
    case 7:
      return offsetof(_BarData, open_interest);
    case 12:
      return offsetof(_BarData, num_trades);
    default:
      return -1;
  }
}

// The calling thread's history_data result buffers, made by its first query and freed when
// the thread ends.
struct HistoryBuffers {
  NumArray doubles{FIELD_TYPE_DOUBLE};
  NumArray int64s{FIELD_TYPE_INT64};
  NumArray int32s{FIELD_TYPE_INT32};

  NumArray& of_type(field_type_e type) {
    if (type == FIELD_TYPE_INT64) return int64s;
    if (type == FIELD_TYPE_INT32) return int32s;
    return doubles;
  }
};

HistoryBuffers& thread_history_buffers() {
  static thread_local HistoryBuffers buffers;
  return buffers;
}

}  // namespace

// ---- arrays ---------------------------------------------------------------------------------

DataArray* MDataCache::find_array(table_s* table, const char* symbol) const {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || table == nullptr) return nullptr;
  return static_cast<DataArray*>(table_get_value(table, symbol, len));
}

DataArray* MDataCache::find_or_make_array(table_s* table, const char* symbol, bool create,
                                          int elem_size, int capacity, bool preallocate) {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || table == nullptr) return nullptr;
  DataArray* array = static_cast<DataArray*>(table_get_value(table, symbol, len));
  if (array != nullptr || !create) return array;
  const char* key = intern_key(symbol, len);
  if (key == nullptr) return nullptr;
  array = new (std::nothrow) DataArray(elem_size, capacity, preallocate);
  if (array == nullptr) return nullptr;
  if (table_insert(table, key, len, array) != 0) {
    delete array;
    return nullptr;
  }
  return array;
}

DataArray* MDataCache::get_bar_array(const char* symbol, bool create) {
  return find_or_make_array(bar_table, symbol, create, QL_BAR_SIZE,
                            initial_capacity(keep_bars, kDefaultBarCapacity), false);
}

DataArray* MDataCache::get_daily_bar_array(const char* symbol, int extended, bool create) {
  return find_or_make_array(daily_bar_table, symbol, create,
                            extended != 0 ? QL_BAR_EXT_SIZE : QL_BAR_SIZE,
                            initial_capacity(keep_daily_bars, 1), true);
}

// ---- updates --------------------------------------------------------------------------------

int MDataCache::update_bar(const char* symbol, const _BarData* bar) {
  if (symbol == nullptr) return -1;
  DataArray* array = get_bar_array(symbol, keep_bars != 0);
  if (array == nullptr) return QL_REFUSED;
  if (bar == nullptr) return -1;
  if (const _BarData* last = newest(array)) {
    if (last->action_day > bar->action_day ||
        (last->action_day == bar->action_day && last->time >= bar->time)) {
      return QL_BAR_NOT_NEWER;
    }
  }
  if (keep_bars > 1) {
    if (push_bar(array, bar) != 0) return -1;
    // Trim in bulk: one pop_front of many bars instead of one per update.
    int64_t threshold = 4 * static_cast<int64_t>(keep_bars);
    if (threshold < kMinTrimThreshold) threshold = kMinTrimThreshold;
    if (array->count >= threshold) array->pop_front(array->count - keep_bars);
    return array->count;
  }
  if (array->count == 0) return push_bar(array, bar) == 0 ? array->count : -1;
  store_bar(array->back(), array->elem_size(), bar);
  return array->count;
}

int MDataCache::update_daily_bar(const char* symbol, const _BarData* bar) {
  if (symbol == nullptr || bar == nullptr) return -1;
  DataArray* array = get_daily_bar_array(symbol, bar->extension, true);
  if (array == nullptr) return QL_REFUSED;
  const _BarData* last = newest(array);
  if (last != nullptr && last->action_day > bar->action_day) return QL_BAR_NOT_NEWER;
  if (keep_daily_bars <= 1 && last != nullptr) {
    store_bar(array->back(), array->elem_size(), bar);
    return array->count;
  }
  return push_bar(array, bar) == 0 ? array->count : -1;
}

// ---- queries --------------------------------------------------------------------------------

_BarData* MDataCache::last_bar(const char* symbol) {
  DataArray* array = get_bar_array(symbol, false);
  return array != nullptr ? static_cast<_BarData*>(array->back()) : nullptr;
}

_BarData* MDataCache::last_daily_bar(const char* symbol) {
  DataArray* array = get_daily_bar_array(symbol, 0, false);
  return array != nullptr ? static_cast<_BarData*>(array->back()) : nullptr;
}

DataArray MDataCache::history_from(table_s* table, const char* symbol, int count) const {
  const DataArray* array = find_array(table, symbol);
  if (array == nullptr) return DataArray(nullptr, 0, QL_BAR_SIZE);
  return array->slice(count);
}

DataArray MDataCache::history_bars(const char* symbol, int count) {
  return history_from(bar_table, symbol, count);
}

DataArray MDataCache::history_daily_bars(const char* symbol, int count) {
  return history_from(daily_bar_table, symbol, count);
}

field_type_e MDataCache::conv_bar_field_type(int field) {
  switch (field) {
    case 0:
      return FIELD_TYPE_NONE;
    case 5:
      return FIELD_TYPE_INT64;
    case 7:
    case 12:
      return FIELD_TYPE_INT32;
    default:
      return FIELD_TYPE_DOUBLE;
  }
}

NumArray MDataCache::history_data(const char* symbol, int field, int count, const char* period) {
  if (count > keep_bars) keep_bars = count;
  if (field == 0) return NumArray::view(nullptr, 0, FIELD_TYPE_NONE, bar_field_str(0));
  table_s* table = period != nullptr && strcmp(period, "1d") == 0 ? daily_bar_table : bar_table;
  const DataArray* array = find_array(table, symbol);
  if (array == nullptr) return NumArray::view(nullptr, 0, FIELD_TYPE_DOUBLE, bar_field_str(field));

  HistoryBuffers& buffers = thread_history_buffers();
  buffers.doubles.clear();
  buffers.int64s.clear();
  buffers.int32s.clear();
  NumArray& out = buffers.of_type(conv_bar_field_type(field));
  // The newest `count` bars in order, as slice(count) would copy them, read in place: the
  // query allocates nothing once the buffers have grown.
  ptrdiff_t offset = bar_field_offset(field);
  int n = count < 0 ? 0 : (count > array->count ? array->count : count);
  if (offset >= 0) {
    for (int i = array->count - n; i < array->count; ++i) {
      // Bars lie apart in memory: ask for one a few steps ahead while copying this one.
      if (i + kPrefetchAhead < array->count) {
        __builtin_prefetch(static_cast<const char*>(array->items[i + kPrefetchAhead]) + offset);
      }
      out.append(static_cast<const char*>(array->items[i]) + offset);  // failures drop the value
    }
  }
  return NumArray::view(out.data, out.count, out.type, out.name);
}

NumArray MDataCache::history_data(const char* symbol, const char* field, int count,
                                  const char* period) {
  return history_data(symbol, bar_field_int(field), count, period);
}

DataVector<_BarData*> MDataCache::last_bars(unsigned char exchange) {
  DataVector<_BarData*> result;
  int n = table_length(bar_table);  // at most one bar per symbol
  if (n > 0) result.reserve(n);
  if (bar_table == nullptr || bar_iter == nullptr) return result;
  table_iter_init(bar_table, bar_iter);
  while (table_node_s* node = table_next(bar_iter)) {
    const DataArray* array = static_cast<const DataArray*>(node->value);
    _BarData* last = array != nullptr ? static_cast<_BarData*>(array->back()) : nullptr;
    if (last == nullptr || (exchange != 0 && last->exchange != exchange)) continue;
    result.push_back(last);
  }
  return result;
}

int MDataCache::clear_bars(const char* symbol) {
  if (symbol != nullptr && symbol[0] != '\0') {
    DataArray* array = get_bar_array(symbol, false);
    if (array == nullptr) return 0;
    array->clear();
    return 1;
  }
  int n = table_length(bar_table);
  if (bar_table != nullptr) table_clear(bar_table);
  return n;
}

int MDataCache::remove_bar(const char* symbol) {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || bar_table == nullptr) return 0;
  DataArray* array = static_cast<DataArray*>(table_remove(bar_table, symbol, len));
  if (array == nullptr) return 0;
  delete array;
  return 1;
}

int MDataCache::get_num_bars() const {
  return table_length(bar_table);
}
int MDataCache::get_num_daily_bars() const {
  return table_length(daily_bar_table);
}

}  // namespace KX
