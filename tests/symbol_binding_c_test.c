/* A host program that defines functions under the names of the library's own (as a C program
 * with its own hash table or message helpers may): the library's results must not change,
 * because its calls to its own functions bind inside it. Each stand-in below would break the
 * book if the library called it: lookups that find nothing, inserts that fail. */
#include <stddef.h>
#include <stdint.h>

#include "quotelab/orderbook.h"

#include "c_check.h"

static int host_calls = 0;

void* table_get_value(void* table, const void* key, int key_len) {
  (void)table;
  (void)key;
  (void)key_len;
  ++host_calls;
  return NULL;
}
void* table_find(void* table, const void* key, int key_len) {
  (void)table;
  (void)key;
  (void)key_len;
  ++host_calls;
  return NULL;
}
int table_insert(void* table, const void* key, int key_len, void* value) {
  (void)table;
  (void)key;
  (void)key_len;
  (void)value;
  ++host_calls;
  return -1;
}
void* table_remove(void* table, const void* key, int key_len) {
  (void)table;
  (void)key;
  (void)key_len;
  ++host_calls;
  return NULL;
}
int32_t time2msec(int32_t time) {
  (void)time;
  ++host_calls;
  return 0;
}

int main(void) {
  orderbook* book = orderbook_create("SZ", "000001", 0, 0);
  CHECK(book != NULL);
  orderbook_reset(book, 20240105);
  CHECK(orderbook_on_l2order(book, 1, '2', 'B', 10.00, 500, 91500000) == 0);
  CHECK(orderbook_on_l2order(book, 2, '2', 'B', 9.99, 300, 91500001) == 0);
  CHECK(orderbook_queue_quantity(orderbook_at(book, -1)) == 500);
  /* A Shenzhen cancellation: a trade record with a zero sequence number on one side. */
  CHECK(orderbook_on_l2trade(book, 10, 1, 0, 0.0, 500, 91500002) == ORDERBOOK_OK);
  CHECK(orderbook_queue_price(orderbook_at(book, -1)) == 9.99);
  CHECK(orderbook_on_l2trade(book, 11, 2, 0, 0.0, 300, 91500003) == ORDERBOOK_OK);
  CHECK(orderbook_at(book, -1) == NULL);
  orderbook_release(book);
  CHECK(host_calls == 0);
  return C_CHECK_RESULT();
}
