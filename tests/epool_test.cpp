// Arena pools: alignment, zero fill, oversized requests, reset, footprint.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

bool all_zero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

class EpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = epool_create(kBlock);
    ASSERT_NE(pool, nullptr);
  }
  void TearDown() override { epool_destroy(pool); }
  static constexpr int kBlock = 4096;
  epool_s* pool = nullptr;
};

TEST_F(EpoolTest, EveryAllocationIsAlignedZeroedAndDisjoint) {
  // Odd sizes across several blocks; each allocation is filled with its own byte, then all
  // are checked, so overlapping allocations would show.
  struct Piece {
    unsigned char* p;
    size_t n;
  };
  std::vector<Piece> pieces;
  for (size_t n = 1; n < 700; n += 37) {
    unsigned char* p = static_cast<unsigned char*>(epool_palloc(pool, n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 16, 0u) << n;
    EXPECT_TRUE(all_zero(p, n)) << n;
    memset(p, (int)(pieces.size() + 1), n);
    pieces.push_back({p, n});
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    for (size_t j = 0; j < pieces[i].n; ++j) ASSERT_EQ(pieces[i].p[j], (unsigned char)(i + 1));
  }
  std::set<void*> seen;  // zero bytes still give distinct pointers
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(seen.insert(epool_palloc(pool, 0)).second);
  EXPECT_EQ(seen.count(nullptr), 0u);
}

TEST_F(EpoolTest, OversizedRequestsGetTheirOwnBlock) {
  void* small = epool_palloc(pool, 64);
  ASSERT_NE(small, nullptr);
  const size_t before = epool_footprint(pool);
  const size_t big_n = 10 * kBlock + 3;
  unsigned char* big = static_cast<unsigned char*>(epool_palloc(pool, big_n));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ((uintptr_t)big % 16, 0u);
  EXPECT_TRUE(all_zero(big, big_n));
  memset(big, 0xAB, big_n);
  EXPECT_GE(epool_footprint(pool), before + big_n);
  // The current block still serves small requests: no new block is taken for them.
  const size_t after_big = epool_footprint(pool);
  for (int i = 0; i < 10; ++i) ASSERT_NE(epool_palloc(pool, 64), nullptr);
  EXPECT_EQ(epool_footprint(pool), after_big);
}

TEST_F(EpoolTest, ResetKeepsTheFirstBlockAndZeroesReusedMemory) {
  const size_t initial = epool_footprint(pool);
  EXPECT_GE(initial, (size_t)kBlock);
  for (int i = 0; i < 50; ++i) {
    void* p = epool_palloc(pool, 1000);
    ASSERT_NE(p, nullptr);
    memset(p, 0xFF, 1000);
  }
  ASSERT_NE(epool_palloc(pool, 100000), nullptr);
  EXPECT_GT(epool_footprint(pool), initial);
  epool_reset(pool);
  EXPECT_EQ(epool_footprint(pool), initial);
  for (int i = 0; i < 3; ++i) {  // the first block's bytes come back zeroed
    void* p = epool_palloc(pool, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(all_zero(p, 1000));
  }
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
}

TEST(EpoolCreate, SmallBlockSizesAreRaised) {
  for (int size : {-5, 0, 1, 255}) {
    epool_s* p = epool_create(size);
    ASSERT_NE(p, nullptr) << size;
    EXPECT_GE(epool_footprint(p), 256u);
    const size_t footprint = epool_footprint(p);
    EXPECT_NE(epool_palloc(p, 256), nullptr);  // a full block fits in the first block
    EXPECT_EQ(epool_footprint(p), footprint);
    epool_destroy(p);
  }
}

}  // namespace
