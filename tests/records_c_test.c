/* The record header compiles as C99 and gives the same layout there as in C++: a C program
 * reading a data file sees the same fields at the same offsets. */
#include <stdio.h>
#include <string.h>

#include "quotelab/records.h"
#include "quotelab/tracelog.h"
#include "quotelab/utilcore.h"

#include "c_check.h"

int main(void) {
  _L2Snapshot snap;
  _BarData bar;
  unsigned char bytes[QL_L2SNAPSHOT_SIZE];

  EXPECT_EQ_SIZE(sizeof(_L2Snapshot), 464);
  EXPECT_EQ_SIZE(sizeof(_L2Trade), 92);
  EXPECT_EQ_SIZE(sizeof(_L2Order), 68);
  EXPECT_EQ_SIZE(sizeof(_BarData), 180);
  EXPECT_EQ_SIZE(sizeof(_MDIndex), 106);
  EXPECT_EQ_SIZE(offsetof(_L2Snapshot, volume), 80);
  EXPECT_EQ_SIZE(offsetof(_L2Snapshot, trading_day), 172);
  EXPECT_EQ_SIZE(offsetof(_L2Snapshot, bid_volume), 424);
  EXPECT_EQ_SIZE(offsetof(_BarData, iopv), 156);
  EXPECT_EQ_SIZE(offsetof(_BarData, turn), 164);
  EXPECT_EQ_SIZE(offsetof(_BarData, extension), 179);
  EXPECT_EQ_SIZE(offsetof(_L2Trade, bs_flag), 89);
  EXPECT_EQ_SIZE(offsetof(_L2Order, order_type), 61);
  EXPECT_EQ_SIZE(offsetof(_MDIndex, action_day), 26);
  EXPECT_EQ_SIZE(offsetof(_MDIndex, time), 30);
  EXPECT_EQ_SIZE(sizeof(msg_item_s), 32);

  /* A field written through the struct lands at its documented byte offset. */
  memset(&snap, 0, sizeof snap);
  snap.type = QL_RECORD_L2SNAPSHOT;
  snap.time = 93000000;
  snap.bid_volume[9] = 0x01020304;
  memcpy(bytes, &snap, sizeof snap);
  EXPECT_EQ_SIZE(bytes[0], 2);
  EXPECT_EQ_SIZE(
      bytes[44] | (bytes[45] << 8) | (bytes[46] << 16) | ((unsigned long)bytes[47] << 24),
      93000000);
  EXPECT_EQ_SIZE(bytes[460], 0x04);
  EXPECT_EQ_SIZE(bytes[463], 0x01);

  memset(&bar, 0, sizeof bar);
  bar.extension = 1;
  EXPECT_EQ_SIZE(((unsigned char*)&bar)[179], 1);

  EXPECT_EQ_SIZE(ql_record_size(QL_RECORD_L2SNAPSHOT), 464);
  EXPECT_EQ_SIZE(ql_record_size(QL_RECORD_BAR), 180);
  EXPECT_EQ_SIZE(ql_record_size(QL_RECORD_MDINDEX), 106);
  EXPECT_EQ_SIZE(ql_record_size(99), 0);

  if (c_check_failures) fprintf(stderr, "%d failure(s)\n", c_check_failures);
  return C_CHECK_RESULT();
}
