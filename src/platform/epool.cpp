// Arena pools: bump allocation from a chain of fixed-size blocks, freed all at once.
//
// Blocks come zero-filled from calloc (large ones as fresh zero pages the system commits only
// when touched). Requests larger than a block get a block of their own on a separate chain so
// the current block keeps serving small requests. Reset keeps the first block, zeroing only
// the bytes handed out from it.
#include <stdlib.h>
#include <string.h>

#include "quotelab/utilcore.h"

namespace {

constexpr size_t kAlign = 16;
constexpr int kMinBlockSize = 256;

struct alignas(kAlign) PoolBlock {
  PoolBlock* next;
  size_t used;      // bytes handed out from data
  size_t capacity;  // bytes of data
  // data follows, 16-byte aligned
};
static_assert(sizeof(PoolBlock) % kAlign == 0, "block data stays 16-byte aligned");

unsigned char* block_data(PoolBlock* b) {
  return reinterpret_cast<unsigned char*>(b + 1);
}

// Rounds n up to the alignment; false when that overflows.
bool round_up(size_t n, size_t* out) {
  if (n > SIZE_MAX - (kAlign - 1)) return false;
  *out = (n + kAlign - 1) & ~(kAlign - 1);
  return true;
}

PoolBlock* new_block(size_t capacity) {
  if (capacity > SIZE_MAX - sizeof(PoolBlock)) return nullptr;
  // calloc aligns to max_align_t and the header is a multiple of 16, so data is 16-aligned.
  static_assert(alignof(max_align_t) >= kAlign, "malloc alignment covers the pool's promise");
  PoolBlock* b = static_cast<PoolBlock*>(calloc(1, sizeof(PoolBlock) + capacity));
  if (b != nullptr) b->capacity = capacity;
  return b;
}

size_t block_footprint(const PoolBlock* b) {
  return sizeof(PoolBlock) + b->capacity;
}

void free_chain(PoolBlock* b) {
  while (b != nullptr) {
    PoolBlock* next = b->next;
    free(b);
    b = next;
  }
}

}  // namespace

struct epool_s {
  PoolBlock* first;    // kept by epool_reset
  PoolBlock* current;  // last block of the chain starting at first
  PoolBlock* large;    // blocks of single oversized requests
  size_t block_size;
  size_t footprint;
};

extern "C" {

epool_s* epool_create(int block_size) {
  size_t size = 0;
  round_up((size_t)(block_size < kMinBlockSize ? kMinBlockSize : block_size), &size);
  epool_s* pool = static_cast<epool_s*>(calloc(1, sizeof(epool_s)));
  if (pool == nullptr) return nullptr;
  pool->block_size = size;
  pool->first = pool->current = new_block(size);
  if (pool->first == nullptr) {
    free(pool);
    return nullptr;
  }
  pool->footprint = sizeof(epool_s) + block_footprint(pool->first);
  return pool;
}

void* epool_palloc(epool_s* pool, size_t n) {
  if (pool == nullptr) return nullptr;
  size_t size = 0;
  if (!round_up(n == 0 ? 1 : n, &size)) return nullptr;  // 0 bytes still get a unique address
  if (size > pool->block_size) {
    PoolBlock* b = new_block(size);
    if (b == nullptr) return nullptr;
    b->used = size;
    b->next = pool->large;
    pool->large = b;
    pool->footprint += block_footprint(b);
    return block_data(b);
  }
  PoolBlock* cur = pool->current;
  if (cur->capacity - cur->used < size) {
    PoolBlock* b = new_block(pool->block_size);
    if (b == nullptr) return nullptr;
    cur->next = b;
    pool->current = cur = b;
    pool->footprint += block_footprint(b);
  }
  void* p = block_data(cur) + cur->used;
  cur->used += size;
  return p;
}

void* epool_palloc_dup(epool_s* pool, const void* src, size_t n) {
  if (src == nullptr && n > 0) return nullptr;
  void* p = epool_palloc(pool, n);
  if (p != nullptr && n > 0) memcpy(p, src, n);
  return p;
}

void epool_reset(epool_s* pool) {
  if (pool == nullptr) return;
  free_chain(pool->large);
  free_chain(pool->first->next);
  pool->large = nullptr;
  pool->first->next = nullptr;
  memset(block_data(pool->first), 0, pool->first->used);
  pool->first->used = 0;
  pool->current = pool->first;
  pool->footprint = sizeof(epool_s) + block_footprint(pool->first);
}

void epool_destroy(epool_s* pool) {
  if (pool == nullptr) return;
  free_chain(pool->large);
  free_chain(pool->first);
  free(pool);
}

size_t epool_footprint(const epool_s* pool) {
  return pool == nullptr ? 0 : pool->footprint;
}

}  // extern "C"
