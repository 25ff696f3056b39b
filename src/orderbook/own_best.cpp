#include "orderbook/own_best.h"

#include <cstdio>

namespace ql::detail {

bool own_side_best_price(orderbook* b, const _L2Order& order, const char* run, double* price) {
  const bool buy = order.bs_flag == 'B';
  // Level -1 is the best bid, level 1 the best ask.
  if (orderbook_get_price_qty(b, buy ? -1 : 1, nullptr, price)) return true;
  std::fprintf(stderr,
               "%s: own-side best order %lld at %d refused: no %s in the book to take the price "
               "of\n",
               run, static_cast<long long>(order.seq_num), static_cast<int>(order.time),
               buy ? "bid" : "ask");
  return false;
}

}  // namespace ql::detail
