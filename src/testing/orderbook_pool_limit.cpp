#include "testing/orderbook_pool_limit.h"

#include "orderbook/book.h"

extern "C" void ql__orderbook_pool_fail_after(orderbook* book, int n) {
  if (book == nullptr) return;
  book->block_pool->blocks_left = n < 0 ? -1 : n;
}
