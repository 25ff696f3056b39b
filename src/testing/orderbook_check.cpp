// A full consistency check of a book's structures, for tests, fuzzers and diagnosis (it walks
// every level, order and free record, so it is far too slow for the event path). Built into the
// quotelab_testing static library, never into the shipped one: it reads the book's internal
// layout and calls only exported functions.
#include <cstdio>
#include <unordered_set>

#include "orderbook/book.h"
#include "testing/orderbook_check.h"

namespace ql::detail {
namespace {

struct checker {
  const orderbook* b;
  std::unordered_set<const void*> free_records;
  int64_t queued_orders = 0;

  int fail(int code, const char* what, int64_t detail) const {
    std::fprintf(stderr, "orderbook check failed (%d): %s [%lld]\n", code, what,
                 static_cast<long long>(detail));
    return code;
  }

  int check_queue(const orderbook_queue* q) {
    int64_t sum = 0;
    int32_t n = 0;
    const ob_order* prev = nullptr;
    for (const ob_order* o = q->head; o != nullptr; prev = o, o = o->next) {
      if (free_records.count(o) != 0) return fail(-20, "freed order reachable", o->order_seq_num);
      if (o->prev != prev) return fail(-21, "order prev link", o->order_seq_num);
      if (o->quantity <= 0) return fail(-22, "queued order without quantity", o->order_seq_num);
      if (o->side != q->side || o->px != q->px || o->level_gen != q->generation) {
        return fail(-23, "order filed under another level", o->order_seq_num);
      }
      if (order_index_find(&b->order_map, o->order_seq_num) != o) {
        return fail(-24, "queued order not findable by number", o->order_seq_num);
      }
      sum += o->quantity;
      ++n;
    }
    if (q->tail != prev) return fail(-25, "queue tail", q->px);
    if (sum != q->quantity) return fail(-26, "level quantity differs from its orders", q->px);
    if (n != q->num_orders) return fail(-27, "level order count", q->px);
    queued_orders += n;
    return 0;
  }

  int check_side(const orderbook_queue* head, const level_ladder& ladder, int32_t side,
                 table_s* table) {
    int32_t levels = 0;
    const orderbook_queue* prev = nullptr;
    for (const orderbook_queue* q = head; q != nullptr; prev = q, q = q->next) {
      if (free_records.count(q) != 0) return fail(-10, "freed level reachable", q->px);
      if (q->prev != prev) return fail(-11, "level prev link", q->px);
      if (q->side != side) return fail(-12, "level on the wrong side", q->px);
      if (prev != nullptr && (side == 'B' ? q->px >= prev->px : q->px <= prev->px)) {
        return fail(-13, "levels out of price order", q->px);
      }
      if (table_get_value(table, int_key(q->px), 0) != q) {
        return fail(-14, "level not in its table", q->px);
      }
      if (q->aggregate) {
        if (q->quantity <= 0) return fail(-15, "aggregate level without quantity", q->px);
        if (q->head != nullptr) return fail(-16, "aggregate level with a queue", q->px);
      } else {
        if (q->head == nullptr) return fail(-17, "empty level kept", q->px);
        int r = check_queue(q);
        if (r != 0) return r;
      }
      // The ladder holds the same levels, best last.
      const int32_t rung = ladder.hi - 1 - levels;
      if (rung < ladder.lo || ladder.rungs[rung].level != q ||
          ladder.rungs[rung].key != ladder_key(side, q->px)) {
        return fail(-19, "price ladder differs from the chain", q->px);
      }
      ++levels;
    }
    if (ladder.hi - ladder.lo != levels)
      return fail(-19, "price ladder holds other levels", levels);
    if (table_length(table) != levels) return fail(-18, "table holds other levels", levels);
    return 0;
  }

  // The order index's own layout: ring entries in their number's slot, table entries at or
  // below overflow_max and not also in the ring, and the count of both.
  int check_order_index() {
    const order_index& x = b->order_map;
    int64_t n = 0;
    for (uint64_t i = 0; i <= x.mask; ++i) {
      const order_slot& s = x.ring[i];
      if (s.order == nullptr) continue;
      if ((static_cast<uint64_t>(s.seq) & x.mask) != i) return fail(-31, "order ring slot", s.seq);
      ++n;
    }
    table_iter_s* it = table_iter_new(x.overflow);
    if (it == nullptr) return fail(-1, "no memory for the check", 0);
    int r = 0;
    for (table_node_s* e = table_next(it); e != nullptr && r == 0; e = table_next(it)) {
      const auto seq = static_cast<int64_t>(reinterpret_cast<intptr_t>(e->key));
      const order_slot& s = order_index_slot(&x, seq);
      if (seq > x.overflow_max) r = fail(-32, "order table entry above its bound", seq);
      if (s.order != nullptr && s.seq == seq) r = fail(-33, "order both in ring and table", seq);
      ++n;
    }
    table_iter_free(&it);
    if (r == 0 && n != x.entries) r = fail(-34, "order index count", n);
    return r;
  }

  int run() {
    for (const ob_order* o = b->free_orders; o != nullptr; o = o->next) free_records.insert(o);
    for (const orderbook_queue* q = b->free_queues; q != nullptr; q = q->next) {
      free_records.insert(q);
    }
    int r = check_side(b->bids, b->bid_ladder, 'B', b->bid_px_table);
    if (r == 0) r = check_side(b->asks, b->ask_ladder, 'S', b->ask_px_table);
    if (r == 0) r = check_order_index();
    if (r != 0) return r;
    if (!b->aggregate && order_index_count(&b->order_map) != queued_orders) {
      return fail(-30, "order map holds orders that are not queued", queued_orders);
    }
    return 0;
  }
};

}  // namespace
}  // namespace ql::detail

extern "C" int ql__orderbook_check(const orderbook* book) {
  if (book == nullptr) return -1;
  ql::detail::checker c{book, {}};
  return c.run();
}
