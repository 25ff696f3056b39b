// Hash tables: integer, byte-string and custom keys; release functions; growth; removal under
// collisions; iteration; randomized comparisons with std::unordered_map.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "../src/platform/hash_table_detail.h"
#include "quotelab/utilcore.h"

namespace {

const auto K = [](int64_t k) { return (const void*)(intptr_t)k; };
const auto V = [](int64_t v) { return (void*)(intptr_t)v; };
const auto I = [](const void* p) { return (int64_t)(intptr_t)p; };

int g_values_released = 0;
int g_keys_released = 0;
std::multiset<int64_t> g_released_values;
// Release functions that count, and free when the table owns malloc'ed keys or values.
const table_release_fn count_value = [](void* v) {
  ++g_values_released;
  g_released_values.insert(I(v));
};
const table_release_fn count_key = [](void*) { ++g_keys_released; };
const table_release_fn free_key = [](void* k) { ++g_keys_released, free(k); };
const table_release_fn free_value = [](void* v) { ++g_values_released, free(v); };
// Custom comparisons and hashes: integers by identity (the general path, where 0 and negative
// keys are keys like any other), and C strings hashed by their first byte only (long runs).
const table_compare_fn int_equal = [](const void* a, const void* b) { return a == b ? 0 : 1; };
const table_hash_fn identity_hash = [](const void* k, int) { return (uint64_t)(intptr_t)k; };
const table_compare_fn string_compare = [](const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
};
const table_hash_fn first_char_hash = [](const void* k, int) {
  return (uint64_t) * static_cast<const unsigned char*>(k);
};

// Every (key, value) the table holds, gathered through an iterator; fails on a repeat.
// Keys are integers or C strings.
template <class Key>
std::map<Key, int64_t> contents(table_s* t) {
  std::map<Key, int64_t> out;
  table_iter_s* it = table_iter_new(t);
  for (table_node_s* n = table_next(it); n != nullptr; n = table_next(it)) {
    Key k;
    if constexpr (std::is_same_v<Key, std::string>) {
      k = static_cast<const char*>(n->key);
    } else {
      k = I(n->key);
    }
    EXPECT_TRUE(out.emplace(k, I(n->value)).second) << "visited twice: " << k;
  }
  table_iter_free(&it);
  return out;
}

// Resets the release counts and frees the test's table.
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_values_released = g_keys_released = 0;
    g_released_values.clear();
  }
  void TearDown() override { table_free(&t); }
  table_s* t = nullptr;
};

class IntTableTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    t = int_table_new(count_value);
    ASSERT_NE(t, nullptr);
  }
};

// The differentials below cover insert, find, remove and iteration, edge keys included; these
// are the promises they do not check: writable nodes, unreleased removals, a NULL-valued key 0
// (0 marks empty slots inside), clear, and the iterator's end, restart and view of a cleared table.
TEST_F(IntTableTest, NodesClearAndIteratorEnds) {
  ASSERT_EQ(table_insert(t, K(42), 8, V(420)), 0);
  table_find(t, K(42), 8)->value = V(99);
  EXPECT_EQ(I(table_remove(t, K(42), 0)), 99);  // the length of integer keys is ignored
  EXPECT_EQ(g_values_released, 0);
  ASSERT_EQ(table_insert(t, K(0), 8, nullptr), 0);
  ASSERT_NE(table_find(t, K(0), 8), nullptr);
  table_clear(t);
  for (int64_t k = -500; k < 500; ++k) ASSERT_EQ(table_insert(t, K(k), 8, V(k + 10000)), 0);
  ASSERT_EQ(table_insert(t, K(1000), 8, nullptr), 0);  // NULL values are not released
  table_iter_s* it = table_iter_new(t);
  while (table_next(it) != nullptr) {
  }
  EXPECT_EQ(table_next(it), nullptr);  // stays at the end
  table_iter_init(t, it);
  int visited = 0;
  while (table_next(it) != nullptr) ++visited;
  EXPECT_EQ(visited, 1001);
  const int size = table_size(t);
  table_clear(t);
  table_iter_init(t, it);
  EXPECT_EQ(table_next(it), nullptr);
  table_iter_free(&it);
  EXPECT_EQ(g_values_released, 1000);
  std::multiset<int64_t> expected;
  for (int64_t k = -500; k < 500; ++k) expected.insert(k + 10000);
  EXPECT_EQ(g_released_values, expected);
  EXPECT_EQ(table_length(t), 0);
  EXPECT_EQ(table_size(t), size);
  EXPECT_EQ(table_find(t, K(0), 8), nullptr);
  EXPECT_EQ(table_insert(t, K(5), 8, V(1)), 0);  // usable after clearing
  // Freeing releases the values, never integer keys, and clears the handle.
  table_free(&t);
  EXPECT_EQ(t, nullptr);
  t = table_new(table_int_compare, table_int_hash, count_key, count_value);
  for (int64_t k = 0; k < 5; ++k) ASSERT_EQ(table_insert(t, K(k), 8, V(k + 1)), 0);
  table_free(&t);
  EXPECT_EQ(g_keys_released, 0);
  EXPECT_EQ(g_values_released, 1006);
}

TEST_F(IntTableTest, ExpandReservesRoomWithoutLaterGrowth) {
  ASSERT_EQ(table_insert(t, K(1), 8, V(1)), 0);
  ASSERT_EQ(table_expand(t, 16384), 0);
  const int size = table_size(t);
  EXPECT_GE(size, 16384);
  for (int64_t k = 2; k <= 16384; ++k) ASSERT_EQ(table_insert(t, K(k), 8, V(k)), 0);
  EXPECT_EQ(table_size(t), size);
  EXPECT_EQ(table_expand(t, 100), 0);  // never shrinks
  EXPECT_EQ(table_size(t), size);
  EXPECT_EQ(table_expand(t, INT32_MAX), -1);
  EXPECT_EQ(I(table_get_value(t, K(1), 8)), 1);
}

// Keys that alias modulo the capacity pile up under the direct rule: past the bound the table
// scatters them, and every key stays reachable through the switch.
TEST_F(TableTest, AliasingIntKeysSwitchToTheScatteredRule) {
  auto fresh = [this](int reserve) {
    table_free(&t);
    t = int_table_new(nullptr);
    ASSERT_EQ(table_expand(t, reserve), 0);
  };
  fresh(1000);
  const int64_t cap = table_size(t);
  const int64_t bound = (int64_t)KX::detail::kTableDirectMaxDisplacement;
  for (int64_t i = 1; i <= bound + 1; ++i) ASSERT_EQ(table_insert(t, K(i * cap), 8, V(i)), 0);
  EXPECT_FALSE(KX::detail::table_int_scattered(t)) << "within the bound the rule stays direct";
  // A key aliasing them is absent: the bounded search says so without walking the run.
  EXPECT_EQ(table_find(t, K((bound + 5) * cap), 8), nullptr);
  ASSERT_EQ(table_insert(t, K((bound + 2) * cap), 8, V(bound + 2)), 0);
  EXPECT_TRUE(KX::detail::table_int_scattered(t));
  for (int64_t i = 1; i <= bound + 2; ++i) EXPECT_EQ(I(table_get_value(t, K(i * cap), 8)), i);
  EXPECT_EQ(table_size(t), cap) << "switching rules does not grow the table";

  // Removal reaches an entry at the far end of the bound, past entries resting at home.
  fresh(1000);
  for (int64_t k = 0; k < bound; ++k) ASSERT_EQ(table_insert(t, K(k == 0 ? cap : k), 8, V(k)), 0);
  ASSERT_EQ(table_insert(t, K(2 * cap), 8, V(2)), 0);  // home 0, lands `bound` slots on
  ASSERT_EQ(I(table_remove(t, K(cap), 8)), 0);
  EXPECT_EQ(I(table_get_value(t, K(2 * cap), 8)), 2);
  EXPECT_FALSE(KX::detail::table_int_scattered(t));

  // Dense keys never leave the direct rule, however many.
  fresh(0);
  for (int64_t k = 1000000; k < 1200000; ++k) ASSERT_EQ(table_insert(t, K(k), 8, V(k)), 0);
  EXPECT_FALSE(KX::detail::table_int_scattered(t));
}

// Keys chosen to share home slots, including runs that wrap past the end of the slot array:
// removing any of them must leave every other one reachable. Under both placement rules.
class IntCollisionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    t = int_table_new(nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(table_expand(t, 1000), 0);
    log2 = __builtin_ctz(static_cast<unsigned>(table_size(t)));
    ASSERT_EQ(1 << log2, table_size(t));
    if (GetParam()) {  // aliasing keys push the table to the scattered rule; then they go
      const int64_t n = (int64_t)KX::detail::kTableDirectMaxDisplacement + 2;
      for (int64_t i = 1; i <= n; ++i) ASSERT_EQ(table_insert(t, K(i << log2), 8, V(i)), 0);
      table_clear(t);
    }
    ASSERT_EQ(KX::detail::table_int_scattered(t), GetParam());
  }
  void TearDown() override {
    EXPECT_EQ(KX::detail::table_int_scattered(t), GetParam()) << "the crafted runs were moved";
    table_free(&t);
  }

  // The first `count` positive keys whose home slot is `home`.
  std::vector<int64_t> keys_at(size_t home, int count) {
    std::vector<int64_t> out;
    for (int64_t k = 1; (int)out.size() < count; ++k)
      if (KX::detail::table_int_home(k, log2, GetParam()) == home) out.push_back(k);
    return out;
  }

  table_s* t = nullptr;
  int log2 = 0;
};

TEST_P(IntCollisionTest, RemovingAnyMemberOfARunKeepsTheOthers) {
  const size_t last = ((size_t)1 << log2) - 1;
  // Runs homed at the last two slots and the first two: they wrap around and merge. Several
  // insertion orders put early-homed keys both before and after the wrapped ones.
  std::vector<int64_t> all;
  for (size_t home : {last - 1, last, (size_t)0, (size_t)1})
    for (int64_t k : keys_at(home, 4)) all.push_back(k);
  std::mt19937_64 rng(3);
  for (int order = 0; order < 8; ++order) {
    std::vector<int64_t> inserted = all;
    if (order == 1) std::reverse(inserted.begin(), inserted.end());
    if (order > 1) std::shuffle(inserted.begin(), inserted.end(), rng);
    for (size_t pick = 0; pick < all.size(); ++pick) {
      for (int64_t k : inserted) ASSERT_EQ(table_insert(t, K(k), 8, V(k)), 0);
      ASSERT_EQ(I(table_remove(t, K(all[pick]), 8)), all[pick]);
      for (int64_t k : all)
        EXPECT_EQ(I(table_get_value(t, K(k), 8)), k == all[pick] ? 0 : k) << "key " << k;
      EXPECT_EQ(table_length(t), (int)all.size() - 1);
      table_clear(t);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothRules, IntCollisionTest, ::testing::Bool());

// Random inserts and removes, checked against std::unordered_map after every step that
// changes the table and in full at the end of each phase; on an integer table and on the
// general path keyed by integers.
TEST_F(TableTest, IntDifferentialMatchesUnorderedMap) {
  for (bool general : {false, true}) {
    SCOPED_TRACE(general ? "general path" : "integer table");
    table_free(&t);
    t = general ? table_new(int_equal, identity_hash, nullptr, nullptr) : int_table_new(nullptr);
    std::unordered_map<int64_t, int64_t> ref;
    std::mt19937_64 rng(20240105);
    auto draw_key = [&]() -> int64_t {
      // Small (negative and zero), strided, anything, or an edge key.
      const int64_t kinds[] = {(int64_t)(rng() % 2000) - 1000, (int64_t)(rng() % 64) * 1024,
                               (int64_t)rng(),
                               std::array<int64_t, 4>{0, INT64_MIN, INT64_MAX, -1}[rng() % 4]};
      return kinds[rng() % 4];
    };
    for (int phase = 0; phase < 6; ++phase) {
      const int insert_percent = phase % 2 == 0 ? 70 : 30;  // grow, then shrink
      for (int step = 0; step < 40000; ++step) {
        const int64_t k = draw_key();
        if ((int)(rng() % 100) < insert_percent) {
          const int64_t v = (int64_t)rng();
          const bool fresh = ref.emplace(k, v).second;
          ASSERT_EQ(table_insert(t, K(k), 8, V(v)), fresh ? 0 : 1);
        } else {
          auto it = ref.find(k);
          void* got = table_remove(t, K(k), 8);
          if (it == ref.end()) {
            ASSERT_EQ(got, nullptr);
          } else {
            ASSERT_EQ(I(got), it->second);
            ref.erase(it);
          }
        }
        ASSERT_EQ(table_length(t), (int)ref.size());
        const int64_t probe = draw_key();
        auto it = ref.find(probe);
        table_node_s* n = table_find(t, K(probe), 8);
        ASSERT_EQ(n != nullptr, it != ref.end()) << probe;
        ASSERT_TRUE(n == nullptr || I(n->value) == it->second) << probe;
      }
      std::map<int64_t, int64_t> expected(ref.begin(), ref.end());
      ASSERT_EQ(contents<int64_t>(t), expected);
      ASSERT_GE(table_size(t), table_length(t));
    }
  }
}

TEST(TableNullHandles, NothingCrashes) {
  EXPECT_EQ(table_find(nullptr, K(1), 8), nullptr);
  EXPECT_EQ(table_get_value(nullptr, K(1), 8), nullptr);
  EXPECT_EQ(table_remove(nullptr, K(1), 8), nullptr);
  EXPECT_EQ(table_insert(nullptr, K(1), 8, V(1)) + table_expand(nullptr, 10), -2);
  EXPECT_EQ(table_length(nullptr) + table_size(nullptr), 0);
  table_clear(nullptr);
  table_free(nullptr);
  table_iter_s* it = table_iter_new(nullptr);  // an iterator over nothing
  EXPECT_EQ(table_next(it), nullptr);
  table_iter_free(&it);
  table_iter_init(nullptr, nullptr);
  EXPECT_EQ(table_next(nullptr), nullptr);
  table_iter_free(nullptr);
}

using StringKeyTableTest = TableTest;

// Lengths (0 means strlen), prefixes, NUL bytes, the stored key pointer, bad keys.
TEST_F(StringKeyTableTest, ByteStringKeys) {
  t = table_new(nullptr, nullptr, nullptr, nullptr);
  const std::string symbol = "600000";
  ASSERT_EQ(table_insert(t, symbol.c_str(), 0, V(3)), 0);
  const std::string copy = symbol;  // found by content, not by pointer
  EXPECT_EQ(table_find(t, copy.c_str(), 6)->key, (void*)symbol.c_str());  // not a copy of it
  EXPECT_EQ(table_find(t, "60000", 0), nullptr);                          // a prefix
  // Keys with NUL bytes are compared by their length.
  const std::string nul = std::string(1, '\0') + "600000", one = std::string(1, '\1') + "600000";
  ASSERT_EQ(table_insert(t, nul.data(), 7, V(1)), 0);
  ASSERT_EQ(table_insert(t, one.data(), 7, V(2)), 0);
  ASSERT_EQ(table_insert(t, "ab", 2, V(4)), 0);
  ASSERT_EQ(table_insert(t, "ab", 3, V(5)), 0);  // "ab" plus its NUL is another key
  const std::string probe = nul;                 // found by content
  EXPECT_EQ(I(table_get_value(t, probe.data(), 7)), 1);
  EXPECT_EQ(I(table_get_value(t, one.data(), 7)), 2);
  EXPECT_EQ(I(table_get_value(t, "ab", 0)), 4);
  EXPECT_EQ(I(table_get_value(t, "ab", 3)), 5);

  // Bad keys are refused without harm.
  EXPECT_EQ(table_insert(t, nullptr, 3, V(2)), -1);
  EXPECT_EQ(table_insert(t, "y", -1, V(2)), -1);
  EXPECT_EQ(table_find(t, nullptr, 0), nullptr);
  EXPECT_EQ(table_remove(t, nullptr, 0), nullptr);
  EXPECT_EQ(table_length(t), 5);
}

TEST_F(StringKeyTableTest, OwnedKeysAndValuesAreFreedOnce) {
  t = table_new(nullptr, nullptr, free_key, free_value);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(table_insert(t, strdup(std::to_string(i).c_str()), 0, malloc(16)), 0);
  for (int i = 0; i < 1000; i += 2) {  // the caller owns what it removes
    table_node_s* n = table_find(t, std::to_string(i).c_str(), 0);
    ASSERT_NE(n, nullptr);
    void* stored_key = n->key;
    free(table_remove(t, stored_key, 0));
    free(stored_key);
  }
  table_clear(t);
  EXPECT_EQ(g_keys_released, 500);
  EXPECT_EQ(g_values_released, 500);
  ASSERT_EQ(table_insert(t, strdup("kept"), 0, nullptr), 0);  // NULL values are not released
  table_free(&t);
  EXPECT_EQ(g_keys_released, 501);
  EXPECT_EQ(g_values_released, 500);
}

// On the default byte-string table and with a poor custom hash (long runs).
TEST_F(StringKeyTableTest, StringKeysDifferentialWithGrowth) {
  std::vector<std::string> pool;  // outlives the tables, which point into it
  for (int i = 0; i < 5000; ++i)
    pool.push_back(std::string(1, (char)('A' + i % 26)) + std::to_string(i * 37));
  for (bool custom : {false, true}) {
    SCOPED_TRACE(custom ? "custom hash" : "byte strings");
    table_free(&t);
    t = custom ? table_new(string_compare, first_char_hash, nullptr, nullptr)
               : table_new(nullptr, nullptr, nullptr, nullptr);
    std::unordered_map<std::string, int64_t> ref;
    std::mt19937 rng(11);
    for (int step = 0; step < 20000; ++step) {
      const std::string& k = pool[rng() % pool.size()];
      const int len = custom || step % 2 ? 0 : (int)k.size();
      if (rng() % 3 != 0) {
        const bool fresh = ref.emplace(k, step + 1).second;
        ASSERT_EQ(table_insert(t, k.c_str(), len, V(step + 1)), fresh ? 0 : 1);
      } else {
        auto it = ref.find(k);
        void* got = table_remove(t, std::string(k).c_str(), len);
        ASSERT_EQ(got != nullptr, it != ref.end());
        if (it != ref.end()) {
          ASSERT_EQ(I(got), it->second);
          ref.erase(it);
        }
      }
    }
    ASSERT_EQ(table_length(t), (int)ref.size());
    ASSERT_EQ(contents<std::string>(t), (std::map<std::string, int64_t>(ref.begin(), ref.end())));
  }
}

}  // namespace
