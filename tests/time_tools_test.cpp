// TimeTools: China Standard Time epoch seconds whatever the process time zone, calendar edges,
// and the clocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "quotelab/utilcore.h"

namespace {

using KX::TimeTools;

// Known values in several process time zones, New York's summer one included; the zone the
// process had is restored afterwards.
TEST(TimeToolsZone, KnownValuesDoNotDependOnTheZone) {
  const char* old = std::getenv("TZ");
  const std::string old_tz = old != nullptr ? old : "";
  for (const char* zone : {"UTC", "America/New_York", "Asia/Shanghai"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(TimeTools::to_time_t(20230105, 93000), 1672882200);
    EXPECT_EQ(TimeTools::to_time_t(19700101, 80000), 0);
    EXPECT_EQ(TimeTools::to_time_t(19700101, 0), -8 * 3600);
    EXPECT_EQ(TimeTools::to_time_t(20230715, 150000), 1689404400);
  }
  old != nullptr ? setenv("TZ", old_tz.c_str(), 1) : unsetenv("TZ");
  tzset();
}

// Day pairs and the days between their midnights: leap years (2024 and 2000 are, 2023 and the
// century 1900 are not), month and year ends, and out-of-range fields carried over as mktime
// would (month 13 is next January, day 0 the last of the month before, 24:00:00 next midnight).
TEST(TimeToolsCalendar, DaysBetweenDates) {
  const struct {
    int from, to, days;
  } cases[] = {
      {20240228, 20240229, 1}, {20240228, 20240301, 2}, {20230228, 20230301, 1},
      {19000228, 19000301, 1}, {20000228, 20000301, 2}, {20240101, 20250101, 366},
      {20230131, 20230201, 1}, {20230430, 20230501, 1}, {20231231, 20240101, 1},
      {20240101, 20231301, 0}, {20230228, 20230300, 0}, {20221201, 20230001, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TimeTools::to_time_t(c.to, 0) - TimeTools::to_time_t(c.from, 0), c.days * 86400)
        << c.from << " to " << c.to;
  }
  EXPECT_EQ(TimeTools::to_time_t(20230105, 240000), TimeTools::to_time_t(20230106, 0));
  EXPECT_EQ(TimeTools::to_time_t(20231231, 235959), 1704038399);  // 2023-12-31 15:59:59 UTC
}

TEST(TimeToolsClock, DelayAndLocalDate) {
  TimeTools::delay_ms(0);  // zero or less returns at once
  TimeTools::delay_ms(-1000);
  TimeTools::delay_ms(INT32_MIN);
  const int64_t before = TimeTools::steady_ms();
  TimeTools::delay_ms(20);
  EXPECT_GE(TimeTools::steady_ms() - before, 20);  // a lower bound only
  // The machine's calendar date, read before and after (the call may straddle midnight).
  auto calendar_date = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
  };
  const int date_before = calendar_date();
  const int date = TimeTools::local_date();
  const int date_after = calendar_date();
  EXPECT_TRUE(date == date_before || date == date_after)
      << date << " is not " << date_before << " or " << date_after;
}

TEST(TimeToolsClock, TimesOfDayAndMillisecondsConvertBothWays) {
  const std::pair<int32_t, int32_t> cases[] = {{0, 0},
                                               {93000000, 34200000},
                                               {145659999, 53819999},
                                               {235959999, 86399999},
                                               {240000000, 86400000},
                                               {1000, 1000}};
  for (const auto& c : cases) {
    EXPECT_EQ(TimeTools::time_to_msec(c.first), c.second) << c.first;
    EXPECT_EQ(TimeTools::msec_to_time(c.second), c.first) << c.second;
  }
  EXPECT_EQ(TimeTools::time_to_msec(92960000), TimeTools::time_to_msec(93000000));  // 60 s
}

}  // namespace
