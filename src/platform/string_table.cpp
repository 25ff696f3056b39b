// KX::StringTable: a byte-string keyed table whose keys are copied into a pool.
#include <string.h>

#include "quotelab/utilcore.h"

namespace {

// Key copies are small (symbols, exchange + symbol); 16 KiB blocks hold several hundred of
// them per allocation without reserving much for tables that stay small.
constexpr int kKeyPoolBlockSize = 16384;

}  // namespace

namespace KX {

StringTable::StringTable(int size) {
  key_pool = epool_create(kKeyPoolBlockSize);
  // A NULL compare makes a byte-string table: keys are compared as `len` bytes, so a key may
  // hold NUL bytes anywhere (a leading exchange byte of 0, for instance).
  table = table_new(nullptr, nullptr, nullptr, nullptr);
  if (size > 0) table_expand(table, size);  // a failed pre-size only means later growth
}

StringTable::~StringTable() {
  table_free(&table);
  epool_destroy(key_pool);
}

int StringTable::insert_directly(const void* key, int len, void* value) {
  if (table == nullptr || key == nullptr || len < 0) return -1;
  if (len == 0) len = (int)strlen(static_cast<const char*>(key));
  if (table_find(table, key, len) != nullptr) return 1;
  // len bytes and a NUL, so a copy of a text key is also a C string.
  char* copy = static_cast<char*>(epool_palloc(key_pool, (size_t)len + 1));
  if (copy == nullptr) return -1;
  memcpy(copy, key, (size_t)len);
  return table_insert(table, copy, len, value);
}

void* StringTable::find(const void* key, int len) const {
  return table_get_value(table, key, len);
}

int StringTable::length() const {
  return table_length(table);
}

}  // namespace KX
