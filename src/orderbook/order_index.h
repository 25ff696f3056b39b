// The book's orders by sequence number: a ring of slots indexed directly by the number's low
// bits, with an integer table beside it for the orders the ring has no room for.
//
// Order numbers rise through the day, and an order is mostly cancelled or filled soon after it
// is entered. The ring holds the latest number of each slot, so most entries, lookups and
// removals touch one slot: no probe sequence, no entries to shift back on removal, and recent
// orders sit in neighbouring slots. When a new order's slot is taken by a live order, the
// older of the two moves to the table (an order resting far from the touch for hours, or a
// number that shares its low bits with another, as when numbers are counted across many
// instruments). Every number above `overflow_max` is known to be absent from the table, so the
// rising numbers of new orders are checked for duplicates without asking it. Not thread-safe.
#pragma once

#include <cstdint>

#include "quotelab/utilcore.h"

namespace ql::detail {

struct ob_order;

struct order_slot {
  int64_t seq;
  ob_order* order;  // null: the slot is empty (and seq means nothing)
};
static_assert(sizeof(order_slot) == 16, "four slots to a cache line");

struct order_index {
  order_slot* ring;  // ring[seq & mask]
  uint64_t mask;
  int32_t entries;       // orders held, ring and table
  int32_t grow_at;       // entries at which the ring doubles: half its slots
  int64_t overflow_max;  // no number above it is in `overflow`
  table_s* overflow;     // numbers whose ring slot holds another order
};

constexpr int64_t kNoOverflow = INT64_MIN;

inline const void* order_key(int64_t seq) {
  return reinterpret_cast<const void*>(static_cast<intptr_t>(seq));
}

// Creates an empty index whose ring has `slots` slots (a power of two). Returns false (index
// without memory, safe to free) when it cannot be allocated.
bool order_index_init(order_index* x, int32_t slots);
// Empties the index, keeping its ring.
void order_index_clear(order_index* x);
// Frees the ring and the table.
void order_index_free(order_index* x);

// The slow paths of insert: the slot holds another order, or the ring is due to grow.
int order_index_insert_slow(order_index* x, int64_t seq, ob_order* o);
// The table's part of remove.
ob_order* order_index_remove_overflow(order_index* x, int64_t seq);

inline order_slot& order_index_slot(const order_index* x, int64_t seq) {
  return x->ring[static_cast<uint64_t>(seq) & x->mask];
}

// The order under seq, or null.
inline ob_order* order_index_find(const order_index* x, int64_t seq) {
  const order_slot& s = order_index_slot(x, seq);
  if (s.seq == seq && s.order != nullptr) return s.order;
  if (seq > x->overflow_max) return nullptr;
  return static_cast<ob_order*>(table_get_value(x->overflow, order_key(seq), 8));
}

// Enters o under seq. Returns 0, 1 when seq is already there, or -1 when memory ran out
// (nothing changed then).
inline int order_index_insert(order_index* x, int64_t seq, ob_order* o) {
  order_slot& s = order_index_slot(x, seq);
  if (s.order != nullptr || seq <= x->overflow_max || x->entries >= x->grow_at) {
    return order_index_insert_slow(x, seq, o);
  }
  s.seq = seq;
  s.order = o;
  ++x->entries;
  return 0;
}

// Takes seq out. Returns its order, or null when it was not there.
inline ob_order* order_index_remove(order_index* x, int64_t seq) {
  order_slot& s = order_index_slot(x, seq);
  if (s.seq == seq && s.order != nullptr) {
    ob_order* o = s.order;
    s.order = nullptr;
    --x->entries;
    return o;
  }
  if (seq > x->overflow_max) return nullptr;
  return order_index_remove_overflow(x, seq);
}

inline int32_t order_index_count(const order_index* x) {
  return x->entries;
}

// Calls f(ob_order*) for every order held, in no particular order; f must not change the
// index. Returns false, having called f for none, when no table iterator could be allocated.
template <class F>
bool order_index_each(const order_index* x, F f) {
  table_iter_s* it = table_iter_new(x->overflow);
  if (it == nullptr) return false;
  for (uint64_t i = 0; i <= x->mask; ++i) {
    if (x->ring[i].order != nullptr) f(x->ring[i].order);
  }
  for (table_node_s* n = table_next(it); n != nullptr; n = table_next(it)) {
    f(static_cast<ob_order*>(n->value));
  }
  table_iter_free(&it);
  return true;
}

// Bytes of slots the index holds (ring and table), for the footprint.
inline int64_t order_index_bytes(const order_index* x) {
  return static_cast<int64_t>(x->mask + 1) * static_cast<int64_t>(sizeof(order_slot)) +
         static_cast<int64_t>(table_size(x->overflow)) * static_cast<int64_t>(sizeof(table_node_s));
}

}  // namespace ql::detail
