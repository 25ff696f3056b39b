// Open-addressing hash tables with linear probing and backward-shift deletion.
//
// Two slot layouts share one probing core (templates over a slot policy):
//  - integer keys: the slot is the 16-byte node {key, value}; key 0 marks an empty slot, so an
//    entry whose key is 0 is kept beside the array (zero_node) and every int64 is a valid key.
//    Keys are placed directly by their low bits until a pattern in them would pile entries up,
//    then scattered (hash_table_detail.h);
//  - byte-string and custom keys: the node followed by the mixed 32-bit hash and the key length;
//    probes compare the stored hash first and call the key comparison only when it matches.
// Deletion shifts the following entries of the probe run back into the hole instead of leaving
// tombstones, so lookups never slow down under churn (the order book inserts and removes
// millions of orders a day) and no removal can hide another key.
#include <stdlib.h>
#include <string.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "platform/hash_table_detail.h"

using KX::detail::kTableDirectMaxDisplacement;
using KX::detail::table_generic_home;
using KX::detail::table_int_find;
using KX::detail::table_int_home;
using KX::detail::table_int_scattered;
using KX::detail::table_key_int;
using KX::detail::table_mix_hash;
using KX::detail::TableGenericSlot;
using KX::detail::TableKind;

namespace {

constexpr int kMinLog2Capacity = 4;  // 16 slots
// table_size and table_length are ints; 2^30 slots is far beyond any real use.
constexpr int kMaxLog2Capacity = 30;

// Maximum load 0.7. With linear probing an unsuccessful probe (every insert of a new key)
// costs about (1 + 1/(1-a)^2)/2 slots: 2.5 at a = 0.5, 6 at 0.7, 8.5 at 0.75, 50 at 0.9. At 0.7
// that stays within about two cache lines of 16-byte slots, while a limit of 0.5 would double
// the memory of big tables (and the cache and TLB misses of random lookups in them).
int64_t max_entries(int log2_capacity) {
  return ((int64_t)1 << log2_capacity) * 7 / 10;
}

// Slot arrays from this size up are mapped directly and marked for transparent huge pages: a
// random lookup in a table of a million entries otherwise misses the TLB as well as the cache,
// and filling fresh memory costs one page fault per 4 KiB. Smaller arrays (the order book's
// pre-sized tables among them) stay on the heap and commit no more than they touch.
constexpr size_t kHugeSlotBytes = (size_t)2 << 20;

// Returns `bytes` of zeroed memory for a slot array, or NULL.
void* alloc_slots(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugeSlotBytes) {
    // Mapped with room to start on a huge-page boundary (only whole aligned 2 MiB ranges can
    // become huge pages); the unused head and tail are unmapped again. Slot array sizes are
    // powers of two, so the tail ends on a boundary too.
    const size_t span = bytes + kHugeSlotBytes;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    char* start = static_cast<char*>(p);
    char* aligned = start + ((kHugeSlotBytes - (uintptr_t)start % kHugeSlotBytes) % kHugeSlotBytes);
    if (aligned > start) munmap(start, (size_t)(aligned - start));
    char* tail = aligned + bytes;
    if (tail < start + span) munmap(tail, (size_t)(start + span - tail));
    madvise(aligned, bytes, MADV_HUGEPAGE);  // a hint: without huge pages the array still works
    return aligned;
  }
#endif
  return calloc(1, bytes);
}

void free_slots(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugeSlotBytes) {
    munmap(p, bytes);
    return;
  }
#endif
  free(p);
}

}  // namespace

struct table_iter_s {
  table_s* table;
  int64_t pos;  // -1: the out-of-array entry comes next, then slots from 0
};

namespace {

// ---- slot policies -------------------------------------------------------------------------
struct IntSlots {
  using Slot = table_node_s;
  static bool empty(const Slot& s) { return s.key == nullptr; }
  static size_t home(const table_s* t, const Slot& s, int log2) {
    return table_int_home(table_key_int(s.key), log2, table_int_scattered(t));
  }
  static table_node_s* node(Slot& s) { return &s; }
};

struct GenericSlots {
  using Slot = TableGenericSlot;
  static bool empty(const Slot& s) { return s.hash == 0; }
  static size_t home(const table_s*, const Slot& s, int log2) {
    return table_generic_home(s.hash, log2);
  }
  static table_node_s* node(Slot& s) { return &s.node; }
};

bool is_int(const table_s* t) {
  return t->kind == TableKind::kIntDirect || t->kind == TableKind::kIntScattered;
}

// Sets the kind; a direct table's probe limit starts at 0 and follows its entries (it is only
// valid for an empty table or right before the entries are placed again).
void set_kind(table_s* t, TableKind kind) {
  t->kind = kind;
  t->probe_limit = kind == TableKind::kIntDirect ? 0 : SIZE_MAX;
}

// How far past its home a new entry may land: the direct rule's bound, or anywhere.
size_t placement_limit(const table_s* t) {
  return t->kind == TableKind::kIntDirect ? kTableDirectMaxDisplacement : SIZE_MAX;
}

// Records an entry placed `d` slots past its home (the direct rule's limit follows the farthest).
void note_displacement(table_s* t, size_t d) {
  if (t->kind == TableKind::kIntDirect && d > t->probe_limit) t->probe_limit = d;
}

template <class S>
typename S::Slot* slots_of(const table_s* t) {
  return static_cast<typename S::Slot*>(t->slots);
}

// ---- the probing core ----------------------------------------------------------------------
constexpr size_t kNoSlot = SIZE_MAX;

// Walks the probe run from `start` until `match` accepts a slot or an empty slot ends the run.
// Returns that slot's index, or kNoSlot when limit + 1 slots were full and none matched. With
// the table's probe_limit that means the key is absent; with SIZE_MAX an empty slot ends every
// walk (the load limit keeps one).
template <class S, class Match>
inline size_t probe(const table_s* t, size_t start, Match match, size_t limit) {
  const typename S::Slot* slots = slots_of<S>(t);
  size_t i = start;
  // A match is never empty (stored keys and hashes are non-zero), so it is tested first.
  for (size_t d = 0; !match(slots[i]) && !S::empty(slots[i]); ++d) {
    if (d == limit) return kNoSlot;
    i = (i + 1) & t->mask;
  }
  return i;
}

template <class S, class Match>
inline table_node_s* find_node(const table_s* t, size_t home, Match match) {
  const size_t i = probe<S>(t, home, match, t->probe_limit);
  if (i == kNoSlot) return nullptr;
  typename S::Slot& s = slots_of<S>(t)[i];
  return S::empty(s) ? nullptr : S::node(s);
}

// Places every entry of `old` into the empty array `fresh` of 2^log2 slots by the table's rule
// and sets the probe limit. Returns false when an entry would lie beyond the direct rule's bound.
template <class S>
bool place_all(table_s* t, const typename S::Slot* old, size_t old_capacity,
               typename S::Slot* fresh, int log2) {
  const size_t mask = ((size_t)1 << log2) - 1;
  const size_t limit = placement_limit(t);
  set_kind(t, t->kind);
  for (size_t j = 0; j < old_capacity; ++j) {
    if (S::empty(old[j])) continue;
    size_t i = S::home(t, old[j], log2);
    size_t d = 0;
    for (; !S::empty(fresh[i]); ++d) {
      if (d == limit) return false;
      i = (i + 1) & mask;
    }
    fresh[i] = old[j];
    note_displacement(t, d);
  }
  return true;
}

// Moves every entry into a fresh array of 2^log2 slots, by the scattered rule when `scatter`
// is set or when the direct rule would put an entry beyond its bound. The table is unchanged
// on failure. Entries are placed by their stored key or hash, so no user function is called.
template <class S>
int resize(table_s* t, int log2, bool scatter) {
  using Slot = typename S::Slot;
  if (log2 > kMaxLog2Capacity) return -1;
  const size_t capacity = (size_t)1 << log2;
  Slot* fresh = static_cast<Slot*>(alloc_slots(capacity * sizeof(Slot)));
  if (fresh == nullptr) return -1;
  Slot* old = slots_of<S>(t);
  const size_t old_capacity = t->mask + 1;
  if (scatter) set_kind(t, TableKind::kIntScattered);
  if (!place_all<S>(t, old, old_capacity, fresh, log2)) {
    memset(fresh, 0, capacity * sizeof(Slot));
    set_kind(t, TableKind::kIntScattered);
    place_all<S>(t, old, old_capacity, fresh, log2);
  }
  free_slots(old, old_capacity * sizeof(Slot));
  t->slots = fresh;
  t->log2_capacity = log2;
  t->mask = capacity - 1;
  t->grow_at = max_entries(log2);
  return 0;
}

// Inserts `entry` unless `match` finds its key. home(t) gives the key's home slot.
template <class S, class Home, class Match>
int insert_entry(table_s* t, Home home, Match match, const typename S::Slot& entry) {
  // Past the probe limit there is no match, only the search for a free slot.
  size_t i = probe<S>(t, home(t), match, placement_limit(t));
  if (i != kNoSlot && !S::empty(slots_of<S>(t)[i])) return 1;
  if (t->used >= t->grow_at) {
    if (resize<S>(t, t->log2_capacity + 1, false) != 0) return -1;
    i = probe<S>(t, home(t), match, placement_limit(t));
  }
  if (i == kNoSlot) {
    // No free slot within the direct rule's bound: scatter every entry.
    if (resize<S>(t, t->log2_capacity, true) != 0) return -1;
    i = probe<S>(t, home(t), match, placement_limit(t));
  }
  slots_of<S>(t)[i] = entry;
  note_displacement(t, (i - home(t)) & t->mask);
  ++t->used;
  return 0;
}

// Empties slot `hole` and shifts later entries of its probe run back, so that every remaining
// entry stays reachable from its home slot. No entry lies farther than the probe limit past
// its home, so none beyond that distance past the hole can have its home at or before it: the
// walk stops there. Dense keys form runs as long as the table, and their limit stays 0.
template <class S>
void erase_slot(table_s* t, size_t hole) {
  typename S::Slot* slots = slots_of<S>(t);
  for (size_t j = (hole + 1) & t->mask;
       !S::empty(slots[j]) && ((j - hole) & t->mask) <= t->probe_limit; j = (j + 1) & t->mask) {
    const size_t home = S::home(t, slots[j], t->log2_capacity);
    // The entry at j may fill the hole only when the hole lies on its path from home to j.
    if (((j - home) & t->mask) >= ((j - hole) & t->mask)) {
      slots[hole] = slots[j];
      hole = j;
    }
  }
  memset(&slots[hole], 0, sizeof(slots[hole]));
  --t->used;
}

template <class S, class Match>
void* remove_entry(table_s* t, size_t home, Match match) {
  const size_t i = probe<S>(t, home, match, t->probe_limit);
  if (i == kNoSlot) return nullptr;
  typename S::Slot& s = slots_of<S>(t)[i];
  if (S::empty(s)) return nullptr;
  void* value = S::node(s)->value;
  erase_slot<S>(t, i);
  return value;
}

// Releases every entry in the array through the table's release functions and empties it.
template <class S>
void clear_slots(table_s* t, bool release_keys) {
  typename S::Slot* slots = slots_of<S>(t);
  const size_t capacity = t->mask + 1;
  if (t->used > 0 && (t->value_free != nullptr || release_keys)) {
    for (size_t i = 0; i < capacity; ++i) {
      if (S::empty(slots[i])) continue;
      table_node_s* n = S::node(slots[i]);
      if (release_keys && n->key != nullptr) t->key_free(n->key);
      if (t->value_free != nullptr && n->value != nullptr) t->value_free(n->value);
    }
  }
  memset(slots, 0, capacity * sizeof(slots[0]));
  t->used = 0;
  set_kind(t, t->kind);  // an empty direct table has no displacement
}

// ---- integer keys --------------------------------------------------------------------------
struct IntKey {
  int64_t key;
  bool operator()(const table_node_s& s) const { return table_key_int(s.key) == key; }
  size_t operator()(const table_s* t) const {
    return table_int_home(key, t->log2_capacity, table_int_scattered(t));
  }
};

// The insert of integer keys, written out for each rule like table_int_find: one probe finds the
// key or the free slot. Growth, and a direct-rule entry that would land beyond its bound, take the
// general path.
template <bool kScattered>
int int_insert_into(table_s* t, int64_t key, void* value) {
  table_node_s* slots = slots_of<IntSlots>(t);
  const size_t mask = t->mask;
  size_t i = kScattered ? table_int_home(key, t->log2_capacity, true) : (size_t)key & mask;
  size_t d = 0;
  for (;; ++d) {
    const int64_t k = table_key_int(slots[i].key);
    if (k == key) return 1;
    if (k == 0) break;
    if (!kScattered && d == kTableDirectMaxDisplacement) break;
    i = (i + 1) & mask;
  }
  if (t->used >= t->grow_at || table_key_int(slots[i].key) != 0) {
    const IntKey k{key};
    return insert_entry<IntSlots>(t, k, k, table_node_s{(void*)(intptr_t)key, value});
  }
  slots[i] = table_node_s{(void*)(intptr_t)key, value};
  if (!kScattered && d > t->probe_limit) t->probe_limit = d;
  ++t->used;
  return 0;
}

// erase_slot for integer keys under one rule: the home of each entry walked is computed
// without asking the table's rule again.
template <bool kScattered>
void int_erase(table_s* t, size_t hole) {
  table_node_s* slots = slots_of<IntSlots>(t);
  const size_t mask = t->mask;
  const size_t limit = kScattered ? SIZE_MAX : t->probe_limit;
  for (size_t j = (hole + 1) & mask; slots[j].key != nullptr && ((j - hole) & mask) <= limit;
       j = (j + 1) & mask) {
    const int64_t k = table_key_int(slots[j].key);
    const size_t home = kScattered ? table_int_home(k, t->log2_capacity, true) : (size_t)k & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      slots[hole] = slots[j];
      hole = j;
    }
  }
  slots[hole] = table_node_s{nullptr, nullptr};
  --t->used;
}

table_node_s* zero_entry(table_s* t) {
  return t->has_zero_key ? &t->zero_node : nullptr;
}

int int_insert(table_s* t, int64_t key, void* value) {
  if (key == 0) {
    if (t->has_zero_key) return 1;
    t->has_zero_key = true;
    t->zero_node.key = nullptr;
    t->zero_node.value = value;
    return 0;
  }
  return t->kind == TableKind::kIntDirect ? int_insert_into<false>(t, key, value)
                                          : int_insert_into<true>(t, key, value);
}

void* int_remove(table_s* t, int64_t key) {
  if (key == 0) {
    if (!t->has_zero_key) return nullptr;
    t->has_zero_key = false;
    return t->zero_node.value;
  }
  table_node_s* n = t->kind == TableKind::kIntDirect ? table_int_find<false>(t, key)
                                                     : table_int_find<true>(t, key);
  if (n == nullptr) return nullptr;
  void* value = n->value;
  const size_t hole = (size_t)(n - slots_of<IntSlots>(t));
  if (t->kind == TableKind::kIntDirect) {
    int_erase<false>(t, hole);
  } else {
    int_erase<true>(t, hole);
  }
  return value;
}

// ---- byte-string and custom keys -----------------------------------------------------------
struct GenericKey {
  const void* key;
  uint32_t len;
  uint32_t hash;
  size_t operator()(const table_s* t) const { return table_generic_home(hash, t->log2_capacity); }
};

// Measures and hashes a key. Returns false for keys no lookup can match. A custom table with
// its own hash takes any key (an integer in pointer form included, 0 too) and passes `len` to
// its hash as given. Keys read as bytes (byte-string tables, custom tables without a hash)
// must not be NULL; a length of 0 means strlen.
bool make_generic_key(const table_s* t, const void* key, int len, GenericKey* out) {
  out->key = key;
  out->len = (uint32_t)len;
  if (t->kind == TableKind::kCustom && t->hash != nullptr) {
    out->hash = table_mix_hash(t->hash(key, len));
    return true;
  }
  if (key == nullptr || len < 0) return false;
  size_t n = (size_t)len;
  if (n == 0) {
    n = strlen(static_cast<const char*>(key));
    if (n > (size_t)INT32_MAX) return false;
  }
  out->len = (uint32_t)n;
  out->hash = table_mix_hash(t->hash != nullptr ? t->hash(key, (int)n)
                                                : KX::detail::table_bytes_hash(key, n));
  return true;
}

struct BytesMatch {
  const GenericKey& k;
  bool operator()(const TableGenericSlot& s) const {
    return s.hash == k.hash && s.len == k.len && memcmp(s.node.key, k.key, k.len) == 0;
  }
};

struct CustomMatch {
  const GenericKey& k;
  table_compare_fn compare;
  bool operator()(const TableGenericSlot& s) const {
    return s.hash == k.hash && compare(s.node.key, k.key) == 0;
  }
};

// The generic operations stay out of line so that the integer path of each public function
// is a leaf without the generic path's register saves.

// Runs op(match) with the matcher of the table's key kind: the one dispatch of a call.
template <class Op>
auto with_generic_match(const table_s* t, const GenericKey& k, Op op) {
  if (t->kind == TableKind::kBytes) return op(BytesMatch{k});
  return op(CustomMatch{k, t->compare});
}

[[gnu::noinline]] table_node_s* generic_find(table_s* t, const void* key, int len) {
  GenericKey k;
  if (!make_generic_key(t, key, len, &k)) return nullptr;
  return with_generic_match(t, k,
                            [&](auto match) { return find_node<GenericSlots>(t, k(t), match); });
}

[[gnu::noinline]] int generic_insert(table_s* t, const void* key, int len, void* value) {
  GenericKey k;
  if (!make_generic_key(t, key, len, &k)) return -1;
  const TableGenericSlot entry{{const_cast<void*>(key), value}, k.hash, k.len};
  return with_generic_match(
      t, k, [&](auto match) { return insert_entry<GenericSlots>(t, k, match, entry); });
}

[[gnu::noinline]] void* generic_remove(table_s* t, const void* key, int len) {
  GenericKey k;
  if (!make_generic_key(t, key, len, &k)) return nullptr;
  return with_generic_match(t, k,
                            [&](auto match) { return remove_entry<GenericSlots>(t, k(t), match); });
}

// The node in slot `pos`, or NULL when that slot is empty.
table_node_s* node_at(table_s* t, size_t pos) {
  if (is_int(t)) {
    table_node_s& s = slots_of<IntSlots>(t)[pos];
    return IntSlots::empty(s) ? nullptr : &s;
  }
  TableGenericSlot& s = slots_of<GenericSlots>(t)[pos];
  return GenericSlots::empty(s) ? nullptr : &s.node;
}

size_t slot_bytes(const table_s* t) {
  return is_int(t) ? sizeof(table_node_s) : sizeof(TableGenericSlot);
}

}  // namespace

int KX::detail::table_int_insert(table_s* t, int64_t key, void* value) {
  return int_insert(t, key, value);
}

void* KX::detail::table_int_remove(table_s* t, int64_t key) {
  return int_remove(t, key);
}

// ---- the built-in byte-string hash ---------------------------------------------------------
uint64_t KX::detail::table_bytes_hash(const void* p, size_t n) {
  // Eight bytes per multiply; the length is folded in so that "a" and "a\0" differ.
  const unsigned char* s = static_cast<const unsigned char*>(p);
  uint64_t h = 0x6A09E667F3BCC908ull ^ (n * 0xff51afd7ed558ccdull);
  for (; n >= 8; n -= 8, s += 8) {
    uint64_t w;
    memcpy(&w, s, 8);
    h = (h ^ w) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  // The last 1-7 bytes through fixed-size loads (two overlapping words, or three bytes), which
  // together cover every byte: cheaper than a variable-length copy for short symbols.
  uint64_t tail = 0;
  if (n >= 4) {
    uint32_t lo, hi;
    memcpy(&lo, s, 4);
    memcpy(&hi, s + n - 4, 4);
    tail = lo | (uint64_t)hi << 32;
  } else if (n > 0) {
    tail = s[0] | (uint64_t)s[n / 2] << 8 | (uint64_t)s[n - 1] << 16;
  }
  h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
  return h ^ (h >> 29);
}

// ---- public functions ----------------------------------------------------------------------
extern "C" {

int table_int_compare(const void* a, const void* b) {
  const int64_t x = table_key_int(a), y = table_key_int(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

uint64_t table_int_hash(const void* key, int /*len*/) {
  return (uint64_t)table_key_int(key) * KX::detail::kTableHashMul;
}

table_s* table_new(table_compare_fn compare, table_hash_fn hash, table_release_fn key_free,
                   table_release_fn value_free) {
  table_s* t = static_cast<table_s*>(calloc(1, sizeof(table_s)));
  if (t == nullptr) return nullptr;
  // An integer table hashes with its own mix: any hash consistent with integer equality
  // gives the same entries, so the caller's hash is not needed.
  set_kind(t, compare == table_int_compare ? TableKind::kIntDirect
              : compare == nullptr         ? TableKind::kBytes
                                           : TableKind::kCustom);
  t->compare = compare;
  t->hash = is_int(t) ? nullptr : hash;
  t->key_free = is_int(t) ? nullptr : key_free;  // integers own nothing
  t->value_free = value_free;
  t->log2_capacity = kMinLog2Capacity;
  t->mask = ((size_t)1 << kMinLog2Capacity) - 1;
  t->grow_at = max_entries(kMinLog2Capacity);
  t->slots = alloc_slots((t->mask + 1) * slot_bytes(t));
  if (t->slots == nullptr) {
    free(t);
    return nullptr;
  }
  return t;
}

table_s* int_table_new(table_release_fn value_free) {
  return table_new(table_int_compare, table_int_hash, nullptr, value_free);
}

table_node_s* table_find(table_s* t, const void* key, int len) {
  if (t == nullptr) return nullptr;
  const int64_t k = table_key_int(key);
  switch (t->kind) {
    case TableKind::kIntDirect:
      return k != 0 ? table_int_find<false>(t, k) : zero_entry(t);
    case TableKind::kIntScattered:
      return k != 0 ? table_int_find<true>(t, k) : zero_entry(t);
    default:
      break;
  }
  return generic_find(t, key, len);
}

void* table_get_value(table_s* t, const void* key, int len) {
  const table_node_s* n = table_find(t, key, len);
  return n != nullptr ? n->value : nullptr;
}

int table_insert(table_s* t, const void* key, int len, void* value) {
  if (t == nullptr) return -1;
  if (is_int(t)) return int_insert(t, table_key_int(key), value);
  return generic_insert(t, key, len, value);
}

void* table_remove(table_s* t, const void* key, int len) {
  if (t == nullptr) return nullptr;
  if (is_int(t)) return int_remove(t, table_key_int(key));
  return generic_remove(t, key, len);
}

void table_clear(table_s* t) {
  if (t == nullptr) return;
  if (is_int(t)) {
    if (t->has_zero_key && t->value_free != nullptr && t->zero_node.value != nullptr)
      t->value_free(t->zero_node.value);
    t->has_zero_key = false;
    clear_slots<IntSlots>(t, false);
  } else {
    clear_slots<GenericSlots>(t, t->key_free != nullptr);
  }
}

void table_free(table_s** t) {
  if (t == nullptr || *t == nullptr) return;
  table_clear(*t);
  free_slots((*t)->slots, ((*t)->mask + 1) * slot_bytes(*t));
  free(*t);
  *t = nullptr;
}

int table_length(const table_s* t) {
  return t == nullptr ? 0 : t->used + (t->has_zero_key ? 1 : 0);
}

int table_size(const table_s* t) {
  return t == nullptr ? 0 : (int)(t->mask + 1);
}

int table_expand(table_s* t, int n) {
  if (t == nullptr) return -1;
  int log2 = t->log2_capacity;
  while (max_entries(log2) < n) {
    if (++log2 > kMaxLog2Capacity) return -1;
  }
  if (log2 == t->log2_capacity) return 0;
  return is_int(t) ? resize<IntSlots>(t, log2, false) : resize<GenericSlots>(t, log2, false);
}

table_iter_s* table_iter_new(table_s* t) {
  table_iter_s* it = static_cast<table_iter_s*>(malloc(sizeof(table_iter_s)));
  if (it != nullptr) table_iter_init(t, it);
  return it;
}

void table_iter_init(table_s* t, table_iter_s* it) {
  if (it == nullptr) return;
  it->table = t;
  it->pos = -1;
}

table_node_s* table_next(table_iter_s* it) {
  if (it == nullptr || it->table == nullptr) return nullptr;
  table_s* t = it->table;
  if (it->pos < 0) {
    it->pos = 0;
    if (t->has_zero_key) return &t->zero_node;
  }
  const int64_t capacity = (int64_t)(t->mask + 1);
  while (it->pos < capacity) {
    table_node_s* n = node_at(t, (size_t)it->pos++);
    if (n != nullptr) return n;
  }
  return nullptr;
}

void table_iter_free(table_iter_s** it) {
  if (it == nullptr) return;
  free(*it);
  *it = nullptr;
}

}  // extern "C"
