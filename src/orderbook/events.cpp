// Event processing: orders rest, cross and cancel; trades consume and count.
//
// An incoming order that may rest takes its records (order, and level when its price has none)
// before anything changes, so that a refusal (duplicate number, no memory) leaves the book as
// it was; whether anything will rest is known beforehand from the quantities of the levels it
// would cross.
#include <cstdio>

#include "orderbook/book.h"

namespace ql::detail {
namespace {

void report_fill(orderbook* b, const orderbook_queue* q, int64_t aggressor, const ob_order* o,
                 int32_t fill, int32_t t) {
  if (aggressor < 0) {
    b->exec_callback(b, aggressor, 0, fill, q->price, b->last_time, b->exec_user_data);
  }
  if (o->order_seq_num < 0) {
    b->exec_callback(b, o->order_seq_num, 0, fill, q->price, t, b->exec_user_data);
  }
}

// Executes up to quantity against the level in time priority. Returns the quantity executed.
// The caller removes the level once it is spent.
int32_t exec_quantity(orderbook* b, orderbook_queue* q, int64_t aggressor, int32_t quantity,
                      int32_t t) {
  if (q->aggregate) {
    int64_t held = q->quantity > 0 ? q->quantity : 0;
    int32_t executed = held < quantity ? static_cast<int32_t>(held) : quantity;
    q->quantity -= executed;
    return executed;
  }
  ob_order* o = q->head;
  if (o == nullptr) {
    if (b->debug_level > 1) {
      ob_log(b, "%s**: order not find by order_id=%lld,qty=%d,px=%.3lf,update_time=%d\n",
             "orderbook_queue_exec_quantity", static_cast<long long>(aggressor), quantity, q->price,
             t);
    }
    return 0;
  }
  int32_t remaining = quantity;
  while (remaining > 0) {
    int32_t fill = o->quantity < remaining ? o->quantity : remaining;
    o->quantity -= fill;
    remaining -= fill;
    q->quantity -= fill;
    if (b->exec_callback != nullptr) report_fill(b, q, aggressor, o, fill, t);
    if (o->quantity > 0) break;
    ob_order* next = o->next;
    remove_order(b, q, o);
    o = next;
    if (o == nullptr) break;
  }
  if (q->quantity > 0 && q->head == nullptr) {
    if (b->debug_level > 1) {
      ob_log(b, "%s: orderque @%d have quantity %d but no orders\n",
             "orderbook_queue_exec_quantity", static_cast<int>(q->px),
             static_cast<int>(q->quantity));
    }
    q->quantity = 0;
  }
  return quantity - remaining;
}

inline bool beyond_limit(const orderbook_queue* q, int32_t side, uint32_t limit_px) {
  return side == 'S' ? q->px > limit_px : q->px < limit_px;
}

}  // namespace

int32_t consume(orderbook* b, int32_t side, int64_t aggressor, int32_t quantity, uint32_t limit_px,
                bool limited, int32_t t) {
  orderbook_queue** head = chain_head(b, side);
  int32_t remaining = quantity;
  while (remaining > 0) {
    orderbook_queue* q = *head;
    if (q == nullptr || (limited && beyond_limit(q, side, limit_px))) break;
    remaining -= exec_quantity(b, q, aggressor, remaining, t);
    if (!level_spent(q)) break;
    remove_level(b, q);
  }
  return remaining;
}

namespace {

// Quantity an incoming order of `side` would execute against the opposite side (at most
// quantity), read from the level totals without changing anything.
int32_t crossable(const orderbook* b, int32_t side, uint32_t px, bool limited, int32_t quantity) {
  int32_t opposite = side == 'B' ? 'S' : 'B';
  const orderbook_queue* q = side == 'B' ? b->asks : b->bids;
  int64_t held = 0;
  while (q != nullptr && held < quantity && !(limited && beyond_limit(q, opposite, px))) {
    if (q->quantity > 0) held += q->quantity;
    q = q->next;
  }
  return held < quantity ? static_cast<int32_t>(held) : quantity;
}

// Crosses an incoming order (inside the window) and rests what is left when it may rest:
// outside the window always, inside it when rest_unpriced or the price is positive. Returns the
// quantity left, or a refusal (ORDERBOOK_DUPLICATE, ORDERBOOK_NO_MEMORY) that changed nothing.
QL_OB_HOT int32_t enter_order(orderbook* b, int64_t seq, int32_t order_type, int32_t side,
                              double price, int32_t quantity, int32_t t, bool rest_unpriced) {
  const uint32_t px = price_to_px(price);
  const bool window = in_continuous_window(t);
  const bool limited = order_type != '1';
  const bool may_rest = !window || rest_unpriced || price > 0;
  const int32_t cross = window ? crossable(b, side, px, limited, quantity) : 0;
  const int32_t expected = quantity - cross;
  order_reservation res;
  if (may_rest && expected > 0) {
    int32_t r = reserve_order(b, seq, side, px, &res);
    if (r != ORDERBOOK_OK) return r;
  } else if (order_index_find(&b->order_map, seq) != nullptr) {
    return ORDERBOOK_DUPLICATE;
  }
  b->last_time = t;
  int32_t remaining =
      cross > 0 ? consume(b, side == 'B' ? 'S' : 'B', seq, quantity, px, limited, t) : quantity;
  if (remaining <= 0 || !may_rest) {
    release_reservation(b, seq, &res);
    return remaining;
  }
  if (res.order == nullptr) {
    // The levels held less than their totals said; take the records now.
    int32_t r = reserve_order(b, seq, side, px, &res);
    if (r != ORDERBOOK_OK) return r;
  }
  commit_order(b, &res, seq, px, remaining, quantity, t, side);
  if (!window) note_resting_outside_window(b, t);
  return remaining;
}

int32_t cancel_resting(orderbook* b, int64_t seq, int32_t quantity, double price, int32_t side,
                       int32_t t) {
  // Out of order_map at once: one probe instead of a lookup and then a removal. An order whose
  // level is gone goes back (only an aggregating book's can be; it frees them instead).
  ob_order* o = order_index_remove(&b->order_map, seq);
  if (o == nullptr) {
    if (b->debug_level > 2) {
      ob_log(b,
             "%s: not found order by order_seq_num=%lld,quantity=%d,price=%.3lf,side=%s,"
             "cancel_time=%d\n",
             "orderbook_on_cancel_order", static_cast<long long>(seq), quantity, price,
             orderbook_side2str(side), t);
    }
    return ORDERBOOK_NOT_FOUND;
  }
  orderbook_queue* q = order_level(b, o);
  if (q == nullptr) {
    if (b->debug_level != 0) {
      ob_log(b,
             "%s: not found orderque for order_seq_num=%lld,quantity=%d,price=%.3lf,px=%d,"
             "side=%s,cancel_time=%d\n",
             "orderbook_on_cancel_order", static_cast<long long>(seq), quantity, price,
             static_cast<int>(o->px), orderbook_side2str(side), t);
    }
    // Only an aggregating book has such orders: its level was emptied by executions.
    if (b->aggregate) {
      give_order_record(b, o);
    } else {
      order_index_insert(&b->order_map, seq, o);
    }
    return ORDERBOOK_NO_LEVEL;
  }
  if (b->exec_callback != nullptr && seq < 0) {
    b->exec_callback(b, seq, 1, o->quantity, q->price, t, b->exec_user_data);
  }
  if (quantity != o->quantity && b->debug_level != 0) {
    ob_log(b,
           "%s: cannel quantity %d not equal to order_quantity %d for order_seq_num=%lld,"
           "side=%s,cancel_time=%d\n",
           "orderbook_on_cancel_order", quantity, o->quantity, static_cast<long long>(seq),
           orderbook_side2str(side), t);
  }
  int64_t take = o->quantity;
  if (q->aggregate) {
    // The book does not know which orders executions took: the cancellation's own quantity
    // (what the exchange says remained) is the better measure when it is smaller.
    if (quantity > 0 && quantity < take) take = quantity;
    if (take > q->quantity) take = q->quantity > 0 ? q->quantity : 0;
  }
  q->quantity -= take;
  unqueue_order(b, q, o);
  give_order_record(b, o);
  if (level_spent(q)) remove_level(b, q);
  return ORDERBOOK_OK;
}

// Takes what a call-auction trade executed from the aggressor's own resting order, at most its
// remaining quantity, and the same from its level.
void reduce_aggressor(orderbook* b, int64_t aggressor, int32_t executed) {
  ob_order* o = order_index_find(&b->order_map, aggressor);
  if (o == nullptr) return;
  int32_t take = executed < o->quantity ? executed : o->quantity;
  orderbook_queue* q = order_level(b, o);
  o->quantity -= take;
  if (q == nullptr) {
    if (o->quantity <= 0) free_order(b, o);
    return;
  }
  int64_t level_take = take;
  if (q->aggregate && level_take > q->quantity) level_take = q->quantity > 0 ? q->quantity : 0;
  q->quantity -= level_take;
  if (o->quantity <= 0) remove_order(b, q, o);
  if (level_spent(q)) remove_level(b, q);
}

}  // namespace

// Kept whole (not split into a part inlined into the callers): the entry points then save the
// registers once per event instead of twice.
[[gnu::noinline]] int32_t on_l2order(orderbook* b, int64_t seq, int32_t order_type, int32_t bs_flag,
                                     double price, int32_t quantity, int32_t update_time) {
  if (update_time < b->last_time) return ORDERBOOK_EARLIER;
  open_window_for(b, update_time);
  if (order_type == 'D') {
    b->last_time = update_time;
    return cancel_resting(b, seq, quantity, price, bs_flag == 'B' ? 'B' : 'S', update_time);
  }
  const bool window = in_continuous_window(update_time);
  if (bs_flag != 'B' && bs_flag != 'S') {
    b->last_time = update_time;
    if (!window) {
      std::fprintf(stderr,
                   "on_l2order: unknown bs_flag=%d for update_time=%d, seq_num=%lld, "
                   "quantity=%d, price=%.3lf\n",
                   bs_flag, update_time, static_cast<long long>(seq), quantity, price);
    }
    return ORDERBOOK_BAD_SIDE;
  }
  if (quantity < 0) return ORDERBOOK_ERROR;
  if (quantity == 0) {
    b->last_time = update_time;
    return 0;
  }
  int32_t r = enter_order(b, seq, order_type, bs_flag, price, quantity, update_time, false);
  return (r > 0 && !window) ? 0 : r;
}

int32_t on_l2trade(orderbook* b, int64_t bid_seq, int64_t ask_seq, double price, int32_t quantity,
                   int32_t update_time) {
  if (update_time < b->last_time) return ORDERBOOK_EARLIER;
  if (quantity < 0) return ORDERBOOK_ERROR;
  open_window_for(b, update_time);
  b->last_time = update_time;
  if (bid_seq == 0 || ask_seq == 0) {
    // A cancellation: the other order's number is the order cancelled.
    int64_t seq = bid_seq == 0 ? ask_seq : bid_seq;
    if (seq <= 0) return ORDERBOOK_OK;
    b->snapshot.time = update_time;
    return cancel_resting(b, seq, quantity, price, bid_seq == 0 ? 'S' : 'B', update_time);
  }
  count_trade(b, quantity, price, update_time);
  const uint32_t px = price_to_px(price);
  const bool window = in_continuous_window(update_time);
  if (b->is_sse) {
    const bool buyer_later = bid_seq > ask_seq;
    const int64_t aggressor = buyer_later ? bid_seq : ask_seq;
    int32_t remaining = quantity > 0 ? consume(b, buyer_later ? 'S' : 'B', aggressor, quantity, px,
                                               true, update_time)
                                     : quantity;
    if (!window) reduce_aggressor(b, aggressor, quantity - remaining);
    return remaining;
  }
  if (window || quantity <= 0) return ORDERBOOK_OK;
  // A Shenzhen call-auction trade: both orders rest, so both sides lose the quantity.
  consume(b, 'S', bid_seq, quantity, px, true, update_time);
  consume(b, 'B', ask_seq, quantity, px, true, update_time);
  return ORDERBOOK_OK;
}

}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API int32_t orderbook_on_l2order(orderbook* book, int64_t seq_num, int32_t order_type,
                                    int32_t bs_flag, double price, int32_t quantity,
                                    int32_t update_time) {
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  busy_scope busy(book);
  return on_l2order(book, seq_num, order_type, bs_flag, price, quantity, update_time);
}

QL_API int32_t orderbook_on_l2trade(orderbook* book, int64_t trade_seq_num, int64_t bid_seq_num,
                                    int64_t ask_seq_num, double price, int32_t quantity,
                                    int32_t update_time) {
  (void)trade_seq_num;
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  busy_scope busy(book);
  return on_l2trade(book, bid_seq_num, ask_seq_num, price, quantity, update_time);
}

QL_API int32_t orderbook_on_cancel_order(orderbook* book, int64_t order_seq_num, int32_t quantity,
                                         double price, int32_t side, int32_t cancel_time) {
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  busy_scope busy(book);
  return cancel_resting(book, order_seq_num, quantity, price, side, cancel_time);
}

QL_API int32_t orderbook_on_order_cross(orderbook* book, int64_t seq_num, int32_t order_type,
                                        int32_t bs_flag, double price, int32_t quantity,
                                        int32_t update_time) {
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  if (bs_flag != 'B' && bs_flag != 'S') return ORDERBOOK_BAD_SIDE;
  busy_scope busy(book);
  return consume(book, bs_flag == 'B' ? 'S' : 'B', seq_num, quantity, price_to_px(price),
                 order_type != '1', update_time);
}

QL_API int32_t orderbook_insert_order(orderbook* book, int64_t order_id, int32_t side,
                                      int32_t quantity, double price) {
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  if (side != 'B' && side != 'S') return ORDERBOOK_BAD_SIDE;
  if (quantity < 0) return ORDERBOOK_ERROR;
  if (quantity == 0) return 0;
  busy_scope busy(book);
  int32_t order_type = price == 0.0 ? '1' : '2';
  return enter_order(book, order_id, order_type, side, price, quantity, book->last_time, true);
}

QL_API int32_t orderbook_cancel_order(orderbook* book, int64_t order_id) {
  if (book == nullptr || book->busy) return ORDERBOOK_ERROR;
  ob_order* o = order_index_find(&book->order_map, order_id);
  if (o == nullptr) return ORDERBOOK_NOT_FOUND;
  busy_scope busy(book);
  return cancel_resting(book, order_id, o->quantity, o->px / 1000.0, o->side == 'B' ? 'B' : 'S',
                        book->last_time);
}

}  // extern "C"
