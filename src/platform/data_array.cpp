// KX::DataArray: an ordered array of record pointers, oldest first.
//
// An owning array copies records into element slots carved from chunks it never moves, so an
// element's address is stable until it is dropped. Dropped slots go to a free list that later
// pushes take first: an array that is trimmed in bulk and refilled (the bar cache) allocates
// nothing once it has reached its peak size. `items` is a separate contiguous pointer array.
#include <stdlib.h>
#include <string.h>

#include <new>

#include "quotelab/utilcore.h"

namespace {

// Chunks grow with the array (doubling) up to this many elements; larger chunks would only
// reserve memory that a trimmed array never uses again.
constexpr size_t kMaxChunkElems = 4096;
// Chunk size for the second and later chunks of a small array: fewer, larger allocations.
constexpr size_t kMinChunkElems = 16;

struct Chunk {
  Chunk* next;
  size_t slots;
  size_t used;  // slots handed out so far (bump allocation before the free list is used)
  size_t pad;   // keeps the slots after the header 16-byte aligned
};
static_assert(sizeof(Chunk) % 16 == 0, "slots start 16-byte aligned");

size_t clamp_size(size_t v, size_t lo, size_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

namespace KX {

struct DataArray::Impl {
  size_t stride = 0;        // bytes per slot: elem_size rounded up to hold the free-list link
  size_t first_chunk = 1;   // slots of the first chunk
  size_t total_slots = 0;   // slots in all chunks
  Chunk* chunks = nullptr;  // newest first
  void* free_list = nullptr;

  ~Impl() {
    while (chunks != nullptr) {
      Chunk* next = chunks->next;
      free(chunks);
      chunks = next;
    }
  }

  unsigned char* slot_at(Chunk* c, size_t i) const {
    return reinterpret_cast<unsigned char*>(c + 1) + i * stride;
  }

  bool add_chunk() {
    const size_t n =
        total_slots == 0 ? first_chunk : clamp_size(total_slots, kMinChunkElems, kMaxChunkElems);
    if (n > (SIZE_MAX - sizeof(Chunk)) / stride) return false;
    Chunk* c = static_cast<Chunk*>(malloc(sizeof(Chunk) + n * stride));
    if (c == nullptr) return false;
    c->next = chunks;
    c->slots = n;
    c->used = 0;
    chunks = c;
    total_slots += n;
    return true;
  }

  // Returns storage for one element, or NULL when out of memory.
  void* acquire() {
    if (free_list != nullptr) {
      void* p = free_list;
      memcpy(&free_list, p, sizeof(void*));
      return p;
    }
    if ((chunks == nullptr || chunks->used == chunks->slots) && !add_chunk()) return nullptr;
    return slot_at(chunks, chunks->used++);
  }

  void release(void* p) {
    memcpy(p, &free_list, sizeof(void*));
    free_list = p;
  }
};

DataArray::DataArray(int elem_size, int capacity, bool preallocate)
    : elem_size_(elem_size), owns_(true) {
  if (elem_size <= 0) return;  // push_back refuses
  impl_ = new (std::nothrow) Impl;
  if (impl_ == nullptr) return;  // push_back retries and refuses
  const size_t cap = capacity > 0 ? (size_t)capacity : 1;
  impl_->stride = ((size_t)elem_size + 7) & ~(size_t)7;
  if (impl_->stride < sizeof(void*)) impl_->stride = sizeof(void*);
  // Element storage always starts small and grows in chunks: a cache makes one array per symbol
  // with a capacity of hundreds of bars that most symbols never fill, and taking that storage
  // up front would cost tens of kilobytes per symbol. Preallocation reserves only the pointer
  // array (8 bytes per element).
  impl_->first_chunk = clamp_size(cap, 1, kMinChunkElems);
  if (preallocate && capacity > 0) reserve_items(capacity);
}

DataArray::DataArray(void** src, int n, int elem_size) : elem_size_(elem_size), owns_(false) {
  if (src == nullptr || n <= 0 || reserve_items(n) != 0) return;
  memcpy(items, src, (size_t)n * sizeof(void*));
  count = n;
}

DataArray::DataArray(DataArray&& other) noexcept
    : items(other.items),
      count(other.count),
      elem_size_(other.elem_size_),
      items_capacity_(other.items_capacity_),
      owns_(other.owns_),
      impl_(other.impl_) {
  other.items = nullptr;
  other.count = 0;
  other.items_capacity_ = 0;
  other.impl_ = nullptr;
}

DataArray& DataArray::operator=(DataArray&& other) noexcept {
  if (this == &other) return *this;
  delete impl_;
  free(items);
  items = other.items;
  count = other.count;
  elem_size_ = other.elem_size_;
  items_capacity_ = other.items_capacity_;
  owns_ = other.owns_;
  impl_ = other.impl_;
  other.items = nullptr;
  other.count = 0;
  other.items_capacity_ = 0;
  other.impl_ = nullptr;
  return *this;
}

DataArray::~DataArray() {
  delete impl_;
  free(items);
}

int DataArray::reserve_items(int n) {
  if (n <= items_capacity_) return 0;
  int64_t want = (int64_t)items_capacity_ * 2;
  if (want < n) want = n;
  if (want < 8) want = 8;
  if (want > INT32_MAX) want = INT32_MAX;
  void** grown = static_cast<void**>(realloc(items, (size_t)want * sizeof(void*)));
  if (grown == nullptr) return -1;
  items = grown;
  items_capacity_ = (int)want;
  return 0;
}

int DataArray::push_back(const void* rec) {
  if (rec == nullptr || count == INT32_MAX || reserve_items(count + 1) != 0) return -1;
  if (!owns_) {
    items[count++] = const_cast<void*>(rec);
    return 0;
  }
  if (elem_size_ <= 0) return -1;
  if (impl_ == nullptr) {  // moved from, or construction ran out of memory
    DataArray fresh(elem_size_, 1, false);
    if (fresh.impl_ == nullptr) return -1;
    impl_ = fresh.impl_;
    fresh.impl_ = nullptr;
  }
  void* slot = impl_->acquire();
  if (slot == nullptr) return -1;
  memcpy(slot, rec, (size_t)elem_size_);
  items[count++] = slot;
  return 0;
}

void DataArray::pop_front(int n) {
  if (n <= 0) return;
  if (n >= count) {
    clear();
    return;
  }
  if (owns_ && impl_ != nullptr) {
    for (int i = 0; i < n; ++i) impl_->release(items[i]);
  }
  memmove(items, items + n, (size_t)(count - n) * sizeof(void*));
  count -= n;
}

void DataArray::clear() {
  if (owns_ && impl_ != nullptr) {
    for (int i = 0; i < count; ++i) impl_->release(items[i]);
  }
  count = 0;
}

DataArray DataArray::slice(int n) const {
  const int take = n <= 0 ? 0 : (n < count ? n : count);
  void** newest = items + (count - take);
  if (!owns_) return DataArray(take > 0 ? newest : nullptr, take, elem_size_);
  DataArray out(elem_size_, take, true);
  for (int i = 0; i < take; ++i) {
    if (out.push_back(newest[i]) != 0) break;  // out of memory: the oldest part that fitted
  }
  return out;
}

}  // namespace KX
