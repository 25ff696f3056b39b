// TimeTools: China Standard Time epoch seconds whatever the process time zone, calendar edges,
// and the clocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "quotelab/utilcore.h"

namespace {

using KX::TimeTools;

// Sets the process time zone for one test and restores the previous one afterwards.
class TimeZoneTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    setenv("TZ", GetParam(), 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_P(TimeZoneTest, KnownValuesDoNotDependOnTheZone) {
  EXPECT_EQ(TimeTools::to_time_t(20230105, 93000), 1672882200);
  EXPECT_EQ(TimeTools::to_time_t(19700101, 80000), 0);
  EXPECT_EQ(TimeTools::to_time_t(19700101, 0), -8 * 3600);
  // A summer date, when New York keeps daylight saving time.
  EXPECT_EQ(TimeTools::to_time_t(20230715, 150000), 1689404400);
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeZoneTest,
                         ::testing::Values("UTC", "America/New_York", "Asia/Shanghai"));

constexpr int64_t kDay = 86400;

TEST(TimeToolsCalendar, LeapYears) {
  // 2024 is a leap year: February has a 29th, and 1 March comes two days after 28 February.
  EXPECT_EQ(TimeTools::to_time_t(20240229, 0) - TimeTools::to_time_t(20240228, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(20240301, 0) - TimeTools::to_time_t(20240228, 0), 2 * kDay);
  // 2023 is not; 1900 is not (century); 2000 is (every 400 years).
  EXPECT_EQ(TimeTools::to_time_t(20230301, 0) - TimeTools::to_time_t(20230228, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(19000301, 0) - TimeTools::to_time_t(19000228, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(20000301, 0) - TimeTools::to_time_t(20000228, 0), 2 * kDay);
  EXPECT_EQ(TimeTools::to_time_t(20250101, 0) - TimeTools::to_time_t(20240101, 0), 366 * kDay);
}

TEST(TimeToolsCalendar, MonthAndYearEnds) {
  EXPECT_EQ(TimeTools::to_time_t(20230201, 0) - TimeTools::to_time_t(20230131, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(20230501, 0) - TimeTools::to_time_t(20230430, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(20240101, 0) - TimeTools::to_time_t(20231231, 0), kDay);
  EXPECT_EQ(TimeTools::to_time_t(20231231, 235959), 1704038399);  // 2023-12-31 15:59:59 UTC
}

TEST(TimeToolsCalendar, OutOfRangeFieldsCarryOver) {
  // As mktime would: month 13 is January next year, day 0 the last day of the month before,
  // 24:00:00 the next midnight.
  EXPECT_EQ(TimeTools::to_time_t(20231301, 0), TimeTools::to_time_t(20240101, 0));
  EXPECT_EQ(TimeTools::to_time_t(20230300, 0), TimeTools::to_time_t(20230228, 0));
  EXPECT_EQ(TimeTools::to_time_t(20230105, 240000), TimeTools::to_time_t(20230106, 0));
  EXPECT_EQ(TimeTools::to_time_t(20230001, 0), TimeTools::to_time_t(20221201, 0));
}

TEST(TimeToolsClock, DelayOfZeroOrLessReturns) {
  TimeTools::delay_ms(0);
  TimeTools::delay_ms(-1000);
  TimeTools::delay_ms(INT32_MIN);
}

TEST(TimeToolsClock, DelaySleepsAtLeastTheTime) {
  const int64_t before = TimeTools::steady_ms();
  TimeTools::delay_ms(20);
  EXPECT_GE(TimeTools::steady_ms() - before, 20);
}

TEST(TimeToolsClock, LocalDateIsAPlausibleDate) {
  const int date = TimeTools::local_date();
  EXPECT_GE(date, 20200101);
  EXPECT_GE(date % 100, 1);
  EXPECT_LE(date % 100, 31);
  EXPECT_GE(date / 100 % 100, 1);
  EXPECT_LE(date / 100 % 100, 12);
}

}  // namespace
