#include "market_day.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "args.h"
#include "book_job.h"
#include "day_snapshots.h"
#include "quotelab/orderbook.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

constexpr size_t kSymbolBytes = sizeof(_L2Order::symbol);
static_assert(sizeof(_L2Trade::symbol) == kSymbolBytes, "one symbol size");
static_assert(offsetof(_L2Order, action_day) == offsetof(_L2Trade, action_day), "one layout");
constexpr size_t kBatch = kMaxBatch;  // records taken from the source at a time

// An instrument as records carry it: the exchange code and the zero-padded symbol.
struct Instrument {
  uint8_t exchange = 0;
  char symbol[kSymbolBytes] = {};

  static Instrument of(const void* record) {
    Instrument in;
    const auto* bytes = static_cast<const uint8_t*>(record);
    in.exchange = bytes[1];
    std::memcpy(in.symbol, bytes + 2, kSymbolBytes);
    return in;
  }
  std::string text() const { return std::string(symbol, strnlen(symbol, kSymbolBytes)); }
  // Symbol order: the symbol's text, then the exchange code.
  bool operator<(const Instrument& o) const {
    const int s = std::memcmp(symbol, o.symbol, kSymbolBytes);
    return s != 0 ? s < 0 : exchange < o.exchange;
  }
  bool operator==(const Instrument& o) const {
    return exchange == o.exchange && std::memcmp(symbol, o.symbol, kSymbolBytes) == 0;
  }
};

// FNV-1a over the symbol's text and the exchange code: the same on every machine, so shards
// and thread shares are fixed by the instrument alone.
uint64_t instrument_hash(const Instrument& in) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < kSymbolBytes && in.symbol[i] != '\0'; ++i) {
    h = (h ^ static_cast<unsigned char>(in.symbol[i])) * 1099511628211ull;
  }
  return (h ^ in.exchange) * 1099511628211ull;
}

// Which symbols this run rebuilds: those of its shard, and of the list.
struct Share {
  int shard = 0, shards = 1;       // 0-based
  std::vector<Instrument> wanted;  // exchange 0 matches either exchange; empty: all

  bool owns(const Instrument& in) const {
    if (static_cast<int>(instrument_hash(in) % shards) != shard) return false;
    if (wanted.empty()) return true;
    for (const Instrument& w : wanted) {
      if (std::memcmp(w.symbol, in.symbol, kSymbolBytes) == 0 &&
          (w.exchange == 0 || w.exchange == in.exchange)) {
        return true;
      }
    }
    return false;
  }
};

struct SymbolBook {
  Instrument instrument;
  DayKey key;
  SymbolSummary summary;
  orderbook_builder* builder = nullptr;  // NULL: another shard's symbol, or not wanted
  SnapshotStore* store = nullptr;        // of the thread feeding it now
  int date = 0;
  bool out_of_memory = false;  // a snapshot could not be kept: the run fails
  uint32_t index = 0;          // in the pass's books
  size_t pending = 0;          // records of the batch in hand
  size_t next = 0;             // where its next record of the batch goes
};

// Instruments to books: open addressing over the record's own bytes, looked up once per
// record, so the probe compares the packed key before any book is touched.
class BookTable {
 public:
  BookTable() { slots_.assign(1024, Slot{}); }

  // The book of a record's instrument, its key read straight from the record's bytes.
  SymbolBook* find(const void* record) const {
    const char* bytes = static_cast<const char*>(record);
    uint64_t a;
    uint16_t tail;
    std::memcpy(&a, bytes + 2, 8);
    std::memcpy(&tail, bytes + 10, 2);
    return find(a, tail | static_cast<uint64_t>(static_cast<uint8_t>(bytes[1])) << 16);
  }
  SymbolBook* find(const Instrument& in) const {
    uint64_t a, b;
    pack(in, &a, &b);
    return find(a, b);
  }
  SymbolBook* find(uint64_t a, uint64_t b) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(a, b);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.book == nullptr) return nullptr;
      if (s.a == a && s.b == b) return s.book;
    }
  }
  void insert(SymbolBook* book) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    place(book);
    ++count_;
  }

 private:
  struct Slot {
    uint64_t a = 0, b = 0;
    SymbolBook* book = nullptr;
  };
  static void pack(const Instrument& in, uint64_t* a, uint64_t* b) {
    std::memcpy(a, in.symbol, 8);
    uint16_t tail;
    std::memcpy(&tail, in.symbol + 8, 2);
    *b = tail | static_cast<uint64_t>(in.exchange) << 16;
  }
  // The product's top bits, which every byte of the symbol moves (its low bits see only the
  // first bytes, and codes such as 600000 to 600999 would all share a few slots).
  size_t home(uint64_t a, uint64_t b) const {
    const uint64_t h = ((a * 0x9E3779B97F4A7C15ull) ^ b) * 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h >> shift_);
  }
  void place(SymbolBook* book) {
    uint64_t a, b;
    pack(book->instrument, &a, &b);
    size_t i = home(a, b);
    while (slots_[i].book != nullptr) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = Slot{a, b, book};
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    --shift_;
    for (const Slot& s : old) {
      if (s.book != nullptr) place(s.book);
    }
  }
  std::vector<Slot> slots_;
  size_t count_ = 0;
  int shift_ = 64 - 10;  // 64 - log2(slots_.size())
};

// A record spans two or three cache lines (68 or 92 bytes, not aligned): ask for all of them.
inline void prefetch_record(const void* record) {
  const char* p = static_cast<const char*>(record);
  __builtin_prefetch(p);
  __builtin_prefetch(p + 64);
  __builtin_prefetch(p + sizeof(_L2Trade) - 1);
}

// Threads that each take whole books' runs of a batch until none is left; the caller takes
// its share too, after whatever it does meanwhile. A book is fed by one thread at a time and
// batches follow one another, so each book still gets its records in sequence.
class FeedPool {
 public:
  FeedPool(int threads, std::function<void(size_t thread)> work) : work_(std::move(work)) {
    for (int t = 1; t < threads; ++t) threads_.emplace_back([this, t] { serve(t); });
  }
  ~FeedPool() {
    wait();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  FeedPool(const FeedPool&) = delete;
  FeedPool& operator=(const FeedPool&) = delete;

  // Sets the other threads to work; the caller runs work(0) when it is ready, then wait().
  void start() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
      busy_ = threads_.size();
    }
    start_.notify_all();
  }
  // Returns when the other threads are done with the work started.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  void serve(size_t t) {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
      }
      work_(t);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::function<void(size_t)> work_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  uint64_t generation_ = 0;
  size_t busy_ = 0;
  bool stopping_ = false;
};

// Reads the day once and rebuilds every symbol of its share: one thread reads a batch and
// sorts it book by book, then every thread takes books' runs of it; while the other threads
// feed one batch, the reading thread reads and sorts the next. Each book stays in the cache
// for its whole run instead of being fetched again for nearly every record (a market day
// interleaves thousands of books). Keeps the snapshots, sorted by time and symbol once the
// day is read.
class MarketPass {
 public:
  MarketPass(const MarketJob& job, Share share, int threads)
      : job_(job), share_(std::move(share)), stores_(threads < 1 ? 1 : threads) {}
  ~MarketPass() {
    for (SymbolBook& b : books_) orderbook_builder_release(b.builder);
  }
  MarketPass(const MarketPass&) = delete;
  MarketPass& operator=(const MarketPass&) = delete;

  // Reads and rebuilds the day, then sorts the snapshots. bar may be NULL.
  bool run(ProgressBar* bar) {
    std::unique_ptr<DaySource> source = open_day_source(job_.files, &error_);
    if (source == nullptr) return false;
    refusals_ = source->refusals();
    refused_rows_ = source->refused_rows();
    input_note_ = source->input_note();
    if (refused_rows_ > 0 && !job_.files.input.lenient) {
      error_ = refused_rows_error(refused_rows_);
      return false;
    }
    date_ = job_.date;
    Batch* fed = &batches_[0];
    Batch* read = &batches_[1];
    FeedPool pool(static_cast<int>(stores_.size()), [&](size_t t) { feed_runs(t, *fed); });
    if (!read_batch(*source, fed)) return false;
    while (fed->size > 0) {
      pool.start();
      // With threads to spare, the next batch is read while the others feed this one.
      const bool ahead = stores_.size() > 1;
      const bool read_ok = !ahead || read_batch(*source, read);
      feed_runs(0, *fed);
      pool.wait();
      if (!read_ok || !check_memory()) return false;
      if (kept() >= job_.hold_snapshots && !runs_.put_aside(&stores_, &error_)) return false;
      if (!ahead && !read_batch(*source, read)) return false;
      std::swap(fed, read);
      if (bar != nullptr && bar->active()) bar->update(source->progress(), "rebuilding the market");
    }
    for (SymbolBook& b : books_) {
      if (b.builder == nullptr) continue;
      b.store = &stores_[0];
      orderbook_builder_finish(b.builder);
      orderbook_builder_release(b.builder);
      b.builder = nullptr;
    }
    if (!check_memory()) return false;
    by_rank_ = owned_;
    std::sort(by_rank_.begin(), by_rank_.end(),
              [&](uint32_t x, uint32_t y) { return books_[x].key < books_[y].key; });
    return true;
  }

  // Writes the day's snapshots in day order into path, merged from the runs put aside and
  // the stores.
  bool write(const std::string& path, FileFormat format, char delimiter, std::string* error) {
    sort_stores(&stores_);
    return write_day_file(runs_, stores_, path, format, delimiter, static_cast<int>(stores_.size()),
                          error);
  }

  const std::string& error() const { return error_; }
  int date() const { return date_; }
  size_t other_exchange() const { return other_exchange_; }
  const std::vector<std::string>& refusals() const { return refusals_; }
  size_t refused_rows() const { return refused_rows_; }
  const std::string& input_note() const { return input_note_; }
  // The books rebuilt here, in symbol order.
  void summaries(std::vector<SymbolSummary>* out) const {
    for (uint32_t i : by_rank_) out->push_back(books_[i].summary);
  }

 private:
  bool settle_date(const void* first) {
    int32_t day;
    std::memcpy(&day, static_cast<const char*>(first) + offsetof(_L2Order, action_day), 4);
    if (!is_valid_date(day)) {
      error_ = "the first record's action_day (" + std::to_string(day) +
               ") is not a date: give --date YYYYMMDD";
      return false;
    }
    date_ = day;
    return true;
  }

  struct Run {
    SymbolBook* book;
    size_t begin, end;  // in by_book
  };
  // Records of the day taken from the source at once, and the same sorted book by book.
  struct Batch {
    std::vector<const void*> records = std::vector<const void*>(kBatch);
    size_t size = 0;
    std::vector<const void*> by_book;
    std::vector<Run> runs;  // the longest first
    std::atomic<size_t> next_run{0};
  };

  // Takes the next records from the source into batch and sorts them; an empty batch at the
  // end of the day. False (error set) when the source or a book failed.
  bool read_batch(DaySource& source, Batch* batch) {
    batch->size = source.next(batch->records.data(), kBatch);
    batch->runs.clear();
    if (source.failed()) {
      error_ = source.error();
      return false;
    }
    if (batch->size == 0) return true;
    if (date_ == 0 && !settle_date(batch->records[0])) return false;
    return route(batch);
  }

  // Sorts a batch book by book (each book's records keep their order) and lists the books'
  // runs, the longest first, so the threads finish their last runs close together.
  bool route(Batch* batch) {
    const size_t n = batch->size;
    book_of_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      SymbolBook* b = books_table_.find(batch->records[i]);
      if (b == nullptr && (b = add_book(Instrument::of(batch->records[i]))) == nullptr) {
        return false;
      }
      if (b->builder == nullptr) {
        book_of_[i] = nullptr;
        continue;
      }
      if (b->pending++ == 0) touched_.push_back(b);
      book_of_[i] = b;
    }
    std::sort(touched_.begin(), touched_.end(),
              [](const SymbolBook* x, const SymbolBook* y) { return x->pending > y->pending; });
    size_t offset = 0;
    for (SymbolBook* b : touched_) {
      b->next = offset;
      batch->runs.push_back(Run{b, offset, offset + b->pending});
      offset += b->pending;
      b->pending = 0;
    }
    touched_.clear();
    batch->by_book.resize(offset);
    for (size_t i = 0; i < n; ++i) {
      if (book_of_[i] != nullptr) batch->by_book[book_of_[i]->next++] = batch->records[i];
    }
    batch->next_run.store(0, std::memory_order_relaxed);
    return true;
  }

  // Thread t's share of the batch: whole runs, taken one at a time.
  void feed_runs(size_t t, Batch& batch) {
    constexpr size_t kAhead = 16;  // records asked for ahead of the one fed
    const std::vector<const void*>& records = batch.by_book;
    for (size_t r;
         (r = batch.next_run.fetch_add(1, std::memory_order_relaxed)) < batch.runs.size();) {
      const Run& run = batch.runs[r];
      run.book->store = &stores_[t];
      for (size_t k = run.begin; k < run.begin + kAhead && k < run.end; ++k) {
        prefetch_record(records[k]);
      }
      for (size_t k = run.begin; k < run.end; ++k) {
        if (k + kAhead < run.end) prefetch_record(records[k + kAhead]);
        feed(*run.book, records[k]);
      }
    }
  }

  void feed(SymbolBook& b, const void* record) {
    int32_t day;
    std::memcpy(&day, static_cast<const char*>(record) + offsetof(_L2Order, action_day), 4);
    if (day != date_) {
      ++b.summary.refused;
      return;
    }
    const bool is_order = *static_cast<const uint8_t*>(record) == QL_RECORD_L2ORDER;
    if (is_order && static_cast<const _L2Order*>(record)->order_type == 'U') {
      feed_own_side_best(b, *static_cast<const _L2Order*>(record));
      return;
    }
    const int32_t r = orderbook_builder_feed(b.builder, record);
    ++(is_order ? b.summary.orders : b.summary.trades);
    if (r < 0) ++b.summary.unmatched;
  }

  // A Shenzhen own-side-best order carries no price: it enters at the best price of its own
  // side as the book stands. With that side empty it cannot enter, and is refused.
  void feed_own_side_best(SymbolBook& b, const _L2Order& order) {
    double best = 0;  // not &priced.price: the record is packed, its double unaligned
    const bool buy = order.bs_flag == 'B';
    if (!orderbook_get_price_qty(orderbook_builder_get(b.builder), buy ? -1 : 1, nullptr, &best)) {
      ++b.summary.refused;
      ++b.summary.unpriced;
      return;
    }
    _L2Order priced = order;
    priced.price = best;
    priced.order_type = '2';
    ++b.summary.orders;
    if (orderbook_builder_feed(b.builder, &priced) < 0) ++b.summary.unmatched;
  }

  bool check_memory() {
    for (const SymbolBook& b : books_) {
      if (b.out_of_memory) {
        error_ = "not enough memory to keep the day's snapshots";
        return false;
      }
    }
    return true;
  }

  SymbolBook* add_book(const Instrument& in) {
    books_.emplace_back();
    SymbolBook& b = books_.back();
    b.instrument = in;
    b.key = DayKey::of(in.exchange, in.symbol);
    b.summary.exchange = in.exchange;
    std::memcpy(b.summary.symbol, in.symbol, kSymbolBytes);
    b.date = date_;
    b.index = static_cast<uint32_t>(books_.size() - 1);
    books_table_.insert(&b);
    if (in.exchange != 1 && in.exchange != 2) {
      ++other_exchange_;
      return &b;
    }
    if (!share_.owns(in)) return &b;
    const std::string symbol = b.instrument.text();
    b.builder =
        orderbook_builder_create(exchange_str(in.exchange), symbol.c_str(), job_.interval_ms);
    if (b.builder == nullptr || !apply_schedule(b.builder, job_.schedule) ||
        orderbook_builder_begin(b.builder, date_) != 0) {
      error_ = "cannot create the order book of " + symbol;
      return nullptr;
    }
    // Intervals of 10 ms or less mean the default to the builder; the command asked for
    // exactly what it was given.
    orderbook_builder_set_interval_ms(b.builder, job_.interval_ms);
    orderbook_builder_set_callback(b.builder, on_snapshot, &b);
    owned_.push_back(b.index);
    return &b;
  }

  static int on_snapshot(orderbook_builder*, const _L2Snapshot* snapshot, void* user_data) {
    auto* b = static_cast<SymbolBook*>(user_data);
    if (!b->out_of_memory && !b->store->keep(*snapshot, b->date, b->key,
                                             static_cast<uint32_t>(b->summary.snapshots++))) {
      b->out_of_memory = true;
    }
    return 0;
  }

  size_t kept() const {
    size_t n = 0;
    for (const SnapshotStore& st : stores_) n += st.size();
    return n;
  }

  const MarketJob& job_;
  Share share_;
  int date_ = 0;
  std::deque<SymbolBook> books_;  // every instrument met; a deque keeps their addresses
  BookTable books_table_;
  std::vector<uint32_t> owned_;        // indexes of the books rebuilt here
  std::vector<uint32_t> by_rank_;      // the same, in symbol order
  std::vector<SymbolBook*> book_of_;   // the book of each record of a batch
  std::vector<SymbolBook*> touched_;   // the books of a batch, as first met
  Batch batches_[2];                   // one fed while the other is read
  std::vector<SnapshotStore> stores_;  // one per feeding thread
  size_t other_exchange_ = 0;
  std::vector<std::string> refusals_;  // rows of the input that became no record
  size_t refused_rows_ = 0;
  std::string input_note_;
  SnapshotRuns runs_;  // the runs put aside
  std::string error_;
};

bool parse_symbol_list(const std::vector<std::string>& texts, std::vector<Instrument>* out,
                       std::string* error) {
  for (const std::string& text : texts) {
    Instrument in;
    std::string code = text;
    const size_t dot = text.find('.');
    if (dot != std::string::npos) {
      code = text.substr(0, dot);
      in.exchange = static_cast<uint8_t>(exchange_int(text.c_str() + dot + 1));
      if (in.exchange != 1 && in.exchange != 2) {
        *error = "--symbols: '" + text + "' is not of Shanghai (SH) or Shenzhen (SZ)";
        return false;
      }
    }
    if (code.empty() || code.size() >= kSymbolBytes) {
      *error = "--symbols: '" + text + "' is not a code of 1 to 9 characters";
      return false;
    }
    std::memcpy(in.symbol, code.data(), code.size());
    out->push_back(in);
  }
  return true;
}

bool resolve_output(const MarketJob& job, int date, std::string* path, FileFormat* format,
                    std::string* error) {
  BookJob as_book;
  as_book.out_path = job.out_path;
  as_book.root = job.root;
  as_book.output_format_given = job.output_format_given;
  as_book.output_format = job.output_format;
  if (!resolve_book_output(as_book, date, path, format, error)) return false;
  if (job.shard > 0) *path = day_part_path(*path, job.shard, job.shards);
  return true;
}

}  // namespace

MarketJob market_job_of(const BookJob& base) {
  MarketJob job;
  job.files.orders_path = base.orders_path;
  job.files.trades_path = base.trades_path;
  job.files.sequence_path = base.sequence_path;
  job.files.format_given = base.input_format_given;
  job.files.format = base.input_format;
  job.files.delimiter = base.delimiter;
  job.files.input = base.input;
  job.files.date = base.date;
  job.date = base.date;
  job.interval_ms = base.interval_ms;
  job.schedule = base.schedule;
  job.out_path = base.out_path;
  job.root = base.root;
  job.output_format_given = base.output_format_given;
  job.output_format = base.output_format;
  return job;
}

std::string day_part_path(const std::string& day_path, int k, int n) {
  const size_t slash = day_path.rfind('/');
  const size_t dot = day_path.rfind('.');
  const std::string part = ".part-" + std::to_string(k) + "-of-" + std::to_string(n);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return day_path + part;
  }
  return day_path.substr(0, dot) + part + day_path.substr(dot);
}

bool run_market_day(const MarketJob& job, MarketResult* result, ProgressBar* bar) {
  const auto start = std::chrono::steady_clock::now();
  *result = MarketResult();
  Share share;
  if (!parse_symbol_list(job.symbols, &share.wanted, &result->error)) return false;
  share.shards = job.shard > 0 ? job.shards : 1;
  share.shard = job.shard > 0 ? job.shard - 1 : 0;
  const int threads = job.threads < 1 ? 1 : job.threads;
  // The output is checked before the day is read, not after (without making the day's
  // directory, whose date the records may still settle).
  struct stat root_stat;
  if (job.out_path.empty() && !job.root.empty() &&
      (stat(job.root.c_str(), &root_stat) != 0 || !S_ISDIR(root_stat.st_mode))) {
    result->error = "--root: '" + job.root + "' is not an existing directory";
    return false;
  }
  MarketPass pass(job, share, threads);
  const bool read = pass.run(bar);
  if (bar != nullptr) bar->clear();
  result->refusals = pass.refusals();
  result->refused_rows = pass.refused_rows();
  result->input_note = pass.input_note();
  if (!read) {
    result->error = pass.error();
    return false;
  }

  result->date = pass.date();
  if (result->date == 0) {
    result->error = "'" + job.files.orders_path + "' and '" + job.files.trades_path +
                    "' hold no records: give --date YYYYMMDD";
    if (job.date == 0) return false;
    result->date = job.date;
  }
  FileFormat format;
  if (!resolve_output(job, result->date, &result->out_path, &format, &result->error) ||
      !pass.write(result->out_path, format, job.files.delimiter, &result->error)) {
    return false;
  }
  result->error.clear();
  pass.summaries(&result->symbols);
  result->other_exchange = pass.other_exchange();
  for (const SymbolSummary& s : result->symbols) {
    result->events += s.orders + s.trades;
    result->refused += s.refused;
    result->unmatched += s.unmatched;
    result->unpriced += s.unpriced;
    result->snapshots += s.snapshots;
  }
  result->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

std::string refusal_error(const MarketResult& r, bool lenient) {
  if (r.refused == 0 || lenient) return "";
  std::string what;
  if (r.refused > r.unpriced) {
    what = group_digits(r.refused - r.unpriced) + " records are not of " + std::to_string(r.date);
  }
  if (r.unpriced > 0) {
    what += (what.empty() ? "" : ", and ") + group_digits(r.unpriced) +
            " own-side best orders found their side of the book empty";
  }
  return what +
         ": they were not rebuilt (give --date YYYYMMDD for the day of the records, or "
         "--lenient to rebuild without them)";
}

std::string describe_market_result(const MarketResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f s", r.seconds);
  std::string text =
      std::to_string(r.date) + (r.input_note.empty() ? "" : " (" + r.input_note + ")") + ": " +
      group_digits(r.symbols.size()) + " symbols, " + group_digits(r.events) + " events, " +
      group_digits(r.snapshots) + " snapshots, " + group_digits(r.refused + r.refused_rows) +
      " refused, " + group_digits(r.unmatched) + " unmatched in " + seconds + " (" +
      rate_text(r.events, r.seconds) + ") -> " + r.out_path;
  if (r.other_exchange > 0) {
    text += "\n  " + group_digits(r.other_exchange) +
            " instruments of neither Shanghai nor Shenzhen were not rebuilt";
  }
  return text;
}

bool write_market_summary(const MarketResult& r, const std::string& path, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::fprintf(f, "exchange,symbol,orders,trades,refused,snapshots,unmatched\n");
  for (const SymbolSummary& s : r.symbols) {
    std::fprintf(f, "%s,%.*s,%zu,%zu,%zu,%zu,%zu\n", exchange_str(s.exchange),
                 static_cast<int>(strnlen(s.symbol, kSymbolBytes)), s.symbol, s.orders, s.trades,
                 s.refused, s.snapshots, s.unmatched);
  }
  if (std::fclose(f) != 0) {
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

}  // namespace qltool
