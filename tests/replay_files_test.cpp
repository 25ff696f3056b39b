// DataReplayBin and DataReplayCsv over files holding several trading days.
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
  _L2Snapshot t{};
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
  _BarData b{};
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
  for (size_t d = 0; d < counts.size(); ++d)
    for (int i = 0; i < counts[d]; ++i) out.push_back(make(kDay1 + static_cast<int>(d), seq++));
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

  // Writes the records, then `trailing_bytes` of a partial record; returns the path.
  template <typename Record>
  std::string write_binary(const std::vector<Record>& records, size_t trailing_bytes = 0) {
    const std::string path = root_ + "/r.dat";
    std::ofstream(path, std::ios::binary)
        << std::string(reinterpret_cast<const char*>(records.data()),
                       records.size() * sizeof(Record))
        << std::string(trailing_bytes, '\x5a');
    return path;
  }
  std::string write_csv(const std::string& text) {
    const std::string path = root_ + "/r.csv";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  template <typename Record = _L2Snapshot>
  Record got() const {
    Record r;
    memcpy(&r, buf_, sizeof r);
    return r;
  }
  std::string root_;
  unsigned char buf_[1024];
  unsigned char type_ = 0;
};

using BinReplayTest = ReplayFilesTest;
using CsvReplayTest = ReplayFilesTest;

// Large enough that records straddle the replay's read-ahead blocks and a day ends inside one;
// the file ends in a partial record that is never delivered.
TEST_F(BinReplayTest, TickDaysEndOnAConsumedRecordAndContinueAfterInit) {
  const auto ticks = several_days<_L2Snapshot>({1700, 1300, 1}, make_tick);
  const std::string path = write_binary(ticks, 100);
  KX::DataReplayBin replay("tick", "SSE", path.c_str());
  ASSERT_EQ(replay.init(kDay1), 0);
  size_t i = 0;
  int r = 0;
  for (; (r = replay.next(buf_, 464, &type_)) == 464; ++i)
    ASSERT_EQ(memcmp(buf_, &ticks[i], 464), 0) << i;
  EXPECT_EQ(r, QL_OTHER_DAY);
  EXPECT_EQ(i, 1700u);
  // The first record of the next day ended the day and is gone: the Bin kind read it to see.
  ASSERT_EQ(replay.init(kDay2), 0);
  for (++i; (r = replay.next(buf_, 464, &type_)) == 464; ++i)
    ASSERT_EQ(memcmp(buf_, &ticks[i], 464), 0) << i;
  EXPECT_EQ(r, QL_OTHER_DAY);
  EXPECT_EQ(i, 3000u);
  ASSERT_EQ(replay.init(kDay3), 0);
  EXPECT_EQ(replay.next(buf_, 464, &type_), 0);  // the partial record is never delivered
  EXPECT_EQ(replay.init(kDay3), QL_NO_MORE_RECORDS);

  // Day 0 (as any day <= 0) knows no day boundaries: every record, unchanged.
  KX::DataReplayBin all("tick2", "", path.c_str());
  all.init(0);
  for (i = 0; all.next(buf_, 464, nullptr) == 464; ++i)
    ASSERT_EQ(memcmp(buf_, &ticks[i], 464), 0) << i;
  EXPECT_EQ(i, ticks.size());
}

TEST_F(BinReplayTest, BarsCarryTheReplayTradingDay) {
  auto bars = several_days<_BarData>({2, 1}, make_bar);
  bars[1].type = 99;  // delivered as stored
  const std::string path = write_binary(bars);

  KX::DataReplayBin all("1m", "", path.c_str());
  all.init(0);
  EXPECT_EQ(all.next(buf_, 179, &type_), QL_ERROR);  // smaller than a bar: nothing read
  for (const auto& b : bars) {
    ASSERT_EQ(all.next(buf_, 180, &type_), 180);
    EXPECT_EQ(type_, QL_RECORD_BAR);
    EXPECT_EQ(got<_BarData>().trading_day, 0);
    EXPECT_EQ(got<_BarData>().type, b.type);
  }

  KX::DataReplayBin daily("Tick", "", path.c_str());  // not "tick": a bar replay
  daily.init(kDay1);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 180);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 180);
  EXPECT_EQ(daily.next(buf_, 180, &type_), QL_OTHER_DAY);
  EXPECT_EQ(daily.next(buf_, 180, &type_), 0);
}

// Below the record size nothing is read and the position stays; above it exactly one record.
TEST_F(BinReplayTest, SizeOtherThanTheRecordReadsNothingOrOneRecord) {
  const auto ticks = several_days<_L2Snapshot>({2}, make_tick);
  KX::DataReplayBin replay("tick", "", write_binary(ticks).c_str());
  replay.init(kDay1);
  memset(buf_, 0xAB, sizeof buf_);
  type_ = 0xEE;
  for (int size : {463, 0, -464}) EXPECT_EQ(replay.next(buf_, size, &type_), -1) << size;
  EXPECT_EQ(replay.next(nullptr, 464, &type_), QL_ERROR);
  EXPECT_EQ(buf_[0], 0xAB);
  EXPECT_EQ(type_, 0xEE);
  for (const auto& t : ticks) {
    ASSERT_EQ(replay.next(buf_, sizeof buf_, &type_), 464);
    EXPECT_EQ(memcmp(buf_, &t, 464), 0);
    EXPECT_EQ(buf_[464], 0xAB);  // nothing written past the record
  }
  EXPECT_EQ(replay.next(buf_, sizeof buf_, &type_), 0);
}

TEST_F(CsvReplayTest, TicksWithoutTradingDayColumnStayOnTheRecordOfTheNextDay) {
  const std::string path = write_csv(
      "symbol,action_day,time,last,volume\n"
      "600000.SH,20240102,93000000,10.5,100\n"
      "600000.SH,20240102,93003000,10.6,200\n"
      "600000.SH,20240103,93000000,10.7,300\n"
      "600000.SH,20240103,93003000,10.8,400\n");
  KX::DataReplayCsv replay("tick", "SSE", path.c_str());
  ASSERT_EQ(replay.init(kDay1), 0);
  EXPECT_EQ(replay.next(nullptr, 464, &type_), QL_ERROR);  // refused without moving the row
  // The whole record is cleared before decoding, whatever size says.
  memset(buf_, 0xAB, sizeof buf_);
  ASSERT_EQ(replay.next(buf_, 8, &type_), 464);
  EXPECT_EQ(type_, QL_RECORD_L2SNAPSHOT);
  _L2Snapshot expected{};
  expected.type = QL_RECORD_L2SNAPSHOT;
  expected.exchange = 1;
  strcpy(expected.symbol, "600000");
  expected.action_day = expected.trading_day = kDay1;
  expected.time = 93000000;
  expected.last = 10.5;
  expected.volume = 100;
  EXPECT_EQ(memcmp(buf_, &expected, 464), 0);
  EXPECT_EQ(buf_[464], 0xAB);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(replay.next(buf_, 464, &type_), QL_OTHER_DAY);
  EXPECT_EQ(replay.next(buf_, 464, &type_), QL_OTHER_DAY);  // stays on that row

  ASSERT_EQ(replay.init(kDay2), 0);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(got().last, 10.7);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(replay.next(buf_, 464, &type_), QL_NO_MORE_RECORDS);
  EXPECT_EQ(replay.init(kDay3), QL_NO_MORE_RECORDS);
  EXPECT_EQ(replay.get_trading_day(), kDay2);  // kept on QL_NO_MORE_RECORDS

  KX::DataReplayCsv day_zero("tick", "", path.c_str());
  ASSERT_EQ(day_zero.init(0), 0);
  EXPECT_EQ(day_zero.next(buf_, 464, &type_),
            QL_OTHER_DAY);  // no exception for day 0 without the column
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
  EXPECT_EQ(got().trading_day, kDay1);
  EXPECT_EQ(got().action_day, 20240101);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(got().trading_day, 0);  // a value <= 0 is delivered as it is
  EXPECT_EQ(replay.next(buf_, 464, &type_), QL_OTHER_DAY);
  replay.init(kDay2);
  ASSERT_EQ(replay.next(buf_, 464, &type_), 464);
  EXPECT_EQ(got().last, 3902);
  EXPECT_EQ(replay.next(buf_, 464, &type_), QL_NO_MORE_RECORDS);
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
  EXPECT_EQ(got<_BarData>().trading_day, kDay1);  // the replay's day, not the row's -1
  EXPECT_EQ(replay.next(buf_, 180, &type_), QL_OTHER_DAY);
  replay.init(kDay2);
  ASSERT_EQ(replay.next(buf_, 180, &type_), 180);
  EXPECT_EQ(got<_BarData>().close, 6.5);
}

TEST_F(ReplayFilesTest, NullPathsAndEmptyFilesGiveNothing) {
  testing::internal::CaptureStderr();
  KX::DataReplayBin bin("tick", "", nullptr);
  KX::DataReplayCsv csv("tick", "", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "DataReplayBin open bin_file='(null)' failed\n"
            "DataReplayCsv: csv_file '(null)' not opened\n");
  KX::DataReplayCsv header_only("tick", "", write_csv("symbol,action_day,time\n").c_str());
  EXPECT_FALSE(bin.is_open() || csv.is_open());
  EXPECT_EQ(bin.init(kDay1), QL_NO_MORE_RECORDS);
  EXPECT_EQ(csv.init(kDay1), QL_NOT_OPEN);
  EXPECT_EQ(header_only.init(kDay1), QL_NO_MORE_RECORDS);
  memset(buf_, 0xAB, sizeof buf_);
  EXPECT_EQ(bin.next(buf_, 464, &type_), QL_NOT_OPEN);
  EXPECT_EQ(bin.subscribe(nullptr, 0, 0), QL_NOT_SUPPORTED);
  for (KX::DataReplayCsv* r : {&csv, &header_only}) {
    EXPECT_EQ(r->next(buf_, 464, &type_), QL_NO_MORE_RECORDS);
    EXPECT_EQ(r->subscribe(nullptr, 0, 0), QL_NOT_SUPPORTED);
  }
  EXPECT_EQ(buf_[0], 0xAB);
}

}  // namespace
