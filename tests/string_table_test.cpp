// KX::StringTable: byte-string keys copied into the key pool.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "quotelab/utilcore.h"

namespace {

// Opens the protected pool and table the way derived classes (the snapshot filter) use them.
class OpenStringTable : public KX::StringTable {
 public:
  using KX::StringTable::StringTable;
  epool_s* pool() const { return key_pool; }
  table_s* raw() const { return table; }
};

void* V(intptr_t v) {
  return (void*)v;
}

class StringTableTest : public ::testing::Test {
 protected:
  OpenStringTable st;
};

TEST_F(StringTableTest, KeysAreCopiedIntoThePoolWithATrailingNul) {
  char key[8] = "600000";
  ASSERT_EQ(st.insert_directly(key, 6, V(1)), 0);
  table_node_s* n = table_find(st.raw(), "600000", 6);
  ASSERT_NE(n, nullptr);
  EXPECT_NE(n->key, (void*)key);
  EXPECT_STREQ(static_cast<const char*>(n->key), "600000");
  memcpy(key, "000001", 6);  // the caller's buffer is free for reuse
  EXPECT_EQ(st.find("600000", 6), V(1));
  EXPECT_EQ(st.find("000001", 6), nullptr);

  ASSERT_EQ(st.insert_directly("rb2410", 0, V(5)), 0);  // length 0 means a text
  EXPECT_EQ(st.find("rb2410", 6), V(5));
  EXPECT_EQ(st.find("rb2410", 0), V(5));
  EXPECT_EQ(st.find("RB2410", 0), nullptr);  // exact bytes

  EXPECT_EQ(st.insert_directly(nullptr, 3, V(1)), -1);
  EXPECT_EQ(st.insert_directly("abc", -1, V(1)), -1);
  EXPECT_EQ(st.find(nullptr, 3), nullptr);
  EXPECT_EQ(st.length(), 2);
}

TEST_F(StringTableTest, LeadingZeroBytesAndExchangesKeepKeysApart) {
  // Keys of an exchange byte then the symbol, as the snapshot filter builds them.
  const std::string keys[] = {std::string(1, '\1') + "600000", std::string(1, '\2') + "600000",
                              std::string(1, '\0') + "600000"};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(st.insert_directly(keys[i].data(), 7, V(i + 1)), 0);
  EXPECT_EQ(st.length(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(st.find(keys[i].data(), 7), V(i + 1));
  EXPECT_EQ(st.find((std::string(1, '\0') + "600001").data(), 7), nullptr);
}

TEST_F(StringTableTest, PresentKeyChangesNothingAndTakesNoPoolMemory) {
  ASSERT_EQ(st.insert_directly("IF2406", 6, V(1)), 0);
  const size_t footprint = epool_footprint(st.pool());
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(st.insert_directly("IF2406", 6, V(2)), 1);
  EXPECT_EQ(epool_footprint(st.pool()), footprint);
  EXPECT_EQ(st.find("IF2406", 6), V(1));
  EXPECT_EQ(st.length(), 1);
}

TEST_F(StringTableTest, ManyKeysGrowTheTable) {
  for (int i = 0; i < 20000; ++i) {
    const std::string k = std::to_string(i * 13);
    ASSERT_EQ(st.insert_directly(k.data(), (int)k.size(), V(i + 1)), 0);
  }
  EXPECT_EQ(st.length(), 20000);
  for (int i = 0; i < 20000; ++i) {
    const std::string k = std::to_string(i * 13);
    ASSERT_EQ(st.find(k.data(), (int)k.size()), V(i + 1));
  }
}

TEST(StringTableReset, ClearingTableAndPoolStartsOver) {
  // What a derived class does to forget everything: clear the table, then reset the pool.
  OpenStringTable st(16);
  for (int i = 0; i < 1000; ++i) {
    const std::string k = "key" + std::to_string(i);
    ASSERT_EQ(st.insert_directly(k.data(), (int)k.size(), V(i + 1)), 0);
  }
  table_clear(st.raw());
  epool_reset(st.pool());
  EXPECT_EQ(st.length(), 0);
  EXPECT_EQ(st.find("key1", 4), nullptr);
  ASSERT_EQ(st.insert_directly("key1", 4, V(9)), 0);
  EXPECT_EQ(st.find("key1", 4), V(9));
}

}  // namespace
