#include "day_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qltool {
namespace {

constexpr size_t kSequenceBlock = 1 << 20;
// Buffers a binary file is read into, in turn. A call hands out at most kMaxBatch records of
// a file, so the records of two calls lie in at most three consecutive blocks: the fourth
// buffer is the one read into next. Reading into a few buffers used again and again costs a
// copy, where mapping the file costs a page fault per few pages and memory growing with the
// day.
constexpr size_t kBuffers = 4;
static_assert(kMaxBatch <= kBlockRecords, "two calls' records lie in at most three blocks");

// The records of one binary record file, read a block at a time.
template <class Rec>
class RecordStream {
 public:
  RecordStream() = default;
  ~RecordStream() {
    if (file_ != nullptr) std::fclose(file_);
  }
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  bool open(const std::string& path, std::string* error) {
    path_ = path;
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
    total_ = bytes / sizeof(Rec);
    return load_block(error);
  }

  bool exhausted() const { return pos_ == total_; }
  // The next record; only while not exhausted().
  const Rec* current() const { return block_ + (pos_ - block_start_); }
  // Hands out the current record and moves past it. Returns false (error set) when it is not
  // a record of this file's type (a file of another kind, or not a record file at all), or
  // the next block cannot be read.
  bool take(const void** out, std::string* error) {
    const Rec* r = current();
    if (r->type != kind_type_code(RecordTraits<Rec>::kKind)) {
      *error = "'" + path_ + "' is not a file of " + kind_name(RecordTraits<Rec>::kKind) +
               " records: record " + std::to_string(pos_) + " has type " + std::to_string(r->type);
      return false;
    }
    *out = r;
    return ++pos_ < block_end_ || exhausted() || load_block(error);
  }
  size_t consumed() const { return pos_; }
  size_t total() const { return total_; }
  const std::string& path() const { return path_; }

 private:
  // Reads the block that starts at pos_ into the next buffer in turn.
  bool load_block(std::string* error) {
    const size_t n = std::min(total_ - pos_, kBlockRecords);
    RecordArray<Rec>& buffer = buffers_[blocks_read_++ % kBuffers];
    if (!buffer.resize(n)) {
      *error = "not enough memory to read '" + path_ + "'";
      return false;
    }
    if (n > 0 && std::fread(buffer.data(), sizeof(Rec), n, file_) != n) {
      *error = "cannot read '" + path_ + "': it ended after " + std::to_string(pos_) + " records";
      return false;
    }
    block_ = buffer.data();
    block_start_ = pos_;
    block_end_ = pos_ + n;
    return true;
  }

  std::string path_;
  FILE* file_ = nullptr;
  RecordArray<Rec> buffers_[kBuffers];
  size_t blocks_read_ = 0;
  const Rec* block_ = nullptr;  // the block holding pos_
  size_t block_start_ = 0, block_end_ = 0;
  size_t pos_ = 0;
  size_t total_ = 0;
};

// Orders and trades of a day, with the bookkeeping both sources share.
class FilePairSource : public DaySource {
 public:
  bool open(const DayFiles& files, std::string* error) {
    return orders_.open(files.orders_path, error) && trades_.open(files.trades_path, error);
  }
  double progress() const override {
    const size_t total = orders_.total() + trades_.total();
    return total == 0 ? 1 : static_cast<double>(orders_.consumed() + trades_.consumed()) / total;
  }

 protected:
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
    if (failed()) return 0;
    size_t n = 0;
    while (n < max) {
      const char c = next_letter();
      if (c == 0) {
        if (!failed()) check_all_named();
        break;
      }
      const bool is_order = c == 'O';
      if (is_order ? orders_.exhausted() : trades_.exhausted()) {
        name_too_many(is_order);
        return 0;
      }
      if (!(is_order ? orders_.take(&out[n++], &error_) : trades_.take(&out[n++], &error_))) {
        return 0;
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

// The failure of a file out of the merge order, at its record-th record.
std::string out_of_order(const std::string& path, size_t record, const SequenceKey& key,
                         const char* remedy) {
  return "'" + path + "' record " + std::to_string(record) + " (" +
         std::string(key.symbol, strnlen(key.symbol, sizeof(_L2Order::symbol))) + ", time " +
         std::to_string(key.time) + ") is out of order by time, symbol and sequence number" +
         remedy;
}

// Both files merged by time, symbol and sequence number.
class NumberedSource : public FilePairSource {
 public:
  size_t next(const void** out, size_t max) override {
    if (failed()) return 0;
    size_t n = 0;
    while (n < max && !orders_.exhausted() && !trades_.exhausted()) {
      const SequenceKey ko = key_of(*orders_.current()), kt = key_of(*trades_.current());
      const bool order_first = compare_keys(ko, kt) <= 0;
      if (!(order_first ? take(orders_, ko, &last_order_, &out[n++])
                        : take(trades_, kt, &last_trade_, &out[n++]))) {
        return 0;
      }
    }
    // One file is used up: the other goes on alone.
    if (orders_.exhausted()) n = drain(trades_, &last_trade_, out, n, max);
    if (trades_.exhausted()) n = drain(orders_, &last_order_, out, n, max);
    return failed() ? 0 : n;
  }

 private:
  // Hands out the stream's record after checking that the file keeps to the merge order;
  // false (error set) when it does not.
  template <class Rec>
  bool take(RecordStream<Rec>& stream, const SequenceKey& key, SequenceKey* last,
            const void** out) {
    if (stream.consumed() > 0 && compare_keys(*last, key) > 0) {
      error_ = out_of_order(stream.path(), stream.consumed(), key, ": give --sequence");
      return false;
    }
    *last = key;
    return stream.take(out, &error_);
  }

  template <class Rec>
  size_t drain(RecordStream<Rec>& stream, SequenceKey* last, const void** out, size_t n,
               size_t max) {
    while (n < max && !stream.exhausted()) {
      if (!take(stream, key_of(*stream.current()), last, &out[n++])) return 0;
    }
    return n;
  }

  SequenceKey last_order_{}, last_trade_{};
};

// CSV files read whole through the input layer (quotelab's own columns, or an exchange or
// vendor layout), handed out in the exchange's sequence: the sequence file's, the files'
// sequence columns', or else merged by time, symbol and sequence number.
class CsvDaySource : public DaySource {
 public:
  bool open(const DayFiles& files, std::string* error) {
    DayFileRequest request;
    request.orders_path = files.orders_path;
    request.trades_path = files.trades_path;
    request.format_given = files.format_given;
    request.format = files.format;
    request.delimiter = files.delimiter;
    request.date = files.date;
    request.input = files.input;
    DayInputs inputs;
    if (!read_day_files(request, &orders_, &trades_, &inputs, error)) return false;
    refusals_ = inputs.refusals.lines();
    refused_rows_ = inputs.refusals.total();
    input_note_ = layouts_note(inputs);
    if (!files.sequence_path.empty()) {
      return sequence_from_letters(files.sequence_path, files.orders_path, files.trades_path,
                                   orders_, trades_, "", &sequence_, error);
    }
    if (sequence_from_columns(inputs, orders_, trades_, &sequence_)) {
      if (!input_note_.empty()) {
        input_note_ += inputs.merged ? ", in file order" : ", merged by the sequence column";
      }
      return true;
    }
    return merge_by_numbers(files, error);
  }

  size_t next(const void** out, size_t max) override {
    const size_t n = std::min(max, sequence_.size() - pos_);
    std::copy(sequence_.begin() + pos_, sequence_.begin() + pos_ + n, out);
    pos_ += n;
    return n;
  }
  double progress() const override {
    return sequence_.empty() ? 1 : static_cast<double>(pos_) / sequence_.size();
  }

 private:
  // Both files merged by time, symbol and sequence number; each must be in that order.
  bool merge_by_numbers(const DayFiles& files, std::string* error) {
    if (!in_key_order(orders_, files.orders_path, error) ||
        !in_key_order(trades_, files.trades_path, error)) {
      return false;
    }
    sequence_.reserve(orders_.size() + trades_.size());
    size_t o = 0, t = 0;
    while (o < orders_.size() || t < trades_.size()) {
      const bool order_first =
          t == trades_.size() ||
          (o < orders_.size() && compare_keys(key_of(orders_[o]), key_of(trades_[t])) <= 0);
      sequence_.push_back(order_first ? static_cast<const void*>(&orders_[o++])
                                      : static_cast<const void*>(&trades_[t++]));
    }
    return true;
  }

  template <class Rec>
  static bool in_key_order(const RecordArray<Rec>& records, const std::string& path,
                           std::string* error) {
    for (size_t i = 1; i < records.size(); ++i) {
      const SequenceKey key = key_of(records[i]);
      if (compare_keys(key_of(records[i - 1]), key) > 0) {
        *error =
            out_of_order(path, i, key, ", and the files carry no sequence column: give --sequence");
        return false;
      }
    }
    return true;
  }

  RecordArray<_L2Order> orders_;
  RecordArray<_L2Trade> trades_;
  std::vector<const void*> sequence_;
  size_t pos_ = 0;
};

bool is_csv(const DayFiles& files, const std::string& path) {
  return (files.format_given ? files.format : format_of_path(path)) == FileFormat::Csv;
}

}  // namespace

std::unique_ptr<DaySource> open_day_source(const DayFiles& files, std::string* error) {
  if (is_csv(files, files.orders_path) ||
      (!files.trades_path.empty() && is_csv(files, files.trades_path))) {
    auto source = std::make_unique<CsvDaySource>();
    if (!source->open(files, error)) return nullptr;
    return source;
  }
  if (files.trades_path.empty()) {
    *error = "'" + files.orders_path + "' is a binary order file: give --trades FILE beside it";
    return nullptr;
  }
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
