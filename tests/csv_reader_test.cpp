// DataCsvReader: column binding by vendor header names, record decoding, and the two text
// helpers (symbol splitting, date/time texts), including inputs that must not be over-read.
#include "quotelab/csv_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using KX::_MDColumnIndexTable;
using KX::DataCsvReader;
using Doubles = std::vector<double>;
using Ints = std::vector<int>;

constexpr unsigned char kAbsent = 255;

// A heap copy of exactly the text and its NUL, so that a read past the end trips ASan.
std::unique_ptr<char[]> exact(const char* text) {
  std::unique_ptr<char[]> copy(new char[strlen(text) + 1]);
  memcpy(copy.get(), text, strlen(text) + 1);
  return copy;
}

// Writes small CSV texts into files removed after the test.
class CsvFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& f : files_) unlink(f.c_str());
  }
  std::string write(const std::string& text) {
    files_.push_back("/tmp/ql_csv_reader_" + std::to_string(getpid()) + "_" +
                     std::to_string(files_.size()) + ".csv");
    std::ofstream(files_.back(), std::ios::binary) << text;
    return files_.back();
  }
  // A reader on the text (or on a sample file of tests/data/files), on its first data row.
  std::unique_ptr<DataCsvReader> open(const std::string& text) { return open_path(write(text)); }
  static std::unique_ptr<DataCsvReader> open_data(const char* name) {
    return open_path(std::string(QL_TEST_DATA_DIR) + "/files/" + name);
  }
  static std::unique_ptr<DataCsvReader> open_path(const std::string& path) {
    auto r = std::make_unique<DataCsvReader>(path.c_str(), ',');
    EXPECT_NE(r->csv_handle, nullptr);
    if (r->csv_handle) csv_next(r->csv_handle);
    return r;
  }
  // Decodes the current row into a zeroed record, then moves to the next row.
  template <typename Rec>
  static Rec take(DataCsvReader& r, bool expect_ok = true) {
    Rec rec{};
    EXPECT_EQ(r.get(&rec), expect_ok);
    csv_next(r.csv_handle);
    return rec;
  }

  std::vector<std::string> files_;
};

using ColumnBinding = CsvFiles;
using Decoding = CsvFiles;

// The accepted names are tried in list order, whatever the file's order; names match in any
// case; level names are exact.
TEST_F(ColumnBinding, NamesBindInListOrderAndAnyCase) {
  auto r = open(
      "code,price,last_px,instrument,money,amount,LAST_PRICE,Open_Interest,AskSeqNum,seqnum,"
      "BIDSEQNUM,OffserSeqNUm,ask_price_1,ask_price1,bid_volume10,ask_volume_2\n");
  const _MDColumnIndexTable& t = r->column_index;
  EXPECT_EQ(+t.instrument, 3) << "instrument precedes code";
  EXPECT_EQ(+t.last, 6) << "last_price precedes last_px and price";
  EXPECT_EQ(+t.turnover, 5) << "amount precedes money";
  EXPECT_EQ(+t.open_interest, 7);
  EXPECT_EQ(+t.ask_seq_num, 8) << "AskSeqNum precedes OffserSeqNUm";
  EXPECT_EQ(+t.seq_num, 9);
  EXPECT_EQ(+t.bid_seq_num, 10);
  EXPECT_EQ(+t.ask_price[0], 13) << "a separator before the level number is not accepted";
  EXPECT_EQ(+t.bid_volume[9], 14);
  EXPECT_EQ(+t.ask_volume[1], kAbsent);
}

TEST_F(ColumnBinding, ColumnsBeyond254AreAbsentNotWrapped) {
  // 300 columns (the row's field array grows past its first slots): each holds its own number
  // + 0.5, so a wrapped position would read a value.
  std::string header, row;
  for (int i = 0; i < 300; ++i) {
    std::string name = "x" + std::to_string(i);
    std::string value = std::to_string(i) + ".5";
    if (i == 0) name = "symbol", value = "600000.SH";
    if (i == 254) name = "open";
    if (i == 255) name = "high";
    if (i == 266) name = "last";    // would wrap onto column 10
    if (i == 299) name = "lowest";  // would wrap onto column 43
    if (i == 43) name = "volume", value = "43";
    header += (i ? "," : "") + name;
    row += (i ? "," : "") + value;
  }
  auto r = open(header + "\n" + row + "\n");
  const _MDColumnIndexTable& t = r->column_index;
  EXPECT_EQ(+t.open, 254);
  EXPECT_EQ(+t.high, kAbsent);
  EXPECT_EQ(+t.last, kAbsent);
  EXPECT_EQ(+t.low, kAbsent);
  const char* const names[] = {"lowest", "volume", nullptr};
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, names), kAbsent)
      << "the first name found decides, even when it stands too far out";

  const _L2Snapshot s = take<_L2Snapshot>(*r);
  EXPECT_EQ((Doubles{s.open, s.high, s.last, s.low}), (Doubles{254.5, 0, 0, 0}));
  EXPECT_EQ(+s.volume, 43);
}

TEST_F(ColumnBinding, FindsByNameAndOpensOnlyWhatCanBeRead) {
  auto r = open("a,b,c\n");
  const char* const names[] = {"z", "c", "b", nullptr};
  const char* const none[] = {nullptr};
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, names), 2);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, none), kAbsent);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, "A"), 0);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(nullptr, "a"), kAbsent);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, static_cast<const char*>(nullptr)),
            kAbsent);

  // No file: an empty reader that decodes nothing; a reader that fails to open another keeps
  // its own.
  auto s = open("symbol,last\n600000.SH,1.5\n");
  csv_file* first = s->csv_handle;
  const _MDColumnIndexTable absent;
  for (const char* path : {static_cast<const char*>(nullptr), "", "/tmp/ql_no_such_dir/x.csv"}) {
    DataCsvReader none(path, ',');
    EXPECT_EQ(none.csv_handle, nullptr);
    EXPECT_EQ(memcmp(&none.column_index, &absent, sizeof(absent)), 0);
    _L2Trade t{};
    _L2Order o{};
    _L2Snapshot snap{};
    _BarData b{};
    EXPECT_FALSE(none.get(&t) || none.get(&o) || none.get(&snap) || none.get(&b));
    EXPECT_EQ(s->open_csv_and_init(path, ','), -1);
  }
  EXPECT_EQ(s->csv_handle, first);
  EXPECT_EQ(s->column_index.last, 1);
  EXPECT_EQ(s->open_csv_and_init(write("open;symbol\n").c_str(), ';'), 0);
  EXPECT_EQ(s->column_index.last, kAbsent);
  EXPECT_EQ(s->column_index.instrument, 1);
}

TEST_F(Decoding, VendorSnapshots) {
  auto r = open_data("vendor_snapshot.csv");
  _L2Snapshot s = take<_L2Snapshot>(*r);
  EXPECT_EQ(+s.action_day, 20230105);
  EXPECT_EQ(+s.time, 93000000);
  EXPECT_EQ(+s.last, 10.5) << "Last_Px, not the earlier Price column";
  EXPECT_EQ(+s.volume, 12345678901LL);
  EXPECT_EQ((Doubles{s.upper_limit, s.lower_limit}), (Doubles{0, 0})) << "not decoded";
  EXPECT_EQ(
      (Doubles{s.ask_price[0], s.bid_price[0], s.ask_price[1], s.ask_price[9], s.bid_price[9]}),
      (Doubles{10.51, 10.49, 10.52, 10.6, 0}));
  EXPECT_EQ((Ints{s.ask_volume[0], s.bid_volume[0], s.bid_volume[1], s.bid_volume[9]}),
            (Ints{100, 200, 400, 900}));

  for (const Ints& days : {Ints{20230104, 20230105}, Ints{20230105, 0}}) {
    s = take<_L2Snapshot>(*r);
    EXPECT_EQ((Ints{s.action_day, s.trading_day}), days);
  }

  memset(&s, 0xAB, sizeof(s));
  const _L2Snapshot before = s;
  EXPECT_FALSE(r->get(&s)) << "the last row has only a time";
  EXPECT_EQ(memcmp(&s, &before, sizeof(s)), 0);
}

TEST_F(Decoding, NothingIsWrittenWithoutInstrumentOrForLevel1) {
  auto r = open("last,volume\n1.5,100\n");
  _BarData b, b_before;
  _L1Snapshot l1, l1_before;
  memset(&b, 0x5A, sizeof(b));
  memset(&l1, 0x11, sizeof(l1));
  b_before = b, l1_before = l1;
  EXPECT_FALSE(r->get(&b));
  EXPECT_FALSE(open_data("vendor_snapshot.csv")->get(&l1));
  EXPECT_EQ(memcmp(&b, &b_before, sizeof(b)), 0);
  EXPECT_EQ(memcmp(&l1, &l1_before, sizeof(l1)), 0);
  EXPECT_FALSE(r->get(static_cast<_L2Snapshot*>(nullptr)));
}

// Flag columns hold the character codes the rest of the system expects: one character is its
// own code ("1" is the market order type '1', not 1), a longer text is the code's number.
TEST_F(Decoding, VendorTradesAndOrdersWithFlags) {
  auto r = open_data("vendor_trade.csv");
  _L2Trade t = take<_L2Trade>(*r);
  EXPECT_EQ(+t.action_day, 20230105) << "date from the date text when no action_day column";
  EXPECT_EQ((std::vector<int64_t>{t.seq_num, t.bid_seq_num, t.ask_seq_num}),
            (std::vector<int64_t>{1, 5000000000LL, 5000000001LL}))
      << "ask_seq_num bound through OffserSeqNUm";
  EXPECT_EQ(+t.bs_flag, 'B');
  // "S", "66", "", " " (a blank flag, as the writer puts it, is none)
  for (char flag : {'S', 'B', '\0', '\0'}) EXPECT_EQ(take<_L2Trade>(*r).bs_flag, flag);

  r = open_data("vendor_order.csv");
  _L2Order o = take<_L2Order>(*r);
  EXPECT_EQ(+o.order_index, -1) << "widened with its sign";
  struct Expected {
    int exchange;
    char bs_flag, order_type;  // order type from order_type_sh on exchange 1, else _sz
  } const rows[] = {{1, 'B', '2'}, {2, 'S', '1'}, {0, 'B', 'U'}, {2, 'S', 'D'},
                    {1, 'B', 'D'}, {1, 'S', '1'}, {2, 'B', '1'}};
  for (const Expected& e : rows) {
    EXPECT_EQ(+o.exchange, e.exchange);
    EXPECT_EQ(o.bs_flag, e.bs_flag);
    EXPECT_EQ(o.order_type, e.order_type);
    o = take<_L2Order>(*r, &e != &rows[6]);
  }
}

TEST_F(Decoding, VendorBars) {
  auto r = open_data("vendor_bar.csv");
  _BarData b = take<_BarData>(*r);
  EXPECT_EQ(+b.time, 0) << "the time is never taken from the datetime text";
  EXPECT_EQ((Doubles{b.open, b.high, b.low, b.close, b.turnover, b.turn, b.iopv, b.pre_close}),
            (Doubles{10.2, 10.8, 10.1, 10.5, 1000.5, 0.12, 1.5, 10.0}));
  EXPECT_EQ((Ints{b.action_day, b.trading_day, b.num_trades}), (Ints{20230105, 20230105, 12}));
  b = take<_BarData>(*r);
  EXPECT_EQ(+b.open_interest, 150000);
  EXPECT_EQ(+b.trading_day, 20230106);
}

TEST_F(Decoding, UnsignedVolumesOfTradesAndOrders) {
  auto r = open("symbol,volume\nA,3000000000\nA,-1\nA,4294967296\n");
  EXPECT_EQ(+take<_L2Trade>(*r).volume, 3000000000u) << "above INT32_MAX";
  EXPECT_EQ(+take<_L2Order>(*r).volume, 4294967295u) << "-1 wraps";
  EXPECT_EQ(+take<_L2Order>(*r).volume, 0u) << "wider than 32 bits";
}

TEST_F(Decoding, DateAndTimeColumns) {
  auto r = open(
      "symbol,action_day,time,datetime\n"
      "A,20230105,93000000,1999-12-31\n"
      "A,0,93000000,2023-01-06\n"
      "A,20230105,0,2023-01-06 09:30:00.500\n"
      "A,,,20230107\n"
      "A,20230108,,2023/01/05\n");
  const int expected[][2] = {
      {20230105, 93000000}, {20230106, 93000000}, {20230106, 0}, {0, 0}, {20230108, 0}};
  for (const auto& e : expected) {
    int date = -1, time = -1;
    r->get_date_time(&date, &time, nullptr);
    EXPECT_EQ(date, e[0]);
    EXPECT_EQ(time, e[1]);
    if (&e != &expected[4]) csv_next(r->csv_handle);
  }
  // A caller's table: no datetime column bound, so the date stays as the column gives it.
  _MDColumnIndexTable table = r->column_index;
  table.datetime = kAbsent;
  int date = -1;
  r->get_date_time(&date, nullptr, &table);  // the time output is optional
  EXPECT_EQ(date, 20230108);
  r->get_date_time(nullptr, nullptr, nullptr);  // outputs are optional
}

// Fixed positions; cut texts read positions past the end as 0, never past the NUL; a NULL
// text is refused, outputs are optional, huge numbers do not overflow.
TEST(SmartConvDatetime, ConvertsByFixedPositions) {
  const struct {
    const char* text;
    int date, time;  // expected; -1 = left alone
  } cases[] = {{"2023-01-05 09:30:00", 20230105, 93000},
               {"2023-01-05T14:59:59.999", 20230105, 145959999},
               {"2023-01-05 09:30:00.5", 20230105, 93000005},
               {"2023-01-05", 20230105, -1},
               {"09:30:15.250", -1, 93015250},
               {"20230105", -1, -1},
               {"", -1, -1},
               {"2023-01", 20230100, -1},
               {"-", 0, -1},
               {"2023-01-05 09:3", 20230105, 90300},
               {"2023-01-05 09:30:00.", 20230105, 93000000},
               {"9:", -1, 90000}};
  for (const auto& c : cases) {
    auto text = exact(c.text);
    int date = -1, time = -1;
    EXPECT_EQ(DataCsvReader::smart_conv_datetime(text.get(), &date, &time), 0);
    EXPECT_EQ(date, c.date) << c.text;
    EXPECT_EQ(time, c.time) << c.text;
  }
  int date = -1, time = -1;
  EXPECT_EQ(DataCsvReader::smart_conv_datetime(nullptr, &date, &time), -1);
  EXPECT_EQ(DataCsvReader::smart_conv_datetime("2023-01-05 09:30:00", &date, nullptr), 0);
  EXPECT_EQ(date, 20230105);
  EXPECT_EQ(DataCsvReader::smart_conv_datetime("09:30:00", nullptr, nullptr), 0);
  EXPECT_EQ(DataCsvReader::smart_conv_datetime(
                "99999999999999999999-99999999999-9999999999999 99999999999:", &date, &time),
            0);
}

// smart_extract_symbol into buffers of exactly max_len + 1 bytes (on the heap, so that ASan
// sees an overrun), and the decoders, which split the instrument column themselves, row after
// row: suffixes coming and going must not mix up their exchanges.
TEST_F(Decoding, SymbolTextsSplitIntoCodeAndExchange) {
  const struct {
    const char* text;
    const char* symbol9;   // expected with max_len 9 (trades, orders)
    const char* symbol29;  // expected with max_len 29 (snapshots, bars)
    int exchange;          // expected; 77 = left alone
  } cases[] = {
      {"600000.SH", "600000", "600000", 1},
      {"000001.sz", "000001", "000001", 2},
      {"rb2305.SHF", "rb2305", "rb2305", 9},
      {"000001.15X", "000001", "000001", 15},
      {"A.300", "A", "A", 300 & 0xff},
      {"rb2305.XX", "rb2305", "rb2305", 0},
      {"IF2301", "IF2301", "IF2301", 77},
      {".SH", "", "", 1},
      {"", "", "", 77},
      {"abc.", "abc", "abc", 0},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHI", "ABCDEFGHIJKLMNOP", 77},
      {"ABCDEFGHIJKLMNOP.SZ", "ABCDEFGHI", "ABCDEFGHIJKLMNOP", 2},
      {"X.VERYLONGSUFFIX", "X", "X", 0},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.SH", "ABCDEFGHI", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012", 1},
      {"600000.SH", "600000", "600000", 1}};
  std::string csv = "symbol,volume\n";
  for (const auto& c : cases) csv += std::string(c.text) + ",1\n";
  auto r = open(csv);
  for (const auto& c : cases) {
    auto text = exact(c.text);
    for (int max_len : {9, 29}) {
      std::unique_ptr<char[]> symbol(new char[max_len + 1]);
      unsigned char exchange = 77;
      EXPECT_EQ(DataCsvReader::smart_extract_symbol(text.get(), &exchange, symbol.get(), max_len),
                strchr(c.text, '.') ? 2 : 1);
      EXPECT_STREQ(symbol.get(), max_len == 9 ? c.symbol9 : c.symbol29);
      EXPECT_EQ(exchange, c.exchange) << c.text;
    }
    _L2Order o;
    memset(&o, 77, sizeof(o));
    ASSERT_TRUE(r->get(&o));
    const _BarData b = take<_BarData>(*r);
    EXPECT_STREQ(o.symbol, c.symbol9);
    EXPECT_STREQ(b.symbol, c.symbol29);
    EXPECT_EQ(o.exchange, c.exchange) << c.text;
    EXPECT_EQ(b.exchange, c.exchange == 77 ? 0 : c.exchange) << c.text;
  }
  char symbol[10];
  EXPECT_EQ(DataCsvReader::smart_extract_symbol("600000.SH", nullptr, symbol, 9), 2);
  EXPECT_STREQ(symbol, "600000");
  EXPECT_EQ(DataCsvReader::smart_extract_symbol(nullptr, nullptr, symbol, 9), 1);
  EXPECT_STREQ(symbol, "");
  memset(symbol, 'x', sizeof(symbol));
  unsigned char exchange = 0;
  EXPECT_EQ(DataCsvReader::smart_extract_symbol("600000.SH", &exchange, symbol, -1), 2);
  EXPECT_EQ(symbol[0], 'x') << "a negative length leaves no room to write";
  EXPECT_EQ(exchange, 1);
}

}  // namespace
