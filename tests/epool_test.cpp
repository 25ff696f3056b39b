// Arena pools: alignment, zero fill, oversized requests, reset, footprint.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

bool all_zero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

class EpoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(pool = epool_create(kBlock), nullptr); }
  void TearDown() override { epool_destroy(pool); }
  // A new allocation of `n` bytes, checked aligned and zeroed, then filled with `fill`.
  unsigned char* take(size_t n, int fill) {
    auto* p = static_cast<unsigned char*>(epool_palloc(pool, n));
    EXPECT_NE(p, nullptr) << n;
    if (p == nullptr) return nullptr;
    EXPECT_EQ((uintptr_t)p % 16, 0u) << n;
    EXPECT_TRUE(all_zero(p, n)) << n;
    memset(p, fill, n);
    return p;
  }
  static constexpr int kBlock = 4096;
  epool_s* pool = nullptr;
};

TEST_F(EpoolTest, EveryAllocationIsAlignedZeroedAndDisjoint) {
  // Odd sizes across several blocks; each allocation is filled with its own byte, then all
  // are checked, so overlapping allocations would show.
  std::vector<std::pair<unsigned char*, size_t>> pieces;
  for (size_t n = 1; n < 700; n += 37) {
    pieces.emplace_back(take(n, (int)(pieces.size() + 1)), n);
    ASSERT_NE(pieces.back().first, nullptr);
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    for (size_t j = 0; j < pieces[i].second; ++j)
      ASSERT_EQ(pieces[i].first[j], (unsigned char)(i + 1));
  }
  std::set<void*> seen;  // zero bytes still give distinct pointers
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(seen.insert(epool_palloc(pool, 0)).second);
  EXPECT_EQ(seen.count(nullptr), 0u);
}

TEST_F(EpoolTest, OversizedRequestsGetTheirOwnBlock) {
  ASSERT_NE(epool_palloc(pool, 64), nullptr);
  const size_t before = epool_footprint(pool);
  const size_t big_n = 10 * kBlock + 3;
  ASSERT_NE(take(big_n, 0xAB), nullptr);
  EXPECT_GE(epool_footprint(pool), before + big_n);
  // The current block still serves small requests: no new block is taken for them.
  const size_t after_big = epool_footprint(pool);
  for (int i = 0; i < 10; ++i) ASSERT_NE(epool_palloc(pool, 64), nullptr);
  EXPECT_EQ(epool_footprint(pool), after_big);
}

TEST_F(EpoolTest, ResetKeepsTheFirstBlockAndZeroesReusedMemory) {
  const size_t initial = epool_footprint(pool);
  EXPECT_GE(initial, (size_t)kBlock);
  for (int i = 0; i < 50; ++i) ASSERT_NE(take(1000, 0xFF), nullptr);
  ASSERT_NE(epool_palloc(pool, 100000), nullptr);
  EXPECT_GT(epool_footprint(pool), initial);
  epool_reset(pool);
  EXPECT_EQ(epool_footprint(pool), initial);
  for (int i = 0; i < 3; ++i) ASSERT_NE(take(1000, 0), nullptr);  // the first block, zeroed
  EXPECT_EQ(epool_footprint(pool), initial);
}

TEST_F(EpoolTest, DupCopiesBytesAndBadArgumentsFailCleanly) {
  const char text[] = "600000\0SH";
  char* copy = static_cast<char*>(epool_palloc_dup(pool, text, sizeof text));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_EQ(memcmp(copy, text, sizeof text), 0);
  EXPECT_NE(epool_palloc_dup(pool, nullptr, 0), nullptr);
  EXPECT_EQ(epool_palloc_dup(pool, nullptr, 4), nullptr);
  EXPECT_EQ(epool_palloc(pool, SIZE_MAX), nullptr);
  EXPECT_EQ(epool_palloc(pool, SIZE_MAX - 8), nullptr);
  EXPECT_NE(epool_palloc(pool, 16), nullptr);  // still usable
  EXPECT_EQ(epool_palloc(nullptr, 8), nullptr);
  EXPECT_EQ(epool_palloc_dup(nullptr, "x", 1), nullptr);
  epool_reset(nullptr);
  epool_destroy(nullptr);
  EXPECT_EQ(epool_footprint(nullptr), 0u);

  for (int size : {-5, 0, 1, 255}) {  // small block sizes are raised
    epool_s* p = epool_create(size);
    ASSERT_NE(p, nullptr) << size;
    const size_t footprint = epool_footprint(p);
    EXPECT_GE(footprint, 256u);
    EXPECT_NE(epool_palloc(p, 256), nullptr);  // a full block fits in the first block
    EXPECT_EQ(epool_footprint(p), footprint);
    epool_destroy(p);
  }
}

}  // namespace
