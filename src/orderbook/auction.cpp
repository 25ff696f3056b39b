// The indicative call-auction match of a book: the single price the exchange would match the
// resting orders at now, with the quantity it would execute and what would be left over.
//
// The rule, per exchange: the price that executes the most, with every buy above it and every
// sell below it filled in full; among several such prices, Shanghai takes those leaving the
// least unmatched quantity at the price and then their middle price (rounded half up to the
// price tick), Shenzhen the one nearest the reference price. Only levels inside the crossed
// range (bids at or above the best ask, asks at or below the best bid) can be candidates, so a
// query walks those levels and allocates nothing.
#include "orderbook/book.h"

namespace ql::detail {
namespace {

// Quantities of the crossed range on both sides at one candidate price.
struct side_sums {
  int64_t buy_at_or_above;
  int64_t buy_above;
  int64_t sell_at_or_below;
  int64_t sell_below;
};

// The worst bid level still at or above px, or null.
const orderbook_queue* lowest_bid_at_or_above(const orderbook* b, uint32_t px) {
  const orderbook_queue* found = nullptr;
  for (const orderbook_queue* q = b->bids; q != nullptr && q->px >= px; q = q->next) found = q;
  return found;
}

int64_t positive(int64_t q) {
  return q > 0 ? q : 0;
}

// Sums of every level on both sides for a price px, over the crossed range only.
side_sums sums_at(const orderbook* b, uint32_t px) {
  side_sums s{0, 0, 0, 0};
  for (const orderbook_queue* q = b->bids; q != nullptr && q->px >= px; q = q->next) {
    s.buy_at_or_above += positive(q->quantity);
    if (q->px > px) s.buy_above += positive(q->quantity);
  }
  for (const orderbook_queue* q = b->asks; q != nullptr && q->px <= px; q = q->next) {
    s.sell_at_or_below += positive(q->quantity);
    if (q->px < px) s.sell_below += positive(q->quantity);
  }
  return s;
}

struct best_prices {
  int64_t volume = 0;
  int64_t least_surplus = 0;
  uint32_t lo = 0, hi = 0;              // range of the prices executing the most
  uint32_t least_lo = 0, least_hi = 0;  // range of those among them with least surplus
};

void consider(best_prices* best, uint32_t px, const side_sums& s) {
  const int64_t volume =
      s.buy_at_or_above < s.sell_at_or_below ? s.buy_at_or_above : s.sell_at_or_below;
  if (volume <= 0 || s.buy_above > volume || s.sell_below > volume) return;
  const int64_t diff = s.buy_at_or_above - s.sell_at_or_below;
  const int64_t surplus = diff < 0 ? -diff : diff;
  if (volume > best->volume) {
    *best = best_prices{volume, surplus, px, px, px, px};
    return;
  }
  if (volume < best->volume) return;
  best->hi = px;  // candidates come in increasing price
  if (surplus < best->least_surplus) {
    best->least_surplus = surplus;
    best->least_lo = best->least_hi = px;
  } else if (surplus == best->least_surplus) {
    best->least_hi = px;
  }
}

// Every candidate price of the crossed range, in increasing order: the asks from the best up
// to the best bid, merged with the bids from the lowest one at or above the best ask upwards.
best_prices scan_candidates(const orderbook* b) {
  best_prices best;
  const orderbook_queue* ask = b->asks;
  const orderbook_queue* bid = lowest_bid_at_or_above(b, b->asks->px);
  const uint32_t top = b->bids->px;
  // Running sums as the price rises: asks at or below it grow, bids at or above it shrink.
  int64_t buy_total = 0;
  for (const orderbook_queue* q = bid; q != nullptr; q = q->prev)
    buy_total += positive(q->quantity);
  int64_t sell_below = 0;
  int64_t buy_below = 0;
  while ((ask != nullptr && ask->px <= top) || bid != nullptr) {
    uint32_t px;
    if (bid == nullptr || (ask != nullptr && ask->px <= top && ask->px <= bid->px)) {
      px = ask->px;
    } else {
      px = bid->px;
    }
    int64_t ask_here = 0, bid_here = 0;
    if (ask != nullptr && ask->px == px) {
      ask_here = positive(ask->quantity);
      ask = ask->next;
    }
    if (bid != nullptr && bid->px == px) {
      bid_here = positive(bid->quantity);
      bid = bid->prev;
    }
    const side_sums s{buy_total - buy_below, buy_total - buy_below - bid_here,
                      sell_below + ask_here, sell_below};
    consider(&best, px, s);
    sell_below += ask_here;
    buy_below += bid_here;
  }
  return best;
}

// The middle of two prices, half up to the 0.01 tick when both are on it (else to 0.001).
uint32_t middle_px(uint32_t lo, uint32_t hi) {
  const uint32_t tick = (lo % 10 == 0 && hi % 10 == 0) ? 10 : 1;
  return ((lo / tick + hi / tick + 1) / 2) * tick;
}

}  // namespace
}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API int32_t orderbook_auction_indicative(orderbook* book, double reference_price,
                                            orderbook_auction* out) {
  if (book == nullptr || out == nullptr) return ORDERBOOK_ERROR;
  *out = orderbook_auction{};
  if (book->bids == nullptr || book->asks == nullptr || book->bids->px < book->asks->px) {
    return ORDERBOOK_OK;
  }
  const best_prices best = scan_candidates(book);
  if (best.volume <= 0) return ORDERBOOK_OK;
  uint32_t px;
  if (book->is_sse) {
    px = middle_px(best.least_lo, best.least_hi);
  } else {
    double reference = reference_price;
    if (!(reference > 0)) reference = book->snapshot.last;
    if (!(reference > 0)) reference = book->snapshot.pre_close;
    const uint32_t ref_px = price_to_px(reference);
    px = ref_px < best.lo ? best.lo : ref_px > best.hi ? best.hi : ref_px;
  }
  const side_sums s = sums_at(book, px);
  out->price = px / 1000.0;
  out->matched = best.volume;
  const int64_t diff = s.buy_at_or_above - s.sell_at_or_below;
  out->unmatched = diff < 0 ? -diff : diff;
  out->unmatched_side = diff > 0 ? 'B' : diff < 0 ? 'S' : 0;
  return ORDERBOOK_OK;
}

}  // extern "C"
