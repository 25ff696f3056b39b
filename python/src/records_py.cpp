#include "records_py.h"

#include <cstdlib>
#include <vector>

#include "quotelab/utilcore.h"

namespace qlpy {
namespace {

struct FieldLayout {
  const char* name;
  size_t offset;
  size_t size;
};

struct RecordLayout {
  const char* name;
  size_t size;
  std::vector<FieldLayout> fields;
};

#define QL_FIELD(rec, field)                         \
  FieldLayout {                                      \
#field, offsetof(rec, field), sizeof(rec::field) \
  }

// Every record as the compiler lays it out: what the dtypes of quotelab.dtypes must match.
std::vector<RecordLayout> record_layouts() {
  return {
      {"L2Snapshot",
       sizeof(_L2Snapshot),
       {QL_FIELD(_L2Snapshot, type),          QL_FIELD(_L2Snapshot, exchange),
        QL_FIELD(_L2Snapshot, symbol),        QL_FIELD(_L2Snapshot, reserved1),
        QL_FIELD(_L2Snapshot, action_day),    QL_FIELD(_L2Snapshot, time),
        QL_FIELD(_L2Snapshot, open),          QL_FIELD(_L2Snapshot, high),
        QL_FIELD(_L2Snapshot, low),           QL_FIELD(_L2Snapshot, last),
        QL_FIELD(_L2Snapshot, volume),        QL_FIELD(_L2Snapshot, turnover),
        QL_FIELD(_L2Snapshot, upper_limit),   QL_FIELD(_L2Snapshot, lower_limit),
        QL_FIELD(_L2Snapshot, pre_close),     QL_FIELD(_L2Snapshot, pre_settle),
        QL_FIELD(_L2Snapshot, settle),        QL_FIELD(_L2Snapshot, reserved2),
        QL_FIELD(_L2Snapshot, iopv),          QL_FIELD(_L2Snapshot, num_trades),
        QL_FIELD(_L2Snapshot, open_interest), QL_FIELD(_L2Snapshot, pre_open_interest),
        QL_FIELD(_L2Snapshot, trading_day),   QL_FIELD(_L2Snapshot, reserved3),
        QL_FIELD(_L2Snapshot, ask_price),     QL_FIELD(_L2Snapshot, ask_volume),
        QL_FIELD(_L2Snapshot, bid_price),     QL_FIELD(_L2Snapshot, bid_volume)}},
      {"BarData",
       sizeof(_BarData),
       {QL_FIELD(_BarData, type),        QL_FIELD(_BarData, exchange),
        QL_FIELD(_BarData, symbol),      QL_FIELD(_BarData, reserved1),
        QL_FIELD(_BarData, action_day),  QL_FIELD(_BarData, time),
        QL_FIELD(_BarData, open),        QL_FIELD(_BarData, high),
        QL_FIELD(_BarData, low),         QL_FIELD(_BarData, close),
        QL_FIELD(_BarData, turnover),    QL_FIELD(_BarData, volume),
        QL_FIELD(_BarData, reserved2),   QL_FIELD(_BarData, pre_close),
        QL_FIELD(_BarData, reserved3),   QL_FIELD(_BarData, open_interest),
        QL_FIELD(_BarData, trading_day), QL_FIELD(_BarData, num_trades),
        QL_FIELD(_BarData, iopv),        QL_FIELD(_BarData, turn),
        QL_FIELD(_BarData, reserved4),   QL_FIELD(_BarData, extension)}},
      {"L2Trade",
       sizeof(_L2Trade),
       {QL_FIELD(_L2Trade, type), QL_FIELD(_L2Trade, exchange), QL_FIELD(_L2Trade, symbol),
        QL_FIELD(_L2Trade, reserved1), QL_FIELD(_L2Trade, action_day), QL_FIELD(_L2Trade, time),
        QL_FIELD(_L2Trade, aux_no), QL_FIELD(_L2Trade, volume), QL_FIELD(_L2Trade, price),
        QL_FIELD(_L2Trade, seq_num), QL_FIELD(_L2Trade, bid_seq_num),
        QL_FIELD(_L2Trade, ask_seq_num), QL_FIELD(_L2Trade, reserved2),
        QL_FIELD(_L2Trade, trade_flag), QL_FIELD(_L2Trade, bs_flag),
        QL_FIELD(_L2Trade, reserved3)}},
      {"L2Order",
       sizeof(_L2Order),
       {QL_FIELD(_L2Order, type), QL_FIELD(_L2Order, exchange), QL_FIELD(_L2Order, symbol),
        QL_FIELD(_L2Order, reserved1), QL_FIELD(_L2Order, action_day), QL_FIELD(_L2Order, time),
        QL_FIELD(_L2Order, aux_no), QL_FIELD(_L2Order, volume), QL_FIELD(_L2Order, price),
        QL_FIELD(_L2Order, seq_num), QL_FIELD(_L2Order, order_index), QL_FIELD(_L2Order, bs_flag),
        QL_FIELD(_L2Order, order_type), QL_FIELD(_L2Order, reserved2)}},
      {"MDIndex",
       sizeof(_MDIndex),
       {QL_FIELD(_MDIndex, type), QL_FIELD(_MDIndex, exchange), QL_FIELD(_MDIndex, symbol),
        QL_FIELD(_MDIndex, action_day), QL_FIELD(_MDIndex, time), QL_FIELD(_MDIndex, pre_close),
        QL_FIELD(_MDIndex, open), QL_FIELD(_MDIndex, high), QL_FIELD(_MDIndex, low),
        QL_FIELD(_MDIndex, last), QL_FIELD(_MDIndex, close), QL_FIELD(_MDIndex, volume),
        QL_FIELD(_MDIndex, turnover), QL_FIELD(_MDIndex, trading_day),
        QL_FIELD(_MDIndex, reserved)}},
      {"L1Snapshot",
       sizeof(_L1Snapshot),
       {QL_FIELD(_L1Snapshot, type),          QL_FIELD(_L1Snapshot, exchange),
        QL_FIELD(_L1Snapshot, symbol),        QL_FIELD(_L1Snapshot, reserved1),
        QL_FIELD(_L1Snapshot, action_day),    QL_FIELD(_L1Snapshot, time),
        QL_FIELD(_L1Snapshot, open),          QL_FIELD(_L1Snapshot, high),
        QL_FIELD(_L1Snapshot, low),           QL_FIELD(_L1Snapshot, last),
        QL_FIELD(_L1Snapshot, volume),        QL_FIELD(_L1Snapshot, turnover),
        QL_FIELD(_L1Snapshot, upper_limit),   QL_FIELD(_L1Snapshot, lower_limit),
        QL_FIELD(_L1Snapshot, pre_close),     QL_FIELD(_L1Snapshot, pre_settle),
        QL_FIELD(_L1Snapshot, settle),        QL_FIELD(_L1Snapshot, reserved2),
        QL_FIELD(_L1Snapshot, iopv),          QL_FIELD(_L1Snapshot, num_trades),
        QL_FIELD(_L1Snapshot, open_interest), QL_FIELD(_L1Snapshot, pre_open_interest),
        QL_FIELD(_L1Snapshot, trading_day),   QL_FIELD(_L1Snapshot, reserved3),
        QL_FIELD(_L1Snapshot, ask_price),     QL_FIELD(_L1Snapshot, ask_volume),
        QL_FIELD(_L1Snapshot, bid_price),     QL_FIELD(_L1Snapshot, bid_volume)}},
  };
}

#undef QL_FIELD

py::dict layouts_dict() {
  py::dict out;
  for (const RecordLayout& rec : record_layouts()) {
    py::dict fields;
    for (const FieldLayout& f : rec.fields) fields[f.name] = py::make_tuple(f.offset, f.size);
    py::dict entry;
    entry["size"] = rec.size;
    entry["fields"] = fields;
    out[rec.name] = entry;
  }
  return out;
}

// The capsule's destructor: the owner and its release function travel in the capsule's context.
struct CapsuleOwner {
  void* owner;
  void (*release)(void*);
};

}  // namespace

py::dtype record_dtype(const char* name) {
  return py::dtype::from_args(py::module_::import("quotelab.dtypes").attr(name));
}

const char* record_dtype_name(int type) {
  switch (type) {
    case QL_RECORD_L2SNAPSHOT:
      return "L2Snapshot";
    case QL_RECORD_L2TRADE:
      return "L2Trade";
    case QL_RECORD_L2ORDER:
      return "L2Order";
    case QL_RECORD_BAR:
      return "BarData";
    case QL_RECORD_MDINDEX:
      return "MDIndex";
    case QL_RECORD_L1SNAPSHOT:
      return "L1Snapshot";
    default:
      return nullptr;
  }
}

py::array wrap_records(const char* dtype_name, void* data, size_t count, size_t itemsize,
                       void* owner, void (*release)(void*)) {
  py::dtype dtype;
  try {
    dtype = record_dtype(dtype_name);
  } catch (...) {
    release(owner);
    throw;
  }
  if (data == nullptr || count == 0) {
    release(owner);
    return py::array(dtype, py::array::ShapeContainer{py::ssize_t{0}});
  }
  // The capsule carries the owner and its release function; numpy frees them with the array.
  auto* holder = new CapsuleOwner{owner, release};
  py::capsule base(holder, "quotelab.records", [](PyObject* capsule) {
    auto* h = static_cast<CapsuleOwner*>(PyCapsule_GetPointer(capsule, "quotelab.records"));
    if (h == nullptr) return;
    h->release(h->owner);
    delete h;
  });
  return py::array(dtype, py::array::ShapeContainer{static_cast<py::ssize_t>(count)},
                   py::array::StridesContainer{static_cast<py::ssize_t>(itemsize)}, data, base);
}

RecordSpan record_span(const py::array& array, size_t itemsize, const char* what) {
  if (array.ndim() != 1 || static_cast<size_t>(array.itemsize()) != itemsize ||
      !(array.flags() & py::array::c_style)) {
    throw py::type_error(std::string(what) + ": expected a one-dimensional, contiguous array of " +
                         std::to_string(itemsize) + "-byte records");
  }
  return {array.data(), static_cast<size_t>(array.size())};
}

void raise_error(const char* class_name, const std::string& message) {
  py::object cls = py::module_::import("quotelab.errors").attr(class_name);
  PyErr_SetObject(cls.ptr(), cls(message).ptr());
  throw py::error_already_set();
}

void raise_error(const char* class_name, const std::string& message, int code,
                 const char* code_name) {
  py::object cls = py::module_::import("quotelab.errors").attr(class_name);
  PyErr_SetObject(cls.ptr(), cls(message, code, code_name).ptr());
  throw py::error_already_set();
}

void bind_records(py::module_& m) {
  m.def("record_layouts", &layouts_dict,
        "Every record's size and its fields' (offset, size) as the C compiler lays them out.");
  m.def("record_size", &ql_record_size, py::arg("type"),
        "Size in bytes of a record of type code `type`, 0 for a code that names none.");
  m.def(
      "exchange_code", [](const std::string& text) { return exchange_int(text.c_str()); },
      py::arg("text"), "The exchange code of any of its names (SH, SSE, XSHG, ...), 0 if none.");
  m.def(
      "exchange_text",
      [](int code) -> py::object {
        const char* text = exchange_str(code);
        return text != nullptr ? py::object(py::str(text)) : py::object(py::none());
      },
      py::arg("code"), "The first name of an exchange code (1 -> 'SH'), or None.");
  m.attr("version") = QUOTELAB_VERSION_STRING;
  m.attr("library_version") = ql_version_string();
}

}  // namespace qlpy
