/* The order book header compiles as C99, and a C program can drive a book through it: create,
 * feed events, read the snapshot and levels, use a map and a builder. */
#include <stdio.h>
#include <string.h>

#include "quotelab/orderbook.h"

#include "c_check.h"

static int snapshots_seen = 0;

static int count_snapshot(orderbook_builder* builder, const _L2Snapshot* snap, void* user) {
  (void)builder;
  (void)snap;
  ++*(int*)user;
  return 0;
}

static void check_codes(void) {
  CHECK(strcmp(orderbook_version(), "1.0.0") == 0);
  CHECK(strcmp(orderbook_side2str('S'), "ASK") == 0);
  CHECK(strcmp(orderbook_bsflag2str('B'), "BUY") == 0);
  CHECK(strcmp(orderbook_exchangeid_str(2), "SZSE") == 0);
  CHECK(time2msec(93000000) == 34200000);
  CHECK(msec2time(34200000) == 93000000);
}

static void check_book(void) {
  orderbook* book = orderbook_create("SZ", "000001", 0, 0);
  const _L2Snapshot* snap;
  int64_t qty = 0;
  double price = 0.0;
  CHECK(book != NULL);
  orderbook_reset(book, 20240105);
  CHECK(orderbook_init_static_fields(book, 20240105, 10.0, 11.0, 9.0) == ORDERBOOK_OK);
  CHECK(orderbook_on_l2order(book, 1, '2', 'B', 10.00, 500, 91500000) == 0);
  CHECK(orderbook_on_l2order(book, 2, '2', 'S', 10.02, 300, 91500000) == 0);
  CHECK(orderbook_on_l2order(book, 3, '2', 'B', 10.02, 100, 100000000) == 0);
  CHECK(orderbook_on_l2order(book, 4, '2', 'S', 10.05, 100, 90000000) == ORDERBOOK_EARLIER);
  snap = orderbook_snapshot(book);
  CHECK(snap != NULL && snap->bid_volume[0] == 500 && snap->ask_volume[0] == 200);
  CHECK(orderbook_get_price_qty(book, 1, &qty, &price) && qty == 200 && price == 10.02);
  CHECK(orderbook_queue_is_bids(orderbook_at(book, -1)));
  CHECK(orderbook_gen_order_id(book) == -1);
  orderbook_release(book);
}

static void check_map_and_builder(void) {
  orderbook_map* map = orderbook_map_create();
  orderbook* book = orderbook_create("SSE", "600000", 0, 0);
  orderbook_builder* builder = orderbook_builder_create("SZ", "000001", 3000);
  _L2Order order;
  CHECK(orderbook_map_insert(map, book) == 0);
  CHECK(orderbook_map_get(map, 1, "600000") == book);
  CHECK(orderbook_map_count(map) == 1);
  orderbook_map_release(map);

  memset(&order, 0, sizeof order);
  order.type = QL_RECORD_L2ORDER;
  order.time = 93000000;
  order.volume = 100;
  order.price = 10.0;
  order.seq_num = 1;
  order.bs_flag = 'B';
  order.order_type = '2';
  orderbook_builder_set_callback(builder, count_snapshot, &snapshots_seen);
  CHECK(orderbook_builder_run2(builder, 20240105, &order, 1, NULL, 0) == 2);
  CHECK(snapshots_seen == 2);
  orderbook_builder_release(builder);
}

int main(void) {
  check_codes();
  check_book();
  check_map_and_builder();
  if (c_check_failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", c_check_failures);
    return 1;
  }
  return 0;
}
