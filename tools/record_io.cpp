#include "record_io.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "quotelab/csv_reader.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

// Output is gathered into blocks of this size: large enough that fwrite costs nothing per
// row, small enough to stay in the cache. A row never exceeds kMaxRow bytes.
constexpr size_t kBufferBytes = 1 << 20;
constexpr size_t kMaxRow = 4096;

std::string errno_text() {
  return std::strerror(errno);
}

bool ieq(const char* a, const char* b) {
  return KX::StringUtil::iequals(a, b);
}

// Columns without which a file cannot be the kind asked for: an order file read as trades
// would otherwise decode into cancellations of nothing, and a trade file read as orders into
// orders without a side, both without a word. Returns the missing column's name, or NULL.
const char* missing_key_column(const KX::_MDColumnIndexTable& c, RecordKind kind) {
  const unsigned char absent = KX::_MDColumnIndexTable::kColumnAbsent;
  switch (kind) {
    case RecordKind::Order:
      if (c.seq_num == absent) return "seq_num";
      if (c.bs_flag == absent) return "bs_flag";
      if (c.order_type_sh == absent && c.order_type_sz == absent) {
        return "order_type_sh or order_type_sz";
      }
      return nullptr;
    case RecordKind::Trade:
      if (c.bid_seq_num == absent) return "bid_seq_num";
      if (c.ask_seq_num == absent) return "ask_seq_num";
      return nullptr;
    case RecordKind::Tick:
    case RecordKind::Bar:
      return nullptr;
  }
  return nullptr;
}

std::string describe_open_failure(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "cannot open '" + path + "': " + errno_text();
  if (S_ISDIR(st.st_mode)) return "'" + path + "' is a directory, not a file";
  return "";
}

}  // namespace

// ---- names -----------------------------------------------------------------------------------
bool parse_format(const char* text, FileFormat* out) {
  if (text == nullptr) return false;
  if (ieq(text, "csv")) {
    *out = FileFormat::Csv;
    return true;
  }
  if (ieq(text, "bin")) {
    *out = FileFormat::Binary;
    return true;
  }
  return false;
}

FileFormat format_of_path(const std::string& path) {
  const size_t n = path.size();
  return n >= 4 && ieq(path.c_str() + n - 4, ".csv") ? FileFormat::Csv : FileFormat::Binary;
}

const char* format_name(FileFormat format) {
  return format == FileFormat::Csv ? "csv" : "bin";
}

bool parse_kind(const char* text, RecordKind* out) {
  static const struct {
    const char* name;
    RecordKind kind;
  } kKinds[] = {{"tick", RecordKind::Tick},
                {"bar", RecordKind::Bar},
                {"order", RecordKind::Order},
                {"trade", RecordKind::Trade}};
  for (const auto& k : kKinds) {
    if (text != nullptr && ieq(text, k.name)) {
      *out = k.kind;
      return true;
    }
  }
  return false;
}

const char* kind_name(RecordKind kind) {
  switch (kind) {
    case RecordKind::Tick:
      return "tick";
    case RecordKind::Bar:
      return "bar";
    case RecordKind::Order:
      return "order";
    case RecordKind::Trade:
      return "trade";
  }
  return "?";
}

size_t kind_record_size(RecordKind kind) {
  switch (kind) {
    case RecordKind::Tick:
      return sizeof(_L2Snapshot);
    case RecordKind::Bar:
      return sizeof(_BarData);
    case RecordKind::Order:
      return sizeof(_L2Order);
    case RecordKind::Trade:
      return sizeof(_L2Trade);
  }
  return 0;
}

uint8_t kind_type_code(RecordKind kind) {
  switch (kind) {
    case RecordKind::Tick:
      return QL_RECORD_L2SNAPSHOT;
    case RecordKind::Bar:
      return QL_RECORD_BAR;
    case RecordKind::Order:
      return QL_RECORD_L2ORDER;
    case RecordKind::Trade:
      return QL_RECORD_L2TRADE;
  }
  return 0;
}

bool kind_of_type_code(uint8_t type, RecordKind* out) {
  for (RecordKind k : {RecordKind::Tick, RecordKind::Bar, RecordKind::Order, RecordKind::Trade}) {
    if (kind_type_code(k) == type) {
      *out = k;
      return true;
    }
  }
  return false;
}

// ---- reading ---------------------------------------------------------------------------------
bool read_whole_file(const std::string& path, std::string* out, std::string* error) {
  std::string why = describe_open_failure(path);
  FILE* f = why.empty() ? std::fopen(path.c_str(), "rb") : nullptr;
  if (f == nullptr) {
    *error = why.empty() ? "cannot open '" + path + "': " + errno_text() : why;
    return false;
  }
  out->clear();
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, got);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) *error = "cannot read '" + path + "'";
  return ok;
}

constexpr size_t kHugePage = size_t{2} << 20;

void advise_huge_pages(const void* data, size_t bytes) {
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

template <class Rec>
bool RecordArray<Rec>::reserve(size_t n) {
  if (n <= capacity_) return true;
  if (n > SIZE_MAX / sizeof(Rec) - kHugePage) return false;
  const size_t bytes = (n * sizeof(Rec) + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, bytes);
  if (p == nullptr) return false;
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: where huge pages are off the block still serves
  if (size_ > 0) std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(Rec));
  std::free(data_);
  data_ = static_cast<Rec*>(p);
  capacity_ = bytes / sizeof(Rec);
  return true;
}

template <class Rec>
bool read_binary_records(const std::string& path, RecordArray<Rec>* out, std::string* error) {
  const RecordKind kind = RecordTraits<Rec>::kKind;
  std::string why = describe_open_failure(path);
  FILE* f = why.empty() ? std::fopen(path.c_str(), "rb") : nullptr;
  if (f == nullptr) {
    *error = why.empty() ? "cannot open '" + path + "': " + errno_text() : why;
    return false;
  }
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    *error = "'" + path + "' is not a regular file";
    return false;
  }
  const size_t bytes = static_cast<size_t>(st.st_size);
  if (bytes % sizeof(Rec) != 0) {
    std::fclose(f);
    *error = "'" + path + "' is not a file of " + kind_name(kind) + " records: its size (" +
             std::to_string(bytes) + " bytes) is not a multiple of " + std::to_string(sizeof(Rec)) +
             " bytes";
    return false;
  }
  if (!out->resize(bytes / sizeof(Rec))) {
    std::fclose(f);
    *error = "not enough memory to read '" + path + "'";
    return false;
  }
  const size_t got = bytes > 0 ? std::fread(out->data(), 1, bytes, f) : 0;
  std::fclose(f);
  if (got != bytes) {
    *error = "cannot read '" + path + "': it ended after " + std::to_string(got) + " of " +
             std::to_string(bytes) + " bytes";
    out->clear();
    return false;
  }
  const uint8_t type = kind_type_code(kind);
  for (size_t i = 0; i < out->size(); ++i) {
    if ((*out)[i].type != type) {
      *error = "'" + path + "' is not a file of " + kind_name(kind) + " records: record " +
               std::to_string(i) + " has type " + std::to_string((*out)[i].type) + " (expected " +
               std::to_string(type) + ")";
      out->clear();
      return false;
    }
  }
  return true;
}

template <class Rec>
bool read_csv_records(const std::string& path, char delimiter, RecordArray<Rec>* out,
                      std::string* error) {
  std::string why = describe_open_failure(path);
  if (!why.empty()) {
    *error = why;
    return false;
  }
  KX::DataCsvReader reader(path.c_str(), delimiter);
  if (reader.csv_handle == nullptr) {
    *error = "cannot read '" + path + "' as CSV (unreadable, or no header row)";
    return false;
  }
  if (reader.column_index.instrument == KX::_MDColumnIndexTable::kColumnAbsent) {
    *error = "'" + path + "' has no instrument column (instrument, symbol, instr or code)";
    return false;
  }
  const RecordKind kind = RecordTraits<Rec>::kKind;
  if (const char* missing = missing_key_column(reader.column_index, kind)) {
    *error = "'" + path + "' has no " + missing + " column: it is not a file of " +
             kind_name(kind) + " records";
    return false;
  }
  out->clear();
  // Rows of these files take 50 to 80 bytes; reserving for the short end avoids the copies of
  // growing an array of a million records.
  struct stat st;
  if (stat(path.c_str(), &st) == 0) out->reserve(static_cast<size_t>(st.st_size) / 48 + 16);
  const uint8_t type = kind_type_code(kind);
  while (csv_next(reader.csv_handle) == 0) {
    Rec* rec = out->append_zeroed();
    if (rec == nullptr) {
      *error = "not enough memory to read '" + path + "'";
      return false;
    }
    if (!reader.get(rec)) {
      *error = "'" + path + "' line " + std::to_string(csv_line_number(reader.csv_handle)) +
               ": the row has no instrument text";
      return false;
    }
    rec->type = type;
  }
  return true;
}

template class RecordArray<_L2Order>;
template class RecordArray<_L2Trade>;
template class RecordArray<_L2Snapshot>;
template class RecordArray<_BarData>;
template bool read_binary_records(const std::string&, RecordArray<_L2Order>*, std::string*);
template bool read_binary_records(const std::string&, RecordArray<_L2Trade>*, std::string*);
template bool read_binary_records(const std::string&, RecordArray<_L2Snapshot>*, std::string*);
template bool read_binary_records(const std::string&, RecordArray<_BarData>*, std::string*);
template bool read_csv_records(const std::string&, char, RecordArray<_L2Order>*, std::string*);
template bool read_csv_records(const std::string&, char, RecordArray<_L2Trade>*, std::string*);
template bool read_csv_records(const std::string&, char, RecordArray<_L2Snapshot>*, std::string*);
template bool read_csv_records(const std::string&, char, RecordArray<_BarData>*, std::string*);

// ---- writing ---------------------------------------------------------------------------------
RecordWriter::~RecordWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RecordWriter::open(const std::string& path, RecordKind kind, FileFormat format, char delimiter,
                        std::string* error) {
  if (file_ != nullptr) std::fclose(file_);
  path_ = path;
  kind_ = kind;
  format_ = format;
  delimiter_ = delimiter;
  header_written_ = false;
  failure_.clear();
  used_ = 0;
  written_ = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot create '" + path + "': " + errno_text();
    return false;
  }
  buffer_.resize(kBufferBytes);
  // Order files name their order type column after the first record's exchange.
  if (format_ == FileFormat::Csv && kind_ != RecordKind::Order) write_header(nullptr);
  return true;
}

void RecordWriter::fail(const std::string& why) {
  if (failure_.empty()) failure_ = why;
}

bool RecordWriter::flush_buffer() {
  if (used_ == 0) return true;
  if (std::fwrite(buffer_.data(), 1, used_, file_) != used_) {
    fail("cannot write '" + path_ + "': " + errno_text());
  }
  used_ = 0;
  return failure_.empty();
}

bool RecordWriter::write_header(const void* first_record) {
  char* out = buffer_.data() + used_;
  int n = -1;
  switch (kind_) {
    case RecordKind::Tick:
      n = l2snapshot_csv_header(out, static_cast<int>(kMaxRow), delimiter_);
      break;
    case RecordKind::Bar:
      n = bar_csv_header(out, static_cast<int>(kMaxRow), delimiter_);
      break;
    case RecordKind::Order:
      shanghai_orders_ = static_cast<const _L2Order*>(first_record)->exchange == 1;
      n = l2order_csv_header(out, static_cast<int>(kMaxRow), shanghai_orders_ ? 1 : 0, delimiter_);
      break;
    case RecordKind::Trade:
      n = l2trade_csv_header(out, static_cast<int>(kMaxRow), delimiter_);
      break;
  }
  header_written_ = true;
  if (n < 0) {
    fail(std::string("cannot write a CSV header with delimiter '") + delimiter_ + "'");
    return false;
  }
  used_ += static_cast<size_t>(n);
  return true;
}

bool RecordWriter::format_row(const void* record) {
  char* out = buffer_.data() + used_;
  const int size = static_cast<int>(kMaxRow);
  int n = -1;
  switch (kind_) {
    case RecordKind::Tick:
      n = l2snapshot_to_csv(out, size, static_cast<const _L2Snapshot*>(record), delimiter_);
      break;
    case RecordKind::Bar:
      n = bar_to_csv(out, size, static_cast<const _BarData*>(record), delimiter_);
      break;
    case RecordKind::Order: {
      const auto* r = static_cast<const _L2Order*>(record);
      if ((r->exchange == 1) != shanghai_orders_) {
        fail("'" + path_ +
             "': Shanghai and other orders cannot share one file (the order type column is "
             "named by exchange)");
        return false;
      }
      n = l2order_to_csv(out, size, r, delimiter_);
      break;
    }
    case RecordKind::Trade:
      n = l2trade_to_csv(out, size, static_cast<const _L2Trade*>(record), delimiter_);
      break;
  }
  if (n < 0) return false;
  used_ += static_cast<size_t>(n);
  return true;
}

bool RecordWriter::write(const void* record) {
  if (file_ == nullptr || !failure_.empty()) return false;
  if (used_ + kMaxRow > buffer_.size() && !flush_buffer()) return false;
  if (format_ == FileFormat::Binary) {
    const size_t n = kind_record_size(kind_);
    std::memcpy(buffer_.data() + used_, record, n);
    used_ += n;
  } else {
    if (!header_written_ && !write_header(record)) return false;
    if (used_ + kMaxRow > buffer_.size() && !flush_buffer()) return false;
    if (!format_row(record)) {
      fail("'" + path_ + "': record " + std::to_string(written_) +
           " cannot be written as a CSV row");
      return false;
    }
  }
  ++written_;
  return true;
}

bool RecordWriter::close(std::string* error) {
  if (file_ == nullptr) {
    *error = "'" + path_ + "' is not open";
    return false;
  }
  if (failure_.empty() && format_ == FileFormat::Csv && !header_written_ &&
      kind_ == RecordKind::Order) {
    // An empty order file still gets its header, so it reads back as an empty file.
    _L2Order none;
    std::memset(&none, 0, sizeof none);
    write_header(&none);
  }
  flush_buffer();
  if (std::fclose(file_) != 0) fail("cannot write '" + path_ + "': " + errno_text());
  file_ = nullptr;
  if (!failure_.empty()) {
    *error = failure_;
    return false;
  }
  return true;
}

}  // namespace qltool
