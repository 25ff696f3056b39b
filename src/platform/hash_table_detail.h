// Table layout, slot layout and hashing of the open-addressing tables (hash_table.cpp). Shared with
// the table tests, which build keys that land on chosen slots, and with the order book, which
// looks its levels up through the inline integer find.
#ifndef QUOTELAB_SRC_PLATFORM_HASH_TABLE_DETAIL_H
#define QUOTELAB_SRC_PLATFORM_HASH_TABLE_DETAIL_H

#include <stddef.h>
#include <stdint.h>

#include "quotelab/utilcore.h"

namespace KX {
namespace detail {

// 2^64 / golden ratio: multiplying by it spreads consecutive integers (sequence numbers,
// prices) evenly over the high bits, which pick the slot (Fibonacci hashing).
constexpr uint64_t kTableHashMul = 0x9E3779B97F4A7C15ull;

// Integer-keyed slot: the node itself ({key, value}, 16 bytes). Key 0 marks an empty slot; an
// entry whose key is 0 lives outside the slot array.
static_assert(sizeof(table_node_s) == 16, "integer slot is one 16-byte node");

// Slot of a byte-string or custom-keyed table. It begins with the node so that a slot pointer
// can be handed out as the node. hash 0 marks an empty slot (stored hashes are never 0).
struct TableGenericSlot {
  table_node_s node;
  uint32_t hash;  // the mixed 32-bit hash; its high bits are the home slot
  uint32_t len;   // the key length (byte-string keys)
};
static_assert(sizeof(TableGenericSlot) == 24, "generic slot stays compact");

inline int64_t table_key_int(const void* key) {
  return (int64_t)(intptr_t)key;
}

// Integer keys are placed by one of two rules.
//  - Direct (every table starts so): the home slot is the key's low bits. Dense keys (sequence
//    numbers, prices in ticks) then fill neighbouring slots: a million order numbers occupy one
//    contiguous half of their slot array instead of lines scattered over all of it, which makes
//    random lookups about twice as fast as scattered ones. Every entry lies at most
//    kTableDirectMaxDisplacement slots past its home, so a search gives up after that many.
//  - Scattered: Fibonacci hashing. Patterned keys (multiples of a power of two, ranges that
//    alias modulo the capacity, bytes packed into an integer) pile up under the direct rule;
//    the first entry that would land farther than the bound switches the table to this rule
//    for good (all entries are placed again), and searches run to the next empty slot.
constexpr size_t kTableDirectMaxDisplacement = 16;

// Home slot of an integer key in a table of 2^log2_capacity slots under either rule.
inline size_t table_int_home(int64_t key, int log2_capacity, bool scattered) {
  if (!scattered) return (size_t)key & (((size_t)1 << log2_capacity) - 1);
  return (size_t)(((uint64_t)key * kTableHashMul) >> (64 - log2_capacity));
}

// Folds a 64-bit key hash (the caller's or the built-in one, of any quality) to the stored
// 32-bit hash, never 0.
inline uint32_t table_mix_hash(uint64_t h) {
  uint32_t m = (uint32_t)((h * kTableHashMul) >> 32);
  return m != 0 ? m : 1u;
}

inline size_t table_generic_home(uint32_t mixed_hash, int log2_capacity) {
  return (size_t)(mixed_hash >> (32 - log2_capacity));
}

// Integer tables are kIntDirect or kIntScattered by their placement rule.
enum class TableKind : uint8_t { kIntDirect, kIntScattered, kBytes, kCustom };

}  // namespace detail
}  // namespace KX

struct table_s {
  KX::detail::TableKind kind;
  int log2_capacity;
  size_t mask;         // capacity - 1
  size_t probe_limit;  // displacement beyond which no entry lies (SIZE_MAX: up to an empty slot)
  int used;            // entries in the slot array
  int64_t grow_at;     // entries the array may hold before it doubles
  void* slots;         // table_node_s[] (integer keys) or TableGenericSlot[]
  bool has_zero_key;   // integer tables: an entry for key 0 sits in zero_node
  table_node_s zero_node;
  table_compare_fn compare;
  table_hash_fn hash;
  table_release_fn key_free;
  table_release_fn value_free;
};

namespace KX {
namespace detail {

// True when an integer table has switched to the scattered rule.
inline bool table_int_scattered(const table_s* t) {
  return t->kind == TableKind::kIntScattered;
}

// The built-in hash of byte-string keys: n bytes from p.
uint64_t table_bytes_hash(const void* p, size_t n);

// The node of a non-zero key in an integer table under one placement rule, or NULL. Lookups
// are the tables' hot path, and every load before the first slot (the rule, the probe limit)
// costs lookups in flight: the direct home comes from the stored mask, and the probe limit is
// read only once the home slot holds another key.
template <bool kScattered>
inline table_node_s* table_int_find(const table_s* t, int64_t key) {
  table_node_s* slots = static_cast<table_node_s*>(t->slots);
  size_t i = kScattered ? table_int_home(key, t->log2_capacity, true) : (size_t)key & t->mask;
  for (size_t d = 0;; ++d) {
    table_node_s* s = &slots[i];
    if (table_key_int(s->key) == key) return s;
    if (s->key == nullptr || (!kScattered && d == t->probe_limit)) return nullptr;
    i = (i + 1) & t->mask;
  }
}

// table_insert and table_remove of an integer-keyed table, for callers inside the library on a
// hot path (the order book's level tables): the table's kind is not asked again.
int table_int_insert(table_s* t, int64_t key, void* value);
void* table_int_remove(table_s* t, int64_t key);

// table_get_value of an integer-keyed table (any key, 0 included), inline for the callers on
// a hot path (the order book's level lookups).
inline void* table_int_get_value(const table_s* t, int64_t key) {
  if (key == 0) return t->has_zero_key ? t->zero_node.value : nullptr;
  const table_node_s* n = t->kind == TableKind::kIntDirect ? table_int_find<false>(t, key)
                                                           : table_int_find<true>(t, key);
  return n != nullptr ? n->value : nullptr;
}

}  // namespace detail
}  // namespace KX

#endif  // QUOTELAB_SRC_PLATFORM_HASH_TABLE_DETAIL_H
