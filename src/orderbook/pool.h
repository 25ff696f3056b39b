// The order book's private block pool: records are carved from 49152-byte blocks one after
// another and never returned one by one; the book recycles them through its free lists and the
// pool gives blocks back to the system only at reset (all but the first) and at release.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ql::detail {

// A block is this 16-byte header followed by `capacity` bytes of storage, in one allocation.
struct mpool_block {
  mpool_block* next;
  int32_t used;
  int32_t capacity;
};
static_assert(sizeof(mpool_block) == 16, "records stay 16-byte aligned behind the header");

struct mpool {
  mpool_block* first_block;
  mpool_block* current_block;
  int32_t block_size;
  int32_t blocks;       // blocks held, for the footprint
  int32_t blocks_left;  // new blocks still allowed; -1 = no limit (tests simulate exhaustion)
};

// Block size of every book's pool: large enough that a busy day takes few system allocations,
// small enough that an idle instrument in a map of thousands costs little.
constexpr int32_t kBookBlockSize = 49152;

// Creates a pool with one block. Returns it, or nullptr (message on standard error).
mpool* mpool_create(int32_t block_size);
// Takes a new block when the current one is full. Returns the storage, or nullptr (no pool,
// size above the block size, allocation failed with its message on standard error).
void* mpool_alloc_slow(mpool* pool, int32_t size);
// Gives back every block but the first and keeps `first_used` bytes of the first.
void mpool_trim(mpool* pool, int32_t first_used);
// Gives back every block and the pool record; nullptr does nothing.
void mpool_destroy(mpool* pool);

// Returns size bytes from the current block (no alignment gap: callers ask for multiples of
// 16), or the slow path's result.
inline void* mpool_alloc(mpool* pool, int32_t size) {
  if (pool != nullptr) {
    mpool_block* b = pool->current_block;
    if (size >= 0 && b->capacity - b->used >= size) {
      void* p = reinterpret_cast<char*>(b + 1) + b->used;
      b->used += size;
      return p;
    }
  }
  return mpool_alloc_slow(pool, size);
}

// Bytes the pool holds from the system (headers included).
inline int64_t mpool_footprint(const mpool* pool) {
  return pool == nullptr ? 0
                         : static_cast<int64_t>(pool->blocks) *
                               (static_cast<int64_t>(sizeof(mpool_block)) + pool->block_size);
}

}  // namespace ql::detail
