// KX::DataArray: owning arrays (copies in recycled storage) and borrowing arrays (pointers).
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <vector>

#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace {

using KX::DataArray;

// A 180-byte bar-sized record whose bytes all derive from one number.
struct Rec {
  unsigned char bytes[180];
};
Rec make_rec(int n) {
  Rec r;
  for (size_t i = 0; i < sizeof r.bytes; ++i) r.bytes[i] = (unsigned char)(n * 31 + i);
  return r;
}
bool holds(const void* p, int n) {
  const Rec r = make_rec(n);
  return memcmp(p, r.bytes, sizeof r.bytes) == 0;
}

class OwningArrayTest : public ::testing::Test {
 protected:
  // Pushes records first..last (inclusive).
  void push_range(DataArray& a, int first, int last) {
    for (int i = first; i <= last; ++i) {
      const Rec r = make_rec(i);
      ASSERT_EQ(a.push_back(&r), 0);
    }
  }
  // True when the array holds records first..last in order.
  static bool holds_range(const DataArray& a, int first, int last) {
    if (a.count != last - first + 1) return false;
    for (int i = 0; i < a.count; ++i) {
      if (!holds(a.items[i], first + i)) return false;
    }
    return true;
  }
  DataArray arr{180, 240, false};
};

TEST_F(OwningArrayTest, PushStoresCopiesThatStayPutAndPopFrontDropsTheOldest) {
  Rec r = make_rec(0);
  ASSERT_EQ(arr.push_back(&r), 0);
  r = make_rec(99);  // changing the source leaves the copy alone
  void* first = arr.items[0];
  push_range(arr, 1, 5000);
  EXPECT_EQ(arr.items[0], first);  // addresses stay put while the array grows
  EXPECT_TRUE(holds_range(arr, 0, 5000));
  EXPECT_EQ(arr.back(), arr.items[5000]);
  EXPECT_EQ(arr.push_back(nullptr), -1);

  void* survivor = arr.items[4];
  arr.pop_front(0);
  arr.pop_front(-3);
  EXPECT_EQ(arr.count, 5001);
  arr.pop_front(4);
  EXPECT_TRUE(holds_range(arr, 4, 5000));
  EXPECT_EQ(arr.items[0], survivor);  // kept elements do not move
  arr.pop_front(100000);
  EXPECT_EQ(arr.count, 0);
  EXPECT_EQ(arr.back(), nullptr);
}

TEST_F(OwningArrayTest, PopAndClearRecycleStorage) {
  // The bar cache's pattern: fill to a peak, trim in bulk, refill, many times over.
  push_range(arr, 0, 399);
  std::set<void*> peak(arr.items, arr.items + arr.count);
  for (int round = 0; round < 20; ++round) {
    std::set<void*> dropped(arr.items, arr.items + 300);
    arr.pop_front(300);
    push_range(arr, 1000, 1299);
    for (int i = 100; i < 400; ++i) {
      ASSERT_TRUE(dropped.count(arr.items[i])) << "fresh storage in round " << round;
    }
  }
  ASSERT_EQ(arr.count, 400);
  for (int i = 100; i < 400; ++i) EXPECT_TRUE(holds(arr.items[i], 900 + i));
  arr.clear();
  EXPECT_EQ(arr.count, 0);
  push_range(arr, 1, 400);
  for (int i = 0; i < arr.count; ++i) EXPECT_TRUE(peak.count(arr.items[i]));
  EXPECT_TRUE(holds_range(arr, 1, 400));
}

TEST_F(OwningArrayTest, SliceCopiesTheNewest) {
  push_range(arr, 1, 10);
  EXPECT_EQ(arr.slice(0).count, 0);
  EXPECT_EQ(arr.slice(-5).count, 0);

  DataArray last3 = arr.slice(3);
  EXPECT_TRUE(holds_range(last3, 8, 10));
  EXPECT_NE(last3.items[0], arr.items[7]);  // copies, not shared elements

  DataArray more = arr.slice(1000);
  EXPECT_TRUE(holds_range(more, 1, 10));

  arr.clear();  // a slice outlives changes to its source
  EXPECT_TRUE(holds_range(last3, 8, 10));
  push_range(last3, 11, 11);  // and is an owning array of its own
  EXPECT_TRUE(holds_range(last3, 8, 11));
}

TEST_F(OwningArrayTest, MoveLeavesTheSourceEmptyAndUsable) {
  push_range(arr, 1, 20);
  DataArray moved(std::move(arr));
  EXPECT_EQ(arr.count, 0);
  EXPECT_TRUE(holds_range(moved, 1, 20));

  push_range(arr, 5, 6);  // the moved-from array still works
  EXPECT_TRUE(holds_range(arr, 5, 6));

  DataArray target(180, 4, true);
  push_range(target, 100, 103);
  target = std::move(moved);
  EXPECT_TRUE(holds_range(target, 1, 20));
  EXPECT_EQ(moved.count, 0);
  DataArray& same = target;
  target = std::move(same);  // self-move keeps the contents
  EXPECT_TRUE(holds_range(target, 1, 20));
}

TEST(OwningArrayOtherSizes, WideTinyAndNonPositiveElements) {
  DataArray daily(252, 512, true);  // extended bars keep all 252 bytes, past the capacity
  unsigned char bar[252];
  for (int i = 0; i < 252; ++i) bar[i] = (unsigned char)(255 - i);
  for (int i = 0; i < 600; ++i) ASSERT_EQ(daily.push_back(bar), 0);
  for (int i = 0; i < daily.count; ++i) ASSERT_EQ(memcmp(daily.items[i], bar, 252), 0);

  DataArray tiny(1, 0, false);  // 1-byte elements are kept apart
  for (unsigned char c = 0; c < 100; ++c) ASSERT_EQ(tiny.push_back(&c), 0);
  tiny.pop_front(50);
  for (unsigned char c = 100; c < 150; ++c) ASSERT_EQ(tiny.push_back(&c), 0);
  for (int i = 0; i < tiny.count; ++i)
    EXPECT_EQ(*static_cast<unsigned char*>(tiny.items[i]), i + 50);

  DataArray none(0, 10, true);
  int x = 1;
  EXPECT_EQ(none.push_back(&x), -1);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(none.slice(5).count, 0);
}

class BorrowingArrayTest : public ::testing::Test {
 protected:
  Rec recs[6] = {make_rec(0), make_rec(1), make_rec(2), make_rec(3), make_rec(4), make_rec(5)};
  void* ptrs[6] = {&recs[0], &recs[1], &recs[2], &recs[3], &recs[4], &recs[5]};
};

TEST_F(BorrowingArrayTest, HoldsTheCallersPointers) {
  DataArray a(ptrs, 4, 180);
  EXPECT_FALSE(a.owns());
  ASSERT_EQ(a.count, 4);
  EXPECT_NE(a.items, ptrs);  // the pointer array is copied
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.items[i], ptrs[i]);
  ASSERT_EQ(a.push_back(&recs[5]), 0);
  EXPECT_EQ(a.items[4], (void*)&recs[5]);
  a.pop_front(2);
  EXPECT_EQ(a.items[0], (void*)&recs[2]);
  EXPECT_EQ(a.count, 3);

  DataArray s = a.slice(2);
  EXPECT_FALSE(s.owns());
  ASSERT_EQ(s.count, 2);
  EXPECT_EQ(s.items[0], (void*)&recs[3]);
  EXPECT_EQ(s.items[1], (void*)&recs[5]);
  a.clear();
  EXPECT_EQ(a.count, 0);
  EXPECT_TRUE(holds(&recs[3], 3));  // borrowed records are never touched
}

TEST_F(BorrowingArrayTest, EmptyOrInvalidSources) {
  DataArray empty(nullptr, 0, 180);
  DataArray no_pointers(nullptr, 5, 180);
  DataArray negative(ptrs, -1, 180);
  EXPECT_EQ(empty.count + no_pointers.count + negative.count, 0);
  EXPECT_EQ(empty.slice(3).count, 0);
  ASSERT_EQ(empty.push_back(&recs[0]), 0);
  EXPECT_EQ(empty.count, 1);
}

}  // namespace
