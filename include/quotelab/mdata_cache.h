/* quotelab: the market data cache.
 *
 * MDataCache holds, per symbol, the latest tick (_L2Snapshot), the latest opening-auction tick,
 * the latest index quote (_MDIndex), the recent intraday bars and the daily bars, and answers
 * history queries over the bars. Ticks and index quotes live in reference-counted message items
 * so that one item can be cached and published at once; each holder takes its own reference.
 *
 * NumArray is a typed numeric array (or a view of one) returned by history_data; DataVector is
 * a plain growable vector of trivially copyable elements (last_bars, bar series columns).
 */
#ifndef QUOTELAB_MDATA_CACHE_H
#define QUOTELAB_MDATA_CACHE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

#include "quotelab/export.h"
#include "quotelab/records.h"
#include "quotelab/result.h"
#include "quotelab/utilcore.h"

namespace KX {

/* Element type codes of a NumArray. Element sizes: 1 and 3 one byte, 5 two bytes, 7 and 11 four
 * bytes, 9, 12 and 18 eight bytes, anything else none. The cache produces only FIELD_TYPE_NONE,
 * FIELD_TYPE_INT32, FIELD_TYPE_INT64 and FIELD_TYPE_DOUBLE. */
enum field_type_e {
  FIELD_TYPE_NONE = 0,
  FIELD_TYPE_INT8 = 1,
  FIELD_TYPE_UINT8 = 3,
  FIELD_TYPE_INT16 = 5,
  FIELD_TYPE_INT32 = 7,
  FIELD_TYPE_INT64 = 9,
  FIELD_TYPE_FLOAT = 11,
  FIELD_TYPE_DOUBLE = 12,
  FIELD_TYPE_UINT64 = 18
};

/* A typed, growable array of numbers, or a view of numbers owned elsewhere (owns == 0).
 * An owning array frees its storage in its destructor; a view never frees anything. Copying is
 * not offered (a copy would free the same storage twice); moving hands the storage over and
 * leaves the source an empty view. Not thread-safe. */
class QL_API NumArray {
 public:
  void* data = nullptr;   // first element
  uint64_t size = 0;      // bytes in use
  uint64_t capacity = 0;  // bytes allocated (a view: equal to size)
  int owns = 0;           // non-zero: data was allocated here and is freed here
  int64_t count = 0;      // elements
  int type = FIELD_TYPE_NONE;
  int elem_size = 0;      // bytes per element, from type
  const char* name = "";  // never owned

  /* Owning array of `type` with room for 512 elements (none when the allocation fails). */
  explicit NumArray(int type);
  /* An empty view of no type. */
  NumArray() = default;
  NumArray(NumArray&& other) noexcept;
  NumArray& operator=(NumArray&& other) noexcept;
  NumArray(const NumArray&) = delete;
  NumArray& operator=(const NumArray&) = delete;
  virtual ~NumArray();

  /* A view of `count` elements of `type` at `data` (not copied, never freed). */
  static NumArray view(void* data, int64_t count, int type, const char* name);
  /* Bytes per element of a type code (0 for codes without elements). */
  static int elem_size_of(int type);

  /* Appends one element of elem_size bytes read from `value`, growing the storage as needed.
   * Returns 0; QL_ARRAY_VIEW for a view; QL_ERROR when value is NULL, the array has no element
   * type, or growing fails (nothing changes then). */
  int append(const void* value);
  /* Forgets the elements, keeping the storage. */
  void clear() {
    size = 0;
    count = 0;
  }

 private:
  void release();
  void take(NumArray& other);
};

/* A plain growable vector of trivially copyable elements, grown with realloc. Whoever holds a
 * DataVector owns its element array (when `owns` is non-zero) and frees it in the destructor;
 * for last_bars the bars pointed to stay owned by the cache. Copying is not offered (two
 * holders would free one array); moving hands the array over. Not thread-safe. */
template <typename T>
class DataVector {
  static_assert(std::is_trivially_copyable<T>::value, "DataVector holds plain values");

 public:
  T* items = nullptr;  // element array
  int count = 0;       // elements in use
  int capacity = 0;    // elements allocated
  int tag = -1;        // free for the holder's use; set to -1, never read by the library
  int owns = 1;        // non-zero: the array is freed here and elements may be appended

  DataVector() = default;
  DataVector(DataVector&& other) noexcept { take(other); }
  DataVector& operator=(DataVector&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  DataVector(const DataVector&) = delete;
  DataVector& operator=(const DataVector&) = delete;
  ~DataVector() { release(); }

  /* Makes room for n elements in all. Returns true when there is room (false: nothing
   * changes; a vector that does not own its array cannot grow). */
  bool reserve(int n) {
    if (n <= capacity) return true;
    if (!owns || static_cast<size_t>(n) > SIZE_MAX / sizeof(T)) return false;
    void* grown = realloc(items, static_cast<size_t>(n) * sizeof(T));
    if (grown == nullptr) return false;
    items = static_cast<T*>(grown);
    capacity = n;
    return true;
  }
  /* Appends v, doubling the room when full (256 elements at first). Returns 0, or -1 when the
   * vector does not own its array or cannot grow. */
  int push_back(const T& v) {
    if (!owns) return -1;
    if (count == capacity) {
      int want = capacity == 0 ? 256 : (capacity > INT32_MAX / 2 ? INT32_MAX : capacity * 2);
      if (want <= capacity || !reserve(want)) return -1;
    }
    items[count++] = v;
    return 0;
  }
  int size() const { return count; }
  bool empty() const { return count == 0; }
  T& operator[](int i) { return items[i]; }
  const T& operator[](int i) const { return items[i]; }
  T* begin() { return items; }
  T* end() { return items + count; }
  const T* begin() const { return items; }
  const T* end() const { return items + count; }

 private:
  void release() {
    if (owns) free(items);
    items = nullptr;
    count = capacity = 0;
  }
  void take(DataVector& other) {
    items = other.items;
    count = other.count;
    capacity = other.capacity;
    tag = other.tag;
    owns = other.owns;
    other.items = nullptr;
    other.count = other.capacity = 0;
    other.owns = 1;
  }
};

/* The market data cache. Not thread-safe: one thread at a time per cache (the host serialises
 * calls from several threads itself). Message item reference counts are atomic, so the cache
 * and a publisher thread may hold the same item. history_data keeps per-thread result buffers.
 *
 * Symbols are NUL-terminated strings, matched exactly (case-sensitive). A NULL symbol, record
 * or item is refused (-1, NULL, 0.0 or an empty result) except where a comment says otherwise.
 * Results (named in quotelab/result.h): 1 an existing value was replaced, 0 a new symbol was
 * cached or a query succeeded, QL_ERROR (-1) bad argument or out of memory, QL_NOT_CACHED (-107)
 * nothing cached, QL_BAR_NOT_NEWER (-147) bar not newer than the last stored one, QL_REFUSED
 * (-150) refused by the cache's settings. */
class QL_API MDataCache {
 public:
  MDataCache(int keep_tick = 1, int keep_bars = 1);
  virtual ~MDataCache();
  MDataCache(const MDataCache&) = delete;
  MDataCache& operator=(const MDataCache&) = delete;

  /* The tables' key functions: a 64-bit hash over little-endian 32-bit groups of the key, then
   * its remaining bytes (len 0 measures the NUL-terminated key), and an unsigned byte-wise
   * comparison of two NUL-terminated keys giving -1, 0 or 1. */
  static uint64_t symbol_hash(const void* key, int len);
  static int symbol_compare(const void* a, const void* b);

  // ---- settings ------------------------------------------------------------------------------
  int get_keep_tick() const { return keep_tick; }
  int get_keep_bars() const { return keep_bars; }
  void set_keep_bars(int n) { keep_bars = n; }
  void set_keep_daily_bars(int n) { keep_daily_bars = n; }

  // ---- tick date-time watermark: the newest (action_day, time) of cached ticks and indexes -
  /* Returns 1 when (date, time) is not older than the watermark and became it, else 0. */
  int update_tick_datetime(int date, int time);
  /* Stores the watermark through the pointers that are not NULL. */
  void last_tick_datetime(int* date, int* time) const;
  void reset_tick_datetime();

  // ---- ticks and auction ticks ---------------------------------------------------------------
  /* Caches `item` (payload: an _L2Snapshot of at least 464 bytes) by taking a reference; the
   * caller keeps its own. A tick of exchange 1, 2 or 15 timed 09:15:00.001 to 09:29:59.999 also
   * becomes the auction tick. Returns 1 (replaced), 0 (new), QL_ERROR (NULL argument, payload
   * too short, out of memory: nothing changes), QL_REFUSED (ticks not cached). */
  int update_tick(const char* symbol, msg_item_s* item);
  /* Copies `snap` into the symbol's cached item when the cache holds its only reference, else
   * (a publisher still holds the item) into a fresh item that replaces it: a holder keeps
   * reading the whole record it was given. A new symbol gets a new item. Returns 1
   * (replaced), 0 (new), QL_ERROR (NULL argument, out of memory: nothing changes),
   * QL_REFUSED. */
  int update_set_tick(const char* symbol, const _L2Snapshot* snap);
  /* Copies `snap` as the symbol's auction tick, whatever its time. Returns 0, or -1. */
  int update_auction_tick(const char* symbol, const _L2Snapshot* snap);
  /* Returns the cached tick (valid while that item stays cached), or NULL. */
  _L2Snapshot* last_tick(const char* symbol);
  /* Copies the cached tick into out. Returns 0, QL_NOT_CACHED (none; out untouched), QL_ERROR
   * (NULL). */
  int last_tick(_L2Snapshot* out, const char* symbol);
  /* Copies the cached auction tick into out. Returns 0, QL_NOT_CACHED, QL_ERROR. */
  int auction_tick(_L2Snapshot* out, const char* symbol);
  /* Returns the cached tick's last price (its pre_close when last is 0.0), else the close of
   * the newest intraday bar, else 0.0. */
  double last_price(const char* symbol);
  /* With a symbol: drops its auction tick and tick; returns 1 when a tick was dropped, else 0.
   * With NULL or "": drops every tick and auction tick; returns the number of ticks. */
  int clear_tick(const char* symbol);
  /* Drops the symbol's auction tick and tick. Returns 1 when a tick was dropped, else 0. */
  int remove_tick(const char* symbol);
  int get_num_ticks() const;
  int get_num_auctions() const;

  // ---- index quotes --------------------------------------------------------------------------
  /* As update_tick for an item holding an _MDIndex (at least 106 bytes); no auction step. */
  int update_index(const char* symbol, msg_item_s* item);
  /* As update_set_tick for an _MDIndex. */
  int update_set_index(const char* symbol, const _MDIndex* idx);
  _MDIndex* last_index(const char* symbol);
  int last_index(_MDIndex* out, const char* symbol);
  int get_num_indexes() const;

  // ---- bars ----------------------------------------------------------------------------------
  /* keep_bars: 0 no intraday arrays are made by update_bar; below 2 one bar per symbol,
   * replaced in place; k >= 2 at least the newest k bars, trimmed in bulk once the array
   * reaches max(4k, 256). keep_daily_bars: below 2 one daily bar replaced in place, else daily
   * bars are appended without limit. */

  /* Returns the symbol's intraday array, making an empty one when `create` is true. */
  DataArray* get_bar_array(const char* symbol, bool create);
  /* The same for daily bars; `extended` non-zero gives a new array 252-byte elements. */
  DataArray* get_daily_bar_array(const char* symbol, int extended, bool create);
  /* Stores a bar newer (action_day, then time) than the last one. Returns the bar count,
   * QL_ERROR (NULL bar, out of memory), QL_BAR_NOT_NEWER (not newer), QL_REFUSED (no array and
   * keep_bars 0). */
  int update_bar(const char* symbol, const _BarData* bar);
  /* Stores a daily bar whose action_day is not older than the last one. Returns the count,
   * QL_ERROR, QL_BAR_NOT_NEWER, QL_REFUSED. An extended bar (extension byte set) is read as 252
   * bytes. */
  int update_daily_bar(const char* symbol, const _BarData* bar);
  /* Return the newest bar (valid until that array next changes), or NULL. */
  _BarData* last_bar(const char* symbol);
  _BarData* last_daily_bar(const char* symbol);
  /* Return copies of the newest `count` bars, oldest first (an empty array of 180-byte elements
   * when the symbol has none). */
  DataArray history_bars(const char* symbol, int count);
  DataArray history_daily_bars(const char* symbol, int count);
  /* One bar field (numbers as bar_field_int) over the newest `count` bars (daily bars when
   * period is "1d"), as a view of this thread's buffer: valid on the calling thread until its
   * next history_data call or its end. Raises keep_bars to count first. */
  NumArray history_data(const char* symbol, int field, int count, const char* period);
  NumArray history_data(const char* symbol, const char* field, int count, const char* period);
  /* Element type of a bar field number: 0 none, 5 int64, 7 and 12 int32, others double. */
  static field_type_e conv_bar_field_type(int field);
  /* The newest intraday bar of every symbol (of one exchange when exchange is non-zero), in
   * table order; the bars stay owned by the cache. */
  DataVector<_BarData*> last_bars(unsigned char exchange);
  /* With a symbol: empties its intraday array (returns 1) or returns 0 when it has none. With
   * NULL or "": drops every intraday array; returns how many there were. */
  int clear_bars(const char* symbol);
  /* Drops the symbol's intraday array. Returns 1, or 0 when it had none. */
  int remove_bar(const char* symbol);
  int get_num_bars() const;
  int get_num_daily_bars() const;

 private:
  int keep_tick;
  int keep_bars;
  int keep_daily_bars = 512;
  int32_t tick_date = 0;
  int32_t tick_time = -1;
  epool_s* pool = nullptr;
  table_s* auction_table = nullptr;
  table_s* tick_table = nullptr;
  table_s* index_table = nullptr;
  table_s* bar_table = nullptr;
  table_s* daily_bar_table = nullptr;
  table_iter_s* tick_iter = nullptr;
  table_iter_s* bar_iter = nullptr;
  // One pool copy per symbol, shared by every table, so that removing and re-adding symbols
  // does not grow the pool.
  table_s* key_table = nullptr;

  struct RecordKind;
  static const RecordKind kTickKind;
  static const RecordKind kIndexKind;

  const char* intern_key(const char* symbol, int len);
  void watermark_from(const void* rec, const RecordKind& kind);
  int cache_item(table_s* table, const char* symbol, msg_item_s* item, const RecordKind& kind);
  int cache_copy(table_s* table, const char* symbol, const void* rec, const RecordKind& kind);
  int copy_out(table_s* table, const char* symbol, void* out, int size) const;
  int put_item(table_s* table, const char* symbol, msg_item_s* item);
  int put_copy(table_s* table, const char* symbol, const void* rec, int rec_size);
  void* cached_payload(table_s* table, const char* symbol) const;
  int drop_item(table_s* table, const char* symbol);
  DataArray* find_array(table_s* table, const char* symbol) const;
  DataArray* find_or_make_array(table_s* table, const char* symbol, bool create, int elem_size,
                                int capacity, bool preallocate);
  DataArray history_from(table_s* table, const char* symbol, int count) const;
};

}  // namespace KX

#endif /* QUOTELAB_MDATA_CACHE_H */
