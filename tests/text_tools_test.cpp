// The exchange table, bar field names, KX::SymbolTools and KX::StringUtil.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

TEST(ExchangeTest, AliasesInAnyCaseAndCodes) {
  const struct {
    int code;
    std::vector<std::string> aliases;  // the first is the code's text
  } exchanges[] = {{1, {"SH", "SSE", "SHA", "XSHG"}},
                   {2, {"SZ", "SZSE", "SZA", "XSHE"}},
                   {3, {"HK"}},
                   {8, {"CFE", "CFFEX"}},
                   {9, {"SHF", "SHFE"}},
                   {10, {"DCE"}},
                   {11, {"CZC", "CZCE"}},
                   {12, {"INE"}},
                   {13, {"GFE", "GFEX"}},
                   {15, {"BJ", "BSE"}}};
  for (const auto& ex : exchanges) {
    EXPECT_STREQ(exchange_str(ex.code), ex.aliases[0].c_str());
    for (std::string alias : ex.aliases) {
      EXPECT_EQ(exchange_int(alias.c_str()), ex.code) << alias;
      for (size_t i = 0; i < alias.size(); i += 2) alias[i] = static_cast<char>(tolower(alias[i]));
      EXPECT_EQ(exchange_int(alias.c_str()), ex.code) << alias;
      for (char& c : alias) c = static_cast<char>(tolower(c));
      EXPECT_EQ(exchange_int(alias.c_str()), ex.code) << alias;
    }
  }
  for (int code : {0, 4, 5, 6, 7, 14, 16, 255, 256, -1}) {
    EXPECT_EQ(exchange_str(code), nullptr) << code;
  }
  for (const char* text :
       {"", "S", "SHX", "XSHGX", "SH.SZ", "CFFEXCFFEX", "1", "S H", "\xC3\xA9", "   "}) {
    EXPECT_EQ(exchange_int(text), 0) << text;
  }
  EXPECT_EQ(exchange_int(nullptr), 0);
  EXPECT_EQ(exchange_int(" sh"), 1);  // blanks around the text are ignored
  EXPECT_EQ(exchange_int("SZ\t "), 2);
}

TEST(BarFieldTest, NamesAndNumbers) {
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
  for (int n : {8, 9, 10, 11, 13, -1, 1000}) EXPECT_STREQ(bar_field_str(n), "") << n;
  for (const char* name : {"price", "clos", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(bar_field_int(name), 0);
  }
}

// Guard bytes behind the max_len + 1 bytes of the output catch any write past it.
TEST(ExtractSymbolTest, SplitsAtTheFirstDotWithinMaxLen) {
  const struct {
    const char* text;
    int max_len;
    int result;
    const char* symbol;
    int exchange;  // 99: left alone
  } cases[] = {{"600000.SH", 29, 2, "600000", 1},
               {"000001.sz", 29, 2, "000001", 2},
               {"IF2301.CFFEX", 9, 2, "IF2301", 8},
               {"000001.2", 29, 2, "000001", 2},  // a numeric suffix is the code
               {"600000.5", 29, 2, "600000", 5},
               {"X.300", 29, 2, "X", 300 & 0xff},
               {"X.99999999999999999999", 29, 2, "X", 255},  // low 8 bits, no overflow
               {"600000.XX", 29, 2, "600000", 0},
               {"600000.", 29, 2, "600000", 0},
               {"rb2305", 29, 1, "rb2305", 99},
               {"A.B.SH", 29, 2, "A", 0},
               {"1234567890123.SH", 9, 2, "123456789", 1},
               {"1234567890123", 9, 1, "123456789", 99},
               {"123456789", 9, 1, "123456789", 99},
               {"600000.SH", 0, 2, "", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[48];
    memset(buf, '#', sizeof buf);
    unsigned char exchange = 99;
    EXPECT_EQ(KX::SymbolTools::extract_symbol(buf, c.max_len, &exchange, c.text), c.result);
    EXPECT_STREQ(buf, c.symbol);
    EXPECT_EQ(exchange, c.exchange);
    for (size_t i = static_cast<size_t>(c.max_len) + 1; i < sizeof buf; ++i) {
      ASSERT_EQ(buf[i], '#') << "byte " << i;
    }
  }
  char buf[30] = "#";
  unsigned char exchange = 0;
  EXPECT_EQ(KX::SymbolTools::extract_symbol(buf, 9, &exchange, nullptr), -1);
  EXPECT_EQ(KX::SymbolTools::extract_symbol(nullptr, 9, &exchange, "600000.SH"), -1);
  EXPECT_EQ(KX::SymbolTools::extract_symbol(buf, -1, &exchange, "600000.SH"), -1);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(KX::SymbolTools::extract_symbol(buf, 29, nullptr, "600000.SH"), 2);
  EXPECT_STREQ(buf, "600000");
}

TEST(StringUtilTest, EndsWithEqualsAndCopyCut) {
  using KX::StringUtil;
  EXPECT_TRUE(StringUtil::endswith_c("plugin.so", ".so"));
  EXPECT_TRUE(StringUtil::endswith_c("abc", ""));
  EXPECT_TRUE(StringUtil::endswith_c("abc", "abc"));
  EXPECT_FALSE(StringUtil::endswith_c("abc", "xabc"));
  EXPECT_FALSE(StringUtil::endswith_c("plugin.SO", ".so"));
  EXPECT_FALSE(StringUtil::endswith_c(nullptr, "a"));
  EXPECT_FALSE(StringUtil::endswith_c("a", nullptr));

  EXPECT_TRUE(StringUtil::iequals("Tick", "tICK"));
  EXPECT_TRUE(StringUtil::iequals("", ""));
  EXPECT_FALSE(StringUtil::iequals("tick", "tick2"));
  EXPECT_FALSE(StringUtil::iequals("tick2", "tick"));
  EXPECT_FALSE(StringUtil::iequals("[", "{"));  // differ by 0x20 but are not letters
  EXPECT_FALSE(StringUtil::iequals(nullptr, ""));
  EXPECT_FALSE(StringUtil::iequals("", nullptr));

  char buf[8];
  memset(buf, '#', sizeof buf);
  StringUtil::copy_cut(buf, "abcdefgh", 4);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], '#');
  StringUtil::copy_cut(buf, nullptr, 4);
  EXPECT_STREQ(buf, "");
  memset(buf, '#', sizeof buf);
  StringUtil::copy_cut(buf, "ab", -1);
  EXPECT_EQ(buf[0], '#');
  StringUtil::copy_cut(nullptr, "ab", 4);  // nothing happens
}

}  // namespace
