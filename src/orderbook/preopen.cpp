// Shenzhen orders entered between the opening match (09:25) and the open (09:30).
//
// The exchange accepts and publishes them as they arrive but matches none of them until
// 09:30:00.000, when it takes them into continuous matching in arrival order, each crossing
// what rests then (the auction's leftovers and the held orders that came before it), and
// publishes the trades after them. The book rests them as they come, so it may be crossed
// until the window opens. When the first event of the window arrives, the book takes the held
// orders out and enters them again the same way, so that the exchange's trades for them (which
// a Shenzhen book only counts during the window) find them already applied. A book that is not
// crossed then is left alone: no held order could have traded on arrival, as the first one to
// trade would have crossed an order that is still resting.
#include <initializer_list>

#include "orderbook/book.h"

namespace ql::detail {
namespace {

bool held(const ob_order* o) {
  return o->update_time >= kOpeningMatchTime && o->update_time < kWindowOpen;
}

bool crossed(const orderbook* b) {
  return b->bids != nullptr && b->asks != nullptr && b->bids->px >= b->asks->px;
}

// True when order a arrived before order b: earlier entry time, then lower sequence number
// (the Shenzhen sequence numbers count up in arrival order).
bool arrived_before(const ob_order* a, const ob_order* b) {
  return a->update_time != b->update_time ? a->update_time < b->update_time
                                          : a->order_seq_num < b->order_seq_num;
}

// Takes an order's quantity and count out of its level, and the order out of the level's
// queue, keeping its record and its order_map entry; a spent level goes.
void detach(orderbook* b, orderbook_queue* q, ob_order* o) {
  int64_t take = o->quantity;
  if (q->aggregate && take > q->quantity) take = q->quantity > 0 ? q->quantity : 0;
  q->quantity -= take;
  --q->num_orders;
  if (!q->aggregate) {
    if (o->prev != nullptr) {
      o->prev->next = o->next;
    } else {
      q->head = o->next;
    }
    if (o->next != nullptr) {
      o->next->prev = o->prev;
    } else {
      q->tail = o->prev;
    }
  }
  o->prev = o->next = nullptr;
  if (level_spent(q)) remove_level(b, q);
}

// Detaches every held order of a queueing book and chains them through `next`.
ob_order* take_held_from_queues(orderbook* b) {
  ob_order* list = nullptr;
  for (orderbook_queue* side : {b->bids, b->asks}) {
    for (orderbook_queue* q = side; q != nullptr;) {
      orderbook_queue* next_level = q->next;  // q may be recycled below
      for (ob_order* o = q->head; o != nullptr;) {
        ob_order* next_order = o->next;
        if (held(o)) {
          detach(b, q, o);
          o->next = list;
          list = o;
        }
        o = next_order;
      }
      q = next_level;
    }
  }
  return list;
}

// An aggregating book queues no orders: its held orders are found in order_map (whose `next`
// links they do not use) and their quantities taken from the level totals.
ob_order* take_held_from_map(orderbook* b) {
  ob_order* list = nullptr;
  const bool listed = order_index_each(&b->order_map, [&list](ob_order* o) {
    if (held(o)) {
      o->next = list;
      list = o;
    }
  });
  if (!listed) return nullptr;
  for (ob_order* o = list; o != nullptr; o = o->next) {
    orderbook_queue* q = order_level(b, o);
    ob_order* keep = o->next;
    if (q != nullptr) detach(b, q, o);
    o->next = keep;
  }
  return list;
}

// Sorts a list chained through `next` into arrival order (a merge sort: no allocation).
ob_order* sort_by_arrival(ob_order* list) {
  if (list == nullptr || list->next == nullptr) return list;
  ob_order* slow = list;
  for (ob_order* fast = list->next; fast != nullptr && fast->next != nullptr;) {
    slow = slow->next;
    fast = fast->next->next;
  }
  ob_order* second = slow->next;
  slow->next = nullptr;
  ob_order* a = sort_by_arrival(list);
  ob_order* c = sort_by_arrival(second);
  ob_order head{};
  ob_order* tail = &head;
  while (a != nullptr && c != nullptr) {
    ob_order** from = arrived_before(c, a) ? &c : &a;
    tail->next = *from;
    tail = *from;
    *from = (*from)->next;
  }
  tail->next = a != nullptr ? a : c;
  return head.next;
}

// Enters a held order again as if it arrived now: it crosses the opposite side, and what is
// left rests at the back of its level, keeping its record, number and entry time.
void enter_again(orderbook* b, ob_order* o, int32_t t) {
  const int32_t side = o->side;
  const int32_t left =
      consume(b, side == 'B' ? 'S' : 'B', o->order_seq_num, o->quantity, o->px, true, t);
  order_reservation res;
  res.order = o;
  res.level = left > 0 ? find_level(b, side, o->px) : nullptr;
  if (left > 0 && res.level == nullptr) {
    // Its level went while the held orders were taken out; the record went to the free list.
    res.level = take_level_record(b);
    if (res.level != nullptr &&
        table_insert(level_table(b, side), int_key(o->px), 0, res.level) != 0) {
      give_level_record(b, res.level);
      res.level = nullptr;
    }
    if (res.level != nullptr) init_level(b, res.level, side, o->px);
    res.new_level = true;
  }
  if (res.level == nullptr) {
    free_order(b, o);  // filled, or (without memory for a level) dropped
    return;
  }
  commit_order(b, &res, o->order_seq_num, o->px, left, o->orig_quantity, o->update_time, side);
}

}  // namespace

void match_preopen_orders(orderbook* b, int32_t t) {
  b->preopen_held = 0;
  if (!crossed(b)) return;
  b->last_time = t;
  ob_order* list = b->aggregate ? take_held_from_map(b) : take_held_from_queues(b);
  for (ob_order* o = sort_by_arrival(list); o != nullptr;) {
    ob_order* next = o->next;
    enter_again(b, o, t);
    o = next;
  }
}

}  // namespace ql::detail
