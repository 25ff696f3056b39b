// Test support (the quotelab_testing static library, never shipped): checks of internal
// invariants that tests and fuzzers run after each step.
#pragma once

#include "quotelab/orderbook.h"

// Checks every invariant of the book's levels, queues, tables and free lists. Returns 0 when
// the book is consistent, else a negative code naming the first broken invariant (also
// written to standard error); -1 for NULL.
extern "C" int ql__orderbook_check(const orderbook* book);
