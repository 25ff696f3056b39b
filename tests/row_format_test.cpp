// Row formatters: each row matches its header twin and reads back through the CSV reader, by
// the column names DataCsvReader binds, into the same record.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

// The header names DataCsvReader accepts for the fields these rows carry, in the order it
// tries them; the first name the file has wins.
struct Accepted {
  const char* field;
  std::vector<const char*> names;
};

const std::vector<Accepted>& accepted_names() {
  static const std::vector<Accepted> lists = [] {
    std::vector<Accepted> l = {
        {"instrument", {"instrument", "symbol", "instr", "code"}},
        {"trading_day", {"trading_day", "tradingday", "trading_date", "tradingdate"}},
        {"action_day", {"action_day", "actionday"}},
        {"time", {"time"}},
        {"open", {"open", "open_price", "openprice", "openpx", "open_px"}},
        {"high",
         {"high", "high_price", "highprice", "highpx", "high_px", "highest", "highest_price",
          "highestprice"}},
        {"low",
         {"low", "low_price", "lowprice", "lowpx", "low_px", "lowest", "lowest_price",
          "lowestprice"}},
        {"last", {"last", "last_price", "lastprice", "lastpx", "last_px", "price"}},
        {"volume", {"volume", "vol"}},
        {"turnover", {"turnover", "amount", "money"}},
        {"upper_limit", {"upper_limit", "upperlimit", "high_limit", "highlimit", "upper"}},
        {"lower_limit", {"lower_limit", "lowerlimit", "lower"}},
        {"close", {"close", "close_price", "closeprice", "closepx", "close_px"}},
        {"pre_close", {"pre_close", "preclose"}},
        {"pre_settle", {"pre_settle", "presettle"}},
        {"settle", {"settle", "settle_price", "settleprice"}},
        {"num_trades", {"num_trades", "deal_number"}},
        {"iopv", {"iopv"}},
        {"turn", {"turn"}},
        {"open_interest", {"open_intl", "open_interest", "open_int"}},
        {"pre_open_interest",
         {"pre_open_interest", "preopeninterest", "pre_open_intl", "pre_open_int"}},
    };
    static std::vector<std::string> level_names;  // storage for the generated names
    level_names.reserve(40);
    for (const char* side : {"ask_price", "ask_volume", "bid_price", "bid_volume"}) {
      for (int i = 1; i <= 10; ++i) level_names.push_back(side + std::to_string(i));
    }
    for (const std::string& name : level_names) l.push_back({name.c_str(), {name.c_str()}});
    return l;
  }();
  return lists;
}

const Accepted* find_field(const std::string& field) {
  for (const Accepted& a : accepted_names()) {
    if (field == a.field) return &a;
  }
  return nullptr;
}

// Bitwise equality, so that -0.0 and 0.0 differ; any NaN equals any NaN.
bool same_double(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return memcmp(&a, &b, sizeof a) == 0;
}

// A header line and one row, opened with the platform CSV reader, with column lookup as
// DataCsvReader does it.
class ReadBack {
 public:
  ReadBack(const std::string& header, const std::string& row, char delimiter = ',') {
    const std::string text = header + row;
    csv_ = csv_open_mem(text.data(), text.size(), delimiter, 0);
    if (csv_ && csv_next(csv_) != 0) {
      csv_close(csv_);
      csv_ = nullptr;
    }
  }
  ~ReadBack() { csv_close(csv_); }
  ReadBack(const ReadBack&) = delete;
  ReadBack& operator=(const ReadBack&) = delete;

  bool ok() const { return csv_ != nullptr; }
  csv_file* csv() const { return csv_; }

  int column(const char* field) const {
    const Accepted* a = find_field(field);
    if (!a) return -1;
    for (const char* name : a->names) {
      const int idx = csv_find_idx(csv_, name);
      if (idx >= 0) return idx;
    }
    return -1;
  }
  std::string text(const char* field) const {
    const char* s = csv_get_byidx(csv_, column(field));
    return s ? s : "<missing>";
  }
  double real(const char* field) const { return csv_get_double_byidx(csv_, column(field)); }
  int32_t i32(const char* field) const { return csv_get_int32_byidx(csv_, column(field)); }
  int64_t i64(const char* field) const { return csv_get_int64_byidx(csv_, column(field)); }
  // Splits the instrument text the way DataCsvReader does.
  void instrument(char* symbol, int max_len, unsigned char* exchange) const {
    *exchange = 0;
    KX::SymbolTools::extract_symbol(symbol, max_len, exchange, text("instrument").c_str());
  }

 private:
  csv_file* csv_ = nullptr;
};

using Formatter = int (*)(char*, int, const void*, char);
using HeaderFormatter = int (*)(char*, int, char);

std::string format(Formatter f, const void* rec, char delimiter = ',') {
  char buf[4000];
  const int n = f(buf, sizeof buf, rec, delimiter);
  EXPECT_GT(n, 0);
  EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string header(HeaderFormatter f, char delimiter = ',') {
  char buf[4000];
  const int n = f(buf, sizeof buf, delimiter);
  EXPECT_GT(n, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int snapshot_row(char* b, int n, const void* r, char d) {
  return l2snapshot_to_csv(b, n, static_cast<const _L2Snapshot*>(r), d);
}
int index_row(char* b, int n, const void* r, char d) {
  return mdindex_to_csv(b, n, static_cast<const _MDIndex*>(r), d);
}
int bar_row(char* b, int n, const void* r, char d) {
  return bar_to_csv(b, n, static_cast<const _BarData*>(r), d);
}

_L2Snapshot sample_snapshot() {
  _L2Snapshot s;
  memset(&s, 0, sizeof s);
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = 1;
  strcpy(s.symbol, "600000");
  s.action_day = 20230104;
  s.time = 93000500;
  s.open = 10.01;
  s.high = 10.5;
  s.low = 9.87;
  s.last = 10.2;
  s.volume = 123456789012LL;
  s.turnover = 1234567890.1234;
  s.upper_limit = 11.22;
  s.lower_limit = 9.18;
  s.pre_close = 0.1 + 0.2;  // not a short decimal
  s.pre_settle = 1.0 / 3.0;
  s.settle = -0.0;
  s.iopv = 1e-7;
  s.num_trades = INT32_MAX;
  s.open_interest = INT32_MIN;
  s.pre_open_interest = -1;
  s.trading_day = 20230105;
  for (int i = 0; i < 10; ++i) {
    s.ask_price[i] = 10.21 + 0.01 * i;  // computed: some are short decimals, some not
    s.ask_volume[i] = 100 * (i + 1);
    s.bid_price[i] = 10.19 - 0.01 * i;
    s.bid_volume[i] = 300 * (i + 1) + 7;
  }
  s.bid_price[8] = 5e-324;
  s.bid_price[9] = DBL_MAX;
  s.ask_price[9] = -123456789.987654321;
  return s;
}

_BarData sample_bar() {
  _BarData b;
  memset(&b, 0, sizeof b);
  b.type = QL_RECORD_BAR;
  b.exchange = 9;
  strcpy(b.symbol, "rb2305");
  b.action_day = 20230104;
  b.time = 210100000;
  b.open = 4012;
  b.high = 4020.5;
  b.low = 4001.25;
  b.close = 4015.125;
  b.turnover = 987654321.0987;
  b.volume = INT64_MAX;
  b.pre_close = 0.7;
  b.open_interest = 1234567;
  b.trading_day = 20230105;
  b.num_trades = 42;
  b.iopv = 2.0 / 3.0;
  b.turn = 0.0123456789012345;
  return b;
}

_MDIndex sample_index() {
  _MDIndex x;
  memset(&x, 0, sizeof x);
  x.type = QL_RECORD_MDINDEX;
  x.exchange = 1;
  strcpy(x.symbol, "000300");
  x.action_day = 20230105;
  x.time = 150000000;
  x.pre_close = 3887.8939;
  x.open = 3890.1;
  x.high = 3901.55;
  x.low = 3880.0001;
  x.last = 3899.99;
  x.close = 3899.9876543;
  x.volume = INT64_MIN;
  x.turnover = 123456789012.5;
  x.trading_day = 20230105;
  return x;
}

std::vector<std::string> split_header(const std::string& line, char delimiter) {
  std::vector<std::string> names;
  csv_file* h = csv_open_mem(line.data(), line.size(), delimiter, 0);
  for (int i = 0; i < csv_column_count(h); ++i) names.emplace_back(csv_column_name(h, i));
  csv_close(h);
  return names;
}

// ---- header twins --------------------------------------------------------------------------

struct FormatCase {
  const char* name;
  Formatter row;
  HeaderFormatter header;
  const void* (*record)();
  size_t columns;
};

const void* snapshot_record() {
  static const _L2Snapshot s = sample_snapshot();
  return &s;
}
const void* bar_record() {
  static const _BarData b = sample_bar();
  return &b;
}
const void* index_record() {
  static const _MDIndex x = sample_index();
  return &x;
}

class RowFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RowFormatTest, RowHasExactlyTheHeadersColumns) {
  const FormatCase& c = GetParam();
  const std::string head = header(c.header);
  const std::string row = format(c.row, c.record());
  ASSERT_EQ(head.substr(head.size() - 2), "\r\n");
  ASSERT_EQ(row.substr(row.size() - 2), "\r\n");
  const std::vector<std::string> names = split_header(head, ',');
  EXPECT_EQ(names.size(), c.columns);
  ReadBack rb(head, row);
  ASSERT_TRUE(rb.ok());
  EXPECT_EQ(csv_field_count(rb.csv()), static_cast<int>(names.size()));
  EXPECT_NE(csv_next(rb.csv()), 0);  // exactly one row
}

// Every column binds a field of DataCsvReader, to itself and not to a column before it.
TEST_P(RowFormatTest, EveryHeaderNameBindsItsOwnField) {
  const FormatCase& c = GetParam();
  const std::string head = header(c.header);
  ReadBack rb(head, format(c.row, c.record()));
  ASSERT_TRUE(rb.ok());
  const std::vector<std::string> names = split_header(head, ',');
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_NE(find_field(names[i]), nullptr) << names[i] << " binds no field";
    EXPECT_EQ(rb.column(names[i].c_str()), static_cast<int>(i)) << names[i];
  }
}

TEST_P(RowFormatTest, WorksWithOtherDelimiters) {
  const FormatCase& c = GetParam();
  for (char d : {';', '\t', '|', ' '}) {
    const std::string head = header(c.header, d);
    const std::string row = format(c.row, c.record(), d);
    ReadBack rb(head, row, d);
    ASSERT_TRUE(rb.ok()) << d;
    EXPECT_EQ(csv_field_count(rb.csv()), static_cast<int>(c.columns)) << d;
    std::string swapped = row;
    for (char& ch : swapped) ch = ch == d ? ',' : ch;
    EXPECT_EQ(swapped, format(c.row, c.record(), ',')) << "delimiter " << d;
  }
}

// Nothing lands past `size`; a cut row is NUL-terminated and reported as -1.
TEST_P(RowFormatTest, NeverWritesPastSize) {
  const FormatCase& c = GetParam();
  const std::string full = format(c.row, c.record());
  const std::string head = header(c.header);
  constexpr char kGuard = '\x5A';
  std::vector<char> buf(full.size() + 64);
  for (int size = 0; size <= static_cast<int>(full.size()) + 2; ++size) {
    std::fill(buf.begin(), buf.end(), kGuard);
    const int n = c.row(buf.data(), size, c.record(), ',');
    for (size_t i = static_cast<size_t>(size); i < buf.size(); ++i) {
      ASSERT_EQ(buf[i], kGuard) << "size " << size << " wrote byte " << i;
    }
    if (size > static_cast<int>(full.size())) {
      EXPECT_EQ(n, static_cast<int>(full.size()));
      EXPECT_EQ(std::string(buf.data()), full);
    } else {
      EXPECT_EQ(n, -1) << size;
      if (size > 0) {
        EXPECT_EQ(std::string(buf.data()), full.substr(0, size - 1));
      }
    }
  }
  std::fill(buf.begin(), buf.end(), kGuard);
  EXPECT_EQ(c.header(buf.data(), 10, ','), -1);
  EXPECT_EQ(std::string(buf.data()), head.substr(0, 9));
  EXPECT_EQ(buf[10], kGuard);
}

TEST_P(RowFormatTest, RefusesNullAndUnusableDelimiters) {
  const FormatCase& c = GetParam();
  char buf[4000];
  EXPECT_EQ(c.row(nullptr, 100, c.record(), ','), -1);
  EXPECT_EQ(c.row(buf, 100, nullptr, ','), -1);
  EXPECT_EQ(c.header(nullptr, 100, ','), -1);
  for (char d : {'.', '-', '+', '5', 'e', 'S', '"', '\n', '\r', '\0'}) {
    buf[0] = 'x';
    EXPECT_EQ(c.row(buf, sizeof buf, c.record(), d), -1) << d;
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(c.header(buf, sizeof buf, d), -1) << d;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RowFormatTest,
    ::testing::Values(FormatCase{"Snapshot", snapshot_row, l2snapshot_csv_header, snapshot_record,
                                 59},
                      FormatCase{"Bar", bar_row, bar_csv_header, bar_record, 15},
                      FormatCase{"Index", index_row, mdindex_csv_header, index_record, 12}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// ---- reading back --------------------------------------------------------------------------

// The values are copied first: packed record fields may be misaligned for a reference.
#define EXPECT_SAME_DOUBLE(a, b) EXPECT_PRED2(same_double, double(a), double(b))

TEST(RowReadBackTest, SnapshotReadsBackFieldByField) {
  const _L2Snapshot s = sample_snapshot();
  ReadBack rb(header(l2snapshot_csv_header), format(snapshot_row, &s));
  ASSERT_TRUE(rb.ok());
  char symbol[30];
  unsigned char exchange;
  rb.instrument(symbol, 29, &exchange);
  EXPECT_STREQ(symbol, s.symbol);
  EXPECT_EQ(exchange, s.exchange);
  EXPECT_EQ(rb.i32("trading_day"), +s.trading_day);
  EXPECT_EQ(rb.i32("action_day"), +s.action_day);
  EXPECT_EQ(rb.i32("time"), +s.time);
  EXPECT_SAME_DOUBLE(rb.real("open"), s.open);
  EXPECT_SAME_DOUBLE(rb.real("high"), s.high);
  EXPECT_SAME_DOUBLE(rb.real("low"), s.low);
  EXPECT_SAME_DOUBLE(rb.real("last"), s.last);
  EXPECT_EQ(rb.i64("volume"), +s.volume);
  EXPECT_SAME_DOUBLE(rb.real("turnover"), s.turnover);
  EXPECT_SAME_DOUBLE(rb.real("upper_limit"), s.upper_limit);
  EXPECT_SAME_DOUBLE(rb.real("lower_limit"), s.lower_limit);
  EXPECT_SAME_DOUBLE(rb.real("pre_close"), s.pre_close);
  EXPECT_SAME_DOUBLE(rb.real("pre_settle"), s.pre_settle);
  EXPECT_SAME_DOUBLE(rb.real("settle"), s.settle);
  EXPECT_SAME_DOUBLE(rb.real("iopv"), s.iopv);
  EXPECT_EQ(rb.i32("num_trades"), +s.num_trades);
  EXPECT_EQ(rb.i32("open_interest"), +s.open_interest);
  EXPECT_EQ(rb.i32("pre_open_interest"), +s.pre_open_interest);
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i + 1);
    EXPECT_SAME_DOUBLE(rb.real(("ask_price" + n).c_str()), s.ask_price[i]);
    EXPECT_EQ(rb.i32(("ask_volume" + n).c_str()), s.ask_volume[i]);
    EXPECT_SAME_DOUBLE(rb.real(("bid_price" + n).c_str()), s.bid_price[i]);
    EXPECT_EQ(rb.i32(("bid_volume" + n).c_str()), s.bid_volume[i]);
  }
}

TEST(RowReadBackTest, BarReadsBackFieldByField) {
  const _BarData b = sample_bar();
  ReadBack rb(header(bar_csv_header), format(bar_row, &b));
  ASSERT_TRUE(rb.ok());
  EXPECT_EQ(rb.text("instrument"), "rb2305.SHF");
  char symbol[30];
  unsigned char exchange;
  rb.instrument(symbol, 29, &exchange);
  EXPECT_STREQ(symbol, b.symbol);
  EXPECT_EQ(exchange, b.exchange);
  EXPECT_EQ(rb.i32("trading_day"), +b.trading_day);
  EXPECT_EQ(rb.i32("action_day"), +b.action_day);
  EXPECT_EQ(rb.i32("time"), +b.time);
  EXPECT_SAME_DOUBLE(rb.real("open"), b.open);
  EXPECT_SAME_DOUBLE(rb.real("high"), b.high);
  EXPECT_SAME_DOUBLE(rb.real("low"), b.low);
  EXPECT_SAME_DOUBLE(rb.real("close"), b.close);
  EXPECT_EQ(rb.i64("volume"), +b.volume);
  EXPECT_SAME_DOUBLE(rb.real("turnover"), b.turnover);
  EXPECT_SAME_DOUBLE(rb.real("pre_close"), b.pre_close);
  EXPECT_EQ(rb.i32("open_interest"), +b.open_interest);
  EXPECT_EQ(rb.i32("num_trades"), +b.num_trades);
  EXPECT_SAME_DOUBLE(rb.real("iopv"), b.iopv);
  EXPECT_SAME_DOUBLE(rb.real("turn"), b.turn);
}

TEST(RowReadBackTest, IndexRowCarriesEveryField) {
  const _MDIndex x = sample_index();
  ReadBack rb(header(mdindex_csv_header), format(index_row, &x));
  ASSERT_TRUE(rb.ok());
  EXPECT_EQ(rb.text("instrument"), "000300.SH");
  EXPECT_EQ(rb.i32("trading_day"), +x.trading_day);
  EXPECT_EQ(rb.i32("action_day"), +x.action_day);
  EXPECT_EQ(rb.i32("time"), +x.time);
  EXPECT_SAME_DOUBLE(rb.real("pre_close"), x.pre_close);
  EXPECT_SAME_DOUBLE(rb.real("open"), x.open);
  EXPECT_SAME_DOUBLE(rb.real("high"), x.high);
  EXPECT_SAME_DOUBLE(rb.real("low"), x.low);
  EXPECT_SAME_DOUBLE(rb.real("last"), x.last);
  EXPECT_SAME_DOUBLE(rb.real("close"), x.close);
  EXPECT_EQ(rb.i64("volume"), +x.volume);
  EXPECT_SAME_DOUBLE(rb.real("turnover"), x.turnover);
}

// ---- instrument column ---------------------------------------------------------------------

class InstrumentColumnTest : public ::testing::Test {
 protected:
  std::string instrument_of(unsigned char exchange, const char* symbol, size_t n = 0) {
    _BarData b = sample_bar();
    b.exchange = exchange;
    memset(b.symbol, 0, sizeof b.symbol);
    memcpy(b.symbol, symbol, n ? n : strlen(symbol));
    ReadBack rb(header(bar_csv_header), format(bar_row, &b));
    EXPECT_TRUE(rb.ok());
    EXPECT_EQ(csv_field_count(rb.csv()), 15);
    return rb.ok() ? rb.text("instrument") : "";
  }
};

TEST_F(InstrumentColumnTest, CarriesExchangeText) {
  EXPECT_EQ(instrument_of(1, "600000"), "600000.SH");
  EXPECT_EQ(instrument_of(2, "000001"), "000001.SZ");
  EXPECT_EQ(instrument_of(8, "IF2301"), "IF2301.CFE");
  EXPECT_EQ(instrument_of(15, "430047"), "430047.BJ");
}

TEST_F(InstrumentColumnTest, WritesCodesWithoutTextAsDigits) {
  EXPECT_EQ(instrument_of(5, "600000"), "600000.5");
  EXPECT_EQ(instrument_of(255, "X"), "X.255");
  unsigned char exchange = 0;
  char symbol[30];
  EXPECT_EQ(KX::SymbolTools::extract_symbol(symbol, 29, &exchange, "600000.5"), 2);
  EXPECT_EQ(exchange, 5);
}

TEST_F(InstrumentColumnTest, WritesSymbolAloneForExchangeZero) {
  EXPECT_EQ(instrument_of(0, "rb2305"), "rb2305");
  EXPECT_EQ(instrument_of(0, ""), "");
}

TEST_F(InstrumentColumnTest, QuotesSymbolsThatWouldBreakTheRow) {
  EXPECT_EQ(instrument_of(1, "A,B"), "A,B.SH");
  EXPECT_EQ(instrument_of(0, "say \"x\""), "say \"x\"");
  EXPECT_EQ(instrument_of(2, "two\nlines"), "two\nlines.SZ");
}

TEST_F(InstrumentColumnTest, StopsAtTheEndOfAFullSymbolArray) {
  const std::string thirty(30, 'Q');  // no NUL inside the record's 30 bytes
  EXPECT_EQ(instrument_of(1, thirty.c_str(), 30), thirty + ".SH");
}

// ---- doubles -------------------------------------------------------------------------------

// The text written for `v` in the bar's close column.
std::string close_text(double v) {
  _BarData b = sample_bar();
  b.close = v;
  ReadBack rb(header(bar_csv_header), format(bar_row, &b));
  return rb.ok() ? rb.text("close") : "<unreadable>";
}

double read_close(double v) {
  _BarData b = sample_bar();
  b.close = v;
  ReadBack rb(header(bar_csv_header), format(bar_row, &b));
  return rb.real("close");
}

TEST(RowDoubleTest, ShortDecimalsStayShort) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {3, "3"},
      {10.5, "10.5"},
      {10.01, "10.01"},
      {-2.25, "-2.25"},
      {1234.5678, "1234.5678"},
      {0.0001, "0.0001"},
      {-0.0001, "-0.0001"},
      {100000, "100000"},
      {0.1, "0.1"},
      {0.01, "0.01"},
      {0.001, "0.001"},
      {12.345, "12.345"},
      {-99.99, "-99.99"},
      {900719925474.0991, "900719925474.0991"},
      {123456789012.5, "123456789012.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(close_text(c.first), c.second) << c.second;
}

TEST(RowDoubleTest, OtherDoublesReadBackExactly) {
  const double cases[] = {
      0.1 + 0.2,          1.0 / 3.0, 1e-300,   5e-324,   DBL_MIN, DBL_MAX, -DBL_MAX,        1e22,
      9007199254740993.0, 0.00001,   -0.00005, 12.34567, 4e15,    -1e-7,   123456.78901234, 2.5e-5};
  for (double v : cases) {
    EXPECT_PRED2(same_double, read_close(v), v) << close_text(v);
    EXPECT_LE(close_text(v).size(), 24u) << close_text(v);
  }
}

TEST(RowDoubleTest, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = rng();
    double v;
    memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    ASSERT_PRED2(same_double, read_close(v), v) << close_text(v);
    const double price = std::round(std::ldexp(static_cast<double>(rng() >> 11), -40) * 100) / 100;
    ASSERT_PRED2(same_double, read_close(price), price) << close_text(price);
  }
}

TEST(RowDoubleTest, NotANumberAndInfinitiesReadBackAsSuch) {
  EXPECT_TRUE(std::isnan(read_close(NAN)));
  EXPECT_EQ(read_close(INFINITY), INFINITY);
  EXPECT_EQ(read_close(-INFINITY), -INFINITY);
}

}  // namespace
