#include "market_day.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include "args.h"
#include "book_job.h"
#include "quotelab/orderbook.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

constexpr size_t kSymbolBytes = sizeof(_L2Order::symbol);
static_assert(sizeof(_L2Trade::symbol) == kSymbolBytes, "one symbol size");
static_assert(offsetof(_L2Order, action_day) == offsetof(_L2Trade, action_day), "one layout");
constexpr size_t kBatch = 4096;             // records taken from the source at a time
constexpr size_t kSnapshotBlock = 1 << 14;  // snapshots per block of a worker's store (7 MiB)

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

// Which symbols a worker rebuilds: those of its shard and thread share, and of the list.
struct Share {
  int shard = 0, shards = 1;       // 0-based
  int thread = 0, threads = 1;     // 0-based
  std::vector<Instrument> wanted;  // exchange 0 matches either exchange; empty: all

  bool owns(const Instrument& in) const {
    const uint64_t h = instrument_hash(in);
    if (static_cast<int>(h % shards) != shard) return false;
    if (static_cast<int>((h / shards) % threads) != thread) return false;
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

class Worker;

struct SymbolBook {
  Instrument instrument;
  SymbolSummary summary;
  orderbook_builder* builder = nullptr;  // NULL: another worker's symbol, or not wanted
  Worker* worker = nullptr;
  uint32_t index = 0;  // in the worker's books
  uint32_t rank = 0;   // in symbol order, once the day is read
  size_t pending = 0;  // records of the batch in hand
  size_t next = 0;     // where its next record of the batch goes
};

// A snapshot as the worker keeps it until the day is sorted.
struct SnapshotEntry {
  int32_t time;
  uint32_t rank;  // the book's index while reading, its rank once sorted
  uint32_t seq;   // emitted before it by the same book
  uint32_t pos;   // in the worker's store
};

// Instruments to books: open addressing over the record's own bytes, looked up once per
// record, so the probe compares the packed key before any book is touched.
class BookTable {
 public:
  BookTable() { slots_.assign(1024, Slot{}); }

  SymbolBook* find(const Instrument& in) const {
    uint64_t a, b;
    pack(in, &a, &b);
    for (size_t i = home(a, b);; i = (i + 1) & (slots_.size() - 1)) {
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
  size_t home(uint64_t a, uint64_t b) const {
    const uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return (h >> 20) & (slots_.size() - 1);
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
    for (const Slot& s : old) {
      if (s.book != nullptr) place(s.book);
    }
  }
  std::vector<Slot> slots_;
  size_t count_ = 0;
};

// Reads the whole day and rebuilds its share of the symbols; keeps their snapshots, sorted
// by time and symbol once the day is read. One per thread.
class Worker {
 public:
  Worker(const MarketJob& job, Share share) : job_(job), share_(std::move(share)) {}
  ~Worker() {
    for (SymbolBook& b : books_) orderbook_builder_release(b.builder);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Reads and rebuilds the day, then sorts the snapshots. bar may be NULL.
  bool run(ProgressBar* bar) {
    std::unique_ptr<DaySource> source = open_day_source(job_.files, &error_);
    if (source == nullptr) return false;
    date_ = job_.date;
    std::vector<const void*> batch(kBatch);
    for (size_t n; (n = source->next(batch.data(), kBatch)) > 0;) {
      if (date_ == 0 && !settle_date(batch[0])) return false;
      if (!route(batch.data(), n)) return false;
      if (bar != nullptr && bar->active()) bar->update(source->progress(), "rebuilding the market");
    }
    if (source->failed()) {
      error_ = source->error();
      return false;
    }
    for (SymbolBook& b : books_) {
      if (b.builder != nullptr) orderbook_builder_finish(b.builder);
      orderbook_builder_release(b.builder);
      b.builder = nullptr;
    }
    sort_snapshots();
    return true;
  }

  const std::string& error() const { return error_; }
  int date() const { return date_; }
  size_t other_exchange() const { return other_exchange_; }
  const std::vector<SnapshotEntry>& entries() const { return entries_; }
  const _L2Snapshot& snapshot(uint32_t pos) const {
    return store_[pos / kSnapshotBlock][pos % kSnapshotBlock];
  }
  const SymbolBook& book(uint32_t index) const { return books_[index]; }
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

  // Feeds a batch of the day, book by book: each book takes its records of the batch in their
  // order, one book after the other. A book's records stay in sequence, and the book stays in
  // the cache for its whole run instead of being fetched again for nearly every record (a
  // market day interleaves a thousand books).
  bool route(const void* const* batch, size_t n) {
    book_of_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const Instrument in = Instrument::of(batch[i]);
      SymbolBook* b = books_table_.find(in);
      if (b == nullptr && (b = add_book(in)) == nullptr) return false;
      if (b->builder == nullptr) {
        book_of_[i] = nullptr;
        continue;
      }
      if (b->pending++ == 0) touched_.push_back(b);
      book_of_[i] = b;
    }
    size_t offset = 0;
    for (SymbolBook* b : touched_) {
      b->next = offset;
      offset += b->pending;
    }
    by_book_.resize(offset);
    for (size_t i = 0; i < n; ++i) {
      if (book_of_[i] != nullptr) by_book_[book_of_[i]->next++] = batch[i];
    }
    // The records of a batch are spread over the read blocks: ask for each a few ahead.
    constexpr size_t kAhead = 8;
    for (size_t k = 0; k < kAhead && k < by_book_.size(); ++k) __builtin_prefetch(by_book_[k]);
    offset = 0;
    for (SymbolBook* b : touched_) {
      for (size_t k = offset; k < b->next; ++k) {
        if (k + kAhead < by_book_.size()) __builtin_prefetch(by_book_[k + kAhead]);
        feed(*b, by_book_[k]);
      }
      offset = b->next;
      b->pending = 0;
    }
    touched_.clear();
    if (out_of_memory_) error_ = "not enough memory to keep the day's snapshots";
    return !out_of_memory_;
  }

  void feed(SymbolBook& b, const void* record) {
    int32_t day;
    std::memcpy(&day, static_cast<const char*>(record) + offsetof(_L2Order, action_day), 4);
    if (day != date_) {
      ++b.summary.refused;
      return;
    }
    const int32_t r = orderbook_builder_feed(b.builder, record);
    ++(*static_cast<const uint8_t*>(record) == QL_RECORD_L2ORDER ? b.summary.orders
                                                                 : b.summary.trades);
    if (r < 0) ++b.summary.refused;
  }

  SymbolBook* add_book(const Instrument& in) {
    books_.emplace_back();
    SymbolBook& b = books_.back();
    b.instrument = in;
    b.summary.exchange = in.exchange;
    std::memcpy(b.summary.symbol, in.symbol, kSymbolBytes);
    b.worker = this;
    b.index = static_cast<uint32_t>(books_.size() - 1);
    books_table_.insert(&b);
    if (in.exchange != 1 && in.exchange != 2) {
      if (share_.thread == 0) ++other_exchange_;  // counted once, by the first thread
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
    b->worker->keep(*b, *snapshot);
    return 0;
  }

  void keep(SymbolBook& b, const _L2Snapshot& snapshot) {
    const size_t pos = entries_.size();
    if (out_of_memory_) return;
    if (pos % kSnapshotBlock == 0) {
      store_.emplace_back();
      if (!store_.back().resize(kSnapshotBlock)) {
        out_of_memory_ = true;
        return;
      }
    }
    _L2Snapshot& kept = store_.back()[pos % kSnapshotBlock];
    kept = snapshot;
    // The builder's book starts each day without static fields, so its snapshots carry
    // trading day 0; the replays select a day's ticks by that field.
    if (kept.trading_day == 0) kept.trading_day = date_;
    entries_.push_back(SnapshotEntry{snapshot.time, b.index,
                                     static_cast<uint32_t>(b.summary.snapshots++),
                                     static_cast<uint32_t>(pos)});
  }

  void sort_snapshots() {
    by_rank_ = owned_;
    std::sort(by_rank_.begin(), by_rank_.end(),
              [&](uint32_t x, uint32_t y) { return books_[x].instrument < books_[y].instrument; });
    for (size_t r = 0; r < by_rank_.size(); ++r)
      books_[by_rank_[r]].rank = static_cast<uint32_t>(r);
    for (SnapshotEntry& e : entries_) e.rank = books_[e.rank].rank;
    std::sort(entries_.begin(), entries_.end(), [](const SnapshotEntry& x, const SnapshotEntry& y) {
      if (x.time != y.time) return x.time < y.time;
      if (x.rank != y.rank) return x.rank < y.rank;
      return x.seq < y.seq;
    });
    for (SnapshotEntry& e : entries_) e.rank = by_rank_[e.rank];  // back to the book's index
  }

  const MarketJob& job_;
  Share share_;
  int date_ = 0;
  std::deque<SymbolBook> books_;  // every instrument met; a deque keeps their addresses
  BookTable books_table_;
  std::vector<uint32_t> owned_;       // indexes of the books rebuilt here
  std::vector<uint32_t> by_rank_;     // the same, in symbol order
  std::vector<SymbolBook*> book_of_;  // the book of each record of a batch
  std::vector<SymbolBook*> touched_;  // the books of a batch, as first met
  std::vector<const void*> by_book_;  // the batch, book by book
  std::vector<SnapshotEntry> entries_;
  // Blocks in 2 MiB pages (RecordArray): a market day keeps gigabytes of snapshots, and small
  // pages would fault in a few snapshots at a time.
  std::vector<RecordArray<_L2Snapshot>> store_;
  size_t other_exchange_ = 0;
  bool out_of_memory_ = false;  // a snapshot could not be kept: the run fails
  std::string error_;
};

// The workers' sorted snapshots from index from[w] to to[w] of each, merged: time, then
// symbol (a symbol belongs to one worker, whose order settles its ties). Calls sink with each.
template <class Sink>
void merge_snapshots(const std::vector<std::unique_ptr<Worker>>& workers, std::vector<size_t> from,
                     const std::vector<size_t>& to, Sink sink) {
  for (;;) {
    int best = -1;
    for (size_t w = 0; w < workers.size(); ++w) {
      if (from[w] == to[w]) continue;
      if (best < 0) {
        best = static_cast<int>(w);
        continue;
      }
      const SnapshotEntry& a = workers[w]->entries()[from[w]];
      const SnapshotEntry& b = workers[best]->entries()[from[best]];
      if (a.time < b.time || (a.time == b.time && workers[w]->book(a.rank).instrument <
                                                      workers[best]->book(b.rank).instrument)) {
        best = static_cast<int>(w);
      }
    }
    if (best < 0) return;
    const SnapshotEntry& e = workers[best]->entries()[from[best]++];
    sink(workers[best]->snapshot(e.pos));
  }
}

// Index of the first snapshot of each worker at or after time t.
std::vector<size_t> first_at(const std::vector<std::unique_ptr<Worker>>& workers, int32_t t) {
  std::vector<size_t> at;
  for (const auto& w : workers) {
    const auto& e = w->entries();
    at.push_back(std::lower_bound(e.begin(), e.end(), t,
                                  [](const SnapshotEntry& x, int32_t v) { return x.time < v; }) -
                 e.begin());
  }
  return at;
}

// A binary day file written by several threads at once: the day is cut at snapshot times
// into as many spans as threads, and each span goes to its own place in the file (records
// have one size, so the place is the number of snapshots before it). Every snapshot of one
// time lands in one span, so the file is the one a single writer would write.
bool write_binary_parallel(const std::vector<std::unique_ptr<Worker>>& workers,
                           const std::string& path, int threads, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  // Cut times at even shares of the largest worker's snapshots.
  const auto& biggest =
      (*std::max_element(workers.begin(), workers.end(), [](const auto& x, const auto& y) {
        return x->entries().size() < y->entries().size();
      }))->entries();
  std::vector<std::vector<size_t>> cuts = {std::vector<size_t>(workers.size(), 0)};
  for (int i = 1; i < threads; ++i) {
    cuts.push_back(biggest.empty() ? cuts.back()
                                   : first_at(workers, biggest[biggest.size() * i / threads].time));
  }
  std::vector<size_t> ends;
  for (const auto& w : workers) ends.push_back(w->entries().size());
  cuts.push_back(ends);
  std::vector<char> failed(threads, 0);
  auto write_span = [&](int i) {
    off_t offset = 0;
    for (size_t n : cuts[i]) offset += static_cast<off_t>(n * sizeof(_L2Snapshot));
    std::vector<_L2Snapshot> buffer;
    buffer.reserve(4096);
    auto flush = [&] {
      const size_t bytes = buffer.size() * sizeof(_L2Snapshot);
      if (bytes > 0 && pwrite(fd, buffer.data(), bytes, offset) != static_cast<ssize_t>(bytes))
        failed[i] = 1;
      offset += static_cast<off_t>(bytes);
      buffer.clear();
    };
    merge_snapshots(workers, cuts[i], cuts[i + 1], [&](const _L2Snapshot& s) {
      buffer.push_back(s);
      if (buffer.size() == buffer.capacity()) flush();
    });
    flush();
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) pool.emplace_back(write_span, i);
  write_span(0);
  for (std::thread& t : pool) t.join();
  const bool closed = ::close(fd) == 0;
  if (std::count(failed.begin(), failed.end(), 1) > 0 || !closed) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

// Writes the day's snapshots in day order into path.
bool write_merged(const std::vector<std::unique_ptr<Worker>>& workers, const std::string& path,
                  FileFormat format, char delimiter, int threads, std::string* error) {
  if (format == FileFormat::Binary && threads > 1) {
    return write_binary_parallel(workers, path, threads, error);
  }
  RecordWriter writer;
  if (!writer.open(path, RecordKind::Tick, format, delimiter, error)) return false;
  std::vector<size_t> ends;
  for (const auto& w : workers) ends.push_back(w->entries().size());
  merge_snapshots(workers, std::vector<size_t>(workers.size(), 0), ends,
                  [&](const _L2Snapshot& s) { writer.write(&s); });
  return writer.close(error);
}

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
  Share base;
  if (!parse_symbol_list(job.symbols, &base.wanted, &result->error)) return false;
  base.shards = job.shard > 0 ? job.shards : 1;
  base.shard = job.shard > 0 ? job.shard - 1 : 0;
  base.threads = job.threads < 1 ? 1 : job.threads;

  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < base.threads; ++t) {
    Share share = base;
    share.thread = t;
    workers.push_back(std::make_unique<Worker>(job, share));
  }
  std::vector<char> ok(workers.size(), 0);
  std::vector<std::thread> threads;
  for (size_t t = 1; t < workers.size(); ++t) {
    threads.emplace_back([&, t] { ok[t] = workers[t]->run(nullptr); });
  }
  ok[0] = workers[0]->run(bar);
  for (std::thread& t : threads) t.join();
  if (bar != nullptr) bar->clear();
  for (size_t t = 0; t < workers.size(); ++t) {
    if (!ok[t]) {
      result->error = workers[t]->error();
      return false;
    }
  }

  result->date = workers[0]->date();
  if (result->date == 0) {
    result->error = "'" + job.files.orders_path + "' and '" + job.files.trades_path +
                    "' hold no records: give --date YYYYMMDD";
    if (job.date == 0) return false;
    result->date = job.date;
  }
  FileFormat format;
  if (!resolve_output(job, result->date, &result->out_path, &format, &result->error) ||
      !write_merged(workers, result->out_path, format, job.files.delimiter,
                    static_cast<int>(workers.size()), &result->error)) {
    return false;
  }
  result->error.clear();
  for (const auto& w : workers) {
    w->summaries(&result->symbols);
    result->other_exchange += w->other_exchange();
  }
  std::sort(result->symbols.begin(), result->symbols.end(),
            [](const SymbolSummary& a, const SymbolSummary& b) {
              const int s = std::memcmp(a.symbol, b.symbol, kSymbolBytes);
              return s != 0 ? s < 0 : a.exchange < b.exchange;
            });
  for (const SymbolSummary& s : result->symbols) {
    result->events += s.orders + s.trades;
    result->refused += s.refused;
    result->snapshots += s.snapshots;
  }
  result->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

std::string describe_market_result(const MarketResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f s", r.seconds);
  std::string text = std::to_string(r.date) + ": " + group_digits(r.symbols.size()) + " symbols, " +
                     group_digits(r.events) + " events, " + group_digits(r.snapshots) +
                     " snapshots, " + group_digits(r.refused) + " refused in " + seconds + " (" +
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
  std::fprintf(f, "exchange,symbol,orders,trades,refused,snapshots\n");
  for (const SymbolSummary& s : r.symbols) {
    std::fprintf(f, "%s,%.*s,%zu,%zu,%zu,%zu\n", exchange_str(s.exchange),
                 static_cast<int>(strnlen(s.symbol, kSymbolBytes)), s.symbol, s.orders, s.trades,
                 s.refused, s.snapshots);
  }
  if (std::fclose(f) != 0) {
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

}  // namespace qltool
