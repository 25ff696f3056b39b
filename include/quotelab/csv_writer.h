/* quotelab: writing market-data records as CSV rows.
 *
 * DataCsvWriter appends one row per record, without a header row (write one first with the
 * utility layer's *_csv_header functions when a file is to be read back). Snapshot, index and
 * bar rows come from the utility layer's formatters; trade and order rows are built here:
 *
 *   trade: ;EXCH;SYMBOL;action_day;time;aux_no;volume;price;seq_num;bid_seq_num;ask_seq_num;
 *          trade_flag;bs_flag CR LF
 *   order: ;EXCH;SYMBOL;action_day;time;aux_no;volume;price;seq_num;order_index;bs_flag;
 *          order_type CR LF
 *
 * (';' standing for the writer's delimiter, which precedes every field, the first one too).
 * EXCH is exchange_str of the exchange code, empty when the code has no text; prices are
 * "%.3f", or "0" for a price of 0; a flag is its character, a space when it is 0.
 *
 * Flushing: snapshot and index rows are flushed every 16384th row (counting snapshot, index
 * and bar rows) and whenever the record's time (HHMMSSmmm) lies between 150000000 and
 * 153099999 inclusive, around the close; a bar row is flushed when its time differs from the
 * last flushed bar's or is 150000 or 151500. Trade and order rows are left to the stream's own
 * buffering.
 */
#ifndef QUOTELAB_CSV_WRITER_H
#define QUOTELAB_CSV_WRITER_H

#include <stdint.h>
#include <stdio.h>

#include <memory>

#include "quotelab/export.h"
#include "quotelab/records.h"

namespace KX {

/* Owner of one C stream and the field delimiter. Not thread-safe; copying is not supported
 * (the stream has one owner). */
class QL_API CsvWriter {
 public:
  explicit CsvWriter(char delimiter) : delimiter(delimiter) {}
  virtual ~CsvWriter();
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;

  /* True when a file is open. */
  bool is_open() const { return stream != nullptr; }

 protected:
  /* The stream's buffer: rows reach the file in 256 KB writes between the flushes the writer
   * schedules. Larger saves write calls (a 4 KB default costs a call every few snapshot rows);
   * smaller lets a reader tailing the file see unflushed rows sooner. */
  static constexpr size_t kStreamBufferSize = 256 * 1024;

  std::unique_ptr<char[]> stream_buffer;  // freed after the destructor has closed the stream
  FILE* stream = nullptr;
  char delimiter;

  /* Closes the open file, if any, and opens csv_file with the fopen mode `mode` ("w", "a").
   * On failure prints "KX::CsvWriter::open_csv: csv_file='...', mode=... open failed:<errno>"
   * to standard error and leaves no stream. Returns 0, or 1 on failure. */
  int open_csv(const char* csv_file, const char* mode);
};

/* Appends market-data records to a CSV file as rows. Each write returns -1 when no file is
 * open, else the item count of the row's single fwrite: 1 written, 0 failed. Not
 * thread-safe. */
class QL_API DataCsvWriter : public CsvWriter {
 public:
  /* Every 16384th snapshot/index/bar row is flushed: rare enough to keep writes buffered,
   * frequent enough that a reader of the growing file is never far behind. A power of two. */
  static constexpr uint32_t kFlushInterval = 16384;
  /* Row buffers: a snapshot row is at most a few hundred bytes, so these never cut a row. */
  static constexpr int kSnapshotRowSize = 4000;
  static constexpr int kIndexRowSize = 1024;
  static constexpr int kBarRowSize = 1024;
  static constexpr int kTradeRowSize = 1000;

  /* Opens csv_file with `mode`; a file that does not open is reported on standard error and
   * leaves a writer whose writes return -1. */
  DataCsvWriter(const char* csv_file, const char* mode, char delimiter);
  ~DataCsvWriter() override = default;

  int write(_L2Snapshot* rec);
  int write(_MDIndex* rec);
  int write(_BarData* rec);
  int write(_L2Trade* rec);
  int write(_L2Order* rec);

  /* Snapshot, index and bar rows written so far (failed writes included). */
  uint32_t write_count() const { return write_count_; }
  /* The time of the bar whose row was flushed last (0 before any). */
  int32_t last_bar_time() const { return last_bar_time_; }
  uint32_t flush_interval() const { return flush_interval_; }

 private:
  int32_t last_bar_time_ = 0;
  uint32_t flush_interval_ = kFlushInterval;
  uint32_t write_count_ = 0;

  int write_row(const char* row, int len);
  void count_row_and_flush(int32_t time);
};

}  // namespace KX

#endif /* QUOTELAB_CSV_WRITER_H */
