// MDataCache: construction, key functions, the watermark, ticks, auction ticks and index quotes.
// The bar operations and history queries are in mdata_cache_bars.cpp.
#include "quotelab/mdata_cache.h"

#include <stddef.h>
#include <string.h>

#include "cache/mdata_cache_detail.h"
#include "quotelab/tracelog.h"

namespace KX {

namespace {

constexpr const char* kLogSource = "mdata_cache";
constexpr int kLogFailure = 1;

// Internal result of put_copy: the symbol's entry holds no item (the caller logs it).
constexpr int kEntryWithoutItem = -2;

// Table sizes chosen so that a full market never makes the tables grow on the hot path.
constexpr int kAuctionTableSize = 8192;
constexpr int kTickTableSize = 16384;
constexpr int kIndexTableSize = 2048;
constexpr int kBarTableSize = 16384;
// Pool blocks for the key copies: 256 KiB holds several thousand symbols per block.
constexpr int kKeyPoolBlock = 262144;

void release_item(void* p) {
  if (p != nullptr) msg_item_decref_release(static_cast<msg_item_s*>(p));
}

void release_bar_array(void* p) {
  delete static_cast<DataArray*>(p);
}

// The opening call auction of the stock exchanges (Shanghai, Shenzhen, Beijing):
// 09:15:00.001 to 09:29:59.999.
bool is_auction_tick(const _L2Snapshot* snap) {
  int ex = snap->exchange;
  int t = snap->time;
  return (ex == 1 || ex == 2 || ex == 15) && t >= 91500001 && t <= 92999999;
}

// Another holder (a publisher's queue or thread) may be reading the cached item: writing into
// it would tear the record under its reader. The new record goes into a fresh item instead and
// the holder keeps the old one, released with its last reference.
int replace_shared(table_node_s* node, const void* rec, int rec_size) {
  msg_item_s* fresh = msg_item_alloc(rec, rec_size);  // copies rec before the old item may go
  if (fresh == nullptr) return -1;
  msg_item_s* old = static_cast<msg_item_s*>(node->value);
  node->value = fresh;
  msg_item_decref_release(old);
  return 1;
}

}  // namespace

// ---- key functions --------------------------------------------------------------------------

uint64_t MDataCache::symbol_hash(const void* key, int len) {
  constexpr uint64_t kPrime = 1099511628211ULL;
  uint64_t h = 14695981039346656037ULL;
  if (key == nullptr) return h;
  const unsigned char* p = static_cast<const unsigned char*>(key);
  size_t n = len > 0 ? static_cast<size_t>(len) : strlen(static_cast<const char*>(key));
  size_t groups = n / 4;
  for (size_t i = 0; i < groups; ++i, p += 4) {
    uint32_t w = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    h = (h ^ w) * kPrime;
  }
  for (size_t i = 0; i < n % 4; ++i) h = (h ^ p[i]) * kPrime;
  return h;
}

int MDataCache::symbol_compare(const void* a, const void* b) {
  if (a == b) return 0;
  if (a == nullptr) return -1;
  if (b == nullptr) return 1;
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  while (*x != 0 && *x == *y) {
    ++x;
    ++y;
  }
  return *x < *y ? -1 : (*x > *y ? 1 : 0);
}

// ---- lifecycle ------------------------------------------------------------------------------

MDataCache::MDataCache(int keep_tick_, int keep_bars_)
    : keep_tick(keep_tick_), keep_bars(keep_bars_) {
  pool = epool_create(kKeyPoolBlock);
  auction_table = table_new(symbol_compare, symbol_hash, nullptr, release_item);
  tick_table = table_new(symbol_compare, symbol_hash, nullptr, release_item);
  index_table = table_new(symbol_compare, symbol_hash, nullptr, release_item);
  bar_table = table_new(symbol_compare, symbol_hash, nullptr, release_bar_array);
  daily_bar_table = table_new(symbol_compare, symbol_hash, nullptr, release_bar_array);
  key_table = table_new(symbol_compare, symbol_hash, nullptr, nullptr);
  if (tick_table != nullptr) tick_iter = table_iter_new(tick_table);
  if (bar_table != nullptr) bar_iter = table_iter_new(bar_table);
  if (auction_table != nullptr) table_expand(auction_table, kAuctionTableSize);
  if (tick_table != nullptr) table_expand(tick_table, kTickTableSize);
  if (index_table != nullptr) table_expand(index_table, kIndexTableSize);
  if (bar_table != nullptr) table_expand(bar_table, kBarTableSize);
  if (key_table != nullptr) table_expand(key_table, kTickTableSize);
}

MDataCache::~MDataCache() {
  table_iter_free(&tick_iter);
  table_iter_free(&bar_iter);
  // table_free clears first: every cached item loses the cache's reference, every bar array
  // is destroyed. Items that other holders still reference survive.
  table_free(&auction_table);
  table_free(&tick_table);
  table_free(&index_table);
  table_free(&bar_table);
  table_free(&daily_bar_table);
  table_free(&key_table);
  epool_destroy(pool);
}

const char* MDataCache::intern_key(const char* symbol, int len) {
  if (key_table == nullptr) return nullptr;
  table_node_s* node = table_find(key_table, symbol, len);
  if (node != nullptr) return static_cast<const char*>(node->key);
  // A block of whole 32-byte units (the largest multiple of 32 not above len + 32): it always
  // holds the text and its NUL.
  size_t block = (static_cast<size_t>(len) + 32) / 32 * 32;
  char* copy = static_cast<char*>(epool_palloc(pool, block));
  if (copy == nullptr) return nullptr;
  memcpy(copy, symbol, static_cast<size_t>(len));
  copy[len] = '\0';
  if (table_insert(key_table, copy, len, copy) != 0) return nullptr;
  return copy;
}

// ---- watermark ------------------------------------------------------------------------------

int MDataCache::update_tick_datetime(int date, int time) {
  if (date < tick_date || (date == tick_date && time < tick_time)) return 0;
  tick_date = date;
  tick_time = time;
  return 1;
}

void MDataCache::last_tick_datetime(int* date, int* time) const {
  if (date != nullptr) *date = tick_date;
  if (time != nullptr) *time = tick_time;
}

void MDataCache::reset_tick_datetime() {
  tick_date = 0;
  tick_time = -1;
}

// ---- shared item operations -----------------------------------------------------------------

int MDataCache::put_item(table_s* table, const char* symbol, msg_item_s* item) {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || table == nullptr) return -1;
  table_node_s* node = table_find(table, symbol, len);
  if (node != nullptr) {
    // The new reference first: the item passed in may be the one already cached.
    msg_item_addref(item, 1);
    msg_item_s* old = static_cast<msg_item_s*>(node->value);
    node->value = item;
    if (old != nullptr) msg_item_decref_release(old);
    return 1;
  }
  const char* key = intern_key(symbol, len);
  if (key == nullptr || table_insert(table, key, len, item) != 0) return -1;
  msg_item_addref(item, 1);
  return 0;
}

int MDataCache::put_copy(table_s* table, const char* symbol, const void* rec, int rec_size) {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || rec == nullptr || table == nullptr) return -1;
  table_node_s* node = table_find(table, symbol, len);
  if (node != nullptr) {
    msg_item_s* item = static_cast<msg_item_s*>(node->value);
    if (item == nullptr) return kEntryWithoutItem;
    if (msg_item_refcount(item) > 1) return replace_shared(node, rec, rec_size);
    // memmove: the record may be the cached payload itself (a pointer from last_tick).
    memmove(msg_item_data(item), rec, static_cast<size_t>(rec_size));
    return 1;
  }
  msg_item_s* item = msg_item_alloc(rec, rec_size);
  if (item == nullptr) return -1;
  const char* key = intern_key(symbol, len);
  if (key == nullptr || table_insert(table, key, len, item) != 0) {
    msg_item_decref_release(item);
    return -1;
  }
  return 0;
}

void* MDataCache::cached_payload(table_s* table, const char* symbol) const {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || table == nullptr) return nullptr;
  msg_item_s* item = static_cast<msg_item_s*>(table_get_value(table, symbol, len));
  return item != nullptr ? msg_item_data(item) : nullptr;
}

int MDataCache::drop_item(table_s* table, const char* symbol) {
  int len = detail::cache_symbol_length(symbol);
  if (len < 0 || table == nullptr) return 0;
  void* value = table_remove(table, symbol, len);
  if (value == nullptr) return 0;
  release_item(value);
  return 1;
}

// ---- records cached in items ----------------------------------------------------------------

// What the cache needs to know of a record type that it keeps in message items.
struct MDataCache::RecordKind {
  int size;           // bytes of the record; shorter payloads are refused
  size_t day_offset;  // action_day and time feed the watermark
  size_t time_offset;
  const char* name;      // "tick" or "index", for the log
  const char* set_func;  // the copying update, for the log
  int set_line;
};

const MDataCache::RecordKind MDataCache::kTickKind = {QL_L2SNAPSHOT_SIZE,
                                                      offsetof(_L2Snapshot, action_day),
                                                      offsetof(_L2Snapshot, time),
                                                      "tick",
                                                      "KX::MDataCache::update_set_tick",
                                                      366};
const MDataCache::RecordKind MDataCache::kIndexKind = {
    QL_MDINDEX_SIZE, offsetof(_MDIndex, action_day),     offsetof(_MDIndex, time),
    "index",         "KX::MDataCache::update_set_index", 446};

void MDataCache::watermark_from(const void* rec, const RecordKind& kind) {
  int32_t date = 0, time = 0;
  memcpy(&date, static_cast<const char*>(rec) + kind.day_offset, sizeof(date));
  memcpy(&time, static_cast<const char*>(rec) + kind.time_offset, sizeof(time));
  update_tick_datetime(date, time);
}

int MDataCache::cache_item(table_s* table, const char* symbol, msg_item_s* item,
                           const RecordKind& kind) {
  if (keep_tick == 0) return QL_REFUSED;
  // A payload shorter than the record (or a NULL item, length -1) is refused untouched.
  if (symbol == nullptr || msg_item_data_len(item) < kind.size) return -1;
  int rc = put_item(table, symbol, item);
  if (rc >= 0) watermark_from(msg_item_data(item), kind);
  return rc;
}

int MDataCache::cache_copy(table_s* table, const char* symbol, const void* rec,
                           const RecordKind& kind) {
  if (keep_tick == 0) return QL_REFUSED;
  int rc = put_copy(table, symbol, rec, kind.size);
  if (rc == kEntryWithoutItem) {
    tl_log(tl_log_get_global(), kind.set_func, kLogSource, kind.set_line, kLogFailure,
           "empty table_node_value for %s symbol=%s", kind.name, symbol);
    return -1;
  }
  if (rc >= 0) watermark_from(rec, kind);
  return rc;
}

int MDataCache::copy_out(table_s* table, const char* symbol, void* out, int size) const {
  if (out == nullptr || symbol == nullptr) return -1;
  const void* rec = cached_payload(table, symbol);
  if (rec == nullptr) return QL_NOT_CACHED;
  memmove(out, rec, static_cast<size_t>(size));
  return 0;
}

// ---- ticks ----------------------------------------------------------------------------------

int MDataCache::update_tick(const char* symbol, msg_item_s* item) {
  int rc = cache_item(tick_table, symbol, item, kTickKind);
  if (rc >= 0) {
    const _L2Snapshot* snap = static_cast<const _L2Snapshot*>(msg_item_data(item));
    if (is_auction_tick(snap)) update_auction_tick(symbol, snap);
  }
  return rc;
}

int MDataCache::update_set_tick(const char* symbol, const _L2Snapshot* snap) {
  return cache_copy(tick_table, symbol, snap, kTickKind);
}

int MDataCache::update_auction_tick(const char* symbol, const _L2Snapshot* snap) {
  int rc = put_copy(auction_table, symbol, snap, QL_L2SNAPSHOT_SIZE);
  return rc >= 0 ? 0 : -1;
}

_L2Snapshot* MDataCache::last_tick(const char* symbol) {
  return static_cast<_L2Snapshot*>(cached_payload(tick_table, symbol));
}

int MDataCache::last_tick(_L2Snapshot* out, const char* symbol) {
  return copy_out(tick_table, symbol, out, QL_L2SNAPSHOT_SIZE);
}

int MDataCache::auction_tick(_L2Snapshot* out, const char* symbol) {
  return copy_out(auction_table, symbol, out, QL_L2SNAPSHOT_SIZE);
}

double MDataCache::last_price(const char* symbol) {
  if (const _L2Snapshot* snap = last_tick(symbol)) {
    double last = snap->last;
    return last == 0.0 ? snap->pre_close : last;  // a NaN last is not 0.0 and is returned
  }
  if (const _BarData* bar = last_bar(symbol)) return bar->close;
  return 0.0;
}

int MDataCache::clear_tick(const char* symbol) {
  if (symbol != nullptr && symbol[0] != '\0') return remove_tick(symbol);
  int n = table_length(tick_table);
  if (tick_table != nullptr) table_clear(tick_table);
  if (auction_table != nullptr) table_clear(auction_table);
  return n;
}

int MDataCache::remove_tick(const char* symbol) {
  drop_item(auction_table, symbol);
  return drop_item(tick_table, symbol);
}

int MDataCache::get_num_ticks() const {
  return table_length(tick_table);
}
int MDataCache::get_num_auctions() const {
  return table_length(auction_table);
}

// ---- index quotes ---------------------------------------------------------------------------

int MDataCache::update_index(const char* symbol, msg_item_s* item) {
  return cache_item(index_table, symbol, item, kIndexKind);
}

int MDataCache::update_set_index(const char* symbol, const _MDIndex* idx) {
  return cache_copy(index_table, symbol, idx, kIndexKind);
}

_MDIndex* MDataCache::last_index(const char* symbol) {
  return static_cast<_MDIndex*>(cached_payload(index_table, symbol));
}

int MDataCache::last_index(_MDIndex* out, const char* symbol) {
  return copy_out(index_table, symbol, out, QL_MDINDEX_SIZE);
}

int MDataCache::get_num_indexes() const {
  return table_length(index_table);
}

}  // namespace KX
