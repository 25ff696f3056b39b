/* Rebuilds a small trading day of one Shenzhen stock through the order book's C API and prints
 * the snapshots it emits. Written in C to show that the C headers stand on their own. */
#include <stdio.h>
#include <string.h>

#include <quotelab/orderbook.h>
#include <quotelab/records.h>

static _L2Order make_order(int64_t seq, int32_t time, char side, double price, uint32_t qty) {
  _L2Order o;
  memset(&o, 0, sizeof o);
  o.type = QL_RECORD_L2ORDER;
  o.exchange = 2;
  strcpy(o.symbol, "000001");
  o.action_day = 20240102;
  o.time = time;
  o.seq_num = seq;
  o.bs_flag = side;
  o.order_type = '2';
  o.price = price;
  o.volume = qty;
  return o;
}

static _L2Trade make_trade(int64_t seq, int32_t time, int64_t bid, int64_t ask, double price,
                           uint32_t qty) {
  _L2Trade t;
  memset(&t, 0, sizeof t);
  t.type = QL_RECORD_L2TRADE;
  t.exchange = 2;
  strcpy(t.symbol, "000001");
  t.action_day = 20240102;
  t.time = time;
  t.seq_num = seq;
  t.bid_seq_num = bid;
  t.ask_seq_num = ask;
  t.price = price;
  t.volume = qty;
  return t;
}

static int on_snapshot(orderbook_builder* builder, const _L2Snapshot* snap, void* user) {
  int* count = (int*)user;
  (void)builder;
  ++*count;
  printf("%09d last=%.2f volume=%lld bid1=%.2f x %d ask1=%.2f x %d\n", snap->time, snap->last,
         (long long)snap->volume, snap->bid_price[0], snap->bid_volume[0], snap->ask_price[0],
         snap->ask_volume[0]);
  return 0;
}

int main(void) {
  _L2Order orders[5];
  _L2Trade trades[2];
  int seen = 0;
  int32_t emitted;
  orderbook_builder* builder = orderbook_builder_create("SZ", "000001", 3000);

  if (builder == NULL) {
    fprintf(stderr, "rebuild_day: cannot create a builder\n");
    return 1;
  }
  /* Opening auction: two resting orders, matched at 09:25. */
  orders[0] = make_order(1, 91500000, 'B', 10.00, 500);
  orders[1] = make_order(2, 91600000, 'S', 10.00, 300);
  trades[0] = make_trade(3, 92500000, 1, 2, 10.00, 300);
  /* Continuous trading: a seller rests, a buyer crosses it. */
  orders[2] = make_order(4, 93100000, 'S', 10.02, 400);
  orders[3] = make_order(5, 93500000, 'B', 10.02, 100);
  trades[1] = make_trade(6, 93500000, 5, 4, 10.02, 100);
  orders[4] = make_order(7, 100000000, 'S', 10.05, 800);

  orderbook_builder_set_callback(builder, on_snapshot, &seen);
  emitted = orderbook_builder_run2(builder, 20240102, orders, 5, trades, 2);
  printf("quotelab %s: %d snapshots emitted\n", orderbook_version(), emitted);
  orderbook_builder_release(builder);
  return (emitted > 0 && emitted == seen) ? 0 : 1;
}
