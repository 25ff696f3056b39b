// Slot layout and hashing of the open-addressing tables (hash_table.cpp). Shared with the table
// tests, which build keys that land on chosen slots.
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

// Home slot of an integer key in a table of 2^log2_capacity slots.
inline size_t table_int_home(int64_t key, int log2_capacity) {
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

// The built-in hash of byte-string keys: n bytes from p.
uint64_t table_bytes_hash(const void* p, size_t n);

}  // namespace detail
}  // namespace KX

#endif  // QUOTELAB_SRC_PLATFORM_HASH_TABLE_DETAIL_H
