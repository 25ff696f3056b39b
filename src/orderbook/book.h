// The order book's records and the primitives that enter and remove levels and orders.
//
// Invariants the primitives keep (and the event code relies on):
//  - every level in a chain is in its side's table under its px, and no two levels of one side
//    share a px; a level is in its table exactly while it is in its chain, except for a new
//    level reserved by an incoming order while that order crosses (in the table, not yet
//    linked, empty);
//  - every order record in use is in order_map under its own sequence number, and no other
//    record is (an order event whose number is already there is refused);
//  - a non-aggregating level's quantity is the sum of its queued orders' quantities, each
//    positive, and the level is removed exactly when its queue becomes empty, so an order's
//    level is always found through its own side and px;
//  - an order remembers the generation of the level it was entered at: a level recycled at the
//    same price is never mistaken for an earlier one (this matters for aggregating books,
//    whose levels can be emptied by executions while entered orders are still in order_map).
#pragma once

#include <cstdint>

#include "orderbook/ladder.h"
#include "orderbook/order_index.h"
#include "orderbook/pool.h"
#include "platform/hash_table_detail.h"
#include "quotelab/orderbook.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

// The event path's helpers are small and called once or twice per event: they are forced
// inline so that an event is one function with no calls but the table lookups.
#if defined(__GNUC__)
#define QL_OB_HOT inline __attribute__((always_inline))
#define QL_OB_COLD __attribute__((noinline, cold))
#else
#define QL_OB_HOT inline
#define QL_OB_COLD
#endif

namespace ql::detail {

struct ob_order {
  ob_order* prev;  // older neighbour in the level's queue
  ob_order* next;  // newer neighbour; the free list's link
  int64_t order_seq_num;
  uint32_t px;
  int32_t quantity;       // remaining
  int32_t orig_quantity;  // as entered, before any crossing
  int32_t update_time;
  int32_t side;        // 'B' or 'S'
  uint32_t level_gen;  // generation of the level it was entered at
};
static_assert(sizeof(ob_order) == 48, "pool records are multiples of 16 bytes");

constexpr int kSymbolCapacity = 64;  // symbol text kept by a book, NUL included
constexpr int kExchangeNameCapacity = 8;
// Entries the tables have room for at creation; they grow by doubling beyond. Small on
// purpose: a typical book's tables then stay in the first-level cache, where tables sized for
// 16384 entries (512 KB each) missed it on most lookups and took 40% of the event rate, and a
// map of thousands of instruments costs tens of kilobytes per book instead of megabytes.
// The order ring starts with room for 512 orders (16 KiB of slots) and doubles as a book holds
// more.
constexpr int kOrderRingSlots = 1024;
constexpr int kLevelTableRoom = 256;

// Continuous-trading window: event times 09:30:00.000 to 14:56:59.999 inclusive; the closing
// call auction starts at 14:57:00.000.
constexpr int32_t kWindowOpen = 93000000;
constexpr int32_t kWindowClose = 145659999;
// The opening call auction's match; Shenzhen orders entered from then until the window opens
// are held by the exchange and matched when it opens (see match_preopen_orders).
constexpr int32_t kOpeningMatchTime = 92500000;
inline bool in_continuous_window(int32_t t) {
  return t >= kWindowOpen && t <= kWindowClose;
}

// Price in thousandths: (price + 0.00005) * 1000 truncated, the low 32 bits taken unsigned.
// A price that is not a number or lies beyond 64-bit integers gives 0.
inline uint32_t price_to_px(double price) {
  double v = (price + 0.00005) * 1000.0;
  if (!(v > -9.2e18 && v < 9.2e18)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

inline const void* int_key(int64_t k) {
  return reinterpret_cast<const void*>(static_cast<intptr_t>(k));
}

}  // namespace ql::detail

// A price level, owned by its book (not thread-safe). Hot fields first: the crossing loop reads
// px, quantity, head and next.
struct orderbook_queue {
  orderbook_queue* prev;  // toward the best price
  orderbook_queue* next;  // toward worse prices
  int64_t quantity;
  uint32_t px;
  int32_t num_orders;
  ql::detail::ob_order* head;  // oldest order; always null in an aggregating level
  ql::detail::ob_order* tail;
  int32_t side;  // 'B' or 'S'
  uint8_t aggregate;
  uint8_t reserved[3];
  double price;  // px / 1000.0
  uint32_t generation;
  uint8_t reserved2[12];
};
static_assert(sizeof(orderbook_queue) == 80, "pool records are multiples of 16 bytes");

// One instrument's book. The record itself is the first allocation of its own pool. Not
// thread-safe: a book, its levels and its orders belong to one thread at a time.
struct alignas(16) orderbook {
  char symbol[ql::detail::kSymbolCapacity];
  uint32_t is_sse;
  uint32_t aggregate;
  int32_t mode;
  int32_t last_time;  // latest accepted order or trade event
  ql::detail::mpool* block_pool;
  orderbook_queue* bids;  // best bid; chain by strictly decreasing px
  orderbook_queue* asks;  // best ask; chain by strictly increasing px
  // Every level of a side by price, for placing new levels (the chain is what is read).
  ql::detail::level_ladder bid_ladder;
  ql::detail::level_ladder ask_ladder;
  orderbook_queue* free_queues;
  ql::detail::ob_order* free_orders;
  ql::detail::order_index order_map;  // order_seq_num -> ob_order
  table_s* ask_px_table;
  table_s* bid_px_table;
  int32_t debug_level;
  uint8_t exchange_id;
  uint8_t busy;          // inside a changing call: callbacks may read only
  uint8_t symbol_cut;    // the symbol given was longer than kSymbolCapacity - 1
  uint8_t preopen_held;  // Shenzhen orders entered 09:25-09:30 rest unmatched until 09:30
  orderbook_log_callback log_callback;
  int64_t next_order_id;
  void* exec_user_data;
  orderbook_exec_callback exec_callback;
  void* owner;          // the map or builder that releases this book, or null
  orderbook* map_next;  // next book under the same map key
  uint32_t next_level_gen;
  int32_t first_block_used;  // pool bytes kept across reset (this record)
  _L2Snapshot snapshot;
  char exchange_name[ql::detail::kExchangeNameCapacity];
};

namespace ql::detail {

// Writes one diagnostic through the log callback, or to standard output.
void ob_log(orderbook* book, const char* fmt, ...) QL_PRINTF_FORMAT(2, 3);

inline table_s* level_table(orderbook* b, int32_t side) {
  return side == 'B' ? b->bid_px_table : b->ask_px_table;
}
inline orderbook_queue** chain_head(orderbook* b, int32_t side) {
  return side == 'B' ? &b->bids : &b->asks;
}
inline level_ladder* side_ladder(orderbook* b, int32_t side) {
  return side == 'B' ? &b->bid_ladder : &b->ask_ladder;
}
// True when px a is a better price than px b on the side (higher bid, lower ask).
inline bool better_px(int32_t side, uint32_t a, uint32_t b) {
  return side == 'B' ? a > b : a < b;
}

// ---- records: free lists first, then the pool ----------------------------------------------
QL_OB_HOT ob_order* take_order_record(orderbook* b) {
  ob_order* o = b->free_orders;
  if (o != nullptr) {
    b->free_orders = o->next;
    return o;
  }
  return static_cast<ob_order*>(mpool_alloc(b->block_pool, sizeof(ob_order)));
}
QL_OB_HOT void give_order_record(orderbook* b, ob_order* o) {
  o->prev = nullptr;
  o->next = b->free_orders;
  b->free_orders = o;
}
QL_OB_HOT orderbook_queue* take_level_record(orderbook* b) {
  orderbook_queue* q = b->free_queues;
  if (q != nullptr) {
    b->free_queues = q->next;
    return q;
  }
  return static_cast<orderbook_queue*>(mpool_alloc(b->block_pool, sizeof(orderbook_queue)));
}
QL_OB_HOT void give_level_record(orderbook* b, orderbook_queue* q) {
  q->next = b->free_queues;
  b->free_queues = q;
}

// ---- levels -----------------------------------------------------------------------------------
// A fresh, unlinked level record for side and px (the record comes from the caller).
QL_OB_HOT void init_level(orderbook* b, orderbook_queue* q, int32_t side, uint32_t px) {
  *q = orderbook_queue{};
  q->side = side;
  q->px = px;
  q->price = px / 1000.0;
  q->aggregate = b->aggregate != 0 ? 1 : 0;
  q->generation = ++b->next_level_gen;
}

// Links an unlinked level into its side's chain between the levels better and worse than it,
// found in the side's ladder (ladder_reserve made room for it).
QL_OB_HOT void link_level(orderbook* b, orderbook_queue* q) {
  const int32_t side = q->side;
  level_ladder* l = side_ladder(b, side);
  const uint32_t key = ladder_key(side, q->px);
  const int32_t i = ladder_upper(l, key);
  orderbook_queue* prev = i < l->hi ? l->rungs[i].level : nullptr;      // the level q goes after
  orderbook_queue* next = i > l->lo ? l->rungs[i - 1].level : nullptr;  // the level q goes before
  ladder_insert_at(l, i, key, q);
  q->prev = prev;
  q->next = next;
  if (next != nullptr) next->prev = q;
  if (prev != nullptr) {
    prev->next = q;
  } else {
    *chain_head(b, side) = q;
  }
}

// Unlinks a level from its chain and its table and recycles it. Called only for a level with
// no queued orders (aggregating levels never have any).
void remove_level(orderbook* b, orderbook_queue* q);

// Levels looked at from the best before asking the side's table. The best level is the most
// frequent answer and is already at hand; one level deeper a lookup in the table (inline, a
// slot or two) costs fewer instructions than following the chain, and a real day's orders and
// cancellations spread over tens of levels.
constexpr int kNearLevels = 1;

// The level of side at px, or null when there is none.
QL_OB_HOT orderbook_queue* find_level(orderbook* b, int32_t side, uint32_t px) {
  orderbook_queue* q = *chain_head(b, side);
  for (int i = 0; i < kNearLevels && q != nullptr; ++i, q = q->next) {
    if (q->px == px) return q;
    if (side == 'B' ? q->px < px : q->px > px) return nullptr;  // passed its place
  }
  if (q == nullptr) return nullptr;
  return static_cast<orderbook_queue*>(KX::detail::table_int_get_value(level_table(b, side), px));
}

// The level an order was entered at, or null when it no longer exists.
QL_OB_HOT orderbook_queue* order_level(orderbook* b, const ob_order* o) {
  orderbook_queue* q = find_level(b, o->side, o->px);
  return (q != nullptr && q->generation == o->level_gen) ? q : nullptr;
}

// True when a level must go: a non-aggregating level once its queue is empty, an aggregating
// one once no quantity remains.
QL_OB_HOT bool level_spent(const orderbook_queue* q) {
  return q->aggregate ? q->quantity <= 0 : q->head == nullptr;
}

// ---- orders -----------------------------------------------------------------------------------
// The message of an order missing from order_map (cold path of free_order).
QL_OB_COLD void log_order_not_in_map(orderbook* b, const ob_order* o);

// Removes the order from order_map and recycles its record.
QL_OB_HOT void free_order(orderbook* b, ob_order* o) {
  if (order_index_remove(&b->order_map, o->order_seq_num) == nullptr && b->debug_level != 0) {
    log_order_not_in_map(b, o);
  }
  give_order_record(b, o);
}

// Takes the order out of its level's count and queue; the caller adjusts the level's quantity.
QL_OB_HOT void unqueue_order(orderbook* b, orderbook_queue* q, ob_order* o) {
  if (--q->num_orders < 0 && b->debug_level != 0) {
    ob_log(b, "%s: except %d NumOrders for %s order=%lld|%d/%d|%.3lf\n",
           "orderbook_queue_remove_order", q->num_orders, orderbook_side2str(q->side),
           static_cast<long long>(o->order_seq_num), o->quantity, o->orig_quantity, o->px / 1000.0);
  }
  if (!q->aggregate) {
    if (o->prev != nullptr) {
      o->prev->next = o->next;
    } else {
      q->head = o->next;
    }
    if (o->next != nullptr) {
      o->next->prev = o->prev;
    } else {
      q->tail = o->prev;
    }
  }
}

// Takes the order out of its level (count and queue; the caller adjusts the level's quantity)
// and frees it.
QL_OB_HOT void remove_order(orderbook* b, orderbook_queue* q, ob_order* o) {
  unqueue_order(b, q, o);
  free_order(b, o);
}

// An order and, when its price has no level yet, a new level, taken before the book changes so
// that a failure leaves the book as it was. The order is already in order_map; the new level is
// in its table but not linked into its chain until commit.
struct order_reservation {
  ob_order* order = nullptr;
  orderbook_queue* level = nullptr;
  bool new_level = false;
};

// Takes the records an order needs to rest and enters it in order_map. Returns 0,
// ORDERBOOK_DUPLICATE (seq already in order_map) or ORDERBOOK_NO_MEMORY, having changed nothing.
QL_OB_HOT int32_t reserve_order(orderbook* b, int64_t seq, int32_t side, uint32_t px,
                                order_reservation* res) {
  ob_order* o = take_order_record(b);
  if (o == nullptr) return ORDERBOOK_NO_MEMORY;
  int r = order_index_insert(&b->order_map, seq, o);
  if (r != 0) {
    give_order_record(b, o);
    return r == 1 ? ORDERBOOK_DUPLICATE : ORDERBOOK_NO_MEMORY;
  }
  orderbook_queue* q = find_level(b, side, px);
  bool fresh = false;
  if (q == nullptr) {
    q = ladder_reserve(side_ladder(b, side)) ? take_level_record(b) : nullptr;
    if (q == nullptr || KX::detail::table_int_insert(level_table(b, side), px, q) != 0) {
      if (q != nullptr) give_level_record(b, q);
      order_index_remove(&b->order_map, seq);
      give_order_record(b, o);
      return ORDERBOOK_NO_MEMORY;
    }
    init_level(b, q, side, px);
    fresh = true;
  }
  res->order = o;
  res->level = q;
  res->new_level = fresh;
  return ORDERBOOK_OK;
}

// Gives the reserved records back untouched.
QL_OB_HOT void release_reservation(orderbook* b, int64_t seq, order_reservation* res) {
  if (res->order == nullptr) return;
  order_index_remove(&b->order_map, seq);
  give_order_record(b, res->order);
  if (res->new_level) {
    KX::detail::table_int_remove(level_table(b, res->level->side), res->level->px);
    give_level_record(b, res->level);
  }
  *res = order_reservation{};
}

// Rests the reserved order: links a new level, fills the order, queues it at the tail.
QL_OB_HOT void commit_order(orderbook* b, order_reservation* res, int64_t seq, uint32_t px,
                            int32_t quantity, int32_t orig_quantity, int32_t time, int32_t side) {
  orderbook_queue* q = res->level;
  if (res->new_level) link_level(b, q);
  ob_order* o = res->order;
  o->order_seq_num = seq;
  o->px = px;
  o->quantity = quantity;
  o->orig_quantity = orig_quantity;
  o->update_time = time;
  o->side = side;
  o->level_gen = q->generation;
  o->next = nullptr;
  if (q->aggregate) {
    o->prev = nullptr;
  } else {
    o->prev = q->tail;
    if (q->tail != nullptr) {
      q->tail->next = o;
    } else {
      q->head = o;
    }
    q->tail = o;
  }
  ++q->num_orders;
  q->quantity += quantity;
}

// Marks a book busy for the length of a changing call, so that callbacks cannot change it. Used
// on the book's own thread only.
class busy_scope {
 public:
  explicit busy_scope(orderbook* b) : b_(b) { b_->busy = 1; }
  ~busy_scope() { b_->busy = 0; }
  busy_scope(const busy_scope&) = delete;
  busy_scope& operator=(const busy_scope&) = delete;

 private:
  orderbook* b_;
};

// ---- event processing (events.cpp), also used directly by the builder ---------------------
int32_t on_l2order(orderbook* b, int64_t seq, int32_t order_type, int32_t bs_flag, double price,
                   int32_t quantity, int32_t update_time);
int32_t on_l2trade(orderbook* b, int64_t bid_seq, int64_t ask_seq, double price, int32_t quantity,
                   int32_t update_time);
// Consumes resting orders of `side` ('S' asks, 'B' bids) best first, for up to quantity and,
// when limited, not past limit_px. Returns the quantity left.
int32_t consume(orderbook* b, int32_t side, int64_t aggressor, int32_t quantity, uint32_t limit_px,
                bool limited, int32_t t);

// ---- Shenzhen orders held between the opening match and the open (preopen.cpp) -------------
// Matches the held orders as the exchange does at 09:30:00.000 (see orderbook.h), at time t.
QL_OB_COLD void match_preopen_orders(orderbook* b, int32_t t);

// Notes an order that came to rest outside the window: a Shenzhen order entered between the
// opening match and the open is held, to be matched when the window opens.
QL_OB_HOT void note_resting_outside_window(orderbook* b, int32_t t) {
  if (!b->is_sse && t >= kOpeningMatchTime && t < kWindowOpen) b->preopen_held = 1;
}

// Before an event of time t: the first event of the window first matches the held orders.
// Every other event pays one well-predicted test of a flag.
QL_OB_HOT void open_window_for(orderbook* b, int32_t t) {
  if (b->preopen_held != 0 && t >= kWindowOpen) match_preopen_orders(b, t);
}

// Frees a book's tables and pool (the record with them), whoever holds it.
void destroy_book(orderbook* b);

// Counts one trade in the snapshot's statistics.
QL_OB_HOT void count_trade(orderbook* b, int32_t quantity, double price, int32_t t) {
  _L2Snapshot& s = b->snapshot;
  s.num_trades += 1;
  s.volume += quantity;
  s.time = t;
  s.last = price;
  s.turnover += quantity * price;
  if (s.open == 0) s.open = price;
  if (price > s.high) s.high = price;
  if (s.low == 0 || price < s.low) s.low = price;
}

// Refreshes the level arrays and time of the book's snapshot (snapshot.cpp).
void refresh_snapshot(orderbook* b);

}  // namespace ql::detail
