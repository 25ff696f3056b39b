// A side's price ladder: the prices of its levels in one sorted array, so that a new level
// finds its neighbours in the chain by a search over contiguous keys instead of a walk from
// level to level (a real day creates thousands of levels tens of levels behind the best, and
// each pointer of such a walk is a dependent load).
//
// Keys rise toward the best price (a bid's key is its px, an ask's the px complemented), so
// both sides keep their best level last. The live entries sit in the middle of the array with
// room on both sides: an entry goes in or out by moving the shorter part, which near the best
// or near the worst price (where levels come and go) is a few entries. Not thread-safe.
#pragma once

#include <cstdint>
#include <cstring>

struct orderbook_queue;

namespace ql::detail {

// A key and its level side by side, so that an entry moves in one piece.
struct ladder_rung {
  uint32_t key;
  orderbook_queue* level;
};
static_assert(sizeof(ladder_rung) == 16, "rungs are 16 bytes");

struct level_ladder {
  ladder_rung* rungs;  // rungs[lo..hi) by strictly rising key
  int32_t lo;
  int32_t hi;
  int32_t capacity;
};

inline uint32_t ladder_key(int32_t side, uint32_t px) {
  return side == 'B' ? px : ~px;
}

// Index of the first entry whose key is above `key` (lo..hi). The search gallops from the
// best end (1, 2, 4, ... entries back) and then halves the bracket it found: a new level d
// levels behind the best costs about 2 log2(d) comparisons, wherever the side's other levels
// lie, where a scan from the best costs d.
inline int32_t ladder_upper(const level_ladder* l, uint32_t key) {
  int32_t above = l->hi;  // the keys of rungs[above..hi) are all above key
  int32_t probe = above - 1;
  for (int32_t step = 1; probe >= l->lo && l->rungs[probe].key > key; step *= 2) {
    above = probe;
    probe -= step;
  }
  // rungs[probe].key <= key (or probe is before lo): the answer is in [probe + 1, above].
  int32_t first = probe + 1 > l->lo ? probe + 1 : l->lo;
  int32_t count = above - first;
  while (count > 0) {
    const int32_t half = count / 2;
    if (l->rungs[first + half].key <= key) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  return first;
}

// Makes room for one more entry. Returns false when the arrays cannot grow (no memory).
bool ladder_grow(level_ladder* l);
inline bool ladder_reserve(level_ladder* l) {
  return l->lo > 0 || l->hi < l->capacity || ladder_grow(l);
}

// Inserts (key, level) before index i (from ladder_upper); ladder_reserve made room.
inline void ladder_insert_at(level_ladder* l, int32_t i, uint32_t key, orderbook_queue* level) {
  const bool down = l->lo > 0 && (i - l->lo < l->hi - i || l->hi == l->capacity);
  if (down) {
    std::memmove(l->rungs + l->lo - 1, l->rungs + l->lo, sizeof(ladder_rung) * (i - l->lo));
    --l->lo;
    --i;
  } else {
    std::memmove(l->rungs + i + 1, l->rungs + i, sizeof(ladder_rung) * (l->hi - i));
    ++l->hi;
  }
  l->rungs[i] = ladder_rung{key, level};
}

// Removes the entry of `key`; nothing when it is absent.
inline void ladder_erase(level_ladder* l, uint32_t key) {
  if (l->hi > l->lo && l->rungs[l->hi - 1].key == key) {
    --l->hi;
    return;
  }
  const int32_t i = ladder_upper(l, key) - 1;
  if (i < l->lo || l->rungs[i].key != key) return;
  if (i - l->lo < l->hi - 1 - i) {
    std::memmove(l->rungs + l->lo + 1, l->rungs + l->lo, sizeof(ladder_rung) * (i - l->lo));
    ++l->lo;
  } else {
    std::memmove(l->rungs + i, l->rungs + i + 1, sizeof(ladder_rung) * (l->hi - 1 - i));
    --l->hi;
  }
}

// Empties the ladder, keeping its arrays (the entries start again in the middle).
inline void ladder_clear(level_ladder* l) {
  l->lo = l->hi = l->capacity / 2;
}

// Frees the arrays; the ladder is empty and without room afterwards.
void ladder_free(level_ladder* l);

}  // namespace ql::detail
