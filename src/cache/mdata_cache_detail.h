// Internal helpers shared by the cache's translation units.
#ifndef QUOTELAB_SRC_CACHE_MDATA_CACHE_DETAIL_H
#define QUOTELAB_SRC_CACHE_MDATA_CACHE_DETAIL_H

#include <string.h>

#include <climits>

namespace KX {
namespace detail {

// Length of a symbol as a table key, or -1 for NULL (and for texts too long for an int length).
inline int cache_symbol_length(const char* symbol) {
  if (symbol == nullptr) return -1;
  size_t n = strlen(symbol);
  return n > static_cast<size_t>(INT_MAX / 2) ? -1 : static_cast<int>(n);
}

}  // namespace detail
}  // namespace KX

#endif
