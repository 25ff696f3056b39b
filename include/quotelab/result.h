/* quotelab: result codes.
 *
 * Functions that can fail return an integer: 0 or a positive count on success, a negative
 * code on failure. Every code has a name in the one list below, which makes the named
 * constants and the texts of ql_result_str(). The values are fixed: stored logs, scripts and
 * hosts compare against them. Facilities share values (-2 is an order book's "earlier event"
 * and a replay's "another trading day"), so each function's comment says which names it
 * returns. Compiles as C99 and C++.
 */
#ifndef QUOTELAB_RESULT_H
#define QUOTELAB_RESULT_H

#include "quotelab/export.h"

/* X(name, value, text): one line per result. */
#define QL_RESULT_LIST(X)                                                                      \
  X(QL_OK, 0, "success")                                                                       \
  X(QL_ERROR, -1, "failed (bad argument, nothing open, busy, or out of memory)")               \
  X(QL_OTHER_DAY, -2, "record of another trading day")                                         \
  X(QL_NO_MORE_RECORDS, -3, "no more records")                                                 \
  X(QL_NOT_OPEN, -4, "replay source not open")                                                 \
  X(QL_BAR_SKIPPED, -6, "earlier bar skipped")                                                 \
  X(QL_NOT_SUPPORTED, -10, "operation not supported")                                          \
  X(QL_SENDER_INCOMPLETE, -17, "sender plug-in lacks msg_sender_create or msg_sender_publish") \
  X(QL_NOT_CACHED, -107, "nothing cached for the symbol")                                      \
  X(QL_BAR_NOT_NEWER, -147, "bar not newer than the last stored bar")                          \
  X(QL_QUEUE_FULL, -149, "publisher queue full")                                               \
  X(QL_REFUSED, -150, "refused (caching switched off, or record type not published)")          \
  X(QL_ARRAY_VIEW, -1111, "append to a numeric array view")                                    \
  X(ORDERBOOK_OK, 0, "success")                                                                \
  X(ORDERBOOK_ERROR, -1, "failed (bad argument, nothing open, busy, or out of memory)")        \
  X(ORDERBOOK_EARLIER, -2, "event earlier than the book's last event")                         \
  X(ORDERBOOK_NOT_FOUND, -3, "order not found")                                                \
  X(ORDERBOOK_NO_LEVEL, -4, "order's price level not found")                                   \
  X(ORDERBOOK_BAD_SIDE, -5, "side or buy/sell flag other than 'B' and 'S'")                    \
  X(ORDERBOOK_DUPLICATE, -7, "order sequence number already resting")                          \
  X(ORDERBOOK_NO_MEMORY, -8, "no memory for a level or order record")                          \
  X(ORDERBOOK_NO_PRICE, -9, "own-side best order with its side of the book empty")

#define QL_RESULT_ENUM_ENTRY_(name, value, text) name = (value),
/* The named results, as int constants (QL_NO_MORE_RECORDS, ORDERBOOK_NOT_FOUND, ...). */
enum ql_result { QL_RESULT_LIST(QL_RESULT_ENUM_ENTRY_) QL_RESULT_END_ = 0 };
#undef QL_RESULT_ENUM_ENTRY_

#ifdef __cplusplus
extern "C" {
#endif

/* Returns a constant text for a result: "success" for 0 and positive results; for a negative
 * code the texts of every name with that value, in list order joined by "; " ("no more records;
 * order not found" for -3); "unknown result" for a value not in the list. Never NULL. */
QL_API const char* ql_result_str(int code);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUOTELAB_RESULT_H */
