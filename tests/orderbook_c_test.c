/* The order book header compiles as C99, and a C program can drive a book through it: create,
 * feed events, read the snapshot and levels, use a map and a builder. */
#include <string.h>

#include "quotelab/orderbook.h"

#include "c_check.h"

static int count_snapshot(orderbook_builder* builder, const _L2Snapshot* snap, void* user) {
  (void)builder;
  (void)snap;
  ++*(int*)user;
  return 0;
}

int main(void) {
  orderbook* book = orderbook_create("SZ", "000001", 0, 0);
  orderbook_map* map = orderbook_map_create();
  orderbook_builder* builder = orderbook_builder_create("SZ", "000001", 3000);
  const _L2Snapshot* snap;
  int64_t qty = 0;
  double price = 0.0;
  int snapshots = 0;
  _L2Order order;

  CHECK(strcmp(orderbook_side2str('S'), "ASK") == 0);
  CHECK(time2msec(93000000) == 34200000 && msec2time(34200000) == 93000000);

  orderbook_reset(book, 20240105);
  CHECK(orderbook_on_l2order(book, 1, '2', 'B', 10.00, 500, 91500000) == 0);
  CHECK(orderbook_on_l2order(book, 2, '2', 'S', 10.02, 300, 91500000) == 0);
  CHECK(orderbook_on_l2order(book, 3, '2', 'B', 10.02, 100, 100000000) == 0);
  CHECK(orderbook_on_l2order(book, 4, '2', 'S', 10.05, 100, 90000000) == ORDERBOOK_EARLIER);
  snap = orderbook_snapshot(book);
  CHECK(snap != NULL && snap->bid_volume[0] == 500 && snap->ask_volume[0] == 200);
  CHECK(orderbook_get_price_qty(book, 1, &qty, &price) && qty == 200 && price == 10.02);
  CHECK(orderbook_queue_is_bids(orderbook_at(book, -1)));

  CHECK(orderbook_map_insert(map, book) == 0);
  CHECK(orderbook_map_get(map, 2, "000001") == book);
  orderbook_map_release(map); /* releases the book it holds */

  memset(&order, 0, sizeof order);
  order.type = QL_RECORD_L2ORDER;
  order.time = 93000000;
  order.volume = 100;
  order.price = 10.0;
  order.seq_num = 1;
  order.bs_flag = 'B';
  order.order_type = '2';
  orderbook_builder_set_callback(builder, count_snapshot, &snapshots);
  CHECK(orderbook_builder_run2(builder, 20240105, &order, 1, NULL, 0) == 2);
  CHECK(snapshots == 2);
  orderbook_builder_release(builder);
  return C_CHECK_RESULT();
}
