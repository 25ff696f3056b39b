// Message items: payload copies, header fields, argument checks and reference counts changed
// from several threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace {

class MsgItemTest : public ::testing::Test {
 protected:
  void SetUp() override { live_at_start_ = msg_item_live_count(); }
  // Every test frees what it allocates: the live count must be back where it started.
  void TearDown() override { EXPECT_EQ(msg_item_live_count(), live_at_start_); }

  int64_t live_at_start_ = 0;
};

TEST_F(MsgItemTest, CopiesPayloadAndRecordsHeader) {
  _L2Snapshot snap;
  std::memset(&snap, 0, sizeof snap);
  snap.type = 0xF0;  // a type byte above 127 is not sign-extended
  std::strcpy(snap.symbol, "600000");
  msg_item_s* item = msg_item_alloc(&snap, sizeof snap);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(msg_item_live_count(), live_at_start_ + 1);
  EXPECT_EQ(msg_item_refcount(item), 1);
  EXPECT_EQ(msg_item_data_len(item), static_cast<int>(sizeof snap));
  EXPECT_EQ(item->ext_len, 0);
  void* data = msg_item_data(item);
  EXPECT_EQ(static_cast<char*>(data), reinterpret_cast<char*>(item) + 32);
  EXPECT_EQ(std::memcmp(data, &snap, sizeof snap), 0);
  static_cast<unsigned char*>(data)[0] = 7;  // the type is taken at allocation
  EXPECT_EQ(msg_item_type(item), 0xF0);
  EXPECT_EQ(msg_item_decref_release(item), 0);

  for (int n : {0, 1, 15, 17, 92, 106, 180, 252}) {
    msg_item_s* other = msg_item_alloc(&snap, n);
    ASSERT_NE(other, nullptr) << n;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(msg_item_data(other)) % 16, 0u) << n;
    EXPECT_EQ(msg_item_data_len(other), n);
    EXPECT_EQ(msg_item_type(other), n ? 0xF0 : 0);
    msg_item_decref_release(other);
  }
  msg_item_s* from_null = msg_item_alloc(nullptr, 0);  // no payload needs no source
  ASSERT_TRUE(from_null && msg_item_data_len(from_null) == 0 && msg_item_data(from_null));
  msg_item_decref_release(from_null);
}

TEST_F(MsgItemTest, BadArgumentsAreRefused) {
  const char byte = 2;
  for (int len : {-1, INT32_MIN}) EXPECT_EQ(msg_item_alloc(&byte, len), nullptr) << len;
  for (int len : {1, -5}) EXPECT_EQ(msg_item_alloc(nullptr, len), nullptr) << len;
  EXPECT_EQ(msg_item_live_count(), live_at_start_);  // nothing allocated
  EXPECT_EQ(msg_item_addref(nullptr, 1), -1);
  EXPECT_EQ(msg_item_decref_release(nullptr), -1);
  EXPECT_EQ(msg_item_refcount(nullptr), -1);
  EXPECT_EQ(msg_item_data(nullptr), nullptr);
  EXPECT_EQ(msg_item_data_len(nullptr), -1);
  EXPECT_EQ(msg_item_type(nullptr), -1);

  // An item whose count is already 0 (forged in a buffer that is not heap memory) must not be
  // freed again by a stray release.
  alignas(16) unsigned char block[64] = {};
  auto* forged = reinterpret_cast<msg_item_s*>(block);
  EXPECT_EQ(msg_item_decref_release(forged), -1);
  EXPECT_EQ(msg_item_addref(forged, 1), -1);
  EXPECT_EQ(forged->refcount, 0);
}

TEST_F(MsgItemTest, CountsRiseAndFallAndFreeAtZero) {
  const char byte = 3;
  msg_item_s* item = msg_item_alloc(&byte, 1);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(msg_item_addref(item, 1), 2);
  EXPECT_EQ(msg_item_addref(item, 3), 5);
  EXPECT_EQ(msg_item_addref(item, 0), 5);
  EXPECT_EQ(msg_item_addref(item, -1), -1);         // would drop a reference without freeing
  EXPECT_EQ(msg_item_addref(item, INT32_MAX), -1);  // would wrap the count
  for (int expected = 4; expected >= 1; --expected) {
    EXPECT_EQ(msg_item_decref_release(item), expected);
  }
  EXPECT_EQ(msg_item_live_count(), live_at_start_ + 1);
  EXPECT_EQ(msg_item_decref_release(item), 0);
}

// Four threads take and drop references on a few shared items many times: the counts must end
// where they started. Then each drops the reference it was handed on every item: exactly one
// of them frees it, whichever comes last, and the payload stays readable until then.
TEST_F(MsgItemTest, CountsChangedFromFourThreadsBalanceAndTheLastHolderFrees) {
  constexpr int kThreads = 4, kItems = 2000, kShared = 8, kRounds = 20000;
  auto on_threads = [](const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    for (auto& th : threads) th.join();
  };
  std::vector<msg_item_s*> items;
  for (int i = 0; i < kItems; ++i) {
    items.push_back(msg_item_alloc(&i, sizeof i));
    ASSERT_NE(items.back(), nullptr);
    msg_item_addref(items.back(), kThreads - 1);  // one reference per thread
  }
  on_threads([&](int t) {
    for (int r = 0; r < kRounds; ++r) {
      msg_item_s* item = items[(r + t) % kShared];
      const int n = 1 + (r % 3);
      msg_item_addref(item, n);
      for (int k = 0; k < n; ++k) msg_item_decref_release(item);
    }
  });
  for (int i = 0; i < kShared; ++i) EXPECT_EQ(msg_item_refcount(items[i]), kThreads) << i;
  std::vector<long> sums(kThreads, 0);
  on_threads([&](int t) {
    for (msg_item_s* item : items) {
      int value;
      std::memcpy(&value, msg_item_data(item), sizeof value);
      sums[t] += value;
      msg_item_decref_release(item);
    }
  });
  for (long sum : sums) EXPECT_EQ(sum, static_cast<long>(kItems) * (kItems - 1) / 2);
}

}  // namespace
