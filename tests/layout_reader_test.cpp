// LayoutReader: every built-in layout read from files in its exact style, a simulated day read
// back through every layout, the sequence merge against the exchange's own sequence, profiles
// and maps, and each refusal reason.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "layout_writer.h"
#include "quotelab/layout_reader.h"
#include "quotelab/orderbook.h"

namespace {

using KX::LayoutContent;
using KX::LayoutReader;

// This process's own directory for the files the tests write (removed at exit), so that test
// programs of two builds running at once do not read each other's files.
const std::string& scratch() {
  static const struct Scratch {
    std::string dir = testing::TempDir() + "ql_layout_" + std::to_string(getpid()) + "/";
    Scratch() { mkdir(dir.c_str(), 0755); }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } scratch;
  return scratch.dir;
}

std::string write_file(const std::string& name, const std::string& text) {
  const std::string path = scratch() + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// Opens and reads text through a fresh reader; the reader is returned for inspection.
struct Read {
  LayoutReader reader;
  int opened = -1;
  int refused = -1;
};

void read_text(Read* r, const std::string& name, const std::string& text, int day = 0) {
  if (day != 0) r->reader.set_trading_day(day);
  r->opened = r->reader.open(write_file(name, text).c_str());
  if (r->opened == 0) r->refused = r->reader.read();
}

const char kShAHeader[] =
    "DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,OrderPrice,"
    "Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo\n";

template <class T>
T field(T v) {
  return v;
}

// ---- each layout in its exact style ---------------------------------------------------------

// The simulated days below read back every field of every layout; these rows pin what they do
// not reach: the order file's sequence and line numbers, layout B's code taken from SecurityID
// rather than the name, and the Shenzhen market and own-side-best types.
TEST(LayoutReaderFiles, VendorRowsKeepTheirSequenceLinesAndCodes) {
  Read sha, shb, sz;
  read_text(&sha, "sha_orders.csv",
            "DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,"
            "OrderPrice,Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo\r\n"
            "0,1,1,600519,09:15:00.020,A,1001,1801.00999999999999,300,B,7,09:15:00.031,1\r\n"
            "0,2,1,600519,09:15:00.040,D,1001,1801.00999999999999,300,B,9,09:15:00.050,2\r\n",
            20230711);
  ASSERT_EQ(sha.opened, 0) << sha.reader.error();
  EXPECT_EQ(sha.reader.layout_name(), "sh-a-orders");
  ASSERT_EQ(sha.refused, 0);
  ASSERT_EQ(sha.reader.orders().size(), 2u);
  EXPECT_EQ(field(sha.reader.orders()[0].order_index), 7);
  EXPECT_EQ(sha.reader.orders()[1].order_type, 'D');
  EXPECT_TRUE(sha.reader.has_sequence());
  EXPECT_EQ(sha.reader.order_sequence(), (std::vector<int64_t>{7, 9}));
  EXPECT_EQ(sha.reader.order_lines(), (std::vector<uint32_t>{2, 3}));

  read_text(&shb, "shb_trades.csv",
            "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,"
            "TradingPhaseCode,TradeIndex,TradeBuyNo,TradeSellNo,TradeType,TradeBSFlag,TradePrice,"
            "TradeQty,TradeMoney,ReceiveDateTime,NumTrades,ChannelNo,ApplSeqNum,SecurityID\n"
            "2023.07.11,09:25:00.000,2,,102,\xe5\x8d\x8e\xe5\xa4\x8f,T111,1,11,12,0,0,25.3,"
            "500,12650,2023.07.11T09:25:03.276,1,1,40,605580.SH\n"
            "2023.07.11,09:30:00.120,2,,102,\xe5\x8d\x8e\xe5\xa4\x8f,T111,2,13,12,0,1,25.31,"
            "100,2531,2023.07.11T09:30:01.002,2,1,41,605580.SH\n");
  ASSERT_EQ(shb.opened, 0) << shb.reader.error();
  EXPECT_EQ(shb.reader.layout_name(), "sh-b-trades");
  ASSERT_EQ(shb.reader.trades().size(), 2u);
  EXPECT_STREQ(shb.reader.trades()[1].symbol, "605580");
  EXPECT_EQ(field(shb.reader.trades()[1].action_day), 20230711);
  EXPECT_EQ(shb.reader.trade_sequence(), (std::vector<int64_t>{40, 41}));

  read_text(&sz, "sz_orders.csv",
            "SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType\n"
            "000001,20230711093000120,5,2011,10.5,200,1,2\n"
            "000001,20230711093000130,6,2011,0,100,2,1\n"
            "000001,20230711093000140,7,2011,0,100,2,U\n");
  ASSERT_EQ(sz.opened, 0) << sz.reader.error();
  EXPECT_EQ(sz.reader.layout_name(), "sz-orders");
  ASSERT_EQ(sz.reader.orders().size(), 3u);
  EXPECT_EQ(field(sz.reader.orders()[0].action_day), 20230711);
  EXPECT_EQ(sz.reader.orders()[1].order_type, '1');
  EXPECT_EQ(sz.reader.orders()[2].order_type, 'U');
}

TEST(LayoutReaderFiles, MergedTicksKeepTheirOrderAndSkipStatusRows) {
  Read r;
  read_text(&r, "sh_ticks.csv",
            "BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,Price,Qty,"
            "TradeMoney,TickBSFlag\n"
            "1,1,600000,09:15:00.000,S,0,0,0,0,0,START\n"
            "2,1,600000,09:15:00.010,A,0,77,10.01,300,0,S\n"
            "3,1,600000,09:30:00.010,T,78,77,10.01,100,1001,B\n"
            "4,1,600000,09:30:00.010,A,78,0,10.01,200,0,B\n",
            20230711);
  ASSERT_EQ(r.opened, 0) << r.reader.error();
  EXPECT_EQ(r.reader.content(), LayoutContent::Ticks);
  EXPECT_EQ(r.reader.rows_skipped(), 1u);
  ASSERT_EQ(r.reader.stream().size(), 3u);
  EXPECT_EQ(r.reader.stream()[1].type, QL_RECORD_L2TRADE);
  EXPECT_EQ(field(r.reader.orders()[0].seq_num), 77);
  EXPECT_EQ(r.reader.orders()[0].bs_flag, 'S');
  EXPECT_EQ(field(r.reader.orders()[1].seq_num), 78);
  EXPECT_EQ(field(r.reader.trades()[0].bid_seq_num), 78);
}

// The merged tick-by-tick file writes TickTime in hundredths (HHMMSSss, the hour's leading zero
// optional); other layouts read 8 digits as HHMMSSmmm.
TEST(LayoutReaderFiles, TickTimesInHundredths) {
  const struct {
    const char* layout;
    const char* time;
    int32_t want;  // 0: refused
  } cases[] = {
      {"sh-ticks", "9150002", 91500020},     {"sh-ticks", "09150002", 91500020},
      {"sh-ticks", "13005999", 130059990},   {"sh-ticks", "09:15:00.020", 91500020},
      {"sh-ticks", "091500020", 91500020},   {"sh-ticks", "91500020", 0},
      {"sh-a-orders", "91500020", 91500020}, {"sh-a-orders", "9150002", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " " + c.time);
    const bool ticks = std::string(c.layout) == "sh-ticks";
    const std::string text =
        ticks ? std::string(
                    "BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,"
                    "Price,Qty,TradeMoney,TickBSFlag\n2,1,600000,") +
                    c.time + ",A,0,77,10.01,300,0,S\n"
              : std::string(kShAHeader) + "0,1,1,600519," + c.time + ",A,1,10.01,300,B,7,0,1\n";
    Read r;
    read_text(&r, "ticktime.csv", text, 20230711);
    ASSERT_EQ(r.opened, 0) << r.reader.error();
    EXPECT_EQ(r.reader.layout_name(), c.layout);
    if (c.want == 0) {
      ASSERT_EQ(r.refused, 1);
      EXPECT_EQ(r.reader.refusals()[0].reason, "time does not parse");
    } else {
      ASSERT_EQ(r.refused, 0) << r.reader.refusals()[0].reason;
      EXPECT_EQ(field(r.reader.orders()[0].time), c.want);
    }
  }
}

TEST(LayoutReaderFiles, ExchangeSnapshotsWithBlankLevelsAndOrderCounts) {
  const std::string header = []() {
    std::string h =
        "UpdateTime,SecurityID,ImageStatus,PreCloPrice,OpenPrice,HighPrice,LowPrice,LastPrice,"
        "ClosePrice,InstruStatus,TradNumber,TradVolume,Turnover,TotalBidVol,WAvgBidPri,"
        "AltWAvgBidPri,TotalAskVol,WAvgAskPri,AltWAvgAskPri,EtfBuyNumber,EtfBuyVolume,"
        "EtfBuyMoney,EtfSellNumber,EtfSellVolume,ETFSellMoney,YieldToMatu,TotWarExNum,"
        "WarLowerPri,WarUpperPri,WiDBuyNum,WiDBuyVol,WiDBuyMon,WiDSellNum,WiDSellVol,WiDSellMon,"
        "TotBidNum,TotSellNum,MaxBidDur,MaxSellDur,BidNum,SellNum,IOPV";
    for (const char* s : {"Ask", "Bid"})
      for (int i = 1; i <= 10; ++i)
        h += std::string(",") + s + "Price" + std::to_string(i) + "," + s + "Volume" +
             std::to_string(i);
    for (const char* s : {"B", "S"})
      for (int i = 1; i <= 10; ++i) h += ",NumOrders" + std::string(s) + std::to_string(i);
    return h + ",LocalTime,SeqNo\n";
  }();
  std::string row =
      "09:30:03.000,600519,1,1790.5,1795.00999999999999,1800,1790,1799.99,,TRADE,"
      "42,12300,22140000";
  for (int i = 0; i < 29; ++i) row += ",0";  // TotalBidVol .. IOPV
  row += ",1800.01,100";                     // ask level 1; levels 2 to 10 blank
  for (int i = 2; i <= 10; ++i) row += ",,";
  row += ",1799.99,200,1799.98,300";  // bid levels 1 and 2
  for (int i = 3; i <= 10; ++i) row += ",,";
  row += ",3,4";  // NumOrdersB1, B2
  for (int i = 3; i <= 10; ++i) row += ",";
  row += ",1";  // NumOrdersS1
  for (int i = 2; i <= 10; ++i) row += ",";
  row += ",09:30:03.120,17\n";
  Read r;
  read_text(&r, "20230711_snap.csv", header + row, 20230711);
  ASSERT_EQ(r.opened, 0) << r.reader.error();
  EXPECT_EQ(r.reader.layout_name(), "sh-a-snapshots");
  ASSERT_EQ(r.refused, 0) << r.reader.refusals()[0].reason << " " << r.reader.refusals()[0].detail;
  ASSERT_EQ(r.reader.snapshots().size(), 1u);
  const _L2Snapshot& s = r.reader.snapshots()[0];
  const KX::SnapshotExtra& x = r.reader.snapshot_extras()[0];
  EXPECT_EQ(field(s.time), 93003000);
  EXPECT_EQ(field(s.open), 1795.01);
  EXPECT_EQ(field(s.num_trades), 42);
  EXPECT_EQ(field(s.volume), 12300);
  EXPECT_EQ(field(s.ask_price[0]), 1800.01);
  EXPECT_EQ(field(s.ask_price[1]), 0.0);
  EXPECT_EQ(field(s.bid_volume[1]), 300);
  EXPECT_EQ(x.bid_orders[1], 4);
  EXPECT_EQ(x.ask_orders[0], 1);
  EXPECT_STREQ(x.phase, "TRADE");
}

// ---- reading into the caller's arrays -----------------------------------------------------

// Arrays that keep what they are told to keep and count the calls.
class TestArrays : public KX::LayoutRecordArrays {
 public:
  std::vector<_L2Order> orders;
  std::vector<_L2Trade> trades;
  int calls = 0;
  _L2Order* order_room(size_t kept, size_t n) override { return room(&orders, kept, n); }
  _L2Trade* trade_room(size_t kept, size_t n) override { return room(&trades, kept, n); }

 private:
  template <class Rec>
  Rec* room(std::vector<Rec>* v, size_t kept, size_t n) {
    ++calls;
    std::vector<Rec> grown(n);
    std::copy(v->begin(), v->begin() + kept, grown.begin());
    v->swap(grown);
    return v->data();
  }
};

TEST(LayoutReaderArrays, CallersArraysGetTheRecordsTheReaderWouldKeep) {
  // The first rows are long and the rest short: the estimate from the first rows falls short
  // and the arrays must grow, keeping what was written.
  std::string text =
      "BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,Price,Qty,TradeMoney,"
      "TickBSFlag\n";
  for (int i = 1; i <= 3000; ++i) {
    const std::string price = i <= 40 ? "10.01" + std::string(90, '0') : "10.01";
    text += std::to_string(i) + ",1,600000,09:30:00.010," + (i % 3 ? "A,0," : "T,1,") +
            std::to_string(i) + "," + price + ",100,0," + (i % 3 ? "S" : "B") + "\n";
  }
  const std::string path = write_file("20230711_grow.csv", text);
  LayoutReader own, into;
  TestArrays arrays;
  ASSERT_EQ(own.open(path.c_str()), 0) << own.error();
  ASSERT_EQ(own.read(), 0);
  ASSERT_EQ(into.open(path.c_str()), 0);
  ASSERT_EQ(into.read(&arrays), 0);
  EXPECT_GT(arrays.calls, 2);  // room for each kind up front, then growth
  EXPECT_TRUE(into.orders().empty());
  ASSERT_EQ(into.order_count(), 2000u);
  ASSERT_EQ(into.trade_count(), 1000u);
  ASSERT_EQ(own.order_count(), 2000u);
  EXPECT_EQ(0, std::memcmp(arrays.orders.data(), own.orders().data(), 2000 * sizeof(_L2Order)));
  EXPECT_EQ(0, std::memcmp(arrays.trades.data(), own.trades().data(), 1000 * sizeof(_L2Trade)));
  EXPECT_EQ(into.stream().size(), 3000u);
  EXPECT_EQ(field(arrays.orders[0].price), 10.01);
}

// Long prices (representation noise) read as the whole text read and rounded to six decimals,
// near halves included.
TEST(LayoutReaderArrays, LongPricesRoundAsTheirWholeText) {
  const char* prices[] = {"1801.00999999999999", "10.00000049999999999", "10.0000005000000001",
                          "99999.1234564999999", "0.12345650000000001",  "3.14159265358979323",
                          "123456789.0123456789"};
  std::string text = kShAHeader;
  for (const char* p : prices)
    text += std::string("0,1,1,600519,09:15:00.020,A,1,") + p + ",1,B,1,0,1\n";
  Read r;
  read_text(&r, "long_prices.csv", text, 20230711);
  ASSERT_EQ(r.refused, 0);
  ASSERT_EQ(r.reader.orders().size(), std::size(prices));
  for (size_t i = 0; i < std::size(prices); ++i) {
    const double v = std::strtod(prices[i], nullptr);
    const double want = std::fabs(v) < 1e9 ? std::nearbyint(v * 1e6) / 1e6 : v;
    EXPECT_EQ(field(r.reader.orders()[i].price), want) << prices[i];
  }
}

// ---- a simulated day through every layout ----------------------------------------------------

struct DayCase {
  qlsim::Style style;
  qlsim::FileLayout layout;
  const char* orders_layout;
};

class LayoutReaderDay : public testing::TestWithParam<DayCase> {};

// The records as read keep every field the layout carries.
void expect_same_orders(const std::vector<_L2Order>& a, const std::vector<_L2Order>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(0, std::memcmp(&a[i], &b[i], sizeof a[i]));
  }
}

// Every field the layout carries reads back as simulated (the program's test rebuilds each
// layout's day through the sequence merge and compares the snapshots).
TEST_P(LayoutReaderDay, ReadsBackTheSimulatedRecords) {
  const DayCase c = GetParam();
  qlsim::Config cfg;
  cfg.style = c.style;
  cfg.orders = 3000;
  cfg.seed = 11;
  cfg.symbol = c.style == qlsim::Style::Shanghai ? "600519" : "000001";
  const qlsim::Day day = qlsim::simulate_day(cfg);

  const std::string dir = scratch() + std::to_string(cfg.date) + "/";
  mkdir(dir.c_str(), 0755);
  LayoutReader orders;
  ASSERT_EQ(orders.open(write_file(std::to_string(cfg.date) + "/" + c.orders_layout + ".csv",
                                   qlsim::layout_orders_text(day, c.layout))
                            .c_str()),
            0)
      << orders.error();
  EXPECT_EQ(orders.layout_name(), c.orders_layout);
  ASSERT_EQ(orders.read(), 0) << orders.refusals()[0].reason;

  std::vector<_L2Trade> trades = orders.trades();
  if (c.layout != qlsim::FileLayout::ShanghaiTicks) {
    LayoutReader t;
    // A file of each case's own: the cases run side by side in one directory.
    ASSERT_EQ(t.open(write_file(std::to_string(cfg.date) + "/" + c.orders_layout + "-trades.csv",
                                qlsim::layout_trades_text(day, c.layout))
                         .c_str()),
              0)
        << t.error();
    ASSERT_EQ(t.read(), 0);
    trades = t.trades();
  }
  expect_same_orders(orders.orders(), day.orders);
  ASSERT_EQ(trades.size(), day.trades.size());
  for (size_t i = 0; i < trades.size(); ++i) {
    _L2Trade want = day.trades[i];
    if (c.style == qlsim::Style::Shenzhen) want.bs_flag = 0;  // the trade file has no side
    if (c.layout == qlsim::FileLayout::ShanghaiTicks) want.seq_num = want.aux_no;
    ASSERT_EQ(0, std::memcmp(&trades[i], &want, sizeof want)) << "trade " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutReaderDay,
    testing::Values(DayCase{qlsim::Style::Shanghai, qlsim::FileLayout::ShanghaiA, "sh-a-orders"},
                    DayCase{qlsim::Style::Shanghai, qlsim::FileLayout::ShanghaiB, "sh-b-orders"},
                    DayCase{qlsim::Style::Shanghai, qlsim::FileLayout::ShanghaiTicks, "sh-ticks"},
                    DayCase{qlsim::Style::Shenzhen, qlsim::FileLayout::Shenzhen, "sz-orders"}),
    [](const testing::TestParamInfo<DayCase>& info) {
      std::string name = info.param.orders_layout;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// ---- refusals -------------------------------------------------------------------------------

const char kGoodRow[] = "0,1,1,600519,09:15:00.020,A,1,10.01,300,B,7,0,1\n";

TEST(LayoutReaderRefusals, EachReasonWithItsLine) {
  const struct {
    std::string rows;
    const char* reason;
  } cases[] = {
      {"0,2,1,600519,09:15:00.020,A,2,10.01,300,1,8,0,2\n", "unknown side code"},
      {"0,2,1,600519,09:15:00.020,10,2,10.01,300,B,8,0,2\n", "unknown type code"},
      {"0,2,1,600519,9h15,A,2,10.01,300,B,8,0,2\n", "time does not parse"},
      {"0,2,1,600519,09:15:00.020,A,2,ten,300,B,8,0,2\n", "price does not parse"},
      {"0,2,1,600519,09:15:00.020,A,2,10.01,3x0,B,8,0,2\n", "number does not parse"},
      {"0,2,1,600519,09:15:00.020,A,2\n", "short row"},
      {"0,2,1,600519,09:15:00.020,A,2,10.01", "row cut off at the end of the file"},
      {std::string("0,2,1,600519,09:15:00.020,A,2,10.01,300,B\0,8,0,2\n", 49),
       "NUL inside a field"},
      {"0,2,1,\"600519,09:15:00.020,A,2,10.01,300,B,8,0,2\n0,3,1,600519,09:15:00.030,A,3,10.01,"
       "300,B,9,0,3\n",
       "unterminated quote"},
      {"0,2,1,6005190000000,09:15:00.020,A,2,10.01,300,B,8,0,2\n",
       "instrument code missing or too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Read r;
    read_text(&r, "refusal.csv", std::string(kShAHeader) + kGoodRow + c.rows, 20230711);
    ASSERT_EQ(r.opened, 0) << r.reader.error();
    EXPECT_EQ(r.refused, 1);
    ASSERT_EQ(r.reader.refusals().size(), 1u);
    EXPECT_EQ(r.reader.refusals()[0].reason, c.reason);
    EXPECT_EQ(r.reader.refusals()[0].line, 3);
    EXPECT_EQ(r.reader.orders().size(), 1u);
  }
}

TEST(LayoutReaderRefusals, FirstTenKeptAndEveryOneCounted) {
  std::string text = kShAHeader;
  for (int i = 0; i < 25; ++i) text += "0,2,1,600519,09:15:00.020,A,2,10.01,300,X,8,0,2\n";
  for (int i = 0; i < 5; ++i) text += "0,2,1,600519,09:15:00.020,Q,2,10.01,300,B,8,0,2\n";
  Read r;
  read_text(&r, "many.csv", text, 20230711);
  EXPECT_EQ(r.refused, 30);
  EXPECT_EQ(r.reader.refusals().size(), LayoutReader::kRefusalsKept);
  ASSERT_EQ(r.reader.refusal_counts().size(), 2u);
  EXPECT_EQ(r.reader.refusal_counts()[0].count, 25u);
  EXPECT_EQ(r.reader.refusal_counts()[1].count, 5u);
  EXPECT_NE(r.reader.refusals()[0].detail.find("OrderBSFlag 'X'"), std::string::npos);
}

TEST(LayoutReaderRefusals, ShenzhenBorrowingSideIsNotABookSide) {
  Read r;
  read_text(&r, "sz_g.csv",
            "SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType\n"
            "000001,20230711093000120,5,2011,10.5,200,G,2\n");
  ASSERT_EQ(r.refused, 1);
  EXPECT_EQ(r.reader.refusals()[0].reason, "side is not buy or sell (borrowing or lending)");
}

// ---- opening ------------------------------------------------------------------------------

TEST(LayoutReaderOpen, FailuresNameTheFileAndTheFix) {
  const struct {
    const char* name;
    std::string text;
    const char* expected;
  } cases[] = {
      {"semicolons.csv", "SecurityID;TransactTime;ApplSeqNum\n1;2;3\n", "give --delimiter ;"},
      {"binary.csv",
       std::string("\x04\x02"
                   "600000\0\0\0\0",
                   12),
       "is a binary file"},
      {"unknown.csv", "a,b,c\n1,2,3\n", "matches no known layout"},
      {"empty.csv", "", "no header row"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LayoutReader r;
    EXPECT_EQ(r.open(write_file(c.name, c.text).c_str()), -1);
    EXPECT_NE(r.error().find(c.expected), std::string::npos) << r.error();
    if (std::string(c.name) != "empty.csv") {
      EXPECT_NE(r.error().find(c.name), std::string::npos) << r.error();
    }
  }
}

// A header that carries every column of two layouts as fully is refused naming both, whether
// the layout is detected or mapped on top of the best built-in.
TEST(LayoutReaderOpen, HeaderBindingTwoLayoutsEquallyNamesBoth) {
  // All of sh-a-orders and all of sh-a-trades but TradeMoney: 13 names of each.
  const std::string text =
      "DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,OrderPrice,"
      "Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo,TradeIndex,TradeChan,TradTime,TradPrice,"
      "TradVolume,TradeBuyNo,TradeSellNo,TradeBSFlag\n";
  for (const char* values : {"", "side:B=B,S=S,N=N"}) {
    SCOPED_TRACE(values);
    LayoutReader r;
    if (*values != '\0') {
      ASSERT_EQ(r.apply_values(values), 0);
    }
    EXPECT_EQ(r.open(write_file("both.csv", text).c_str()), -1);
    EXPECT_NE(r.error().find("binds two layouts equally (sh-a-orders and sh-a-trades)"),
              std::string::npos)
        << r.error();
    EXPECT_NE(r.error().find("both.csv"), std::string::npos) << r.error();
  }
}

TEST(LayoutReaderProfiles, MapValuesAndProfileFileReadARenamedLayout) {
  const std::string text =
      "code,t,kind,no,px,qty,bs,seq\n"
      "600519.SH,093000120,2,5,10.01,100,1,9\n"
      "600519.SH,093000130,10,5,10.01,100,1,10\n";
  LayoutReader mapped;
  ASSERT_EQ(mapped.apply_map("symbol=code,time=t,type=kind,order_no=no,price=px,volume=qty,"
                             "side=bs,sequence=seq"),
            0);
  ASSERT_EQ(mapped.apply_values("side:1=B,2=S;type:2=A,10=D"), 0);
  ASSERT_EQ(mapped.open(write_file("renamed.csv", text).c_str()), 0) << mapped.error();
  EXPECT_EQ(mapped.content(), LayoutContent::Orders);
  mapped.set_trading_day(20230711);
  ASSERT_EQ(mapped.read(), 0) << mapped.refusals()[0].reason;
  ASSERT_EQ(mapped.orders().size(), 2u);
  EXPECT_EQ(mapped.orders()[1].order_type, 'D');
  EXPECT_EQ(field(mapped.orders()[0].time), 93000120);

  const std::string profile = write_file(
      "vendor.profile",
      "# a vendor's order files\nname = my-vendor\ncontent = orders\nexchange = SH\n"
      "map = symbol=code, time=t, type=kind, order_no=no, price=px, volume=qty\n"
      "side = bs   # 1 buy, 2 sell\nsequence = seq\nvalues = side:1=B,2=S;type:2=A,10=D\n");
  LayoutReader profiled;
  ASSERT_EQ(profiled.load_profile(profile.c_str()), 0) << profiled.error();
  ASSERT_EQ(profiled.open(write_file("renamed.csv", text).c_str()), 0) << profiled.error();
  EXPECT_EQ(profiled.layout_name(), "my-vendor");
  ASSERT_EQ(profiled.read(), 0);
  EXPECT_EQ(profiled.orders().size(), 2u);
}

TEST(LayoutReaderProfiles, BadProfilesAreRefusedWithTheirLine) {
  LayoutReader r;
  EXPECT_EQ(r.apply_profile_text("name = x\ncolour = blue\n", "p.profile"), -1);
  EXPECT_NE(r.error().find("p.profile line 2"), std::string::npos) << r.error();
  EXPECT_EQ(r.apply_values("side:1=Q"), -1);
  EXPECT_EQ(r.apply_map("price"), -1);
  EXPECT_EQ(r.use_layout("nope"), -1);
  EXPECT_EQ(r.apply_profile_text("time_digits = HHMM\n", "t.profile"), -1);
  EXPECT_NE(r.error().find("not HHMMSSss or HHMMSSmmm"), std::string::npos) << r.error();
}

TEST(LayoutReaderProfiles, EveryBuiltInRoundTripsAsAProfile) {
  ASSERT_EQ(LayoutReader::builtin_layout_count(), 8);
  for (int i = 0; i < LayoutReader::builtin_layout_count(); ++i) {
    LayoutReader r;
    EXPECT_EQ(r.apply_profile_text(LayoutReader::builtin_layout_profile(i).c_str(), "builtin"), 0)
        << r.error();
    EXPECT_EQ(
        LayoutReader::builtin_layout_profile(i).find("time_digits = HHMMSSss") != std::string::npos,
        std::string(LayoutReader::builtin_layout_name(i)) == "sh-ticks");
  }
}

}  // namespace
