// The program's input layer for order and trade files: exchange and vendor layouts through
// KX::LayoutReader (detected from the header, or a profile, --map and --values), quotelab's own
// CSV through DataCsvReader, binary record files; every refused row counted and reported with
// its file, line and reason; the exchange's sequence taken from a column when both files carry
// one; times that go back reported with their line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "quotelab/layout_reader.h"
#include "record_io.h"

namespace qltool {

// How CSV inputs are read beyond their header: a built-in layout name or profile file, column
// and value maps, and whether refused rows fail the command.
struct InputSettings {
  std::string profile;  // built-in layout name or profile file; "" detects from the header
  std::string map;      // --map field=Column,...
  std::string values;   // --values side:1=B,2=S;type:10=D
  bool lenient = false;
};

// Rows refused over a command's inputs: the first ten in full, then the count per reason.
class RefusalReport {
 public:
  void add(const std::string& file, long line, const std::string& reason,
           const std::string& detail);
  // Takes over a reader's refusals (its kept ones in full, the rest as counts).
  void add_reader(const KX::LayoutReader& reader);
  size_t total() const { return total_; }
  // "'f.csv' line 7: unknown side code: OrderBSFlag '1'" for the first ten, then
  // "12 rows refused: 10 unknown side code, 2 short row".
  std::vector<std::string> lines() const;

 private:
  std::vector<KX::LayoutRefusal> kept_;
  std::vector<KX::LayoutRefusalCount> counts_;
  size_t total_ = 0;
  void count(const std::string& reason, size_t n);
};

// Checks every row of a CSV file for what the tokenizer sees wrong (an unterminated quote, a
// NUL inside a field, a row shorter than the header, a row cut off at the end of the file).
// Returns false with *error set when the file cannot be read as CSV at all.
bool scan_csv_rows(const std::string& path, char delimiter, RefusalReport* report,
                   std::string* error);

// Scans a CSV input (scan_csv_rows) for a command and reports each refused row on standard
// error. Returns false when the command must fail: the file is unreadable, or rows were
// refused and not lenient.
bool check_csv_input(const char* command, const std::string& path, char delimiter, bool lenient);

// What the day's files gave besides their records.
struct DayInputs {
  std::string orders_layout, trades_layout;  // layout names; "" for quotelab's own files
  bool merged = false;                       // the order file held both (a tick-by-tick file)
  // The readers of files in an exchange's or vendor's layout (NULL for quotelab's own files),
  // kept for what they read beside the records, which is then never copied.
  std::unique_ptr<KX::LayoutReader> order_file, trade_file;
  RefusalReport refusals;

  // The exchange sequence of each record, when its file carries one (else empty).
  const std::vector<int64_t>& order_seq() const;
  const std::vector<int64_t>& trade_seq() const;
  // The file line of each record (empty for quotelab's own files).
  const std::vector<uint32_t>& order_lines() const;
  const std::vector<uint32_t>& trade_lines() const;
  // A merged file's records in file order (else empty).
  const std::vector<KX::LayoutStreamEntry>& stream() const;
};

struct DayFileRequest {
  std::string orders_path, trades_path;  // trades_path may be "" for a merged file
  bool format_given = false;
  FileFormat format = FileFormat::Binary;
  char delimiter = ',';
  int date = 0;        // for files without a date column
  std::string symbol;  // "" keeps every instrument
  InputSettings input;
};

// Reads the day's order and trade files. Fails (with *error naming the file) when a file
// cannot be read, its layout cannot be settled, the order file is empty beside a non-empty
// trade file, or a file named as trades holds something else.
bool read_day_files(const DayFileRequest& request, RecordArray<_L2Order>* orders,
                    RecordArray<_L2Trade>* trades, DayInputs* files, std::string* error);

// A symbol as records hold it when their producer zero-filled them: the text, then zeros.
struct PaddedSymbol {
  char bytes[sizeof(_L2Order::symbol)] = {};
  explicit PaddedSymbol(const std::string& symbol) {
    std::memcpy(bytes, symbol.data(), std::min(symbol.size(), sizeof bytes));
  }
};

// True when a record's symbol field holds `symbol`: the fixed-size compare with its padded
// form decides nearly every record of a day, the text compare the rest (bytes after the NUL).
inline bool same_symbol(const char* record_symbol, const PaddedSymbol& padded,
                        const std::string& symbol) {
  return std::memcmp(record_symbol, padded.bytes, sizeof padded.bytes) == 0 ||
         std::strncmp(record_symbol, symbol.c_str(), sizeof padded.bytes) == 0;
}

// The feed a sequence file gives ('O' the next order, 'T' the next trade; blanks and line ends
// ignored) over the two files, with the records of `symbol` only ("" keeps every record).
// False, with *error naming the file, when the letters do not match the files' records.
bool sequence_from_letters(const std::string& sequence_path, const std::string& orders_path,
                           const std::string& trades_path, const RecordArray<_L2Order>& orders,
                           const RecordArray<_L2Trade>& trades, const std::string& symbol,
                           std::vector<const void*>* sequence, std::string* error);

// The layouts the files were read in, for a summary: "sh-b-orders + sh-b-trades", the merged
// file's one, or "" for quotelab's own files.
std::string layouts_note(const DayInputs& files);

// The failure of a command whose inputs had refused rows and was not lenient.
std::string refused_rows_error(size_t refused);

// The feed in the exchange's sequence from the files' sequence columns (or the merged file's
// order): true with *sequence filled, false when the files carry no sequence.
bool sequence_from_columns(const DayInputs& files, const RecordArray<_L2Order>& orders,
                           const RecordArray<_L2Trade>& trades, std::vector<const void*>* sequence);

// Where record `index` of the day's orders (is_order) or trades came from, for messages:
// "'orders.csv' line 7", or "'orders.bin' record 7" for a file without lines.
std::string record_place(const std::string& orders_path, const std::string& trades_path,
                         const DayInputs& files, bool is_order, size_t index);

// Finds records whose time is earlier than the record fed before them (in `sequence`, or in
// each file when it is empty) and reports them with their file and line; with fix, puts the
// feed back in time order (stably) so that no snapshot is lost. Returns how many went back.
size_t check_times(const DayFileRequest& request, const DayInputs& files,
                   RecordArray<_L2Order>* orders, RecordArray<_L2Trade>* trades,
                   std::vector<const void*>* sequence, bool fix, std::vector<std::string>* notes);

}  // namespace qltool
