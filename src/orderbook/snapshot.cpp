// The read side: snapshot refresh, statistics entry point, level queries and level accessors.
#include <cstring>

#include "orderbook/book.h"

namespace ql::detail {
namespace {

// Fills ten price/volume slots from a chain, best first; slots past the chain's end are 0.
void fill_side(const orderbook_queue* q, double* prices, int32_t* volumes) {
  for (int i = 0; i < QL_SNAPSHOT_LEVELS; ++i) {
    double p = 0.0;
    int32_t v = 0;
    if (q != nullptr) {
      p = q->price;
      v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(q->quantity)));
      q = q->next;
    }
    std::memcpy(prices + i, &p, sizeof p);  // the snapshot is packed: no aligned stores
    std::memcpy(volumes + i, &v, sizeof v);
  }
}

orderbook_queue* nth_level(orderbook_queue* q, int32_t n) {
  for (int32_t i = 1; q != nullptr && i < n; ++i) q = q->next;
  return q;
}

}  // namespace

void refresh_snapshot(orderbook* b) {
  b->snapshot.time = b->last_time;
  fill_side(b->asks, b->snapshot.ask_price, b->snapshot.ask_volume);
  fill_side(b->bids, b->snapshot.bid_price, b->snapshot.bid_volume);
}

}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API const _L2Snapshot* orderbook_snapshot(orderbook* book) {
  if (book == nullptr) return nullptr;
  refresh_snapshot(book);
  return &book->snapshot;
}

QL_API int32_t orderbook_snapshot_cp(orderbook* book, _L2Snapshot* out) {
  if (book == nullptr || out == nullptr) return ORDERBOOK_ERROR;
  refresh_snapshot(book);
  std::memcpy(out, &book->snapshot, sizeof(_L2Snapshot));
  return ORDERBOOK_OK;
}

QL_API bool orderbook_update_snapshot(orderbook* book, int32_t quantity, double price,
                                      int32_t update_time) {
  if (book == nullptr) return false;
  count_trade(book, quantity, price, update_time);
  return true;
}

QL_API int32_t orderbook_prev_update_time(orderbook* book) {
  return book == nullptr ? 0 : book->snapshot.time;
}

QL_API double orderbook_last_price(orderbook* book) {
  return book == nullptr ? 0.0 : book->snapshot.last;
}

QL_API orderbook_queue* orderbook_at(orderbook* book, int32_t n) {
  if (book == nullptr) return nullptr;
  if (n > 0) return nth_level(book->asks, n);
  if (n < 0) return nth_level(book->bids, n == INT32_MIN ? INT32_MAX : -n);
  uint32_t px = price_to_px(book->snapshot.last);
  if (book->bids != nullptr && book->bids->px == px) return book->bids;
  if (book->asks != nullptr && book->asks->px == px) return book->asks;
  return nullptr;
}

QL_API bool orderbook_get_price_qty(orderbook* book, int32_t n, int64_t* quantity, double* price) {
  orderbook_queue* q = orderbook_at(book, n);
  if (q == nullptr) return false;
  if (quantity != nullptr) *quantity = q->quantity;
  if (price != nullptr) *price = q->price;
  return true;
}

QL_API orderbook_queue* orderbook_queue_find(orderbook* book, double price) {
  if (book == nullptr) return nullptr;
  const void* key = int_key(price_to_px(price));
  auto* q = static_cast<orderbook_queue*>(table_get_value(book->ask_px_table, key, 0));
  if (q == nullptr) q = static_cast<orderbook_queue*>(table_get_value(book->bid_px_table, key, 0));
  return q;
}

QL_API int32_t orderbook_queue_side(const orderbook_queue* level) {
  return level == nullptr ? 0 : level->side;
}

QL_API orderbook_queue* orderbook_queue_next(const orderbook_queue* level) {
  return level == nullptr ? nullptr : level->next;
}

QL_API bool orderbook_queue_empty(const orderbook_queue* level) {
  return level == nullptr || level->quantity <= 0;
}

QL_API bool orderbook_queue_is_bids(const orderbook_queue* level) {
  return level != nullptr && level->side == 'B';
}

QL_API uint8_t orderbook_queue_aggregate(const orderbook_queue* level) {
  return level == nullptr ? 0 : level->aggregate;
}

QL_API int64_t orderbook_queue_sum_quantity(const orderbook_queue* level) {
  int64_t sum = 0;
  if (level == nullptr) return 0;
  for (const ob_order* o = level->head; o != nullptr; o = o->next) sum += o->quantity;
  return sum;
}

QL_API int64_t orderbook_queue_quantity(const orderbook_queue* level) {
  return level == nullptr ? 0 : level->quantity;
}

QL_API double orderbook_queue_price(const orderbook_queue* level) {
  return level == nullptr ? 0.0 : level->price;
}

QL_API int32_t orderbook_queue_num_orders(const orderbook_queue* level) {
  return level == nullptr ? 0 : level->num_orders;
}

}  // extern "C"
