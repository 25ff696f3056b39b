// The exchange table, bar field names, KX::SymbolTools and KX::StringUtil.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

// ---- exchange table ------------------------------------------------------------------------

struct ExchangeCase {
  int code;
  const char* text;
  std::vector<const char*> aliases;
};

const ExchangeCase kExchanges[] = {
    {1, "SH", {"SH", "SSE", "SHA", "XSHG"}},
    {2, "SZ", {"SZ", "SZSE", "SZA", "XSHE"}},
    {3, "HK", {"HK"}},
    {8, "CFE", {"CFE", "CFFEX"}},
    {9, "SHF", {"SHF", "SHFE"}},
    {10, "DCE", {"DCE"}},
    {11, "CZC", {"CZC", "CZCE"}},
    {12, "INE", {"INE"}},
    {13, "GFE", {"GFE", "GFEX"}},
    {15, "BJ", {"BJ", "BSE"}},
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string mixed(std::string s) {
  for (size_t i = 0; i < s.size(); i += 2) s[i] = static_cast<char>(tolower(s[i]));
  return s;
}

TEST(ExchangeTest, EveryAliasInAnyCaseGivesItsCode) {
  for (const ExchangeCase& ex : kExchanges) {
    for (const char* alias : ex.aliases) {
      EXPECT_EQ(exchange_int(alias), ex.code) << alias;
      EXPECT_EQ(exchange_int(lower(alias).c_str()), ex.code) << alias;
      EXPECT_EQ(exchange_int(mixed(alias).c_str()), ex.code) << alias;
    }
  }
}

TEST(ExchangeTest, CodesGiveTheirFirstText) {
  for (const ExchangeCase& ex : kExchanges) {
    EXPECT_STREQ(exchange_str(ex.code), ex.text);
    EXPECT_EQ(exchange_int(exchange_str(ex.code)), ex.code);
  }
  for (int code : {0, 4, 5, 6, 7, 14, 16, 255, 256, -1}) {
    EXPECT_EQ(exchange_str(code), nullptr) << code;
  }
}

TEST(ExchangeTest, UnknownTextsGiveZero) {
  for (const char* text :
       {"", "S", "SHX", "XSHGX", "SH.SZ", "CFFEXCFFEX", "1", "S H", "\xC3\xA9"}) {
    EXPECT_EQ(exchange_int(text), 0) << text;
  }
  EXPECT_EQ(exchange_int(nullptr), 0);
}

TEST(ExchangeTest, BlanksAroundTheTextAreIgnored) {
  EXPECT_EQ(exchange_int(" sh"), 1);
  EXPECT_EQ(exchange_int("SZ\t "), 2);
  EXPECT_EQ(exchange_int("   "), 0);
}

// ---- bar field names -----------------------------------------------------------------------

TEST(BarFieldTest, NamesAndNumbersMatch) {
  const std::pair<int, const char*> fields[] = {
      {0, "none"},   {1, "open"},     {2, "high"},          {3, "low"},         {4, "close"},
      {5, "volume"}, {6, "turnover"}, {7, "open_interest"}, {12, "num_trades"},
  };
  for (const auto& f : fields) {
    EXPECT_STREQ(bar_field_str(f.first), f.second);
    EXPECT_EQ(bar_field_int(f.second), f.first);
  }
  EXPECT_EQ(bar_field_int("CLOSE"), 4);
  EXPECT_EQ(bar_field_int("Open_Interest"), 7);
}

TEST(BarFieldTest, UnknownGivesZeroAndEmptyName) {
  for (int n : {8, 9, 10, 11, 13, -1, 1000}) EXPECT_STREQ(bar_field_str(n), "") << n;
  EXPECT_EQ(bar_field_int("price"), 0);
  EXPECT_EQ(bar_field_int("clos"), 0);
  EXPECT_EQ(bar_field_int(""), 0);
  EXPECT_EQ(bar_field_int(nullptr), 0);
}

// ---- SymbolTools::extract_symbol -----------------------------------------------------------

class ExtractSymbolTest : public ::testing::Test {
 protected:
  // Guard bytes behind the max_len + 1 bytes of `out` catch any write past it.
  int extract(const char* text, int max_len) {
    memset(buf_, '#', sizeof buf_);
    const int r = KX::SymbolTools::extract_symbol(buf_, max_len, &exchange_, text);
    if (max_len >= 0) {
      for (size_t i = static_cast<size_t>(max_len) + 1; i < sizeof buf_; ++i) {
        EXPECT_EQ(buf_[i], '#') << "byte " << i << " written for max_len " << max_len;
      }
    }
    return r;
  }

  char buf_[48];
  unsigned char exchange_ = 99;
};

TEST_F(ExtractSymbolTest, SplitsTextSuffix) {
  EXPECT_EQ(extract("600000.SH", 29), 2);
  EXPECT_STREQ(buf_, "600000");
  EXPECT_EQ(exchange_, 1);
  EXPECT_EQ(extract("000001.sz", 29), 2);
  EXPECT_EQ(exchange_, 2);
  EXPECT_EQ(extract("IF2301.CFFEX", 9), 2);
  EXPECT_STREQ(buf_, "IF2301");
  EXPECT_EQ(exchange_, 8);
}

TEST_F(ExtractSymbolTest, TakesNumericSuffixAsTheCode) {
  EXPECT_EQ(extract("000001.2", 29), 2);
  EXPECT_EQ(exchange_, 2);
  EXPECT_EQ(extract("600000.5", 29), 2);
  EXPECT_EQ(exchange_, 5);
  EXPECT_EQ(extract("X.300", 29), 2);
  EXPECT_EQ(exchange_, 300 & 0xff);
  EXPECT_EQ(extract("X.99999999999999999999", 29), 2);  // low 8 bits, no overflow
  EXPECT_EQ(exchange_, 255);                            // (10^20 - 1) mod 256
}

TEST_F(ExtractSymbolTest, UnknownOrEmptySuffixGivesZero) {
  EXPECT_EQ(extract("600000.XX", 29), 2);
  EXPECT_EQ(exchange_, 0);
  EXPECT_EQ(extract("600000.", 29), 2);
  EXPECT_STREQ(buf_, "600000");
  EXPECT_EQ(exchange_, 0);
}

TEST_F(ExtractSymbolTest, WithoutSuffixLeavesExchangeAlone) {
  EXPECT_EQ(extract("rb2305", 29), 1);
  EXPECT_STREQ(buf_, "rb2305");
  EXPECT_EQ(exchange_, 99);
}

TEST_F(ExtractSymbolTest, SplitsAtTheFirstDot) {
  EXPECT_EQ(extract("A.B.SH", 29), 2);
  EXPECT_STREQ(buf_, "A");
  EXPECT_EQ(exchange_, 0);
}

TEST_F(ExtractSymbolTest, CutsAtMaxLen) {
  EXPECT_EQ(extract("1234567890123.SH", 9), 2);
  EXPECT_STREQ(buf_, "123456789");
  EXPECT_EQ(exchange_, 1);
  EXPECT_EQ(extract("1234567890123", 9), 1);
  EXPECT_STREQ(buf_, "123456789");
  EXPECT_EQ(extract("123456789", 9), 1);
  EXPECT_STREQ(buf_, "123456789");
  EXPECT_EQ(extract("600000.SH", 0), 2);
  EXPECT_STREQ(buf_, "");
  EXPECT_EQ(exchange_, 1);
}

TEST_F(ExtractSymbolTest, RefusesNullAndNegativeLength) {
  EXPECT_EQ(KX::SymbolTools::extract_symbol(buf_, 9, &exchange_, nullptr), -1);
  EXPECT_EQ(KX::SymbolTools::extract_symbol(nullptr, 9, &exchange_, "600000.SH"), -1);
  EXPECT_EQ(extract("600000.SH", -1), -1);
  EXPECT_EQ(buf_[0], '#');
  EXPECT_EQ(KX::SymbolTools::extract_symbol(buf_, 29, nullptr, "600000.SH"), 2);
  EXPECT_STREQ(buf_, "600000");
}

// ---- StringUtil ----------------------------------------------------------------------------

TEST(StringUtilTest, EndsWith) {
  EXPECT_TRUE(KX::StringUtil::endswith_c("plugin.so", ".so"));
  EXPECT_TRUE(KX::StringUtil::endswith_c("abc", ""));
  EXPECT_TRUE(KX::StringUtil::endswith_c("abc", "abc"));
  EXPECT_FALSE(KX::StringUtil::endswith_c("abc", "xabc"));
  EXPECT_FALSE(KX::StringUtil::endswith_c("plugin.SO", ".so"));
  EXPECT_FALSE(KX::StringUtil::endswith_c(nullptr, "a"));
  EXPECT_FALSE(KX::StringUtil::endswith_c("a", nullptr));
}

TEST(StringUtilTest, EqualsIgnoringCase) {
  EXPECT_TRUE(KX::StringUtil::iequals("Tick", "tICK"));
  EXPECT_TRUE(KX::StringUtil::iequals("", ""));
  EXPECT_FALSE(KX::StringUtil::iequals("tick", "tick2"));
  EXPECT_FALSE(KX::StringUtil::iequals("tick2", "tick"));
  EXPECT_FALSE(KX::StringUtil::iequals("[", "{"));  // differ by 0x20 but are not letters
  EXPECT_FALSE(KX::StringUtil::iequals(nullptr, ""));
  EXPECT_FALSE(KX::StringUtil::iequals("", nullptr));
}

TEST(StringUtilTest, CopyCutNeverWritesPastMaxLen) {
  char buf[8];
  memset(buf, '#', sizeof buf);
  KX::StringUtil::copy_cut(buf, "abcdefgh", 4);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], '#');
  KX::StringUtil::copy_cut(buf, "ab", 4);
  EXPECT_STREQ(buf, "ab");
  KX::StringUtil::copy_cut(buf, nullptr, 4);
  EXPECT_STREQ(buf, "");
  memset(buf, '#', sizeof buf);
  KX::StringUtil::copy_cut(buf, "ab", -1);
  EXPECT_EQ(buf[0], '#');
  KX::StringUtil::copy_cut(nullptr, "ab", 4);  // nothing happens
}

}  // namespace
