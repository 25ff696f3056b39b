/* quotelab: per-symbol bar series in column form.
 *
 * BarDataSeriesMap keeps, for each symbol, the most recent bars as one array per bar field,
 * oldest first, so that one field over the last bars lies in one contiguous array. Each column
 * holds up to twice the map's series length; once full, every push drops the oldest value.
 */
#ifndef QUOTELAB_BAR_SERIES_MAP_H
#define QUOTELAB_BAR_SERIES_MAP_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "quotelab/export.h"
#include "quotelab/mdata_cache.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace KX {

/* One column of a series: `length` is the map's series length, `values` holds up to
 * 2 x length values, oldest first, in storage allocated once. */
template <typename T>
struct BarSeriesColumn {
  int length = 0;
  DataVector<T> values;

  /* Takes room for 2 x series_len values. Returns false (no room taken) when series_len is
   * below 1 or too large, or the allocation fails. */
  bool init(int series_len) {
    if (series_len < 1 || series_len > INT32_MAX / 2) return false;
    if (!values.reserve(2 * series_len)) return false;
    length = series_len;
    return true;
  }
  /* Appends v; a full column first moves its values one place to the front, dropping the
   * oldest. Returns false for a column without room. */
  bool push(T v) {
    if (values.capacity <= 0) return false;
    if (values.count >= values.capacity) {
      memmove(values.items, values.items + 1, static_cast<size_t>(values.capacity - 1) * sizeof(T));
      values.count = values.capacity - 1;
    }
    values.items[values.count++] = v;
    return true;
  }
  int size() const { return values.count; }
  const T* data() const { return values.items; }
  /* The newest value; the column must not be empty. */
  T back() const { return values.items[values.count - 1]; }
};

/* The bars of one symbol, column by column; index k of every column belongs to the same bar
 * (k = 0 the oldest kept). pre_close, turn and the reserved bytes are not kept. Not thread-safe. */
struct QL_API BarDataSeries {
  uint8_t exchange = 0;     // from the symbol text's suffix, 0 when it has none
  char symbol[31] = {};     // the code without suffix, at most 30 characters
  int32_t trading_day = 0;  // the trading day the series was created with
  BarSeriesColumn<int32_t> action_day;
  BarSeriesColumn<int32_t> time;
  BarSeriesColumn<double> open;
  BarSeriesColumn<double> high;
  BarSeriesColumn<double> low;
  BarSeriesColumn<double> close;
  BarSeriesColumn<double> turnover;
  BarSeriesColumn<int64_t> volume;
  BarSeriesColumn<int32_t> open_interest;
  BarSeriesColumn<int32_t> num_trades;
  BarSeriesColumn<double> iopv;

  /* Takes the room of every column. Returns false when a column gets none. */
  bool init(int series_len);
  /* Appends the bar's kept fields to the columns. Returns false (nothing changes) for NULL or a
   * series without room. */
  bool append(const _BarData* bar);
  /* Number of bars kept. */
  int size() const { return close.size(); }
};

/* Symbol text -> BarDataSeries. The map owns its series (allocated from its pool) and their
 * columns; series pointers stay valid until the map is destroyed. Keys are the exact texts
 * ("RB2210" and "rb2210" are two series). Not thread-safe: one thread at a time per map.
 * Copying is not offered (two maps would release one pool and one set of series). */
class QL_API BarDataSeriesMap {
 public:
  /* series_len: each column keeps up to 2 x series_len values. A map with a series length
   * below 1 makes no series and takes no bar. */
  explicit BarDataSeriesMap(int series_len);
  virtual ~BarDataSeriesMap();
  BarDataSeriesMap(const BarDataSeriesMap&) = delete;
  BarDataSeriesMap& operator=(const BarDataSeriesMap&) = delete;

  /* Returns the series of symbol, creating it with trading_day when missing (an existing
   * series is returned unchanged); NULL when none can be made. */
  BarDataSeries* create_bar_series(const std::string& symbol, int trading_day);
  /* Returns the series of symbol, or NULL; never creates one. */
  BarDataSeries* get_bar_series(const std::string& symbol) const;
  /* Appends the bar to the series named by its symbol field (read within its 30 bytes),
   * creating the series with the bar's trading_day. Returns true when a series took the bar;
   * false for NULL or when no series can be had. No order is checked. */
  bool push(const _BarData* bar);
  /* push of each bar in order; NULL bars are skipped, results ignored. */
  void push_batch(_BarData* const* bars, size_t n);
  void push_batch(const std::vector<_BarData*>& bars);
  void push_batch(const DataArray* bars);
  /* Rebuilds the newest kept bar of symbol into out: type, exchange, symbol (at most 29
   * characters), the kept fields and the series' trading_day; other fields keep what out held.
   * Returns false (out untouched) when the symbol has no bar. */
  bool last_bar(const std::string& symbol, _BarData* out) const;

  int get_series_len() const { return series_len; }
  /* Number of series. */
  int size() const;

 private:
  int series_len;
  epool_s* pool = nullptr;
  table_s* series_map = nullptr;

  BarDataSeries* find(const char* key, size_t len) const;
  BarDataSeries* find_or_create(const char* key, size_t len, int trading_day);
};

}  // namespace KX

#endif /* QUOTELAB_BAR_SERIES_MAP_H */
