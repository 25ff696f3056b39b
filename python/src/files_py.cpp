// quotelab.read / quotelab.write underneath: record files (CSV through DataCsvReader's column
// binding, or binary records) to arrays that own the records read, and arrays to files.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "quotelab/csv_reader.h"
#include "records_py.h"

namespace qlpy {
namespace {

using qltool::FileFormat;
using qltool::RecordKind;

RecordKind kind_from_name(const std::string& name) {
  RecordKind kind;
  if (!qltool::parse_kind(name.c_str(), &kind)) {
    throw py::value_error("kind: '" + name + "' is not tick, bar, order or trade");
  }
  return kind;
}

FileFormat format_from_name(const std::string& name, const std::string& path) {
  if (name.empty()) return qltool::format_of_path(path);
  FileFormat format;
  if (!qltool::parse_format(name.c_str(), &format)) {
    throw py::value_error("format: '" + name + "' is not csv or bin");
  }
  return format;
}

// The first line of a file (at most 1 MiB), or "" when it cannot be read.
std::string first_line(const std::string& path) {
  std::string line;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return line;
  char buf[4096];
  size_t got;
  while (line.size() < (1u << 20) && (got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    line.append(buf, got);
    const size_t end = line.find('\n');
    if (end != std::string::npos) {
      line.resize(end + 1);
      break;
    }
  }
  std::fclose(f);
  return line;
}

// Which record kind a CSV file's header binds: its header alone goes through DataCsvReader (in
// an anonymous memory file, so the whole file is not read twice). "" when it binds none.
std::string csv_kind(const std::string& path, char delimiter) {
  const std::string header = first_line(path);
  if (header.empty()) return "";
  const int fd = memfd_create("quotelab-header", MFD_CLOEXEC);
  if (fd < 0) return "";
  const bool written =
      write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
  const std::string fd_path = "/proc/self/fd/" + std::to_string(fd);
  KX::DataCsvReader reader(written ? fd_path.c_str() : nullptr, delimiter);
  close(fd);
  if (reader.csv_handle == nullptr) return "";
  const KX::_MDColumnIndexTable& c = reader.column_index;
  const unsigned char absent = KX::_MDColumnIndexTable::kColumnAbsent;
  if (c.bid_seq_num != absent && c.ask_seq_num != absent) return "trade";
  if (c.seq_num != absent && (c.order_type_sh != absent || c.order_type_sz != absent)) {
    return "order";
  }
  if (c.ask_price[0] != absent || c.bid_price[0] != absent) return "tick";
  if (c.close != absent) return "bar";
  return "";
}

// The kind of a binary record file by its first record's type code; "" when it is empty or
// starts with no record type this reads.
std::string binary_kind(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "";
  const int type = std::fgetc(f);
  std::fclose(f);
  RecordKind kind;
  if (type == EOF || !qltool::kind_of_type_code(static_cast<uint8_t>(type), &kind)) return "";
  return qltool::kind_name(kind);
}

template <class Rec>
py::array read_kind(const std::string& path, FileFormat format, char delimiter) {
  qltool::RecordArray<Rec> records;
  std::string error;
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = qltool::read_records(path, format, delimiter, &records, &error);
  }
  if (!ok) raise_error("FileError", error);
  return records_array(std::move(records));
}

py::array read_file(const std::string& path, const std::string& kind_name,
                    const std::string& format_name, char delimiter) {
  const FileFormat format = format_from_name(format_name, path);
  switch (kind_from_name(kind_name)) {
    case RecordKind::Tick:
      return read_kind<_L2Snapshot>(path, format, delimiter);
    case RecordKind::Bar:
      return read_kind<_BarData>(path, format, delimiter);
    case RecordKind::Order:
      return read_kind<_L2Order>(path, format, delimiter);
    case RecordKind::Trade:
      return read_kind<_L2Trade>(path, format, delimiter);
  }
  throw py::value_error("kind");
}

size_t write_file(const std::string& path, const py::array& records, const std::string& kind_name,
                  const std::string& format_name, char delimiter) {
  const RecordKind kind = kind_from_name(kind_name);
  const FileFormat format = format_from_name(format_name, path);
  const size_t size = qltool::kind_record_size(kind);
  const RecordSpan span = record_span(records, size, "write");
  std::string error;
  bool ok;
  {
    py::gil_scoped_release unlocked;
    qltool::RecordWriter writer;
    ok = writer.open(path, kind, format, delimiter, &error);
    if (ok) {
      const auto* p = static_cast<const unsigned char*>(span.data);
      for (size_t i = 0; i < span.count && writer.write(p + i * size); ++i) {
      }
      // close() reports the first failure of the writes, or its own.
      ok = writer.close(&error);
    }
  }
  if (!ok) raise_error("FileError", error);
  return span.count;
}

}  // namespace

void bind_files(py::module_& m) {
  m.def("read_file", &read_file, py::arg("path"), py::arg("kind"), py::arg("format") = "",
        py::arg("delimiter") = ',',
        "Reads a file of `kind` records (tick, bar, order, trade), CSV or binary by `format` "
        "(csv, bin; '' by the name). Returns an array owning the records; raises FileError.");
  m.def("write_file", &write_file, py::arg("path"), py::arg("records"), py::arg("kind"),
        py::arg("format") = "", py::arg("delimiter") = ',',
        "Writes `kind` records to a CSV file with a header row or a binary file. Returns the "
        "number written; raises FileError.");
  m.def("csv_kind", &csv_kind, py::arg("path"), py::arg("delimiter") = ',',
        "The record kind a CSV file's header binds (trade, order, tick, bar), or ''.");
  m.def("binary_kind", &binary_kind, py::arg("path"),
        "The record kind of a binary file by its first record's type code, or ''.");
}

}  // namespace qlpy
