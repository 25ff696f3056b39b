// The file replays: DataReplayBin over binary tick and bar files, DataReplayCsv over CSV files,
// each holding several trading days.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"

namespace {

constexpr int kDay1 = 20240102;
constexpr int kDay2 = 20240103;
constexpr int kDay3 = 20240104;

_L2Snapshot make_tick(int trading_day, int seq) {
  _L2Snapshot t;
  memset(&t, 0, sizeof t);
  t.type = QL_RECORD_L2SNAPSHOT;
  t.exchange = 1;
  strcpy(t.symbol, "600000");
  t.action_day = t.trading_day = trading_day;
  t.time = 93000000 + seq * 3000;
  t.last = 10.0 + seq;
  t.volume = 100 * (seq + 1);
  t.bid_volume[9] = 900 + seq;  // the last field of the record
  return t;
}

_BarData make_bar(int trading_day, int seq) {
  _BarData b;
  memset(&b, 0, sizeof b);
  b.type = QL_RECORD_BAR;
  b.exchange = 2;
  strcpy(b.symbol, "000001");
  b.action_day = b.trading_day = trading_day;
  b.time = 93100000 + seq * 100000;
  b.close = 5.5 + seq;
  return b;
}

// Records of consecutive trading days: counts[i] records of day kDay1 + i.
template <typename Record, typename Maker>
std::vector<Record> several_days(std::vector<int> counts, Maker make) {
  std::vector<Record> out;
  int seq = 0;
  for (size_t d = 0; d < counts.size(); ++d) {
    for (int i = 0; i < counts[d]; ++i) out.push_back(make(kDay1 + static_cast<int>(d), seq++));
  }
  return out;
}

class ReplayFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ql_replay_files_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string tick_path(const char* ext = "dat") const { return root_ + "/tick." + ext; }
  std::string bar_path() const { return root_ + "/bar1m.dat"; }

  template <typename Record>
  static void write_binary(const std::string& path, const std::vector<Record>& records,
                           size_t trailing_bytes = 0) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(records.data()),
              static_cast<std::streamsize>(records.size() * sizeof(Record)));
    const std::string tail(trailing_bytes, '\x5a');
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  }
  std::string root_;
  unsigned char buf_[1024];
  unsigned char type_ = 0;
};

// ---- DataReplayBin ---------------------------------------------------------------------------

using BinReplayTest = ReplayFilesTest;

// Large enough that records straddle the replay's read-ahead blocks and a day ends inside one;
// the file ends in a partial record that is never delivered.
TEST_F(BinReplayTest, TickDaysEndOnAConsumedRecordAndContinueAfterInit) {
  const auto ticks = several_days<_L2Snapshot>({1700, 1300, 1}, make_tick);
  const std::string path = tick_path();
  write_binary(path, ticks, 100);
  KX::DataReplayBin replay("tick", "SSE", path.c_str());
  ASSERT_EQ(replay.init(kDay1), 0);
  size_t i = 0;
  int r = 0;
  for (; (r = replay.next(buf_, 464, &type_)) == 464; ++i) {
    ASSERT_EQ(memcmp(buf_, &ticks[i], 464), 0) << i;
  }
  EXPECT_EQ(type_, QL_RECORD_L2SNAPSHOT);
  EXPECT_EQ(r, -2);
  EXPECT_EQ(i, 1700u);
  // The first record of the next day ended the day and is gone: the Bin kind read it to see.
  ASSERT_EQ(replay.init(kDay2), 0);
  for (++i; (r = replay.next(buf_, 464, &type_)) == 464; ++i) {
    ASSERT_EQ(memcmp(buf_, &ticks[i], 464), 0) << i;
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(i, 3000u);
  ASSERT_EQ(replay.init(kDay3), 0);
  EXPECT_EQ(replay.next(buf_, 464, &type_), 0);
  EXPECT_EQ(replay.next(buf_, 464, &type_), 0);
  EXPECT_EQ(replay.init(kDay3), -3);
}

TEST_F(BinReplayTest, TickDayZeroOrNegativeDeliversEveryRecordUnchanged) {
  const auto ticks = several_days<_L2Snapshot>({1, 1, 1}, make_tick);
  const std::string path = tick_path();
  write_binary(path, ticks);
  for (int day : {0, -1}) {
    KX::DataReplayBin replay("tick2", "", path.c_str());
    replay.init(day);
    for (const auto& t : ticks) {
      ASSERT_EQ(replay.next(buf_, 464, nullptr), 464);
      EXPECT_EQ(memcmp(buf_, &t, 464), 0);
    }
    EXPECT_EQ(replay.next(buf_, 464, nullptr), 0);
  }
}

TEST_F(BinReplayTest, BarsCarryTheReplayTradingDay) {
  auto bars = several_days<_BarData>({2, 1}, make_bar);
  bars[1].type = 99;  // delivered as stored
  const std::string path = bar_path();
  write_binary(path, bars);

  KX::DataReplayBin all("1m", "", path.c_str());
  all.init(0);
  for (const auto& b : bars) {
    ASSERT_EQ(all.next(buf_, 180, &type_), 180);
    EXPECT_EQ(type_, QL_RECORD_BAR);
    _BarData got;
    memcpy(&got, buf_, sizeof got);
    EXPECT_EQ(got.trading_day, 0);
    EXPECT_EQ(got.type, b.type);
    EXPECT_EQ(static_cast<double>(got.close), static_cast<double>(b.close));  // packed fields
  }

  KX::DataReplayBin daily("Tick", "", path.c_str());  // not "tick": a bar replay
  daily.init(kDay1);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 180);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 180);
  EXPECT_EQ(daily.next(buf_, 180, &type_), -2);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 0);
}

// Below the record size nothing is read and the position stays; above it exactly one record.
TEST_F(BinReplayTest, SizeOtherThanTheRecordReadsNothingOrOneRecord) {
  const auto ticks = several_days<_L2Snapshot>({2}, make_tick);
  const std::string path = tick_path();
  write_binary(path, ticks);
  KX::DataReplayBin replay("tick", "", path.c_str());
  replay.init(kDay1);
  memset(buf_, 0xAB, sizeof buf_);
  type_ = 0xEE;
  for (int size : {463, 0, -464}) EXPECT_EQ(replay.next(buf_, size, &type_), -1) << size;
  EXPECT_EQ(replay.next(nullptr, 464, &type_), -1);
  EXPECT_EQ(buf_[0], 0xAB);
  EXPECT_EQ(type_, 0xEE);
  for (const auto& t : ticks) {
    ASSERT_EQ(replay.next(buf_, sizeof buf_, &type_), 464);
    EXPECT_EQ(memcmp(buf_, &t, 464), 0);
    EXPECT_EQ(buf_[464], 0xAB);  // nothing written past the record
  }
  EXPECT_EQ(replay.next(buf_, sizeof buf_, &type_), 0);

  write_binary(bar_path(), several_days<_BarData>({1}, make_bar));
  KX::DataReplayBin bar_replay("1m", "", bar_path().c_str());
  EXPECT_EQ(bar_replay.next(buf_, 179, &type_), -1);
  EXPECT_EQ(bar_replay.next(buf_, 180, &type_), 180);
}

TEST_F(BinReplayTest, FileThatDoesNotOpenIsReportedAndNeverRead) {
  const std::string missing = root_ + "/none.dat";
  testing::internal::CaptureStderr();
  KX::DataReplayBin replay("tick", "", missing.c_str());
  KX::DataReplayBin no_path("tick", "", nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DataReplayBin open bin_file='" + missing + "' failed\n"), std::string::npos);
  EXPECT_NE(err.find("DataReplayBin open bin_file='(null)' failed\n"), std::string::npos);
  for (KX::DataReplayBin* r : {&replay, &no_path}) {
    EXPECT_FALSE(r->is_open());
    EXPECT_EQ(r->init(kDay1), -3);
    EXPECT_EQ(r->get_trading_day(), kDay1);
    EXPECT_EQ(r->next(buf_, 464, &type_), -4);
    EXPECT_EQ(r->start(), 0);
    EXPECT_EQ(r->subscribe(nullptr, 0, 0), -10);
  }
}

// ---- DataReplayCsv ---------------------------------------------------------------------------

class CsvReplayTest : public ReplayFilesTest {
 protected:
  std::string write_csv(const std::string& text) {
    const std::string path = tick_path("csv");
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  _L2Snapshot tick() const {
    _L2Snapshot t;
    memcpy(&t, buf_, sizeof t);
    return t;
  }
  _BarData bar() const {
    _BarData b;
    memcpy(&b, buf_, sizeof b);
    return b;
  }
};

TEST_F(CsvReplayTest, TicksWithoutTradingDayColumnStayOnTheRecordOfTheNextDay) {
  const std::string path = write_csv(
      "symbol,action_day,time,last,volume\n"
      "600000.SH,20240102,93000000,10.5,100\n"
      "600000.SH,20240102,93003000,10.6,200\n"
      "600000.SH,20240103,93000000,10.7,300\n"
      "600000.SH,20240103,93003000,10.8,400\n");
  KX::DataReplayCsv replay("tick", "SSE", path.c_str());
  ASSERT_TRUE(replay.is_open());
  ASSERT_EQ(replay.init(kDay1), 0);
  EXPECT_EQ(replay.next(nullptr, 464, &type_), -1);  // refused without moving the row
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(type_, QL_RECORD_L2SNAPSHOT);
  EXPECT_EQ(tick().type, QL_RECORD_L2SNAPSHOT);
  EXPECT_STREQ(tick().symbol, "600000");
  EXPECT_EQ(tick().exchange, 1);
  EXPECT_EQ(tick().trading_day, kDay1);
  EXPECT_EQ(tick().last, 10.5);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(replay.next(buf_, 464, &type_), -2);
  EXPECT_EQ(replay.next(buf_, 464, &type_), -2);  // stays on that row

  ASSERT_EQ(replay.init(kDay2), 0);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().last, 10.7);
  EXPECT_EQ(tick().trading_day, kDay2);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().volume, 400);
  EXPECT_EQ(replay.next(buf_, 464, &type_), -3);
  EXPECT_EQ(replay.init(kDay3), -3);
  EXPECT_EQ(replay.get_trading_day(), kDay2);  // kept on -3

  KX::DataReplayCsv day_zero("tick", "", path.c_str());
  ASSERT_EQ(day_zero.init(0), 0);
  EXPECT_EQ(day_zero.next(buf_, 464, &type_), -2);  // no exception for day 0 without the column
}

TEST_F(CsvReplayTest, TicksWithTradingDayColumnUseItForTheDay) {
  // A night session: the action day is the calendar day, the trading day the next one.
  const std::string path = write_csv(
      "trading_day,symbol,action_day,time,last\n"
      "20240102,RB2405.SHF,20240101,210000000,3900\n"
      "0,RB2405.SHF,20240102,90000000,3901\n"
      "20240103,RB2405.SHF,20240102,210000000,3902\n");
  KX::DataReplayCsv replay("tick", "", path.c_str());
  replay.init(kDay1);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().trading_day, kDay1);
  EXPECT_EQ(tick().action_day, 20240101);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().trading_day, 0);  // a value <= 0 is delivered as it is
  EXPECT_EQ(replay.next(buf_, 464, &type_), -2);
  EXPECT_EQ(replay.next(buf_, 464, &type_), -2);
  replay.init(kDay2);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().last, 3902);
  EXPECT_EQ(replay.next(buf_, 464, &type_), -3);

  // "tradingday" binds the snapshot's trading_day for the decoder, but the replay does not see
  // a "trading_day" column and replaces it by the action day.
  KX::DataReplayCsv alias("tick", "",
                          write_csv("tradingday,symbol,action_day,time\n"
                                    "20240103,600000.SH,20240102,93000000\n")
                              .c_str());
  alias.init(kDay1);
  ASSERT_EQ(alias.next(buf_, 464, &type_), 464);
  EXPECT_EQ(tick().trading_day, kDay1);
}

TEST_F(CsvReplayTest, BarsWithoutColumnAndDayZeroDeliverEveryRowWithDayZero) {
  const std::string path = write_csv(
      "symbol,action_day,time,open,close,volume\n"
      "000001.SZ,20240102,93100000,5,5.5,1000\n"
      "000001.SZ,20240103,93100000,6,6.5,2000\n");
  KX::DataReplayCsv replay("1m", "", path.c_str());
  replay.init(0);
  for (double close : {5.5, 6.5}) {
    ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
    EXPECT_EQ(type_, QL_RECORD_BAR);
    EXPECT_EQ(bar().type, QL_RECORD_BAR);
    EXPECT_EQ(bar().close, close);
    EXPECT_EQ(bar().trading_day, 0);
  }
  EXPECT_EQ(replay.next(buf_, 180, &type_), -3);
}

TEST_F(CsvReplayTest, BarsWithColumnStopAtAnotherDayAndTakeTheReplayDay) {
  const std::string path = write_csv(
      "symbol,action_day,time,close,trading_day\n"
      "000001.SZ,20240102,93100000,5.5,20240102\n"
      "000001.SZ,20240102,93200000,5.6,-1\n"
      "000001.SZ,20240103,93100000,6.5,20240103\n");
  KX::DataReplayCsv replay("Tick", "", path.c_str());  // not "tick": bars
  replay.init(kDay1);
  ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
  ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
  EXPECT_EQ(bar().trading_day, kDay1);  // the replay's day, not the row's -1
  EXPECT_EQ(replay.next(buf_, 180, &type_), -2);
  replay.init(kDay2);
  ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
  EXPECT_EQ(bar().close, 6.5);
}

TEST_F(CsvReplayTest, TickClearsTheWholeRecordWhateverSizeSays) {
  const std::string path = write_csv("symbol,action_day,time\n600000.SH,20240102,93000000\n");
  KX::DataReplayCsv replay("tick", "", path.c_str());
  replay.init(kDay1);
  memset(buf_, 0xAB, sizeof buf_);
  ASSERT_EQ(replay.next(buf_, 8, &type_), 464);
  _L2Snapshot expected;
  memset(&expected, 0, sizeof expected);
  expected.type = QL_RECORD_L2SNAPSHOT;
  expected.exchange = 1;
  strcpy(expected.symbol, "600000");
  expected.action_day = expected.trading_day = kDay1;
  expected.time = 93000000;
  EXPECT_EQ(memcmp(buf_, &expected, 464), 0);
  EXPECT_EQ(buf_[464], 0xAB);
}

TEST_F(CsvReplayTest, RowWithoutInstrumentGoesThroughTheSameTests) {
  const std::string path = write_csv(
      "action_day,time,close,symbol\n"
      "20240102,93000000,7\n");  // the row has no instrument field
  KX::DataReplayCsv replay("5m", "", path.c_str());
  replay.init(kDay1);
  // The refused row reads as action day 0, another day than the replay's.
  EXPECT_EQ(replay.next(buf_, 180, &type_), -2);
  replay.init(0);
  ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
  _BarData expected;
  memset(&expected, 0, sizeof expected);
  expected.type = QL_RECORD_BAR;
  EXPECT_EQ(memcmp(buf_, &expected, 180), 0);
}

TEST_F(CsvReplayTest, CsvThatDoesNotOpenOrIsEmptyGivesNothing) {
  const std::string missing = root_ + "/none.csv";
  testing::internal::CaptureStderr();
  KX::DataReplayCsv empty_path("tick", "", "");
  KX::DataReplayCsv null_path("tick", "", nullptr);
  KX::DataReplayCsv no_file("1m", "", missing.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DataReplayCsv: csv_file '' not opened\n"), std::string::npos);
  EXPECT_NE(err.find("DataReplayCsv: csv_file '(null)' not opened\n"), std::string::npos);
  EXPECT_NE(err.find("DataReplayCsv: csv_file '" + missing + "' not opened\n"), std::string::npos);
  memset(buf_, 0xAB, sizeof buf_);
  type_ = 0xEE;
  for (KX::DataReplayCsv* r : {&empty_path, &null_path, &no_file}) {
    EXPECT_FALSE(r->is_open());
    EXPECT_EQ(r->init(kDay1), -4);
    EXPECT_EQ(r->get_trading_day(), 0);
    EXPECT_EQ(r->next(buf_, 464, &type_), -3);
    EXPECT_EQ(r->subscribe(nullptr, 0, 0), -10);
  }
  EXPECT_EQ(buf_[0], 0xAB);
  EXPECT_EQ(type_, 0xEE);

  KX::DataReplayCsv header_only("tick", "", write_csv("symbol,action_day,time\n").c_str());
  EXPECT_TRUE(header_only.is_open());
  EXPECT_EQ(header_only.init(kDay1), -3);
  EXPECT_EQ(header_only.next(buf_, 464, &type_), -3);
}

TEST_F(CsvReplayTest, SnapshotsWrittenByTheRowFormatterReplayIntoTheSameRecords) {
  char line[4096];
  ASSERT_GT(l2snapshot_csv_header(line, sizeof line, ','), 0);
  std::string text = line;
  const auto ticks = several_days<_L2Snapshot>({3, 2}, make_tick);
  for (const auto& t : ticks) {
    ASSERT_GT(l2snapshot_to_csv(line, sizeof line, &t, ','), 0);
    text += line;
  }
  KX::DataReplayCsv replay("tick", "", write_csv(text).c_str());
  size_t delivered = 0;
  for (int day : {kDay1, kDay2}) {
    ASSERT_EQ(replay.init(day), 0);
    int r = 0;
    while ((r = replay.next(buf_, 464, &type_)) == 464) {
      ASSERT_LT(delivered, ticks.size());
      EXPECT_EQ(memcmp(buf_, &ticks[delivered++], 464), 0) << delivered;
    }
    EXPECT_EQ(r, day == kDay1 ? -2 : -3);
  }
  EXPECT_EQ(delivered, 5u);
}

}  // namespace
