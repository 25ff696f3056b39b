#include "orderbook/pool.h"

#include <cstdio>
#include <cstdlib>

namespace ql::detail {
namespace {

// One block of header plus storage from the system; nullptr when the system refuses.
mpool_block* new_block(int32_t block_size) {
  auto* b = static_cast<mpool_block*>(std::malloc(sizeof(mpool_block) + block_size));
  if (b == nullptr) return nullptr;
  b->next = nullptr;
  b->used = 0;
  b->capacity = block_size;
  return b;
}

}  // namespace

mpool* mpool_create(int32_t block_size) {
  if (block_size <= 0) return nullptr;
  auto* pool = static_cast<mpool*>(std::malloc(sizeof(mpool)));
  if (pool == nullptr) return nullptr;
  mpool_block* b = new_block(block_size);
  if (b == nullptr) {
    std::fprintf(stderr, "%s: L:%d alloc pool block %dbytes failed\n", "mpool_create", 237,
                 block_size);
    std::free(pool);
    return nullptr;
  }
  pool->first_block = b;
  pool->current_block = b;
  pool->block_size = block_size;
  pool->blocks = 1;
  pool->blocks_left = -1;
  return pool;
}

void* mpool_alloc_slow(mpool* pool, int32_t size) {
  if (pool == nullptr || size < 0 || size > pool->block_size) return nullptr;
  mpool_block* cur = pool->current_block;
  if (cur->capacity - cur->used >= size) {
    void* p = reinterpret_cast<char*>(cur + 1) + cur->used;
    cur->used += size;
    return p;
  }
  mpool_block* b = pool->blocks_left == 0 ? nullptr : new_block(pool->block_size);
  if (b == nullptr) {
    std::fprintf(stderr, "%s: L:%d alloc pool block %dbytes failed\n", "mpool_alloc", 279,
                 pool->block_size);
    return nullptr;
  }
  // Link after the current block: blocks kept by an earlier trim are never skipped over.
  b->next = cur->next;
  cur->next = b;
  pool->current_block = b;
  ++pool->blocks;
  if (pool->blocks_left > 0) --pool->blocks_left;
  b->used = size;
  return b + 1;
}

void mpool_trim(mpool* pool, int32_t first_used) {
  if (pool == nullptr) return;
  mpool_block* b = pool->first_block->next;
  while (b != nullptr) {
    mpool_block* next = b->next;
    std::free(b);
    b = next;
  }
  pool->first_block->next = nullptr;
  pool->first_block->used = first_used;
  pool->current_block = pool->first_block;
  pool->blocks = 1;
}

void mpool_destroy(mpool* pool) {
  if (pool == nullptr) return;
  mpool_block* b = pool->first_block;
  while (b != nullptr) {
    mpool_block* next = b->next;
    std::free(b);
    b = next;
  }
  std::free(pool);
}

}  // namespace ql::detail
