// Code texts and time conversions of the order book.
#include "orderbook/book.h"

extern "C" {

QL_API const char* orderbook_version(void) {
  return "1.0.0";
}

QL_API const char* orderbook_side2str(int32_t side) {
  return side == 'S' ? "ASK" : side == 'B' ? "BID" : "";
}

QL_API const char* orderbook_bsflag2str(int32_t flag) {
  return flag == 'B' ? "BUY" : flag == 'S' ? "SELL" : "";
}

QL_API const char* orderbook_exchangeid_str(uint8_t exchange_id) {
  return exchange_id == 1 ? "SSE" : exchange_id == 2 ? "SZSE" : "";
}

QL_API int32_t time2msec(int32_t time) {
  int64_t hh = time / 10000000;
  int64_t mm = (time / 100000) % 100;
  int64_t ss = (time / 1000) % 100;
  int64_t ms = time % 1000;
  return static_cast<int32_t>(((hh * 60 + mm) * 60 + ss) * 1000 + ms);
}

QL_API int32_t msec2time(int32_t msec) {
  int64_t ms = msec;
  int64_t s = ms / 1000;
  int64_t h = s / 3600;
  int64_t m = (s - 3600 * h) / 60;
  return static_cast<int32_t>((s + 40 * (m + 160 * h)) * 1000 + (ms - 1000 * s));
}

}  // extern "C"

namespace ql::detail {

int32_t time_diff_ms(int32_t t1, int32_t t2) {
  if (t1 == t2) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(time2msec(t2)) - time2msec(t1));
}

}  // namespace ql::detail
