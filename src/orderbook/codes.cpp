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
  return KX::TimeTools::time_to_msec(time);
}

QL_API int32_t msec2time(int32_t msec) {
  return KX::TimeTools::msec_to_time(msec);
}

}  // extern "C"
