#include "orderbook/order_index.h"

#include <cstdlib>
#include <cstring>

namespace ql::detail {
namespace {

// 2^30 slots (16 GiB) is far beyond any book; growth stops there and the table takes the rest.
constexpr int32_t kMaxRingSlots = 1 << 30;

// Doubles the ring. Entries in different slots of the old ring are in different slots of the
// new one (their low bits already differ), so every entry moves without a collision. The
// table's entries stay where they are. Returns false, the index unchanged, when out of memory.
bool grow_ring(order_index* x) {
  const uint64_t slots = x->mask + 1;
  if (slots >= static_cast<uint64_t>(kMaxRingSlots)) return false;
  auto* ring = static_cast<order_slot*>(std::calloc(slots * 2, sizeof(order_slot)));
  if (ring == nullptr) return false;
  const uint64_t mask = slots * 2 - 1;
  for (uint64_t i = 0; i < slots; ++i) {
    if (x->ring[i].order != nullptr)
      ring[static_cast<uint64_t>(x->ring[i].seq) & mask] = x->ring[i];
  }
  std::free(x->ring);
  x->ring = ring;
  x->mask = mask;
  x->grow_at = static_cast<int32_t>(slots);
  return true;
}

}  // namespace

bool order_index_init(order_index* x, int32_t slots) {
  *x = order_index{};
  x->overflow_max = kNoOverflow;
  x->ring = static_cast<order_slot*>(std::calloc(static_cast<size_t>(slots), sizeof(order_slot)));
  x->overflow = int_table_new(nullptr);
  if (x->ring == nullptr || x->overflow == nullptr) {
    order_index_free(x);
    return false;
  }
  x->mask = static_cast<uint64_t>(slots) - 1;
  x->grow_at = slots / 2;
  return true;
}

void order_index_clear(order_index* x) {
  if (x->ring == nullptr) return;
  std::memset(x->ring, 0, (x->mask + 1) * sizeof(order_slot));
  x->entries = 0;
  x->overflow_max = kNoOverflow;
  table_clear(x->overflow);
}

void order_index_free(order_index* x) {
  std::free(x->ring);
  table_free(&x->overflow);
  *x = order_index{};
  x->overflow_max = kNoOverflow;
}

int order_index_insert_slow(order_index* x, int64_t seq, ob_order* o) {
  if (order_index_find(x, seq) != nullptr) return 1;
  // A ring that cannot grow still works: more orders go to the table.
  if (x->entries >= x->grow_at) grow_ring(x);
  order_slot& s = order_index_slot(x, seq);
  if (s.order != nullptr) {
    // The slot holds another order: the older number goes to the table, as the newer one is
    // the likelier to be looked up soon.
    const bool newer = seq > s.seq;
    const int64_t out_seq = newer ? s.seq : seq;
    if (table_insert(x->overflow, order_key(out_seq), 8, newer ? s.order : o) != 0) return -1;
    if (out_seq > x->overflow_max) x->overflow_max = out_seq;
    if (!newer) {
      ++x->entries;
      return 0;
    }
  }
  s.seq = seq;
  s.order = o;
  ++x->entries;
  return 0;
}

ob_order* order_index_remove_overflow(order_index* x, int64_t seq) {
  auto* o = static_cast<ob_order*>(table_remove(x->overflow, order_key(seq), 8));
  if (o == nullptr) return nullptr;
  --x->entries;
  if (table_length(x->overflow) == 0) x->overflow_max = kNoOverflow;
  return o;
}

}  // namespace ql::detail
