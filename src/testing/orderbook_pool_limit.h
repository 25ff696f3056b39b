// Test support (the quotelab_testing static library, never shipped): a book whose pool runs
// out of blocks, as when the system is out of memory in the middle of a day.
#pragma once

#include "quotelab/orderbook.h"

// After n more new blocks every block the book's pool asks for is refused; n < 0 lifts the
// limit. Reaches the pool through the book's internal layout: the shipped library exports
// nothing for it. NULL does nothing.
extern "C" void ql__orderbook_pool_fail_after(orderbook* book, int n);
