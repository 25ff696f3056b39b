// The named results: values are fixed (hosts and stored logs compare against them) and every
// value has a text.
#include <gtest/gtest.h>

#include <string>

#include "quotelab/result.h"

namespace {

TEST(ResultTest, NamesKeepTheirValuesAndEveryValueHasAText) {
  struct Case {
    int code;
    int value;
    const char* text_part;
  };
  const Case cases[] = {
      {QL_OK, 0, "success"},
      {QL_ERROR, -1, "failed"},
      {QL_OTHER_DAY, -2, "another trading day"},
      {QL_NO_MORE_RECORDS, -3, "no more records"},
      {QL_NOT_OPEN, -4, "not open"},
      {QL_BAR_SKIPPED, -6, "earlier bar skipped"},
      {QL_NOT_SUPPORTED, -10, "not supported"},
      {QL_SENDER_INCOMPLETE, -17, "msg_sender_publish"},
      {QL_NOT_CACHED, -107, "nothing cached"},
      {QL_BAR_NOT_NEWER, -147, "not newer"},
      {QL_QUEUE_FULL, -149, "queue full"},
      {QL_REFUSED, -150, "refused"},
      {QL_ARRAY_VIEW, -1111, "view"},
      {ORDERBOOK_EARLIER, -2, "earlier than the book's last event"},
      {ORDERBOOK_NOT_FOUND, -3, "order not found"},
      {ORDERBOOK_NO_LEVEL, -4, "price level"},
      {ORDERBOOK_BAD_SIDE, -5, "'B' and 'S'"},
      {ORDERBOOK_DUPLICATE, -7, "already resting"},
      {ORDERBOOK_NO_MEMORY, -8, "no memory"},
      {ORDERBOOK_NO_PRICE, -9, "side of the book empty"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.code, c.value);
    EXPECT_NE(std::string(ql_result_str(c.code)).find(c.text_part), std::string::npos)
        << c.value << ": " << ql_result_str(c.code);
  }
}

TEST(ResultTest, SharedValuesJoinTheirTextsOnceAndOthersAreUnknown) {
  EXPECT_STREQ(ql_result_str(-3), "no more records; order not found");
  EXPECT_STREQ(ql_result_str(-1), "failed (bad argument, nothing open, busy, or out of memory)");
  EXPECT_STREQ(ql_result_str(464), "success");  // a positive result is a size or a count
  EXPECT_STREQ(ql_result_str(-11), "unknown result");
  EXPECT_STREQ(ql_result_str(-2147483647 - 1), "unknown result");
}

}  // namespace
