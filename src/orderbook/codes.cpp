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
  return ql::detail::time_to_ms(time);
}

QL_API int32_t msec2time(int32_t msec) {
  int64_t ms = msec;
  int64_t s = ms / 1000;
  int64_t h = s / 3600;
  int64_t m = (s - 3600 * h) / 60;
  return static_cast<int32_t>((s + 40 * (m + 160 * h)) * 1000 + (ms - 1000 * s));
}

}  // extern "C"
