// quotelab.read of exchange and vendor files: LayoutReader reads them into records, which the
// arrays then share with the reader (no copy).
#include <sys/stat.h>

#include <memory>
#include <string>

#include "quotelab/layout_reader.h"
#include "records_py.h"

namespace qlpy {
namespace {

using SharedReader = std::shared_ptr<KX::LayoutReader>;

// Refusals named in the message; the rest are counted.
constexpr size_t kRefusalsNamed = 3;

// An array over one of the reader's record vectors, keeping the reader alive.
template <class Rec>
py::array shared_records(const char* dtype_name, const SharedReader& reader,
                         const std::vector<Rec>& records) {
  auto* owner = new SharedReader(reader);
  return wrap_records(dtype_name, const_cast<Rec*>(records.data()), records.size(), sizeof(Rec),
                      owner, [](void* p) { delete static_cast<SharedReader*>(p); });
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Settles the layout: `layout` names a built-in or a profile file; "" detects one from the header.
void choose_layout(KX::LayoutReader* reader, const std::string& layout) {
  if (layout.empty()) return;
  const int rc =
      is_file(layout) ? reader->load_profile(layout.c_str()) : reader->use_layout(layout.c_str());
  if (rc != 0) throw py::value_error("layout: " + reader->error());
}

[[noreturn]] void raise_refusals(const KX::LayoutReader& reader) {
  std::string message = std::to_string(reader.refused()) + " rows of '" + reader.path() +
                        "' could not be read (give lenient=True to skip them)";
  const auto& refusals = reader.refusals();
  for (size_t i = 0; i < refusals.size() && i < kRefusalsNamed; ++i) {
    const KX::LayoutRefusal& r = refusals[i];
    message += "; '" + r.file + "' line " + std::to_string(r.line) + ": " + r.reason;
    if (!r.detail.empty()) message += ": " + r.detail;
  }
  if (reader.refused() > kRefusalsNamed) message += "; ...";
  raise_error("FileError", message);
}

// Reads a file in an exchange's or vendor's layout. Returns None when `layout` is "" and the
// header binds none, else (content, records): "orders", "trades" or "snapshots" with an array,
// "ticks" with a tuple (orders, trades) of a merged file.
py::object read_layout(const std::string& path, const std::string& layout, char delimiter,
                       bool lenient) {
  auto reader = std::make_shared<KX::LayoutReader>();
  reader->set_delimiter(delimiter);
  choose_layout(reader.get(), layout);
  int refused;
  {
    py::gil_scoped_release unlocked;
    refused = reader->open(path.c_str());
    if (refused == 0) refused = reader->read();
  }
  if (refused < 0) {
    if (layout.empty() && reader->layout_name().empty()) return py::none();
    raise_error("FileError", reader->error());
  }
  if (refused > 0 && !lenient) raise_refusals(*reader);
  switch (reader->content()) {
    case KX::LayoutContent::Orders:
      return py::make_tuple("orders", shared_records("L2Order", reader, reader->orders()));
    case KX::LayoutContent::Trades:
      return py::make_tuple("trades", shared_records("L2Trade", reader, reader->trades()));
    case KX::LayoutContent::Ticks:
      return py::make_tuple("ticks",
                            py::make_tuple(shared_records("L2Order", reader, reader->orders()),
                                           shared_records("L2Trade", reader, reader->trades())));
    case KX::LayoutContent::Snapshots:
      return py::make_tuple("snapshots", shared_records("L2Snapshot", reader, reader->snapshots()));
  }
  raise_error("FileError", "'" + path + "': the layout names no content");
}

}  // namespace

void bind_layouts(py::module_& m) {
  m.def("read_layout", &read_layout, py::arg("path"), py::arg("layout") = "",
        py::arg("delimiter") = ',', py::arg("lenient") = false,
        "Reads a file in an exchange's or vendor's layout (a built-in name, a profile file, or "
        "'' to detect it from the header) with LayoutReader. Returns None when '' detects none, "
        "else (content, records): orders, trades, snapshots an array, ticks (orders, trades). "
        "Raises FileError naming refused rows unless lenient, ValueError for a bad layout.");
}

}  // namespace qlpy
