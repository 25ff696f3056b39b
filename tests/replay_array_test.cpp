// DataReplayArray over arrays holding several trading days, and DataReplayEmpty.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"

namespace {

constexpr int kDay1 = 20240102;
constexpr int kDay2 = 20240103;
constexpr int kDay3 = 20240104;

// Owns records of one type, one per day given, and a borrowing DataArray over them, in order.
// Snapshots and bars are selected by trading_day, trades and orders by action_day.
template <typename Record>
class RecordList {
 public:
  explicit RecordList(std::vector<int> days) : records_(days.size()) {
    for (size_t i = 0; i < days.size(); ++i) {
      Record& r = records_[i];
      memset(&r, 0, sizeof r);
      r.time = static_cast<int>(i);
      if constexpr (std::is_same<Record, _L2Snapshot>::value ||
                    std::is_same<Record, _BarData>::value) {
        r.type = std::is_same<Record, _BarData>::value ? QL_RECORD_BAR : QL_RECORD_L2SNAPSHOT;
        r.trading_day = days[i];
        r.action_day = 11111111;  // not the field these are selected by
      } else {
        r.type = std::is_same<Record, _L2Trade>::value ? QL_RECORD_L2TRADE : QL_RECORD_L2ORDER;
        r.action_day = days[i];
      }
      pointers_.push_back(&r);
    }
    array_ = KX::DataArray(pointers_.data(), static_cast<int>(pointers_.size()), sizeof(Record));
  }
  KX::DataArray* array() { return &array_; }
  const Record& operator[](size_t i) const { return records_[i]; }

 private:
  std::vector<Record> records_;
  std::vector<void*> pointers_;
  KX::DataArray array_{nullptr, 0, sizeof(Record)};
};

class ArrayReplayTest : public ::testing::Test {
 protected:
  int next(KX::DataReplayArray& replay) { return replay.next(buf_, 0, &type_); }
  // The results of n calls of next().
  std::vector<int> results(KX::DataReplayArray& replay, int n) {
    std::vector<int> out;
    while (n-- > 0) out.push_back(next(replay));
    return out;
  }
  using Results = std::vector<int>;

  unsigned char buf_[512];
  unsigned char type_ = 0;
};

TEST_F(ArrayReplayTest, EarlierBarsAreSkippedAndLaterOnesWaitForTheirDay) {
  RecordList<_BarData> bars({kDay1, kDay2, kDay2, kDay3});
  KX::DataReplayArray replay("1m", "", bars.array());
  ASSERT_EQ(replay.init(kDay2), 0);
  EXPECT_EQ(next(replay), QL_BAR_SKIPPED);
  EXPECT_EQ(type_, QL_RECORD_BAR);
  EXPECT_EQ(next(replay), 180);
  EXPECT_EQ(memcmp(buf_, &bars[1], 180), 0);
  EXPECT_EQ(results(replay, 3), (Results{180, QL_OTHER_DAY, QL_OTHER_DAY}));
  EXPECT_EQ(replay.index(), 3);
  ASSERT_EQ(replay.init(kDay3), 0);
  EXPECT_EQ(next(replay), 180);
  EXPECT_EQ(memcmp(buf_, &bars[3], 180), 0);
  EXPECT_EQ(results(replay, 2), (Results{QL_NO_MORE_RECORDS, QL_NO_MORE_RECORDS}));

  RecordList<_BarData> day_zero({-1, 0, kDay1});  // day 0 delivers only records of day 0
  KX::DataReplayArray zero("daily", "", day_zero.array());
  EXPECT_EQ(results(zero, 3), (Results{QL_BAR_SKIPPED, 180, QL_OTHER_DAY}));
}

TEST_F(ArrayReplayTest, SnapshotsOfAnotherDayStopTheReplayOnThatElement) {
  RecordList<_L2Snapshot> ticks({kDay1, kDay1, kDay2});
  KX::DataReplayArray replay("tick", "", ticks.array());
  replay.init(kDay2);
  EXPECT_EQ(results(replay, 3), Results(3, QL_OTHER_DAY));  // earlier ones are not skipped
  EXPECT_EQ(replay.index(), 0);
  replay.init(kDay1);
  EXPECT_EQ(results(replay, 2), (Results{464, 464}));
  EXPECT_EQ(memcmp(buf_, &ticks[1], 464), 0);
  EXPECT_EQ(next(replay), QL_OTHER_DAY);
  replay.init(kDay2);
  EXPECT_EQ(results(replay, 2), (Results{464, QL_NO_MORE_RECORDS}));
}

TEST_F(ArrayReplayTest, TradesAndOrdersAreSelectedByActionDay) {
  RecordList<_L2Trade> trades({kDay1, kDay2});
  KX::DataReplayArray trade_replay("L2Trade", "", trades.array());
  trade_replay.init(kDay1);
  EXPECT_EQ(results(trade_replay, 2), (Results{92, QL_OTHER_DAY}));
  EXPECT_EQ(type_, QL_RECORD_L2TRADE);

  RecordList<_L2Order> orders({kDay2, kDay1});
  KX::DataReplayArray order_replay("l2order", "", orders.array());
  order_replay.init(kDay2);
  EXPECT_EQ(next(order_replay), 68);
  EXPECT_EQ(type_, QL_RECORD_L2ORDER);
  EXPECT_EQ(memcmp(buf_, &orders[0], 68), 0);
  EXPECT_EQ(next(order_replay), QL_OTHER_DAY);  // an earlier order stops too
}

TEST_F(ArrayReplayTest, FrequencyPicksTheRecordKindWithoutRegardToCase) {
  const struct {
    const char* frequency;
    int size;
    unsigned char type;
  } cases[] = {{"TICK", 464, 2},   {"Tick2", 464, 2},  {"L2Order", 68, 4},
               {"l2TRADE", 92, 3}, {"minute", 180, 7}, {"15m", 180, 7},
               {"5M", 180, 7},     {"1d", 180, 7},     {"DAILY", 180, 7}};
  std::vector<unsigned char> zeros(464, 0);  // a record of day 0 of any kind
  void* items[] = {zeros.data()};
  KX::DataArray array(items, 1, 464);
  for (const auto& c : cases) {
    KX::DataReplayArray replay(c.frequency, "", &array);
    EXPECT_EQ(next(replay), c.size) << c.frequency;
    EXPECT_EQ(type_, c.type) << c.frequency;
  }

  RecordList<_BarData> bars({kDay1, kDay1});
  testing::internal::CaptureStderr();
  KX::DataReplayArray unknown("weekly", "", bars.array());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "KX::DataReplayArray::DataReplayArray: unknown frequency='weekly'\n");
  memset(buf_, 0xAB, sizeof buf_);
  EXPECT_EQ(next(unknown), 0);  // passed over, nothing written
  EXPECT_EQ(type_, 0);
  EXPECT_EQ(buf_[0], 0xAB);
  EXPECT_EQ(unknown.next(nullptr, 0, nullptr), 0);
  EXPECT_EQ(next(unknown), QL_NO_MORE_RECORDS);
}

// The replay reads the array's current length, not the length it had when made.
TEST_F(ArrayReplayTest, RecordsAppendedBetweenCallsAreReplayed) {
  KX::DataArray owned(sizeof(_BarData), 4, false);
  RecordList<_BarData> source({kDay1, kDay1});
  owned.push_back(&source[0]);
  KX::DataReplayArray replay("1m", "", &owned);
  replay.init(kDay1);
  EXPECT_EQ(results(replay, 2), (Results{180, QL_NO_MORE_RECORDS}));
  owned.push_back(&source[1]);
  EXPECT_EQ(replay.data_length(), 2);
  EXPECT_EQ(next(replay), 180);
  EXPECT_EQ(memcmp(buf_, &source[1], 180), 0);
  EXPECT_EQ(next(replay), QL_NO_MORE_RECORDS);
}

TEST_F(ArrayReplayTest, UnreadableElementsAndArraysAreRefused) {
  RecordList<_L2Snapshot> ticks({kDay1});
  void* items[] = {nullptr, const_cast<_L2Snapshot*>(&ticks[0])};
  KX::DataArray array(items, 2, 464);
  KX::DataReplayArray replay("tick", "", &array);
  replay.init(kDay1);
  EXPECT_EQ(replay.next(nullptr, 464, &type_), QL_ERROR);
  EXPECT_EQ(replay.index(), 0);       // a NULL buffer keeps the position
  EXPECT_EQ(next(replay), QL_ERROR);  // the NULL element
  EXPECT_EQ(replay.index(), 1);
  EXPECT_EQ(next(replay), 464);

  // An owning array of bar-sized elements cannot hold snapshots: nothing is read past them.
  KX::DataArray small(sizeof(_BarData), 2, true);
  RecordList<_BarData> bars({kDay1});
  small.push_back(&bars[0]);
  KX::DataReplayArray mismatched("tick", "", &small);
  mismatched.init(kDay1);
  EXPECT_EQ(results(mismatched, 2), (Results{QL_ERROR, QL_NO_MORE_RECORDS}));

  KX::DataArray empty(nullptr, 0, 464);
  KX::DataReplayArray on_empty("tick", "", &empty);
  KX::DataReplayArray on_none("tick", "", nullptr);
  for (KX::DataReplayArray* r : {&on_empty, &on_none}) {
    EXPECT_EQ(r->data_length(), 0);
    EXPECT_EQ(next(*r), QL_NO_MORE_RECORDS);
  }
}

TEST(EmptyReplayTest, NeverDeliversAndWritesNothing) {
  KX::DataReplayEmpty replay("tick", nullptr, reinterpret_cast<void*>(0x1234));
  EXPECT_STREQ(replay.get_name(), "empty");
  EXPECT_EQ(replay.init(kDay1), 0);
  EXPECT_EQ(replay.get_trading_day(), kDay1);
  unsigned char buf[464];
  memset(buf, 0xAB, sizeof buf);
  unsigned char type = 0xEE;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(replay.next(buf, sizeof buf, &type), QL_OTHER_DAY);
  EXPECT_EQ(replay.next(nullptr, 0, nullptr), QL_OTHER_DAY);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(type, 0xEE);
}

}  // namespace
