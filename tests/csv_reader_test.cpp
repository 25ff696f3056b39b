// DataCsvReader: column binding by vendor header names, record decoding, and the two text
// helpers (symbol splitting, date/time texts), including inputs that must not be over-read.
#include "quotelab/csv_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using KX::_MDColumnIndexTable;
using KX::DataCsvReader;

constexpr unsigned char kAbsent = 255;

std::string data_file(const char* name) {
  return std::string(QL_TEST_DATA_DIR) + "/files/" + name;
}

// Writes small CSV texts into a private directory removed after the test.
class CsvFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ql_csv_reader_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string write(const std::string& text) {
    std::string path = dir_ + "/f" + std::to_string(files_.size()) + ".csv";
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      fwrite(text.data(), 1, text.size(), f);
      fclose(f);
    }
    files_.push_back(path);
    return path;
  }
  // Opens a reader on the text and moves it onto the first data row.
  std::unique_ptr<DataCsvReader> open(const std::string& text, char delimiter = ',') {
    auto reader = std::make_unique<DataCsvReader>(write(text).c_str(), delimiter);
    EXPECT_NE(reader->csv_handle, nullptr);
    if (reader->csv_handle) csv_next(reader->csv_handle);
    return reader;
  }

  std::string dir_;
  std::vector<std::string> files_;
};

bool all_absent(const _MDColumnIndexTable& t) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&t);
  for (size_t i = 0; i < sizeof(t); ++i) {
    if (p[i] != kAbsent) return false;
  }
  return true;
}

// ---- column binding ---------------------------------------------------------------------------

using ColumnBinding = CsvFiles;

TEST_F(ColumnBinding, EmptyOrMissingFileLeavesReaderEmpty) {
  DataCsvReader none(nullptr, ',');
  EXPECT_EQ(none.csv_handle, nullptr);
  EXPECT_TRUE(all_absent(none.column_index));
  DataCsvReader empty("", ',');
  EXPECT_EQ(empty.csv_handle, nullptr);
  DataCsvReader missing((dir_ + "/no_such.csv").c_str(), ',');
  EXPECT_EQ(missing.csv_handle, nullptr);
  EXPECT_TRUE(all_absent(missing.column_index));
  EXPECT_EQ(missing.open_csv_and_init((dir_ + "/no_such.csv").c_str(), ','), -1);
  EXPECT_EQ(missing.open_csv_and_init(nullptr, ','), -1);
}

TEST_F(ColumnBinding, ShortVendorHeader) {
  auto r = open("symbol,date,time,price,vol\n600000.SH,2023-01-05,93000000,10.5,100\n");
  const _MDColumnIndexTable& t = r->column_index;
  EXPECT_EQ(+t.instrument, 0);
  EXPECT_EQ(+t.datetime, 1);
  EXPECT_EQ(+t.time, 2);
  EXPECT_EQ(+t.last, 3);
  EXPECT_EQ(+t.volume, 4);
  _MDColumnIndexTable expected;
  expected.instrument = 0;
  expected.datetime = 1;
  expected.time = 2;
  expected.last = 3;
  expected.volume = 4;
  EXPECT_EQ(memcmp(&t, &expected, sizeof(t)), 0) << "only the five named fields are bound";
}

TEST_F(ColumnBinding, ListOrderWinsOverFileOrder) {
  auto r = open("code,price,last_px,instrument,money,amount\nx,1,2,y,3,4\n");
  EXPECT_EQ(r->column_index.last, 2) << "last_px precedes price in the accepted names";
  EXPECT_EQ(r->column_index.instrument, 3) << "instrument precedes code";
  EXPECT_EQ(r->column_index.turnover, 5) << "amount precedes money";
}

TEST_F(ColumnBinding, CapitalisedAndMixedCaseNames) {
  auto r = open("Symbol,LAST,Open_Interest,AskSeqNum,seqnum,BIDSEQNUM,OffserSeqNUm\n");
  const _MDColumnIndexTable& t = r->column_index;
  EXPECT_EQ(+t.instrument, 0);
  EXPECT_EQ(+t.last, 1);
  EXPECT_EQ(+t.open_interest, 2);
  EXPECT_EQ(+t.ask_seq_num, 3) << "AskSeqNum precedes OffserSeqNUm";
  EXPECT_EQ(+t.seq_num, 4);
  EXPECT_EQ(+t.bid_seq_num, 5);
}

TEST_F(ColumnBinding, LevelNamesAreExact) {
  auto r = open("symbol,ask_price_1,ask_price1,bid_volume10,ask_volume_2\n");
  const _MDColumnIndexTable& t = r->column_index;
  EXPECT_EQ(+t.ask_price[0], 2);
  EXPECT_EQ(+t.bid_volume[9], 3);
  EXPECT_EQ(+t.ask_volume[1], kAbsent) << "a separator before the level number is not accepted";
  for (int i = 1; i < 10; ++i) EXPECT_EQ(+t.ask_price[i], kAbsent);
}

TEST_F(ColumnBinding, ColumnsBeyond254AreAbsentNotWrapped) {
  // 300 columns: each holds its own number + 0.5, so a wrapped position would read a value.
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
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, "last"), kAbsent);
  const char* const names[] = {"lowest", "volume", nullptr};
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, names), kAbsent)
      << "the first name found decides, even when it stands too far out";

  _L2Snapshot s;
  memset(&s, 0, sizeof(s));
  ASSERT_TRUE(r->get(&s));
  EXPECT_EQ(+s.open, 254.5);
  EXPECT_EQ(+s.high, 0.0);
  EXPECT_EQ(+s.last, 0.0);
  EXPECT_EQ(+s.low, 0.0);
  EXPECT_EQ(+s.volume, 43);
}

TEST_F(ColumnBinding, FindByNameLists) {
  auto r = open("a,b,c\n");
  const char* const names[] = {"z", "c", "b", nullptr};
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, names), 2);
  const char* const none[] = {nullptr};
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, none), kAbsent);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, "A"), 0);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, "q"), kAbsent);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(nullptr, "a"), kAbsent);
  EXPECT_EQ(DataCsvReader::smart_find_csv_col_idx(r->csv_handle, static_cast<const char*>(nullptr)),
            kAbsent);
}

TEST_F(ColumnBinding, ReopeningReplacesOnlyOnSuccess) {
  auto r = open("symbol,last\n600000.SH,1.5\n");
  csv_file* first = r->csv_handle;
  EXPECT_EQ(r->open_csv_and_init((dir_ + "/missing.csv").c_str(), ','), -1);
  EXPECT_EQ(r->csv_handle, first);
  EXPECT_EQ(r->column_index.last, 1);
  EXPECT_EQ(r->open_csv_and_init(write("open;symbol\n").c_str(), ';'), 0);
  EXPECT_EQ(r->column_index.last, kAbsent);
  EXPECT_EQ(r->column_index.instrument, 1);
}

// ---- decoding ---------------------------------------------------------------------------------

class Decoding : public CsvFiles {
 protected:
  static std::unique_ptr<DataCsvReader> open_data(const char* name) {
    auto reader = std::make_unique<DataCsvReader>(data_file(name).c_str(), ',');
    EXPECT_NE(reader->csv_handle, nullptr) << name;
    return reader;
  }
  // Moves to the next row (unless advance is false) and decodes it into a zeroed record.
  template <typename Rec>
  static Rec next(DataCsvReader& r, bool expect_ok = true, bool advance = true) {
    Rec rec;
    memset(&rec, 0, sizeof(rec));
    if (advance) {
      EXPECT_EQ(csv_next(r.csv_handle), 0);
    }
    EXPECT_EQ(r.get(&rec), expect_ok);
    return rec;
  }
};

TEST_F(Decoding, VendorSnapshot) {
  auto r = open_data("vendor_snapshot.csv");
  _L2Snapshot s = next<_L2Snapshot>(*r);
  EXPECT_EQ(+s.type, 0) << "the caller sets the type";
  EXPECT_EQ(+s.exchange, exchange_int("SH"));
  EXPECT_STREQ(s.symbol, "600000");
  EXPECT_EQ(+s.action_day, 20230105);
  EXPECT_EQ(+s.time, 93000000);
  EXPECT_EQ(+s.last, 10.5) << "Last_Px, not the earlier Price column";
  EXPECT_EQ(+s.volume, 12345678901LL);
  EXPECT_EQ(+s.turnover, 129629.62);
  EXPECT_EQ(+s.high, 10.8);
  EXPECT_EQ(+s.low, 10.1);
  EXPECT_EQ(+s.open, 10.2);
  EXPECT_EQ(+s.pre_close, 10.0);
  EXPECT_EQ(+s.num_trades, 321);
  EXPECT_EQ(+s.iopv, 1.234);
  EXPECT_EQ(+s.trading_day, 20230105);
  EXPECT_EQ(+s.upper_limit, 0.0) << "limits are detected but not decoded";
  EXPECT_EQ(+s.lower_limit, 0.0);
  EXPECT_EQ(+s.ask_price[0], 10.51);
  EXPECT_EQ(+s.ask_volume[0], 100);
  EXPECT_EQ(+s.bid_price[0], 10.49);
  EXPECT_EQ(+s.bid_volume[0], 200);
  EXPECT_EQ(+s.ask_price[1], 10.52);
  EXPECT_EQ(+s.bid_volume[1], 400);
  EXPECT_EQ(+s.ask_price[9], 10.6);
  EXPECT_EQ(+s.bid_volume[9], 900);
  EXPECT_EQ(+s.bid_price[9], 0.0);

  s = next<_L2Snapshot>(*r);
  EXPECT_EQ(+s.exchange, 0) << "no suffix, no exchange";
  EXPECT_STREQ(s.symbol, "IF2301");
  EXPECT_EQ(+s.action_day, 20230104);
  EXPECT_EQ(+s.trading_day, 20230105);
  EXPECT_EQ(+s.pre_settle, 3997.6);
  EXPECT_EQ(+s.settle, 4000.8);
  EXPECT_EQ(+s.open_interest, 88000);
  EXPECT_EQ(+s.pre_open_interest, 87000);
  EXPECT_EQ(+s.ask_price[1], 0.0);

  s = next<_L2Snapshot>(*r);
  EXPECT_EQ(+s.exchange, 2) << "a numeric suffix is the code itself";
  EXPECT_STREQ(s.symbol, "000001");
  EXPECT_EQ(+s.action_day, 20230105);
  EXPECT_EQ(+s.last, 0.0);
  EXPECT_EQ(+s.trading_day, 0);
}

TEST_F(Decoding, RowWithoutInstrumentLeavesRecordUntouched) {
  auto r = open_data("vendor_snapshot.csv");
  for (int i = 0; i < 3; ++i) csv_next(r->csv_handle);
  _L2Snapshot s;
  memset(&s, 0xAB, sizeof(s));
  _L2Snapshot before = s;
  ASSERT_EQ(csv_next(r->csv_handle), 0);
  EXPECT_FALSE(r->get(&s)) << "the last row has only a time";
  EXPECT_EQ(memcmp(&s, &before, sizeof(s)), 0);
}

TEST_F(Decoding, NoInstrumentColumnOrNoFileFails) {
  auto r = open("last,volume\n1.5,100\n");
  _BarData b;
  memset(&b, 0x5A, sizeof(b));
  _BarData before = b;
  EXPECT_FALSE(r->get(&b));
  EXPECT_EQ(memcmp(&b, &before, sizeof(b)), 0);

  DataCsvReader closed(nullptr, ',');
  _L2Trade t{};
  _L2Order o{};
  _L2Snapshot s{};
  EXPECT_FALSE(closed.get(&t));
  EXPECT_FALSE(closed.get(&o));
  EXPECT_FALSE(closed.get(&s));
  EXPECT_FALSE(closed.get(&b));
  EXPECT_FALSE(r->get(static_cast<_L2Snapshot*>(nullptr)));
}

TEST_F(Decoding, Level1SnapshotsAreNotDecoded) {
  auto r = open_data("vendor_snapshot.csv");
  csv_next(r->csv_handle);
  _L1Snapshot l1;
  memset(&l1, 0x11, sizeof(l1));
  _L1Snapshot before = l1;
  EXPECT_FALSE(r->get(&l1));
  EXPECT_EQ(memcmp(&l1, &before, sizeof(l1)), 0);
}

TEST_F(Decoding, VendorTradesAndFlags) {
  auto r = open_data("vendor_trade.csv");
  _L2Trade t = next<_L2Trade>(*r);
  EXPECT_EQ(+t.exchange, exchange_int("SZ"));
  EXPECT_STREQ(t.symbol, "000001");
  EXPECT_EQ(+t.action_day, 20230105) << "date from the date text when no action_day column";
  EXPECT_EQ(+t.time, 93000120);
  EXPECT_EQ(+t.price, 10.5);
  EXPECT_EQ(+t.volume, 100u);
  EXPECT_EQ(+t.seq_num, 1);
  EXPECT_EQ(+t.bid_seq_num, 5000000000LL);
  EXPECT_EQ(+t.ask_seq_num, 5000000001LL) << "bound through OffserSeqNUm";
  EXPECT_EQ(+t.bs_flag, 'B');
  EXPECT_EQ(+t.trade_flag, 0);
  EXPECT_EQ(next<_L2Trade>(*r).bs_flag, 'S');
  EXPECT_EQ(next<_L2Trade>(*r).bs_flag, 66) << "a longer text is the flag's number";
  EXPECT_EQ(next<_L2Trade>(*r).bs_flag, 0) << "empty flag";
  EXPECT_EQ(next<_L2Trade>(*r).bs_flag, 0) << "a blank flag (as the writer puts it) is none";
}

TEST_F(Decoding, VendorOrdersTakeOrderTypeByExchange) {
  auto r = open_data("vendor_order.csv");
  _L2Order o = next<_L2Order>(*r);
  EXPECT_EQ(+o.exchange, 1);
  EXPECT_EQ(+o.order_index, -1) << "widened with its sign";
  EXPECT_EQ(+o.seq_num, 1);
  EXPECT_EQ(+o.price, 10.5);
  EXPECT_EQ(+o.volume, 100u);
  EXPECT_EQ(+o.bs_flag, 'B');
  EXPECT_EQ(+o.order_type, '2') << "Shanghai: order_type_sh; \"2\" is the limit order type";
  EXPECT_EQ(+o.action_day, 20230105);
  EXPECT_EQ(+o.time, 93000000);

  o = next<_L2Order>(*r);
  EXPECT_EQ(+o.exchange, 2);
  EXPECT_EQ(+o.bs_flag, 'S');
  EXPECT_EQ(+o.order_type, '1') << "Shenzhen: order_type_sz; \"1\" is the market order type";
  EXPECT_EQ(+o.price, 0.0);

  o = next<_L2Order>(*r);
  EXPECT_EQ(+o.exchange, 0);
  EXPECT_STREQ(o.symbol, "IF2301");
  EXPECT_EQ(+o.order_type, 'U') << "no exchange: order_type_sz";

  o = next<_L2Order>(*r);
  EXPECT_EQ(+o.exchange, 2);
  EXPECT_EQ(+o.order_type, 'D');

  o = next<_L2Order>(*r);
  EXPECT_EQ(+o.exchange, 1) << "600000.1";
  EXPECT_EQ(+o.order_type, 'D');

  o = next<_L2Order>(*r);
  EXPECT_STREQ(o.symbol, "ABCDEFGHI") << "cut to 9 characters";
  EXPECT_EQ(+o.bs_flag, 'S') << "83 read as a number";
  EXPECT_EQ(+o.order_type, '1');

  o = next<_L2Order>(*r);
  EXPECT_EQ(+o.order_type, 49);
}

TEST_F(Decoding, VendorBars) {
  auto r = open_data("vendor_bar.csv");
  _BarData b = next<_BarData>(*r);
  EXPECT_EQ(+b.exchange, 1);
  EXPECT_STREQ(b.symbol, "600000");
  EXPECT_EQ(+b.action_day, 20230105);
  EXPECT_EQ(+b.time, 0) << "the time is never taken from the datetime text";
  EXPECT_EQ(+b.open, 10.2);
  EXPECT_EQ(+b.high, 10.8);
  EXPECT_EQ(+b.low, 10.1);
  EXPECT_EQ(+b.close, 10.5);
  EXPECT_EQ(+b.turnover, 1000.5);
  EXPECT_EQ(+b.volume, 100);
  EXPECT_EQ(+b.turn, 0.12);
  EXPECT_EQ(+b.iopv, 1.5);
  EXPECT_EQ(+b.pre_close, 10.0);
  EXPECT_EQ(+b.trading_day, 20230105);
  EXPECT_EQ(+b.num_trades, 12);
  EXPECT_EQ(+b.extension, 0);

  b = next<_BarData>(*r);
  EXPECT_EQ(+b.exchange, exchange_int("SHF"));
  EXPECT_STREQ(b.symbol, "rb2305");
  EXPECT_EQ(+b.open_interest, 150000);
  EXPECT_EQ(+b.trading_day, 20230106);
  EXPECT_EQ(+b.turn, 0.0);
}

TEST_F(Decoding, UnsignedVolumesOfTradesAndOrders) {
  auto r = open("symbol,volume\nA,3000000000\nA,-1\nA,4294967296\n");
  EXPECT_EQ(+next<_L2Trade>(*r, true, false).volume, 3000000000u) << "above INT32_MAX";
  EXPECT_EQ(+next<_L2Order>(*r).volume, 4294967295u) << "-1 wraps";
  EXPECT_EQ(+next<_L2Order>(*r).volume, 0u) << "wider than 32 bits";
}

TEST_F(Decoding, DateAndTimeColumns) {
  auto r = open(
      "symbol,action_day,time,datetime\n"
      "A,20230105,93000000,1999-12-31\n"
      "A,0,93000000,2023-01-06\n"
      "A,20230105,0,2023-01-06 09:30:00.500\n"
      "A,,,20230107\n"
      "A,20230108,,2023/01/05\n");
  struct Case {
    int date, time;
  } expected[] = {{20230105, 93000000}, {20230106, 93000000}, {20230106, 0}, {0, 0}, {20230108, 0}};
  bool first = true;
  for (const Case& c : expected) {
    if (!first) csv_next(r->csv_handle);
    first = false;
    int date = -1, time = -1;
    r->get_date_time(&date, &time, nullptr);
    EXPECT_EQ(date, c.date);
    EXPECT_EQ(time, c.time);
  }

  // A caller's table: no datetime column bound, so the date stays as the column gives it.
  _MDColumnIndexTable table = r->column_index;
  table.datetime = kAbsent;
  int date = -1, time = -1;
  r->get_date_time(&date, &time, &table);
  EXPECT_EQ(date, 20230108);
  EXPECT_EQ(time, 0);
  r->get_date_time(nullptr, nullptr, nullptr);  // outputs are optional
}

// ---- text helpers -----------------------------------------------------------------------------

// A heap copy of exactly the text and its NUL, so that a read past the end trips ASan.
std::unique_ptr<char[]> exact(const char* text) {
  std::unique_ptr<char[]> copy(new char[strlen(text) + 1]);
  memcpy(copy.get(), text, strlen(text) + 1);
  return copy;
}

struct DatetimeCase {
  const char* text;
  int date, time;  // expected; -1 = left alone
};

class SmartConvDatetime : public ::testing::TestWithParam<DatetimeCase> {};

TEST_P(SmartConvDatetime, ConvertsByFixedPositions) {
  const DatetimeCase& c = GetParam();
  auto text = exact(c.text);
  int date = -1, time = -1;
  EXPECT_EQ(DataCsvReader::smart_conv_datetime(text.get(), &date, &time), 0);
  EXPECT_EQ(date, c.date) << c.text;
  EXPECT_EQ(time, c.time) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SmartConvDatetime,
    ::testing::Values(DatetimeCase{"2023-01-05 09:30:00", 20230105, 93000},
                      DatetimeCase{"2023-01-05T14:59:59.999", 20230105, 145959999},
                      DatetimeCase{"2023-01-05 09:30:00.5", 20230105, 93000005},
                      DatetimeCase{"2023-01-05", 20230105, -1}, DatetimeCase{"09:30:15", -1, 93015},
                      DatetimeCase{"09:30:15.250", -1, 93015250}, DatetimeCase{"20230105", -1, -1},
                      DatetimeCase{"2023/01/05", -1, -1}, DatetimeCase{"", -1, -1},
                      // cut texts: positions past the end read as 0, never past the NUL
                      DatetimeCase{"2023-01", 20230100, -1}, DatetimeCase{"-", 0, -1},
                      DatetimeCase{"2023-01-05 09:3", 20230105, 90300},
                      DatetimeCase{"2023-01-05 09:30:", 20230105, 93000},
                      DatetimeCase{"2023-01-05 09:30:00.", 20230105, 93000000},
                      DatetimeCase{"09:3", -1, 90300}, DatetimeCase{"09:30:15.", -1, 93015000},
                      DatetimeCase{"9:", -1, 90000}));

TEST(SmartConvDatetimeOutputs, NullTextAndNullOutputs) {
  int date = -1, time = -1;
  EXPECT_EQ(DataCsvReader::smart_conv_datetime(nullptr, &date, &time), -1);
  EXPECT_EQ(DataCsvReader::smart_conv_datetime("2023-01-05 09:30:00", nullptr, &time), 0);
  EXPECT_EQ(date, -1);
  EXPECT_NE(time, -1) << "without a date output the text is read in the time form";
  time = -1;
  EXPECT_EQ(DataCsvReader::smart_conv_datetime("2023-01-05 09:30:00", &date, nullptr), 0);
  EXPECT_EQ(date, 20230105);
  EXPECT_EQ(time, -1);
  EXPECT_EQ(DataCsvReader::smart_conv_datetime("09:30:00", nullptr, nullptr), 0);
}

TEST(SmartConvDatetimeOutputs, HugeNumbersDoNotOverflow) {
  int date = -1, time = -1;
  EXPECT_EQ(DataCsvReader::smart_conv_datetime(
                "99999999999999999999-99999999999-9999999999999 99999999999:", &date, &time),
            0);
}

struct SymbolCase {
  const char* text;
  int max_len;
  const char* symbol;
  int exchange;  // expected; 77 = left alone
  int result;
};

class SmartExtractSymbol : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(SmartExtractSymbol, SplitsCodeAndExchange) {
  const SymbolCase& c = GetParam();
  auto text = exact(c.text);
  // The output holds exactly max_len + 1 bytes, on the heap so that ASan sees an overrun.
  std::unique_ptr<char[]> symbol(new char[c.max_len + 1]);
  unsigned char exchange = 77;
  EXPECT_EQ(DataCsvReader::smart_extract_symbol(text.get(), &exchange, symbol.get(), c.max_len),
            c.result);
  EXPECT_STREQ(symbol.get(), c.symbol);
  EXPECT_EQ(exchange, c.exchange);
}

INSTANTIATE_TEST_SUITE_P(Texts, SmartExtractSymbol,
                         ::testing::Values(SymbolCase{"600000.SH", 29, "600000", 1, 2},
                                           SymbolCase{"000001.sz", 29, "000001", 2, 2},
                                           SymbolCase{"000001.2", 29, "000001", 2, 2},
                                           SymbolCase{"000001.15X", 9, "000001", 15, 2},
                                           SymbolCase{"A.300", 9, "A", 300 & 0xff, 2},
                                           SymbolCase{"rb2305.XX", 9, "rb2305", 0, 2},
                                           SymbolCase{"IF2301", 9, "IF2301", 77, 1},
                                           SymbolCase{"abc.", 9, "abc", 0, 2},
                                           SymbolCase{".SH", 9, "", 1, 2},
                                           SymbolCase{"", 9, "", 77, 1},
                                           SymbolCase{"ABCDEFGHIJKL.SH", 9, "ABCDEFGHI", 1, 2},
                                           SymbolCase{"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 29,
                                                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ012", 77, 1},
                                           SymbolCase{"ABCDEFGHIJ", 0, "", 77, 1}));

TEST(SmartExtractSymbolArgs, NullExchangeNullTextNegativeLength) {
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
