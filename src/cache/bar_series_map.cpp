// BarDataSeriesMap: per-symbol bar series in column form.
#include "quotelab/bar_series_map.h"

#include <limits.h>
#include <string.h>

#include <new>

namespace KX {

namespace {

// Pool blocks for the series objects (about 330 bytes each) and their key copies.
constexpr int kSeriesPoolBlock = 16384;
constexpr int kBarSymbolField = static_cast<int>(sizeof(_BarData::symbol));
constexpr int kSeriesSymbolMax = static_cast<int>(sizeof(BarDataSeries::symbol)) - 1;
static_assert(kSeriesSymbolMax == 30, "a series symbol holds 30 characters and a NUL");

}  // namespace

// ---- BarDataSeries --------------------------------------------------------------------------

bool BarDataSeries::init(int series_len) {
  return action_day.init(series_len) && time.init(series_len) && open.init(series_len) &&
         high.init(series_len) && low.init(series_len) && close.init(series_len) &&
         turnover.init(series_len) && volume.init(series_len) && open_interest.init(series_len) &&
         num_trades.init(series_len) && iopv.init(series_len);
}

bool BarDataSeries::append(const _BarData* bar) {
  // Every column has the same room, so testing one keeps the columns in step.
  if (bar == nullptr || close.values.capacity <= 0) return false;
  action_day.push(bar->action_day);
  time.push(bar->time);
  open.push(bar->open);
  high.push(bar->high);
  low.push(bar->low);
  close.push(bar->close);
  turnover.push(bar->turnover);
  volume.push(bar->volume);
  open_interest.push(bar->open_interest);
  num_trades.push(bar->num_trades);
  iopv.push(bar->iopv);
  return true;
}

// ---- BarDataSeriesMap -----------------------------------------------------------------------

BarDataSeriesMap::BarDataSeriesMap(int series_len_)
    : series_len(series_len_),
      pool(epool_create(kSeriesPoolBlock)),
      series_map(table_new(nullptr, nullptr, nullptr, nullptr)) {}

BarDataSeriesMap::~BarDataSeriesMap() {
  // The series live in the pool: run their destructors (freeing the columns) before the pool
  // goes. Keys are pool copies too.
  if (series_map != nullptr) {
    table_iter_s* it = table_iter_new(series_map);
    if (it != nullptr) {
      while (table_node_s* node = table_next(it)) {
        static_cast<BarDataSeries*>(node->value)->~BarDataSeries();
      }
      table_iter_free(&it);
    }
    table_free(&series_map);
  }
  epool_destroy(pool);
}

BarDataSeries* BarDataSeriesMap::find(const char* key, size_t len) const {
  // A byte-string table reads len 0 as "measure the key": give it a NUL-terminated empty key.
  if (series_map == nullptr || len > static_cast<size_t>(INT_MAX / 2)) return nullptr;
  return static_cast<BarDataSeries*>(
      table_get_value(series_map, len > 0 ? key : "", static_cast<int>(len)));
}

BarDataSeries* BarDataSeriesMap::find_or_create(const char* key, size_t len, int trading_day) {
  if (BarDataSeries* series = find(key, len)) return series;
  if (series_len < 1 || series_map == nullptr || len > static_cast<size_t>(INT_MAX / 2)) {
    return nullptr;
  }
  char* key_copy = static_cast<char*>(epool_palloc(pool, len + 1));
  void* memory = epool_palloc(pool, sizeof(BarDataSeries));
  if (key_copy == nullptr || memory == nullptr) return nullptr;
  memcpy(key_copy, key, len);
  key_copy[len] = '\0';

  BarDataSeries* series = new (memory) BarDataSeries();
  unsigned char exchange = 0;
  SymbolTools::extract_symbol(series->symbol, kSeriesSymbolMax, &exchange, key_copy);
  series->symbol[kSeriesSymbolMax] = '\0';
  series->exchange = exchange;
  series->trading_day = trading_day;
  if (!series->init(series_len) ||
      table_insert(series_map, key_copy, static_cast<int>(len), series) != 0) {
    series->~BarDataSeries();
    return nullptr;
  }
  return series;
}

BarDataSeries* BarDataSeriesMap::create_bar_series(const std::string& symbol, int trading_day) {
  return find_or_create(symbol.data(), symbol.size(), trading_day);
}

BarDataSeries* BarDataSeriesMap::get_bar_series(const std::string& symbol) const {
  return find(symbol.data(), symbol.size());
}

bool BarDataSeriesMap::push(const _BarData* bar) {
  if (bar == nullptr) return false;
  // The symbol field need not hold a NUL: read it within its 30 bytes.
  size_t len = strnlen(bar->symbol, kBarSymbolField);
  BarDataSeries* series = find_or_create(bar->symbol, len, bar->trading_day);
  if (series == nullptr) return false;
  // Records carry the code without suffix: the bar itself tells the exchange then.
  if (series->exchange == 0) series->exchange = bar->exchange;
  return series->append(bar);
}

void BarDataSeriesMap::push_batch(_BarData* const* bars, size_t n) {
  if (bars == nullptr) return;
  for (size_t i = 0; i < n; ++i) push(bars[i]);
}

void BarDataSeriesMap::push_batch(const std::vector<_BarData*>& bars) {
  push_batch(bars.data(), bars.size());
}

void BarDataSeriesMap::push_batch(const DataArray* bars) {
  if (bars == nullptr || bars->items == nullptr || bars->count <= 0) return;
  for (int i = 0; i < bars->count; ++i) push(static_cast<const _BarData*>(bars->items[i]));
}

bool BarDataSeriesMap::last_bar(const std::string& symbol, _BarData* out) const {
  const BarDataSeries* series = find(symbol.data(), symbol.size());
  if (out == nullptr || series == nullptr || series->size() == 0) return false;
  out->type = QL_RECORD_BAR;
  out->exchange = series->exchange;
  size_t n = strnlen(series->symbol, kBarSymbolField - 1);
  memset(out->symbol, 0, sizeof(out->symbol));
  memcpy(out->symbol, series->symbol, n);
  out->action_day = series->action_day.back();
  out->time = series->time.back();
  out->open = series->open.back();
  out->high = series->high.back();
  out->low = series->low.back();
  out->close = series->close.back();
  out->turnover = series->turnover.back();
  out->volume = series->volume.back();
  out->open_interest = series->open_interest.back();
  out->num_trades = series->num_trades.back();
  out->iopv = series->iopv.back();
  out->trading_day = series->trading_day;
  return true;
}

int BarDataSeriesMap::size() const {
  return table_length(series_map);
}

}  // namespace KX
