// Shenzhen orders of type 'U' (own-side best) carry no price: they rest at the best price of
// their own side as it stands when they enter. The builder prices them here just before
// feeding them.
#ifndef QUOTELAB_ORDERBOOK_OWN_BEST_H
#define QUOTELAB_ORDERBOOK_OWN_BEST_H

#include "orderbook/book.h"

namespace ql::detail {

// The price an own-side-best order of `side` takes in book b, from the book's own level
// queries. False, with a message on standard error naming the order (run names the caller),
// when that side is empty: the order is then refused and not fed.
bool own_side_best_price(orderbook* b, const _L2Order& order, const char* run, double* price);

}  // namespace ql::detail

#endif  // QUOTELAB_ORDERBOOK_OWN_BEST_H
