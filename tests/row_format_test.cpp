// Row formatters: each row has exactly its header twin's columns, stays within its buffer, and
// reads back through the CSV reader (the snapshot and bar rows are also read back through
// DataCsvReader in csv_writer_test).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

// Bitwise equality, so that -0.0 and 0.0 differ; any NaN equals any NaN.
bool same_double(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return memcmp(&a, &b, sizeof a) == 0;
}

// A header line and one row, opened with the platform CSV reader; fields are looked up by the
// header's names.
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
  std::string text(const char* name) const {
    const char* s = csv_get_byidx(csv_, csv_find_idx(csv_, name));
    return s ? s : "<missing>";
  }
  double real(const char* name) const {
    return csv_get_double_byidx(csv_, csv_find_idx(csv_, name));
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

// One signature for every row formatter, and each sample record built once.
template <typename R, int (*F)(char*, int, const R*, char)>
int row_of(char* b, int n, const void* r, char d) {
  return F(b, n, static_cast<const R*>(r), d);
}
template <typename R, R (*Make)()>
const void* record_of() {
  static const R r = Make();
  return &r;
}
int shanghai_order_header(char* b, int n, char d) {
  return l2order_csv_header(b, n, 1, d);
}
const auto snapshot_row = row_of<_L2Snapshot, l2snapshot_to_csv>;
const auto index_row = row_of<_MDIndex, mdindex_to_csv>;
const auto bar_row = row_of<_BarData, bar_to_csv>;
const auto order_row = row_of<_L2Order, l2order_to_csv>;
const auto trade_row = row_of<_L2Trade, l2trade_to_csv>;

_L2Snapshot sample_snapshot() {
  _L2Snapshot r{};
  r.exchange = 1, r.time = 93000500;
  strcpy(r.symbol, "600000");
  r.volume = 123456789012LL;
  r.pre_close = 0.1 + 0.2;  // not a short decimal
  r.num_trades = INT32_MIN;
  for (int i = 0; i < 10; ++i) r.ask_price[i] = 10.21 + 0.01 * i;
  r.bid_price[9] = DBL_MAX;
  return r;
}

_BarData sample_bar() {
  _BarData b{};
  b.exchange = 9;
  strcpy(b.symbol, "rb2305");
  b.action_day = 20230104, b.trading_day = 20230105, b.time = 210100000;
  b.close = 4015.125;
  b.volume = INT64_MAX;
  b.turn = 0.0123456789012345;
  return b;
}

_MDIndex sample_index() {
  _MDIndex x{};
  x.exchange = 1;
  strcpy(x.symbol, "000300");
  x.action_day = 20230105, x.time = 150000000;
  x.pre_close = 3887.8939, x.open = 3890.1, x.high = 3901.55, x.low = 3880.0001;
  x.last = 3899.99, x.close = 3899.9876543;
  x.volume = INT64_MIN;
  x.turnover = 123456789012.5;
  x.trading_day = 20230106;
  return x;
}

_L2Order sample_order() {
  _L2Order o{};
  o.exchange = 1;
  strcpy(o.symbol, "600000");
  o.action_day = 20240102, o.time = 93000120;
  o.volume = UINT32_MAX;
  o.price = 10.02;
  o.seq_num = INT64_MAX;
  o.order_index = 17;
  o.bs_flag = 'B', o.order_type = 'D';
  return o;
}

_L2Trade sample_trade() {
  _L2Trade t{};
  t.exchange = 2;
  strcpy(t.symbol, "000001");
  t.action_day = 20240102, t.time = 145959990;
  t.volume = 300;
  t.price = 0.0;  // a Shenzhen cancellation
  t.seq_num = 12, t.bid_seq_num = 0, t.ask_seq_num = INT64_MIN;
  t.trade_flag = '4';  // not written: no column binds it
  return t;
}

// ---- every row format ----------------------------------------------------------------------

struct FormatCase {
  const char* name;
  Formatter row;
  HeaderFormatter header;
  const void* (*record)();
  int columns;
};

class RowFormatTest : public ::testing::TestWithParam<FormatCase> {};

// One CR LF-ended row with exactly the header's columns, whatever the delimiter; the delimiter
// changes nothing else.
TEST_P(RowFormatTest, RowHasExactlyTheHeadersColumns) {
  const FormatCase& c = GetParam();
  const std::string comma_row = format(c.row, c.record());
  for (char d : {',', ';', '\t', '|', ' '}) {
    SCOPED_TRACE(d);
    const std::string head = header(c.header, d);
    const std::string row = format(c.row, c.record(), d);
    ASSERT_EQ(head.substr(head.size() - 2), "\r\n");
    ASSERT_EQ(row.substr(row.size() - 2), "\r\n");
    ReadBack rb(head, row, d);
    ASSERT_TRUE(rb.ok());
    EXPECT_EQ(csv_column_count(rb.csv()), c.columns);
    EXPECT_EQ(csv_field_count(rb.csv()), c.columns);
    EXPECT_NE(csv_next(rb.csv()), 0);  // exactly one row
    std::string swapped = row;
    for (char& ch : swapped) ch = ch == d ? ',' : ch;
    EXPECT_EQ(swapped, comma_row);
  }
}

// Nothing lands past `size`; a cut row is NUL-terminated and reported as -1. A delimiter that
// can occur inside a number, a quote or a line end would make the row unreadable: refused.
TEST_P(RowFormatTest, StaysInItsBufferAndRefusesBadArguments) {
  const FormatCase& c = GetParam();
  const std::string full = format(c.row, c.record());
  const std::string head = header(c.header);
  constexpr char kGuard = '\x5A';
  std::vector<char> buf(full.size() + 64);
  for (int size = 0; size <= static_cast<int>(full.size()) + 2; ++size) {
    std::fill(buf.begin(), buf.end(), kGuard);
    const int n = c.row(buf.data(), size, c.record(), ',');
    for (size_t i = static_cast<size_t>(size); i < buf.size(); ++i)
      ASSERT_EQ(buf[i], kGuard) << "size " << size << " wrote byte " << i;
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

  EXPECT_EQ(c.row(nullptr, 100, c.record(), ','), -1);
  EXPECT_EQ(c.row(buf.data(), 100, nullptr, ','), -1);
  EXPECT_EQ(c.header(nullptr, 100, ','), -1);
  for (char d : {'.', '-', '+', '5', 'e', 'S', '"', '\n', '\r', '\0'}) {
    buf[0] = 'x';
    EXPECT_EQ(c.row(buf.data(), static_cast<int>(buf.size()), c.record(), d), -1) << d;
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(c.header(buf.data(), static_cast<int>(buf.size()), d), -1) << d;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RowFormatTest,
    ::testing::Values(
        FormatCase{"Snapshot", snapshot_row, l2snapshot_csv_header,
                   record_of<_L2Snapshot, sample_snapshot>, 59},
        FormatCase{"Bar", bar_row, bar_csv_header, record_of<_BarData, sample_bar>, 15},
        FormatCase{"Index", index_row, mdindex_csv_header, record_of<_MDIndex, sample_index>, 12},
        FormatCase{"Order", order_row, shanghai_order_header, record_of<_L2Order, sample_order>, 9},
        FormatCase{"Trade", trade_row, l2trade_csv_header, record_of<_L2Trade, sample_trade>, 9}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// ---- values in the rows ---------------------------------------------------------------------

// Headers and rows byte for byte. The order type column is named for the exchange family whose
// column DataCsvReader reads; a flag is its character, nothing when 0, quoted when it is the
// delimiter or a quote.
TEST(RowReadBackTest, HeadersAndRowsByteForByte) {
  const auto sz_order_header = [](char* b, int n, char d) {
    return l2order_csv_header(b, n, 2, d);
  };
  const struct {
    HeaderFormatter header;
    char delimiter;
    const char* expected;
  } headers[] = {
      {mdindex_csv_header, ',',
       "instrument,trading_day,action_day,time,pre_close,open,high,low,last,close,volume,"
       "turnover\r\n"},
      {sz_order_header, ',',
       "instrument,action_day,time,volume,price,seq_num,order_index,bs_flag,order_type_sz\r\n"},
      {shanghai_order_header, ';',
       "instrument;action_day;time;volume;price;seq_num;order_index;bs_flag;order_type_sh\r\n"},
      {l2trade_csv_header, ',',
       "instrument,action_day,time,volume,price,seq_num,bid_seq_num,ask_seq_num,bs_flag\r\n"}};
  for (const auto& h : headers) EXPECT_EQ(header(h.header, h.delimiter), h.expected);
  const _MDIndex x = sample_index();
  const _L2Order o = sample_order();
  const _L2Trade t = sample_trade();
  EXPECT_EQ(format(index_row, &x),
            "000300.SH,20230106,20230105,150000000,3887.8939,3890.1,3901.55,3880.0001,3899.99,"
            "3899.9876543,-9223372036854775808,123456789012.5\r\n");
  EXPECT_EQ(format(order_row, &o),
            "600000.SH,20240102,93000120,4294967295,10.02,9223372036854775807,17,B,D\r\n");
  EXPECT_EQ(format(trade_row, &t),
            "000001.SZ,20240102,145959990,300,0,12,0,-9223372036854775808,\r\n");
  _L2Order quoted = o;
  quoted.bs_flag = ';', quoted.order_type = '"';
  const std::string row = format(order_row, &quoted, ';');
  EXPECT_EQ(row.substr(row.size() - 11), ";\";\";\"\"\"\"\r\n");  // ";" and """"
  ReadBack rb(header(shanghai_order_header, ';'), row, ';');
  ASSERT_TRUE(rb.ok());
  EXPECT_EQ(rb.text("bs_flag"), ";");
  EXPECT_EQ(rb.text("order_type_sh"), "\"");
}

// The sample bar's row, read back, with the instrument or the close changed.
ReadBack bar_read_back(const _BarData& b) {
  return ReadBack(header(bar_csv_header), format(bar_row, &b));
}
ReadBack bar_with_close(double v) {
  _BarData b = sample_bar();
  b.close = v;
  return bar_read_back(b);
}

TEST(RowReadBackTest, InstrumentIsSymbolDotExchange) {
  const std::string thirty(30, 'Q');  // no NUL inside the record's 30 bytes
  const struct {
    unsigned char exchange;
    const char* symbol;
    size_t n;
    std::string expected;
  } cases[] = {
      {1, "600000", 0, "600000.SH"},
      {8, "IF2301", 0, "IF2301.CFE"},
      {15, "430047", 0, "430047.BJ"},
      {5, "600000", 0, "600000.5"},  // a code without text is written as digits
      {255, "X", 0, "X.255"},
      {0, "rb2305", 0, "rb2305"},  // exchange 0: the symbol alone
      {0, "", 0, ""},
      {1, "A,B", 0, "A,B.SH"},  // quoted so that the row stays whole
      {0, "say \"x\"", 0, "say \"x\""},
      {2, "two\nlines", 0, "two\nlines.SZ"},
      {1, thirty.c_str(), 30, thirty + ".SH"},
  };
  for (const auto& c : cases) {
    _BarData b = sample_bar();
    b.exchange = c.exchange;
    memset(b.symbol, 0, sizeof b.symbol);
    memcpy(b.symbol, c.symbol, c.n ? c.n : strlen(c.symbol));
    const ReadBack rb = bar_read_back(b);
    ASSERT_TRUE(rb.ok()) << c.expected;
    EXPECT_EQ(csv_field_count(rb.csv()), 15) << c.expected;
    EXPECT_EQ(rb.text("instrument"), c.expected);
  }
  unsigned char exchange = 0;
  char symbol[30];
  EXPECT_EQ(KX::SymbolTools::extract_symbol(symbol, 29, &exchange, "600000.5"), 2);
  EXPECT_EQ(exchange, 5);
}

// Short decimals stay as written; other doubles read back bit for bit in at most 24
// characters; NaN and the infinities read back as themselves.
TEST(RowDoubleTest, DoublesAreShortAndReadBackExactly) {
  for (const char* text :
       {"0", "-0", "3", "10.5", "10.01", "-2.25", "1234.5678", "0.0001", "-0.0001", "100000", "0.1",
        "0.001", "12.345", "-99.99", "900719925474.0991", "123456789012.5"}) {
    EXPECT_EQ(bar_with_close(strtod(text, nullptr)).text("close"), text);
  }
  const double cases[] = {
      0.1 + 0.2,          1.0 / 3.0, 1e-300,   5e-324,   DBL_MIN, DBL_MAX, -DBL_MAX,        1e22,
      9007199254740993.0, 0.00001,   -0.00005, 12.34567, 4e15,    -1e-7,   123456.78901234, 2.5e-5};
  for (double v : cases) {
    const ReadBack rb = bar_with_close(v);
    EXPECT_PRED2(same_double, rb.real("close"), v) << rb.text("close");
    EXPECT_LE(rb.text("close").size(), 24u) << rb.text("close");
  }
  EXPECT_TRUE(std::isnan(bar_with_close(NAN).real("close")));
  EXPECT_EQ(bar_with_close(INFINITY).real("close"), INFINITY);
  EXPECT_EQ(bar_with_close(-INFINITY).real("close"), -INFINITY);

  std::mt19937_64 rng(42);
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = rng();
    double v;
    memcpy(&v, &bits, sizeof v);
    const double price = std::round(std::ldexp(static_cast<double>(rng() >> 11), -40) * 100) / 100;
    for (double x : {v, price}) {
      if (!std::isfinite(x)) continue;
      const ReadBack rb = bar_with_close(x);
      ASSERT_PRED2(same_double, rb.real("close"), x) << rb.text("close");
    }
  }
}

}  // namespace
