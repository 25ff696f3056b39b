// NumArray: a typed numeric array or a view of one.
#include <stdlib.h>
#include <string.h>

#include "quotelab/mdata_cache.h"

namespace KX {

namespace {
// Room a new owning array takes at once, in elements.
constexpr uint64_t kInitialElements = 512;
}  // namespace

int NumArray::elem_size_of(int type) {
  switch (type) {
    case FIELD_TYPE_INT8:
    case FIELD_TYPE_UINT8:
      return 1;
    case FIELD_TYPE_INT16:
      return 2;
    case FIELD_TYPE_INT32:
    case FIELD_TYPE_FLOAT:
      return 4;
    case FIELD_TYPE_INT64:
    case FIELD_TYPE_DOUBLE:
    case FIELD_TYPE_UINT64:
      return 8;
    default:
      return 0;
  }
}

NumArray::NumArray(int type_) : owns(1), type(type_), elem_size(elem_size_of(type_)) {
  uint64_t bytes = static_cast<uint64_t>(elem_size) * kInitialElements;
  data = bytes > 0 ? malloc(static_cast<size_t>(bytes)) : nullptr;
  capacity = data != nullptr ? bytes : 0;
}

NumArray::NumArray(NumArray&& other) noexcept {
  take(other);
}

NumArray& NumArray::operator=(NumArray&& other) noexcept {
  if (this != &other) {
    release();
    take(other);
  }
  return *this;
}

void NumArray::take(NumArray& other) {
  data = other.data;
  size = other.size;
  capacity = other.capacity;
  owns = other.owns;
  count = other.count;
  type = other.type;
  elem_size = other.elem_size;
  name = other.name;
  other.data = nullptr;
  other.owns = 0;
  other.size = other.capacity = 0;
  other.count = 0;
}

NumArray::~NumArray() {
  release();
}

void NumArray::release() {
  if (owns) free(data);
  data = nullptr;
  owns = 0;
  size = capacity = 0;
  count = 0;
}

NumArray NumArray::view(void* data, int64_t count, int type, const char* name) {
  NumArray v;
  v.data = data;
  v.type = type;
  v.elem_size = elem_size_of(type);
  v.count = count > 0 ? count : 0;
  v.size = v.capacity = static_cast<uint64_t>(v.count) * static_cast<uint64_t>(v.elem_size);
  v.name = name != nullptr ? name : "";
  return v;
}

int NumArray::append(const void* value) {
  if (!owns) return QL_ARRAY_VIEW;
  if (value == nullptr || elem_size <= 0) return -1;
  const uint64_t es = static_cast<uint64_t>(elem_size);
  if (capacity - size < es) {
    uint64_t doubled = capacity * 2;
    uint64_t grown = capacity + es;
    if (grown < capacity || doubled / 2 != capacity) return -1;  // wrapped around
    uint64_t want = doubled > grown ? doubled : grown;
    if (want > SIZE_MAX) return -1;
    void* p = realloc(data, static_cast<size_t>(want));
    if (p == nullptr) return -1;
    data = p;
    capacity = want;
  }
  char* end = static_cast<char*>(data) + size;
  switch (elem_size) {  // fixed-size copies compile to one move each
    case 8:
      memcpy(end, value, 8);
      break;
    case 4:
      memcpy(end, value, 4);
      break;
    case 2:
      memcpy(end, value, 2);
      break;
    default:
      memcpy(end, value, es);
      break;
  }
  size += es;
  ++count;
  return 0;
}

}  // namespace KX
