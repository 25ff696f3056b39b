// MDataFilter: drops snapshots that are older than, or repeat, the last one passed.
#include "quotelab/mdata_filter.h"

#include <math.h>
#include <string.h>

namespace KX {

namespace {

// Pool blocks for the filter records: 512 KiB hold about 13,000 instruments per block.
constexpr int kRecordPoolBlock = 524288;
// Exchange 11 repeats timestamps: its snapshots are told apart by volume and best quotes.
constexpr unsigned char kQuoteCompareExchange = 11;
constexpr double kPriceEpsilon = 0.000001;
// A key: the exchange byte, the symbol (at most the 30 bytes of its field) and a NUL.
constexpr int kKeyBuffer = 64;
constexpr int kSymbolField = static_cast<int>(sizeof(_L2Snapshot::symbol));
static_assert(1 + kSymbolField < kKeyBuffer, "a key always fits its buffer");

// The last passed snapshot of one instrument. The quote fields are kept for exchange 11 only.
struct FilterRecord {
  int32_t action_day;
  int32_t time;
  int64_t volume;
  int32_t bid_volume1;
  int32_t ask_volume1;
  double ask_price1;
  double bid_price1;
};

int build_key(char (&key)[kKeyBuffer], const _L2Snapshot* snap) {
  size_t n = strnlen(snap->symbol, kSymbolField);
  key[0] = static_cast<char>(snap->exchange);
  memcpy(key + 1, snap->symbol, kSymbolField);  // a fixed-size copy: two vector moves
  key[n + 1] = '\0';
  return static_cast<int>(n) + 1;
}

// NaN on either side fails the comparison and so counts as a change.
bool same_price(double a, double b) {
  return fabs(a - b) < kPriceEpsilon;
}

bool same_quote(const FilterRecord* r, const _L2Snapshot* snap) {
  return r->volume == snap->volume && r->bid_volume1 == snap->bid_volume[0] &&
         r->ask_volume1 == snap->ask_volume[0] && same_price(r->ask_price1, snap->ask_price[0]) &&
         same_price(r->bid_price1, snap->bid_price[0]);
}

void remember(FilterRecord* r, const _L2Snapshot* snap) {
  r->action_day = snap->action_day;
  r->time = snap->time;
  if (snap->exchange == kQuoteCompareExchange) {
    r->volume = snap->volume;
    r->bid_volume1 = snap->bid_volume[0];
    r->ask_volume1 = snap->ask_volume[0];
    r->ask_price1 = snap->ask_price[0];
    r->bid_price1 = snap->bid_price[0];
  }
}

// True when snap brings nothing new over the record.
bool is_stale(const FilterRecord* r, const _L2Snapshot* snap) {
  if (r->action_day != snap->action_day) return r->action_day > snap->action_day;
  if (r->time != snap->time) return r->time > snap->time;
  return snap->exchange != kQuoteCompareExchange || same_quote(r, snap);
}

}  // namespace

MDataFilter::MDataFilter(int size) : StringTable(size), pool(epool_create(kRecordPoolBlock)) {}

MDataFilter::~MDataFilter() {
  if (table != nullptr) table_clear(table);
  epool_reset(key_pool);
  epool_destroy(pool);
}

int MDataFilter::filter(const _L2Snapshot* snap) {
  if (snap == nullptr) return 1;
  if (table == nullptr) return 0;  // nothing can be remembered: let everything through
  char key[kKeyBuffer];
  int len = build_key(key, snap);
  FilterRecord* r = static_cast<FilterRecord*>(table_get_value(table, key, len));
  if (r != nullptr) {
    if (is_stale(r, snap)) return 1;
    remember(r, snap);
    return 0;
  }
  r = static_cast<FilterRecord*>(epool_palloc(pool, sizeof(FilterRecord)));
  if (r == nullptr) return 0;
  remember(r, snap);
  insert_directly(key, len, r);  // out of memory: the snapshot passes unremembered
  return 0;
}

void MDataFilter::clear() {
  epool_reset(pool);
  if (table != nullptr) table_clear(table);
  epool_reset(key_pool);
}

int MDataFilter::size() const {
  return table_length(table);
}

}  // namespace KX
