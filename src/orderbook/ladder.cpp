#include "orderbook/ladder.h"

#include <cstdlib>

namespace ql::detail {
namespace {

// Entries a ladder starts with room for: a few hundred levels a side are common, and the array
// then takes 4 KiB.
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
  auto* rungs = static_cast<ladder_rung*>(std::malloc(sizeof(ladder_rung) * capacity));
  if (rungs == nullptr) return false;
  const int32_t lo = (capacity - count) / 2;
  if (count > 0) std::memcpy(rungs + lo, l->rungs + l->lo, sizeof(ladder_rung) * count);
  ladder_free(l);
  l->rungs = rungs;
  l->capacity = capacity;
  l->lo = lo;
  l->hi = lo + count;
  return true;
}

void ladder_free(level_ladder* l) {
  std::free(l->rungs);
  l->rungs = nullptr;
  l->lo = l->hi = l->capacity = 0;
}

}  // namespace ql::detail
