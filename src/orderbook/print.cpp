// Text dumps of a book and of single levels, for diagnosis.
#include <cstdio>

#include "orderbook/book.h"

namespace ql::detail {
namespace {

constexpr int kOrderListCapacity = 3999;  // characters of a level's order list, NUL excluded
constexpr int32_t kDefaultOrderLimit = 50;

void print_level(const orderbook_queue* q, FILE* out, int32_t rank) {
  std::fprintf(out, "%s%d %.3lf \t%lld\n", orderbook_side2str(q->side), rank, q->price,
               static_cast<long long>(q->quantity));
}

}  // namespace
}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API void orderbook_print(orderbook* book, FILE* out, int32_t depth) {
  if (book == nullptr || out == nullptr) return;
  refresh_snapshot(book);
  std::fprintf(out, "******** orderbook %s.%s %d %.3lf ********\n", book->symbol,
               book->exchange_name, book->snapshot.time, book->snapshot.last);
  // Asks deepest first: walk out to the k-th best, then back toward the best.
  const int64_t ask_rows = (depth < 0 ? 0 : static_cast<int64_t>(depth)) + 1;
  const orderbook_queue* q = book->asks;
  int32_t k = 0;
  while (q != nullptr && k + 1 < ask_rows && q->next != nullptr) q = q->next, ++k;
  for (int32_t rank = k + 1; q != nullptr; q = q->prev, --rank) print_level(q, out, rank);
  if (book->asks == nullptr) std::fputs("Asks empty..\n", out);
  std::fputs("------------------------------------------------------------\n", out);
  int32_t rank = 1;
  for (q = book->bids; q != nullptr && rank <= depth; q = q->next, ++rank) {
    print_level(q, out, rank);
  }
  if (book->bids == nullptr) std::fputs("Bids empty..\n", out);
  std::fputs("\n", out);
}

QL_API void orderbook_queue_print(const orderbook_queue* level, FILE* out, int32_t rank) {
  if (level == nullptr || out == nullptr) return;
  print_level(level, out, rank);
}

QL_API void orderbook_queue_print2(const orderbook_queue* level, FILE* out, int32_t rank,
                                   int32_t limit) {
  if (level == nullptr || out == nullptr) return;
  if (level->head == nullptr || level->aggregate) {
    print_level(level, out, rank);
    return;
  }
  if (limit == -1) limit = kDefaultOrderLimit;
  char list[kOrderListCapacity + 1];
  int len = 0;
  int32_t n = 0;
  for (const ob_order* o = level->head; o != nullptr && n < limit; o = o->next, ++n) {
    char entry[16];
    int w = std::snprintf(entry, sizeof entry, "%d,", o->quantity);
    if (len + w >= kOrderListCapacity) break;
    for (int i = 0; i < w; ++i) list[len++] = entry[i];
  }
  if (len > 0) --len;  // the final comma
  list[len] = '\0';
  std::fprintf(out, "%s%d %.3lf \t%lld %d/[%s]\n", orderbook_side2str(level->side), rank,
               level->price, static_cast<long long>(level->quantity), level->num_orders, list);
}

}  // extern "C"
