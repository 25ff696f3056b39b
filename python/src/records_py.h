// Records between the library and numpy: the dtype of each record type, arrays that own the
// library's buffers through a capsule (no copy), the records a caller hands in, and the package's
// exceptions raised from C++.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quotelab/records.h"
#include "record_io.h"

namespace qlpy {

namespace py = pybind11;

// The dtype quotelab.dtypes declares under `name`.
py::dtype record_dtype(const char* name);
// The name in quotelab.dtypes of the records with type code `type`, or NULL.
const char* record_dtype_name(int type);

// An array over `count` records of `itemsize` bytes at `data`, whose base is a capsule that frees
// `owner` with `release` when numpy lets the array go. Nothing is copied. A NULL `data` (no
// records) gives an empty array.
py::array wrap_records(const char* dtype_name, void* data, size_t count, size_t itemsize,
                       void* owner, void (*release)(void*));

// Moves the records into an array that owns them (see wrap_records).
template <class Rec>
py::array records_array(qltool::RecordArray<Rec>&& records) {
  auto* owner = new qltool::RecordArray<Rec>(std::move(records));
  const char* name = record_dtype_name(qltool::kind_type_code(qltool::RecordTraits<Rec>::kKind));
  return wrap_records(name, owner->data(), owner->size(), sizeof(Rec), owner,
                      [](void* p) { delete static_cast<qltool::RecordArray<Rec>*>(p); });
}

// The records of a C-contiguous array handed in by a caller, checked to hold records of Rec's
// size; raises TypeError naming `what` otherwise. The array must outlive the use of the result.
struct RecordSpan {
  const void* data = nullptr;
  size_t count = 0;
};
RecordSpan record_span(const py::array& array, size_t itemsize, const char* what);
template <class Rec>
std::pair<const Rec*, size_t> records_of(const py::array& array, const char* what) {
  const RecordSpan span = record_span(array, sizeof(Rec), what);
  return {static_cast<const Rec*>(span.data), span.count};
}

// Raise quotelab.errors.<class_name>(message, *extra): the package's own exceptions.
[[noreturn]] void raise_error(const char* class_name, const std::string& message);
[[noreturn]] void raise_error(const char* class_name, const std::string& message, int code,
                              const char* code_name);

// The exchange's sequence as record pointers: 'O' takes the next order, 'T' the next trade,
// blanks are skipped; records of other symbols than `symbol` (when given) are left out. Raises
// ValueError when the letters and the records do not agree.
std::vector<const void*> sequence_records(const std::string& letters, const _L2Order* orders,
                                          size_t order_count, const _L2Trade* trades,
                                          size_t trade_count, const std::string& symbol);

// Registers record_layouts() and the record helpers on the module.
void bind_records(py::module_& m);
void bind_files(py::module_& m);
void bind_book(py::module_& m);
void bind_replay(py::module_& m);
void bind_market(py::module_& m);
void bind_verify(py::module_& m);
void bind_layouts(py::module_& m);

}  // namespace qlpy
