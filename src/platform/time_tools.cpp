// TimeTools: calendar arithmetic for China Standard Time, sleeping and clocks.
#include <chrono>
#include <ctime>
#include <thread>

#include "quotelab/utilcore.h"

namespace KX {
namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil); m is 1..12, y any year.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;                                    // [0, 399]
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
  return era * 146097 + doe - 719468;
}

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

constexpr int64_t kChinaUtcOffsetSeconds = 8 * 3600;  // UTC+8 all year, no daylight saving

}  // namespace

int64_t TimeTools::to_time_t(int date, int hhmmss) {
  // Out-of-range fields carry over as mktime would (month 13 is January of the next year,
  // day 0 the last day of the month before, 24:00:00 the next midnight), so no date gives a
  // meaningless result.
  const int64_t year = date / 10000;
  const int64_t month0 = (date / 100) % 100 - 1;
  const int64_t day = date % 100;
  const int64_t norm_year = year + floor_div(month0, 12);
  const int64_t norm_month = month0 - floor_div(month0, 12) * 12 + 1;
  const int64_t days = days_from_civil(norm_year, norm_month, 1) + day - 1;

  const int64_t hours = hhmmss / 10000;
  const int64_t minutes = (hhmmss / 100) % 100;
  const int64_t seconds = hhmmss % 100;
  return days * 86400 + hours * 3600 + minutes * 60 + seconds - kChinaUtcOffsetSeconds;
}

void TimeTools::delay_ms(int ms) {
  if (ms <= 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int TimeTools::local_date() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

int64_t TimeTools::steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace KX
