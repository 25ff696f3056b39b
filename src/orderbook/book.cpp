// Book lifecycle (create, reset, release, settings) and the level and order primitives that
// allocate, free or log.
#include "orderbook/book.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace ql::detail {
namespace {

struct exchange_alias {
  const char* text;
  uint8_t id;
};
// Checked in this order; any other text gives id 0 and the Shenzhen rules.
constexpr exchange_alias kExchangeAliases[] = {
    {"SSE", 1}, {"SHA", 1}, {"SH", 1}, {"XSHG", 1}, {"SZSE", 2}, {"SZA", 2}, {"SZ", 2}, {"XSHE", 2},
};

uint8_t exchange_id_of(const char* text) {
  for (const auto& a : kExchangeAliases) {
    if (KX::StringUtil::iequals(text, a.text)) return a.id;
  }
  return 0;
}

table_s* new_int_table(int room) {
  table_s* t = table_new(table_int_compare, table_int_hash, nullptr, nullptr);
  if (t != nullptr && table_expand(t, room) != 0) table_free(&t);
  return t;
}

void free_tables(orderbook* b) {
  order_index_free(&b->order_map);
  table_free(&b->ask_px_table);
  table_free(&b->bid_px_table);
  ladder_free(&b->bid_ladder);
  ladder_free(&b->ask_ladder);
}

// The snapshot fields a book owns from creation and keeps across resets.
void init_snapshot(orderbook* b, int32_t action_day) {
  std::memset(&b->snapshot, 0, sizeof(b->snapshot));
  b->snapshot.type = QL_RECORD_L2SNAPSHOT;
  b->snapshot.exchange = b->exchange_id;
  KX::StringUtil::copy_cut(b->snapshot.symbol, b->symbol, sizeof(b->snapshot.symbol) - 1);
  b->snapshot.action_day = action_day;
}

}  // namespace

void ob_log(orderbook* book, const char* fmt, ...) {
  // At most 3997 characters of a line are kept.
  char text[4000];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, 3998, fmt, args);
  va_end(args);
  if (book->log_callback != nullptr) {
    book->log_callback(book, text);
  } else {
    std::fputs(text, stdout);
  }
}

void remove_level(orderbook* b, orderbook_queue* q) {
  orderbook_queue** head = chain_head(b, q->side);
  if (q->prev != nullptr) {
    q->prev->next = q->next;
  } else if (*head == q) {
    *head = q->next;
  }
  if (q->next != nullptr) q->next->prev = q->prev;
  ladder_erase(side_ladder(b, q->side), ladder_key(q->side, q->px));
  if (KX::detail::table_int_remove(level_table(b, q->side), q->px) == nullptr &&
      b->debug_level != 0) {
    ob_log(b, "%s: no queue in %s at px=%d\n", "orderbook_queue_remove",
           q->side == 'S' ? "AskPxQueueTable" : "BidPxQueueTable", static_cast<int>(q->px));
  }
  q->prev = nullptr;
  give_level_record(b, q);
}

void log_order_not_in_map(orderbook* b, const ob_order* o) {
  ob_log(b, "%s: order=%lld|%d/%d|%.3lf|%d not found in order map\n", "orderbook_ob_order_free",
         static_cast<long long>(o->order_seq_num), o->quantity, o->orig_quantity, o->px / 1000.0,
         o->update_time);
}

void destroy_book(orderbook* b) {
  if (b == nullptr) return;
  free_tables(b);
  mpool_destroy(b->block_pool);  // the book record lives in the first block
}

}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API orderbook* orderbook_create(const char* exchange, const char* symbol, int32_t mode,
                                   uint8_t aggregate) {
  if (exchange == nullptr || symbol == nullptr) return nullptr;
  mpool* pool = mpool_create(kBookBlockSize);
  if (pool == nullptr) return nullptr;
  void* mem = mpool_alloc(pool, sizeof(orderbook));
  if (mem == nullptr) {
    mpool_destroy(pool);
    return nullptr;
  }
  auto* b = new (mem) orderbook{};
  b->block_pool = pool;
  b->first_block_used = pool->first_block->used;
  KX::StringUtil::copy_cut(b->exchange_name, exchange, kExchangeNameCapacity - 1);
  KX::StringUtil::copy_cut(b->symbol, symbol, kSymbolCapacity - 1);
  b->symbol_cut = std::strlen(symbol) >= static_cast<size_t>(kSymbolCapacity) ? 1 : 0;
  b->mode = mode;
  b->aggregate = aggregate;
  b->exchange_id = exchange_id_of(exchange);
  b->is_sse = b->exchange_id == 1 ? 1 : 0;
  const bool indexed = order_index_init(&b->order_map, kOrderRingSlots);
  b->ask_px_table = new_int_table(kLevelTableRoom);
  b->bid_px_table = new_int_table(kLevelTableRoom);
  if (!indexed || b->ask_px_table == nullptr || b->bid_px_table == nullptr) {
    destroy_book(b);
    return nullptr;
  }
  init_snapshot(b, 0);
  b->next_order_id = -1;
  return b;
}

QL_API void orderbook_release(orderbook* book) {
  if (book == nullptr || book->owner != nullptr || book->busy) return;
  destroy_book(book);
}

QL_API void orderbook_reset(orderbook* book, int32_t date) {
  if (book == nullptr || book->busy) return;
  init_snapshot(book, date);
  book->last_time = 0;
  book->preopen_held = 0;
  order_index_clear(&book->order_map);
  table_clear(book->ask_px_table);
  table_clear(book->bid_px_table);
  book->bids = book->asks = nullptr;
  ladder_clear(&book->bid_ladder);
  ladder_clear(&book->ask_ladder);
  book->free_queues = nullptr;
  book->free_orders = nullptr;
  mpool_trim(book->block_pool, book->first_block_used);
}

QL_API void orderbook_set_debug(orderbook* book, int32_t level, orderbook_log_callback cb) {
  if (book == nullptr) return;
  book->debug_level = level;
  book->log_callback = cb;
}

QL_API void orderbook_set_exec_callback(orderbook* book, orderbook_exec_callback cb,
                                        void* user_data) {
  if (book == nullptr) return;
  book->exec_callback = cb;
  book->exec_user_data = user_data;
}

QL_API int32_t orderbook_init_static_fields(orderbook* book, int32_t date, double pre_close,
                                            double upper_limit, double lower_limit) {
  if (book == nullptr) return ORDERBOOK_ERROR;
  if (date == 0) date = KX::TimeTools::local_date();
  book->snapshot.action_day = date;
  book->snapshot.trading_day = date;
  book->snapshot.pre_close = pre_close;
  book->snapshot.upper_limit = upper_limit;
  book->snapshot.lower_limit = lower_limit;
  return ORDERBOOK_OK;
}

QL_API int64_t orderbook_gen_order_id(orderbook* book) {
  if (book == nullptr) return 0;
  return book->next_order_id--;
}

}  // extern "C"
