// DataCsvWriter: one fwrite per row, flushed on the schedule documented in csv_writer.h.
#include "quotelab/csv_writer.h"

#include <errno.h>
#include <string.h>

#include <charconv>
#include <new>

#include "quotelab/utilcore.h"

namespace KX {
namespace detail {
namespace {

// Builds a trade or order row: every field preceded by the delimiter, CR LF at the end. A field
// that would not fit is left out whole (with its delimiter), so the row never outgrows its
// buffer; with the records' bounded fields a row is at most a few hundred bytes anyway.
// Numbers go through std::to_chars, which gives exactly the text of printf's "%d", "%u",
// "%lld" and "%.3f" (correctly rounded) at a fraction of the cost.
class RowBuilder {
 public:
  explicit RowBuilder(char delimiter) : delimiter_(delimiter) {}

  void text(const char* s, size_t n) {
    if (len_ + 1 + n > kFieldEnd) return;
    buf_[len_] = delimiter_;
    memcpy(buf_ + len_ + 1, s, n);
    len_ += 1 + n;
  }

  // A text field of a record: stops at the field's end even when its NUL is missing.
  void text_field(const char* s, size_t capacity) { text(s, strnlen(s, capacity)); }

  template <typename Int>
  void integer(Int value) {
    if (len_ + 1 >= kFieldEnd) return;
    const std::to_chars_result r = std::to_chars(buf_ + len_ + 1, buf_ + kFieldEnd, value);
    if (r.ec != std::errc()) return;
    buf_[len_] = delimiter_;
    len_ = static_cast<size_t>(r.ptr - buf_);
  }

  // "%.3f", or "0" for a zero price (either sign).
  void price(double value) {
    if (value == 0.0) {
      text("0", 1);
      return;
    }
    if (len_ + 1 >= kFieldEnd) return;
    const std::to_chars_result r =
        std::to_chars(buf_ + len_ + 1, buf_ + kFieldEnd, value, std::chars_format::fixed, 3);
    if (r.ec != std::errc()) return;
    buf_[len_] = delimiter_;
    len_ = static_cast<size_t>(r.ptr - buf_);
  }

  // The flag's character, a space for an absent (0) flag.
  void flag(char value) {
    const char c = value ? value : ' ';
    text(&c, 1);
  }

  // Ends the row with CR LF (always room: kFieldEnd keeps it) and returns its length.
  int finish() {
    buf_[len_++] = '\r';
    buf_[len_++] = '\n';
    return static_cast<int>(len_);
  }

  const char* data() const { return buf_; }

 private:
  static constexpr size_t kFieldEnd = DataCsvWriter::kTradeRowSize - 2;
  char buf_[DataCsvWriter::kTradeRowSize];
  size_t len_ = 0;
  const char delimiter_;
};

// Fields 1 to 8, shared by trade and order rows (the order layout follows the trade's).
template <typename Rec>
void common_fields(RowBuilder& row, const Rec* rec) {
  const char* exchange = exchange_str(rec->exchange);
  row.text(exchange ? exchange : "", exchange ? strlen(exchange) : 0);
  row.text_field(rec->symbol, sizeof(rec->symbol));
  row.integer(rec->action_day);
  row.integer(rec->time);
  row.integer(rec->aux_no);
  row.integer(rec->volume);
  row.price(rec->price);
  row.integer(rec->seq_num);
}

inline bool is_close_time(int32_t time) {
  return time >= 150000000 && time <= 153099999;
}

}  // namespace
}  // namespace detail

CsvWriter::~CsvWriter() {
  if (stream) fclose(stream);
}

int CsvWriter::open_csv(const char* csv_file, const char* mode) {
  if (stream) {
    fclose(stream);
    stream = nullptr;
  }
  if (csv_file && mode) {
    stream = fopen(csv_file, mode);
  } else {
    errno = EINVAL;
  }
  if (!stream) {
    fprintf(stderr, "%s: csv_file='%s', mode=%s open failed:%d\n", "KX::CsvWriter::open_csv",
            csv_file ? csv_file : "(null)", mode ? mode : "(null)", errno);
    return 1;
  }
  if (!stream_buffer) stream_buffer.reset(new (std::nothrow) char[kStreamBufferSize]);
  if (stream_buffer) setvbuf(stream, stream_buffer.get(), _IOFBF, kStreamBufferSize);
  return 0;
}

DataCsvWriter::DataCsvWriter(const char* csv_file, const char* mode, char delimiter)
    : CsvWriter(delimiter) {
  open_csv(csv_file, mode);
}

// A formatter result <= 0 is a row that did not fit (cut): writing it would put a broken row
// into the file, so nothing is written and the write counts as failed.
int DataCsvWriter::write_row(const char* row, int len) {
  if (len <= 0) return 0;
  return static_cast<int>(fwrite(row, static_cast<size_t>(len), 1, stream));
}

void DataCsvWriter::count_row_and_flush(int32_t time) {
  ++write_count_;
  if (write_count_ % flush_interval_ == 0 || detail::is_close_time(time)) fflush(stream);
}

// The snapshot and index row buffers are not zeroed first: the formatters NUL-terminate the
// row and exactly its length is written, so zeroing 4000 bytes a row would change nothing.
int DataCsvWriter::write(_L2Snapshot* rec) {
  if (!stream || !rec) return -1;
  char row[kSnapshotRowSize];
  const int result = write_row(row, l2snapshot_to_csv(row, kSnapshotRowSize - 1, rec, delimiter));
  count_row_and_flush(rec->time);
  return result;
}

int DataCsvWriter::write(_MDIndex* rec) {
  if (!stream || !rec) return -1;
  char row[kIndexRowSize];
  const int result = write_row(row, mdindex_to_csv(row, kIndexRowSize - 1, rec, delimiter));
  count_row_and_flush(rec->time);
  return result;
}

int DataCsvWriter::write(_BarData* rec) {
  if (!stream || !rec) return -1;
  char row[kBarRowSize];
  const int result = write_row(row, bar_to_csv(row, kBarRowSize - 1, rec, delimiter));
  ++write_count_;
  // 150000 and 151500 are 15:00:00 and 15:15:00 as HHMMSS: the stock and the index-futures
  // closes, after which every bar is flushed.
  const int32_t time = rec->time;
  if (time != last_bar_time_ || time == 150000 || time == 151500) {
    fflush(stream);
    last_bar_time_ = time;
  }
  return result;
}

int DataCsvWriter::write(_L2Trade* rec) {
  if (!stream || !rec) return -1;
  detail::RowBuilder row(delimiter);
  detail::common_fields(row, rec);
  row.integer(rec->bid_seq_num);
  row.integer(rec->ask_seq_num);
  row.flag(rec->trade_flag);
  row.flag(rec->bs_flag);
  const int len = row.finish();
  return write_row(row.data(), len);
}

int DataCsvWriter::write(_L2Order* rec) {
  if (!stream || !rec) return -1;
  detail::RowBuilder row(delimiter);
  detail::common_fields(row, rec);
  row.integer(rec->order_index);
  row.flag(rec->bs_flag);
  row.flag(rec->order_type);
  const int len = row.finish();
  return write_row(row.data(), len);
}

}  // namespace KX
