#include "day_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qltool {
namespace {

// Records read from a binary file at a time: large enough that a read costs nothing per
// record and that a batch holds many records of each symbol, small enough that several
// readers of a day stay well under a gigabyte (some 40 MB each).
constexpr size_t kBlockRecords = 1 << 18;
constexpr size_t kSequenceBlock = 1 << 20;

// The records of one file, a block at a time (a CSV file is one block).
template <class Rec>
class RecordStream {
 public:
  RecordStream() = default;
  ~RecordStream() {
    if (file_ != nullptr) std::fclose(file_);
  }
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  bool open(const std::string& path, const DayFiles& files, std::string* error) {
    path_ = path;
    const FileFormat format = files.format_given ? files.format : format_of_path(path);
    if (format == FileFormat::Csv) {
      if (!read_csv_records(path, files.delimiter, &block_, error)) return false;
      total_ = block_.size();
      return true;
    }
    file_ = std::fopen(path.c_str(), "rb");
    struct stat st;
    if (file_ == nullptr || fstat(fileno(file_), &st) != 0 || !S_ISREG(st.st_mode)) {
      *error =
          "cannot open '" + path + "'" +
          (file_ == nullptr ? ": " + std::string(std::strerror(errno)) : ": not a regular file");
      return false;
    }
    const size_t bytes = static_cast<size_t>(st.st_size);
    if (bytes % sizeof(Rec) != 0) {
      *error = "'" + path + "' is not a file of " + kind_name(RecordTraits<Rec>::kKind) +
               " records: its size (" + std::to_string(bytes) + " bytes) is not a multiple of " +
               std::to_string(sizeof(Rec)) + " bytes";
      return false;
    }
    total_ = unread_ = bytes / sizeof(Rec);
    return true;
  }

  bool block_done() const { return pos_ == block_.size(); }
  bool exhausted() const { return block_done() && unread_ == 0; }
  const Rec* current() const { return &block_[pos_]; }
  void advance() {
    ++pos_;
    ++consumed_;
  }
  size_t consumed() const { return consumed_; }
  size_t total() const { return total_; }
  const std::string& path() const { return path_; }

  // Reads the next block once the one in hand is used up. Returns false on a read failure or
  // a record of another type.
  bool load_block(std::string* error) {
    if (!block_done() || unread_ == 0) return true;
    const size_t n = unread_ < kBlockRecords ? unread_ : kBlockRecords;
    if (!block_.resize(n)) {
      *error = "not enough memory to read '" + path_ + "'";
      return false;
    }
    if (std::fread(block_.data(), sizeof(Rec), n, file_) != n) {
      *error =
          "cannot read '" + path_ + "': it ended after " + std::to_string(consumed_) + " records";
      return false;
    }
    const uint8_t type = kind_type_code(RecordTraits<Rec>::kKind);
    for (size_t i = 0; i < n; ++i) {
      if (block_[i].type != type) {
        *error = "'" + path_ + "' is not a file of " + kind_name(RecordTraits<Rec>::kKind) +
                 " records: record " + std::to_string(consumed_ + i) + " has type " +
                 std::to_string(block_[i].type);
        return false;
      }
    }
    unread_ -= n;
    pos_ = 0;
    return true;
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;  // NULL for CSV, which is read whole
  RecordArray<Rec> block_;
  size_t pos_ = 0;
  size_t unread_ = 0;  // records of the file not yet read into a block
  size_t consumed_ = 0;
  size_t total_ = 0;
};

// Orders and trades of a day, with the bookkeeping both sources share.
class FilePairSource : public DaySource {
 public:
  bool open(const DayFiles& files, std::string* error) {
    return orders_.open(files.orders_path, files, error) &&
           trades_.open(files.trades_path, files, error);
  }
  double progress() const override {
    const size_t total = orders_.total() + trades_.total();
    return total == 0 ? 1 : static_cast<double>(orders_.consumed() + trades_.consumed()) / total;
  }

 protected:
  // Reads the next block of each file whose block is used up; false (error set) on failure.
  bool load_blocks() { return orders_.load_block(&error_) && trades_.load_block(&error_); }

  RecordStream<_L2Order> orders_;
  RecordStream<_L2Trade> trades_;
};

// The sequence file's letters decide which file gives the next record.
class SequencedSource : public FilePairSource {
 public:
  bool open(const DayFiles& files, std::string* error) {
    if (!FilePairSource::open(files, error)) return false;
    path_ = files.sequence_path;
    file_ = std::fopen(path_.c_str(), "rb");
    if (file_ == nullptr) {
      *error = "cannot open '" + path_ + "': " + std::strerror(errno);
      return false;
    }
    letters_.resize(kSequenceBlock);
    return true;
  }
  ~SequencedSource() override {
    if (file_ != nullptr) std::fclose(file_);
  }

  size_t next(const void** out, size_t max) override {
    if (failed() || !load_blocks()) return 0;
    size_t n = 0;
    while (n < max) {
      const char c = next_letter();
      if (c == 0) {
        if (!failed()) check_all_named();
        break;
      }
      const bool is_order = c == 'O';
      if (is_order ? orders_.block_done() : trades_.block_done()) {
        if (is_order ? orders_.exhausted() : trades_.exhausted()) {
          name_too_many(is_order);
          return 0;
        }
        --pos_;  // the letter waits for the next block
        break;
      }
      if (is_order) {
        out[n++] = orders_.current();
        orders_.advance();
      } else {
        out[n++] = trades_.current();
        trades_.advance();
      }
    }
    return failed() ? 0 : n;
  }

 private:
  // The next 'O' or 'T'; 0 at the end of the file or on a byte that is neither (error set).
  char next_letter() {
    for (;;) {
      if (pos_ == filled_) {
        offset_ += filled_;
        filled_ = std::fread(letters_.data(), 1, letters_.size(), file_);
        pos_ = 0;
        if (filled_ == 0) return 0;
      }
      const char c = letters_[pos_++];
      if (c == 'O' || c == 'T') return c;
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        error_ = "'" + path_ + "' byte " + std::to_string(offset_ + pos_ - 1) +
                 ": expected O (order) or T (trade)";
        return 0;
      }
    }
  }

  void name_too_many(bool is_order) {
    error_ = "'" + path_ + "' names more " + (is_order ? "orders" : "trades") + " than '" +
             (is_order ? orders_.path() : trades_.path()) + "' holds (" +
             std::to_string(is_order ? orders_.total() : trades_.total()) + ")";
  }

  void check_all_named() {
    if (orders_.consumed() == orders_.total() && trades_.consumed() == trades_.total()) return;
    error_ = "'" + path_ + "' names " + std::to_string(orders_.consumed()) + " orders and " +
             std::to_string(trades_.consumed()) + " trades, but the files hold " +
             std::to_string(orders_.total()) + " and " + std::to_string(trades_.total());
  }

  std::string path_;
  FILE* file_ = nullptr;
  std::string letters_;
  size_t pos_ = 0, filled_ = 0, offset_ = 0;
};

// Where a record stands in a day merged by its own numbers.
struct SequenceKey {
  int32_t time;
  const char* symbol;  // 10 bytes, zero-padded
  uint8_t exchange;
  int64_t seq;
};

int compare_keys(const SequenceKey& a, const SequenceKey& b) {
  if (a.time != b.time) return a.time < b.time ? -1 : 1;
  const int s = std::memcmp(a.symbol, b.symbol, sizeof(_L2Order::symbol));
  if (s != 0) return s;
  if (a.exchange != b.exchange) return a.exchange < b.exchange ? -1 : 1;
  if (a.seq != b.seq) return a.seq < b.seq ? -1 : 1;
  return 0;
}

// The exchange's sequence number: Shanghai's BizIndex (order_index of orders, aux_no of
// trades), elsewhere seq_num, which Shenzhen's orders and trades share.
SequenceKey key_of(const _L2Order& o) {
  return {o.time, o.symbol, o.exchange, o.exchange == 1 ? o.order_index : o.seq_num};
}
SequenceKey key_of(const _L2Trade& t) {
  return {t.time, t.symbol, t.exchange, t.exchange == 1 ? int64_t{t.aux_no} : t.seq_num};
}

// Both files merged by time, symbol and sequence number.
class NumberedSource : public FilePairSource {
 public:
  size_t next(const void** out, size_t max) override {
    if (failed() || !load_blocks()) return 0;
    size_t n = 0;
    while (n < max && !orders_.block_done() && !trades_.block_done()) {
      const SequenceKey ko = key_of(*orders_.current()), kt = key_of(*trades_.current());
      if (compare_keys(ko, kt) <= 0) {
        if (!take(orders_, ko, &last_order_)) return 0;
        out[n++] = orders_.current();
        orders_.advance();
      } else {
        if (!take(trades_, kt, &last_trade_)) return 0;
        out[n++] = trades_.current();
        trades_.advance();
      }
    }
    // One file is used up: the other goes on alone.
    if (orders_.exhausted()) n = drain(trades_, &last_trade_, out, n, max);
    if (trades_.exhausted()) n = drain(orders_, &last_order_, out, n, max);
    return failed() ? 0 : n;
  }

 private:
  // Checks that the file keeps to the merge order; false (error set) when it does not.
  template <class Rec>
  bool take(const RecordStream<Rec>& stream, const SequenceKey& key, SequenceKey* last) {
    if (stream.consumed() > 0 && compare_keys(*last, key) > 0) {
      error_ = "'" + stream.path() + "' record " + std::to_string(stream.consumed()) + " (" +
               std::string(key.symbol, strnlen(key.symbol, sizeof(_L2Order::symbol))) + ", time " +
               std::to_string(key.time) +
               ") is out of order by time, symbol and sequence number: give --sequence";
      return false;
    }
    *last = key;
    return true;
  }

  template <class Rec>
  size_t drain(RecordStream<Rec>& stream, SequenceKey* last, const void** out, size_t n,
               size_t max) {
    while (n < max && !stream.block_done()) {
      if (!take(stream, key_of(*stream.current()), last)) return 0;
      out[n++] = stream.current();
      stream.advance();
    }
    return n;
  }

  SequenceKey last_order_{}, last_trade_{};
};

}  // namespace

std::unique_ptr<DaySource> open_day_source(const DayFiles& files, std::string* error) {
  if (!files.sequence_path.empty()) {
    auto source = std::make_unique<SequencedSource>();
    if (!source->open(files, error)) return nullptr;
    return source;
  }
  auto source = std::make_unique<NumberedSource>();
  if (!source->open(files, error)) return nullptr;
  return source;
}

}  // namespace qltool
