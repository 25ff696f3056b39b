// Reference-counted message items: one heap block holding the 32-byte header and the payload.
//
// The count lives in the C header struct, so it is changed with the GCC __atomic builtins
// rather than through std::atomic. Taking a reference is relaxed (the caller already holds
// one); dropping one is acq_rel so that every holder's writes to the payload happen before the
// block is freed by whichever thread drops the last reference.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "quotelab/utilcore.h"

namespace {

constexpr size_t kHeaderSize = sizeof(msg_item_s);
constexpr size_t kPayloadAlign = 16;
static_assert(kHeaderSize % kPayloadAlign == 0, "the payload must start 16-byte aligned");

// Items alive in the process; only leak checks read it, so relaxed order is enough.
std::atomic<int64_t> g_live_items{0};

unsigned char* payload_of(const msg_item_s* item) {
  return reinterpret_cast<unsigned char*>(const_cast<msg_item_s*>(item)) + kHeaderSize +
         item->ext_len;
}

int32_t load_count(const msg_item_s* item) {
  return __atomic_load_n(&item->refcount, __ATOMIC_RELAXED);
}

void free_item(msg_item_s* item) {
  std::free(item);
  g_live_items.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

msg_item_s* msg_item_alloc(const void* data, int n) {
  if (n < 0 || (data == nullptr && n > 0)) return nullptr;
  // aligned_alloc wants a size that is a multiple of the alignment.
  size_t total = kHeaderSize + static_cast<size_t>(n);
  total = (total + kPayloadAlign - 1) & ~(kPayloadAlign - 1);
  auto* item = static_cast<msg_item_s*>(std::aligned_alloc(kPayloadAlign, total));
  if (item == nullptr) return nullptr;
  std::memset(item, 0, kHeaderSize);
  item->data_len = static_cast<uint32_t>(n);
  item->ext_len = 0;
  if (n > 0) {
    std::memcpy(payload_of(item), data, static_cast<size_t>(n));
    item->msg_type = static_cast<const unsigned char*>(data)[0];
  }
  __atomic_store_n(&item->refcount, 1, __ATOMIC_RELAXED);
  g_live_items.fetch_add(1, std::memory_order_relaxed);
  return item;
}

int msg_item_addref(msg_item_s* item, int n) {
  if (item == nullptr || n < 0) return -1;
  int32_t count = load_count(item);
  do {
    // A count at or below 0 belongs to an item that is being (or has been) freed; a sum past
    // INT32_MAX would wrap into a count that frees the item too early.
    if (count <= 0 || n > INT32_MAX - count) return -1;
  } while (!__atomic_compare_exchange_n(&item->refcount, &count, count + n, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED));
  return count + n;
}

int msg_item_decref_release(msg_item_s* item) {
  if (item == nullptr) return -1;
  int32_t count = load_count(item);
  do {
    // Never drop a count that is already spent: that would free the block a second time.
    if (count <= 0) return -1;
  } while (!__atomic_compare_exchange_n(&item->refcount, &count, count - 1, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED));
  if (count == 1) free_item(item);
  return count - 1;
}

int msg_item_refcount(const msg_item_s* item) {
  if (item == nullptr) return -1;
  // Acquire: a holder that reads a count of 1 (it is the only one left) may write the payload
  // in place, after every other holder's reads, which their acq_rel drop released.
  return __atomic_load_n(&item->refcount, __ATOMIC_ACQUIRE);
}

void* msg_item_data(msg_item_s* item) {
  if (item == nullptr) return nullptr;
  return payload_of(item);
}

int msg_item_data_len(const msg_item_s* item) {
  if (item == nullptr) return -1;
  return static_cast<int>(item->data_len);
}

int msg_item_type(const msg_item_s* item) {
  if (item == nullptr) return -1;
  return item->msg_type;
}

int64_t msg_item_live_count(void) {
  return g_live_items.load(std::memory_order_relaxed);
}

}  // extern "C"
