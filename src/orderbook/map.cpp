// Books by instrument. The table key keeps the exchange id and six characters of the symbol;
// books whose instruments share a key are chained through their map_next link, and every
// lookup compares the exchange id and the whole symbol, so a book is never handed out for
// another instrument.
#include <cstdlib>
#include <cstring>

#include "orderbook/book.h"

// Not thread-safe: one thread at a time. Owns the books in it.
struct orderbook_map {
  table_s* table;  // key -> first book of the chain
  int32_t count;   // books held
};

namespace ql::detail {
namespace {

// Lowest byte the exchange id, the next six bytes the symbol's first six characters (zero
// bytes past its end), the highest byte 0.
uint64_t map_key(uint8_t exchange_id, const char* symbol) {
  uint64_t key = exchange_id;
  for (int i = 0; i < 6 && symbol[i] != '\0'; ++i) {
    key |= static_cast<uint64_t>(static_cast<unsigned char>(symbol[i])) << (8 * (i + 1));
  }
  return key;
}

const void* key_ptr(uint64_t key) {
  return int_key(static_cast<int64_t>(key));
}

bool same_instrument(const orderbook* b, uint8_t exchange_id, const char* symbol) {
  return b->exchange_id == exchange_id && std::strcmp(b->symbol, symbol) == 0;
}

void release_chain(void* value) {
  auto* b = static_cast<orderbook*>(value);
  while (b != nullptr) {
    orderbook* next = b->map_next;
    destroy_book(b);
    b = next;
  }
}

}  // namespace
}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API orderbook_map* orderbook_map_create(void) {
  auto* map = static_cast<orderbook_map*>(std::calloc(1, sizeof(orderbook_map)));
  if (map == nullptr) return nullptr;
  map->table = int_table_new(release_chain);
  if (map->table == nullptr) {
    std::free(map);
    return nullptr;
  }
  return map;
}

QL_API void orderbook_map_release(orderbook_map* map) {
  if (map == nullptr) return;
  table_free(&map->table);
  std::free(map);
}

QL_API int32_t orderbook_map_clear(orderbook_map* map) {
  if (map == nullptr) return 0;
  int32_t n = map->count;
  table_clear(map->table);
  map->count = 0;
  return n;
}

QL_API int32_t orderbook_map_count(const orderbook_map* map) {
  return map == nullptr ? 0 : map->count;
}

QL_API int32_t orderbook_map_insert(orderbook_map* map, orderbook* book) {
  if (map == nullptr || book == nullptr || book->owner != nullptr || book->symbol_cut) {
    return ORDERBOOK_ERROR;
  }
  const void* key = key_ptr(map_key(book->exchange_id, book->symbol));
  auto* head = static_cast<orderbook*>(table_get_value(map->table, key, 8));
  if (head == nullptr) {
    if (table_insert(map->table, key, 8, book) != 0) return ORDERBOOK_NO_MEMORY;
  } else {
    orderbook* last = head;
    for (orderbook* b = head; b != nullptr; b = b->map_next) {
      if (same_instrument(b, book->exchange_id, book->symbol)) return ORDERBOOK_MAP_PRESENT;
      last = b;
    }
    last->map_next = book;
  }
  book->map_next = nullptr;
  book->owner = map;
  ++map->count;
  return ORDERBOOK_OK;
}

QL_API orderbook* orderbook_map_get(orderbook_map* map, uint8_t exchange_id, const char* symbol) {
  if (map == nullptr || symbol == nullptr) return nullptr;
  auto* b = static_cast<orderbook*>(
      table_get_value(map->table, key_ptr(map_key(exchange_id, symbol)), 8));
  while (b != nullptr && !same_instrument(b, exchange_id, symbol)) b = b->map_next;
  return b;
}

QL_API orderbook* orderbook_map_remove(orderbook_map* map, uint8_t exchange_id,
                                       const char* symbol) {
  if (map == nullptr || symbol == nullptr) return nullptr;
  const void* key = key_ptr(map_key(exchange_id, symbol));
  table_node_s* node = table_find(map->table, key, 8);
  if (node == nullptr) return nullptr;
  orderbook* prev = nullptr;
  auto* b = static_cast<orderbook*>(node->value);
  while (b != nullptr && !same_instrument(b, exchange_id, symbol)) prev = b, b = b->map_next;
  if (b == nullptr) return nullptr;
  if (prev != nullptr) {
    prev->map_next = b->map_next;
  } else if (b->map_next != nullptr) {
    node->value = b->map_next;
  } else {
    table_remove(map->table, key, 8);
  }
  b->map_next = nullptr;
  b->owner = nullptr;
  --map->count;
  return b;
}

}  // extern "C"
