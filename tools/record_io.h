// Reading and writing record files: binary files (plain sequences of fixed-size records, as
// the binary replay reads them) and CSV files with a header row that DataCsvReader binds.
//
// CSV files are written with the utility layer's row formatters and their header twins
// (l2snapshot_to_csv, bar_to_csv, l2order_to_csv, l2trade_to_csv): the instrument is
// symbol.EXCHANGE ("000001.SZ"), so the exchange survives the round trip. An order file names
// its order type column after its first record's exchange (order_type_sh for Shanghai), so
// one file holds orders of one family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quotelab/records.h"

namespace qltool {

enum class FileFormat { Csv, Binary };
enum class RecordKind { Tick, Bar, Order, Trade };

// "csv" or "bin" in any letter case. Returns false for any other text.
bool parse_format(const char* text, FileFormat* out);
// A path ending in ".csv" (any letter case) is CSV; anything else binary.
FileFormat format_of_path(const std::string& path);
const char* format_name(FileFormat format);

// "tick", "bar", "order", "trade". Returns false for any other text.
bool parse_kind(const char* text, RecordKind* out);
const char* kind_name(RecordKind kind);
size_t kind_record_size(RecordKind kind);
uint8_t kind_type_code(RecordKind kind);
// The kind whose type code is `type`; false for a code that names none of the four.
bool kind_of_type_code(uint8_t type, RecordKind* out);

template <class Rec>
struct RecordTraits;
template <>
struct RecordTraits<_L2Snapshot> {
  static constexpr RecordKind kKind = RecordKind::Tick;
};
template <>
struct RecordTraits<_BarData> {
  static constexpr RecordKind kKind = RecordKind::Bar;
};
template <>
struct RecordTraits<_L2Order> {
  static constexpr RecordKind kKind = RecordKind::Order;
};
template <>
struct RecordTraits<_L2Trade> {
  static constexpr RecordKind kKind = RecordKind::Trade;
};

// The records of one file, in file order, in one block of memory aligned to and advised for
// 2 MiB pages: a million records then take some 40 pages instead of 20,000, which saves the
// page faults of filling them and the TLB misses of the order book's pass over them (each
// costs several times more on a virtual machine). Not thread-safe; movable, not copyable.
template <class Rec>
class RecordArray {
 public:
  RecordArray() = default;
  ~RecordArray() { std::free(data_); }
  RecordArray(RecordArray&& other) noexcept { swap(other); }
  RecordArray& operator=(RecordArray&& other) noexcept {
    RecordArray gone(std::move(other));
    swap(gone);
    return *this;
  }
  RecordArray(const RecordArray&) = delete;
  RecordArray& operator=(const RecordArray&) = delete;

  Rec* data() { return data_; }
  const Rec* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Rec& operator[](size_t i) { return data_[i]; }
  const Rec& operator[](size_t i) const { return data_[i]; }
  Rec* begin() { return data_; }
  Rec* end() { return data_ + size_; }
  const Rec* begin() const { return data_; }
  const Rec* end() const { return data_ + size_; }

  // Makes room for n records in all, keeping those held. Returns false when out of memory.
  bool reserve(size_t n);
  // Sets the count to n (room reserved first; new records are uninitialised). Returns false
  // when out of memory.
  bool resize(size_t n) {
    if (n > capacity_ && !reserve(n)) return false;
    size_ = n;
    return true;
  }
  // Appends one zero-filled record and returns it, or NULL when out of memory.
  Rec* append_zeroed() {
    if (size_ == capacity_ && !reserve(capacity_ < 1024 ? 1024 : capacity_ * 2)) return nullptr;
    Rec* r = data_ + size_++;
    std::memset(static_cast<void*>(r), 0, sizeof(Rec));
    return r;
  }
  // Keeps the first n records (n <= size()).
  void shrink(size_t n) { size_ = n < size_ ? n : size_; }
  void clear() { size_ = 0; }

 private:
  void swap(RecordArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  Rec* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Reads a whole binary file of Rec records with one fread. Fails (with *error saying why) when
// the file does not open, its size is not a whole number of records, or a record's type byte
// is not the kind's.
template <class Rec>
bool read_binary_records(const std::string& path, RecordArray<Rec>* out, std::string* error);

// Reads every row of a CSV file through DataCsvReader into zero-filled records with their type
// set. Fails when the file does not open, has no instrument column, or a row has no instrument
// text (the message names the line).
template <class Rec>
bool read_csv_records(const std::string& path, char delimiter, RecordArray<Rec>* out,
                      std::string* error);

// Either of the two, by format.
template <class Rec>
bool read_records(const std::string& path, FileFormat format, char delimiter, RecordArray<Rec>* out,
                  std::string* error) {
  return format == FileFormat::Csv ? read_csv_records(path, delimiter, out, error)
                                   : read_binary_records(path, out, error);
}

// Offers the 2 MiB-aligned inside of a block to transparent huge pages: a block of millions of
// entries then faults its pages in a few hundred times, not thousands. Only a hint.
void advise_huge_pages(const void* data, size_t bytes);

// Reads a whole file into *out. Returns false with *error set when it cannot be read.
bool read_whole_file(const std::string& path, std::string* out, std::string* error);

// Writes records of one kind to a file, binary or CSV with its header row, through a buffer of
// its own. Write errors are sticky and reported by close(). Not thread-safe; not copyable.
class RecordWriter {
 public:
  RecordWriter() = default;
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Creates (truncates) path. Returns false with *error set when it cannot.
  bool open(const std::string& path, RecordKind kind, FileFormat format, char delimiter,
            std::string* error);
  // Appends one record of the writer's kind. Returns false when the record cannot be written
  // (a row the formatter refuses, an order of another exchange family than the file's header,
  // an earlier write error); close() then reports it.
  bool write(const void* record);
  // Flushes and closes. Returns false with *error set when anything failed since open.
  bool close(std::string* error);

  size_t written() const { return written_; }
  const std::string& path() const { return path_; }

 private:
  bool write_header(const void* first_record);
  bool format_row(const void* record);
  bool flush_buffer();
  void fail(const std::string& why);

  FILE* file_ = nullptr;
  std::string path_;
  RecordKind kind_ = RecordKind::Tick;
  FileFormat format_ = FileFormat::Binary;
  char delimiter_ = ',';
  bool header_written_ = false;
  bool shanghai_orders_ = false;  // which order type column the header named
  std::string failure_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  size_t written_ = 0;
};

}  // namespace qltool
