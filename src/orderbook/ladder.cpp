#include "orderbook/ladder.h"

#include <cstdlib>

namespace ql::detail {
namespace {

// Entries a ladder starts with room for: a few hundred levels a side are common, and both
// arrays then take 3 KiB.
constexpr int32_t kLadderStart = 256;
constexpr int32_t kLadderMax = 1 << 28;

}  // namespace

bool ladder_grow(level_ladder* l) {
  const int32_t count = l->hi - l->lo;
  // Twice the entries, or the same room re-centred when it is less than half full.
  int32_t capacity = l->capacity < kLadderStart ? kLadderStart : l->capacity;
  if (count * 2 >= capacity) {
    if (capacity > kLadderMax / 2) return false;
    capacity *= 2;
  }
  auto* keys = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * capacity));
  auto* levels = static_cast<orderbook_queue**>(std::malloc(sizeof(orderbook_queue*) * capacity));
  if (keys == nullptr || levels == nullptr) {
    std::free(keys);
    std::free(levels);
    return false;
  }
  const int32_t lo = (capacity - count) / 2;
  if (count > 0) {
    std::memcpy(keys + lo, l->keys + l->lo, sizeof(uint32_t) * count);
    std::memcpy(levels + lo, l->levels + l->lo, sizeof(orderbook_queue*) * count);
  }
  ladder_free(l);
  l->keys = keys;
  l->levels = levels;
  l->capacity = capacity;
  l->lo = lo;
  l->hi = lo + count;
  return true;
}

void ladder_free(level_ladder* l) {
  std::free(l->keys);
  std::free(l->levels);
  l->keys = nullptr;
  l->levels = nullptr;
  l->lo = l->hi = l->capacity = 0;
}

}  // namespace ql::detail
