// Where a market day's records come from: one stream of every symbol's _L2Order and _L2Trade
// records in the exchange's sequence. The market pass (market_day.h) reads only this seam, so
// another file layout needs only a DaySource of its own.
//
// The built-in sources read a pair of multi-symbol files, or one merged tick-by-tick file, and
// put them in the exchange's sequence in one of these ways:
//   - a sequence file, one letter per record ('O' the next order, 'T' the next trade), as
//     'quotelab simulate --sequence-out' writes it: the exact sequence whatever the files hold;
//   - without one, the records' own numbers: both files are merged by time, symbol and the
//     exchange's sequence number (Shenzhen seq_num of orders and trades, Shanghai order_index
//     of orders and aux_no of trades). Each file must be in that order; a record that is not
//     fails the day, naming the file and record;
//   - CSV files in an exchange or vendor layout (input_files.h) carry the sequence in a column
//     (BizIndex, ApplSeqNum), or are one merged file already in sequence.
// Binary files are read in blocks into a few buffers used in turn, so memory does not grow
// with the day; a CSV file is read whole (the CSV reader holds it anyway).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <vector>

#include "input_files.h"
#include "record_io.h"

namespace qltool {

// Records a binary file is read by at a time, and the most a caller may take at once.
constexpr size_t kBlockRecords = 1 << 17;
constexpr size_t kMaxBatch = kBlockRecords;

struct DayFiles {
  std::string orders_path;
  std::string trades_path;
  std::string sequence_path;  // empty: merge by time, symbol and sequence number
  bool format_given = false;
  FileFormat format = FileFormat::Binary;  // else by each file's extension
  char delimiter = ',';
  InputSettings input;  // how CSV files are read: layout or profile, maps, leniency
  int date = 0;         // the trading day of CSV layouts without a date column; 0: unknown
};

// Not thread-safe; one per reading thread (several may read the same files at once).
class DaySource {
 public:
  virtual ~DaySource() = default;
  // Fills out with up to max records in the exchange's sequence: pointers to _L2Order or
  // _L2Trade records, told apart by their type byte; max is at most kMaxBatch. The records
  // stay valid through the next call too, so one batch can be fed while the next is read
  // (not longer: the buffers are used again). Returns how many; 0 at the end of the day or
  // on failure (error() then says why).
  virtual size_t next(const void** out, size_t max) = 0;
  // Share of the input read so far, 0 to 1, for a progress bar.
  virtual double progress() const = 0;
  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }
  // Rows of CSV files that could not become records (file, line, reason), and how many.
  const std::vector<std::string>& refusals() const { return refusals_; }
  size_t refused_rows() const { return refused_rows_; }
  // How the files were read, for the summary: "sh-b-orders + sh-b-trades, merged by the
  // sequence column"; "" for quotelab's own files.
  const std::string& input_note() const { return input_note_; }

 protected:
  std::string error_;
  std::string input_note_;
  std::vector<std::string> refusals_;
  size_t refused_rows_ = 0;
};

// Opens the files. Returns NULL with *error set when one does not open or is not a file of
// its records.
std::unique_ptr<DaySource> open_day_source(const DayFiles& files, std::string* error);

}  // namespace qltool
