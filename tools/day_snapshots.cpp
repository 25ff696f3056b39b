#include "day_snapshots.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "quotelab/utilcore.h"
#include "span_writer.h"

namespace qltool {
namespace {

// Where a snapshot goes among those of its time and book: runs put aside come first, in the
// order they were put aside, then the stores by the book's own count of what it emitted.
constexpr uint64_t kInStore = uint64_t{1} << 32;

// The day order of a snapshot: time, then symbol, then as its book emitted it.
struct MergeKey {
  int32_t time;
  DayKey book;
  uint64_t order;

  bool operator<(const MergeKey& o) const {
    if (time != o.time) return time < o.time;
    if (!(book == o.book)) return book < o.book;
    return order < o.order;
  }
};

// One sorted part of the day's snapshots: a store in memory, or a run put aside in the
// temporary file (file, offset) as the run-th.
struct DaySlice {
  const SnapshotStore* store = nullptr;
  const SpanFile* file = nullptr;
  size_t offset = 0;
  size_t count = 0;
  uint32_t run = 0;

  // The time of snapshot i, for cutting the day; INT32_MAX when it cannot be read.
  int32_t time_at(size_t i) const {
    if (store != nullptr) return store->entries()[i].time;
    int32_t t;
    const off_t at =
        static_cast<off_t>(offset + i * sizeof(_L2Snapshot) + offsetof(_L2Snapshot, time));
    return pread(file->buffered_fd(), &t, sizeof t, at) == static_cast<ssize_t>(sizeof t)
               ? t
               : INT32_MAX;
  }
  // Index of the first snapshot at or after time t.
  size_t first_at(int32_t t) const {
    size_t lo = 0, hi = count;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (time_at(mid) < t) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }
};

// Reads a slice from index `from` to `to` in order, a buffer at a time for a run. While the
// merge takes a run's snapshots from one buffer, the next part of the run is read into the
// other on a thread of its own: a direct read returns only once the device has delivered, and
// a merge that waited for each read would spend a fifth of a long day's write-out waiting.
class SliceCursor {
 public:
  SliceCursor(const DaySlice& slice, size_t from, size_t to) : slice_(slice), at_(from), to_(to) {}

  bool done() const { return at_ == to_; }
  // False when a run cannot be read back.
  bool load() {
    if (slice_.store != nullptr || done() || pos_ < loaded_) return true;
    if (buffer_ == nullptr) {
      buffer_ = aligned_buffer(kBufferBytes);
      spare_ = aligned_buffer(kBufferBytes);
      if (buffer_ == nullptr || spare_ == nullptr) return false;
      read_ahead(at_);
    }
    const ssize_t got = ahead_.get();
    if (got < static_cast<ssize_t>(ahead_bytes_)) return false;
    std::swap(buffer_, spare_);
    loaded_ = ahead_count_;
    pos_ = 0;
    snapshots_ = reinterpret_cast<const _L2Snapshot*>(buffer_.get() + ahead_skip_);
    if (at_ + loaded_ < to_) read_ahead(at_ + loaded_);
    return true;
  }
  const _L2Snapshot& snapshot() const {
    return slice_.store != nullptr ? slice_.store->snapshot(slice_.store->entries()[at_].pos)
                                   : snapshots_[pos_];
  }
  MergeKey key() const {
    if (slice_.store != nullptr) {
      const SnapshotEntry& e = slice_.store->entries()[at_];
      return MergeKey{e.time, e.book, kInStore + e.seq};
    }
    const _L2Snapshot& s = snapshots_[pos_];
    return MergeKey{s.time, DayKey::of(s), slice_.run};
  }
  bool next() {
    ++at_;
    ++pos_;
    return load();
  }

 private:
  static constexpr size_t kRead = 2048;  // snapshots a read brings
  static constexpr size_t kBlock = 4096;
  // Room for kRead snapshots from anywhere in a block, rounded up to whole blocks.
  static constexpr size_t kBufferBytes = (kRead * sizeof(_L2Snapshot) / kBlock + 2) * kBlock;

  // Starts reading the snapshots from index `from` into spare_: the whole blocks that hold
  // them, around the page cache where the file allows it (the runs were written so; read back
  // through it, a run would take as many fresh pages as it has bytes).
  void read_ahead(size_t from) {
    ahead_count_ = std::min(kRead, to_ - from);
    const size_t offset = slice_.offset + from * sizeof(_L2Snapshot);
    const size_t first = offset / kBlock * kBlock;
    ahead_skip_ = offset - first;
    ahead_bytes_ = ahead_skip_ + ahead_count_ * sizeof(_L2Snapshot);
    ahead_ = std::async(std::launch::async,
                        [file = slice_.file, into = spare_.get(), bytes = ahead_bytes_,
                         at = static_cast<off_t>(first)] { return file->read(into, bytes, at); });
  }

  const DaySlice& slice_;
  size_t at_, to_;
  AlignedBuffer buffer_;                    // the snapshots being merged
  AlignedBuffer spare_;                     // the next ones, being read
  const _L2Snapshot* snapshots_ = nullptr;  // in buffer_
  size_t loaded_ = 0;
  size_t pos_ = 0;
  size_t ahead_count_ = 0, ahead_skip_ = 0, ahead_bytes_ = 0;  // of the read under way
  std::future<ssize_t> ahead_;  // last member: a read still under way ends before the buffers go
};

// The slices' snapshots from index from[s] to to[s] of each, merged in day order. Calls sink
// with each. False when a run cannot be read back. The cursors wait in a heap by their next
// key: a long day put aside in tens of runs costs a few comparisons a snapshot, not one per
// run. No two cursors ever hold equal keys (a run or a store's count tells them apart).
template <class Sink>
bool merge_slices(const std::vector<DaySlice>& slices, const std::vector<size_t>& from,
                  const std::vector<size_t>& to, Sink sink) {
  std::vector<SliceCursor> cursors;
  cursors.reserve(slices.size());
  for (size_t s = 0; s < slices.size(); ++s) {
    cursors.emplace_back(slices[s], from[s], to[s]);
    if (!cursors.back().load()) return false;
  }
  using Entry = std::pair<MergeKey, size_t>;
  auto later = [](const Entry& a, const Entry& b) { return b.first < a.first; };
  std::vector<Entry> heap;
  for (size_t s = 0; s < cursors.size(); ++s) {
    if (!cursors[s].done()) heap.emplace_back(cursors[s].key(), s);
  }
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    SliceCursor& c = cursors[heap.back().second];
    sink(c.snapshot());
    if (!c.next()) return false;
    if (c.done()) {
      heap.pop_back();
    } else {
      heap.back().first = c.key();
      std::push_heap(heap.begin(), heap.end(), later);
    }
  }
  return true;
}

std::vector<DaySlice> slices_of(const std::vector<SnapshotStore>& stores) {
  std::vector<DaySlice> slices;
  for (const SnapshotStore& st : stores) {
    DaySlice s;
    s.store = &st;
    s.count = st.size();
    slices.push_back(s);
  }
  return slices;
}

std::vector<size_t> slice_ends(const std::vector<DaySlice>& slices) {
  std::vector<size_t> ends;
  for (const DaySlice& s : slices) ends.push_back(s.count);
  return ends;
}

// The day cut at snapshot times into `spans` spans of about even size: span i runs from
// cuts[i][s] to cuts[i + 1][s] of each slice s. Every snapshot of one time lands in one span.
std::vector<std::vector<size_t>> cut_day(const std::vector<DaySlice>& slices, int spans) {
  const DaySlice& biggest = *std::max_element(
      slices.begin(), slices.end(), [](const auto& x, const auto& y) { return x.count < y.count; });
  std::vector<std::vector<size_t>> cuts = {std::vector<size_t>(slices.size(), 0)};
  for (int i = 1; i < spans; ++i) {
    std::vector<size_t> cut;
    const int32_t t = biggest.count == 0 ? INT32_MIN : biggest.time_at(biggest.count * i / spans);
    for (const DaySlice& s : slices) cut.push_back(s.first_at(t));
    cuts.push_back(cut);
  }
  cuts.push_back(slice_ends(slices));
  return cuts;
}

// Runs work(i) for each i below threads: 0 on the calling thread, the others on their own.
template <class Work>
void run_on_threads(int threads, Work work) {
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) pool.emplace_back(work, i);
  work(0);
  for (std::thread& t : pool) t.join();
}

// The first of the threads' failures, or an empty text.
std::string first_failure(const std::vector<std::string>& failures) {
  for (const std::string& failure : failures) {
    if (!failure.empty()) return failure;
  }
  return std::string();
}

// Ends a span that merged slices into writer: the reason it failed, or an empty text.
std::string finish_span(SpanWriter* writer, bool read) {
  if (!writer->finish()) return std::strerror(writer->failure());
  return read ? std::string() : "cannot read back the day's snapshots from a temporary file";
}

// Copies `bytes` from the start of `from` into `to` at `at`; the reason of a failure, or an
// empty text.
std::string copy_span(const SpanFile& from, size_t bytes, const SpanFile& to, off_t at) {
  constexpr size_t kChunk = size_t{4} << 20;
  AlignedBuffer chunk = aligned_buffer(kChunk);
  if (chunk == nullptr) return std::strerror(ENOMEM);
  SpanWriter writer(to, at);
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = from.read(chunk.get(), std::min(kChunk, bytes - done), done);
    if (n <= 0) return "cannot read back the day's rows from a temporary file";
    writer.write(chunk.get(), static_cast<size_t>(n));
    done += static_cast<size_t>(n);
  }
  return writer.finish() ? std::string() : std::strerror(writer.failure());
}

// A CSV day file written by several threads at once: each formats its span of the day (cut
// as for a binary file), the first into the file after the header, the others into unnamed
// temporary files that are then copied into place, each by its own thread. Rows have no
// fixed size, so a span's place in the file is known only once the spans before it are
// written. Every write goes around the page cache (SpanWriter).
bool write_csv_parallel(const std::vector<DaySlice>& slices, const std::string& path,
                        char delimiter, int threads, std::string* error) {
  const std::vector<std::vector<size_t>> cuts = cut_day(slices, threads);
  SpanFile day;
  if (!day.create(path, error)) return false;
  std::vector<SpanFile> spans(threads);  // spans[0] is not used: the first goes to the day
  std::vector<size_t> sizes(threads, 0);
  std::vector<std::string> failures(threads);
  constexpr size_t kRow = 4096, kBuffer = size_t{1} << 20;
  auto format_span = [&](int i) {
    std::string dir;
    if (i > 0 && !open_unnamed_temporary(&spans[i], &dir)) {
      failures[i] = "cannot create a temporary file in '" + dir + "': " + std::strerror(errno);
      return;
    }
    SpanWriter writer(i == 0 ? day : spans[i], 0);
    std::vector<char> buffer(kBuffer);
    size_t used = 0;
    auto flush = [&] {
      writer.write(buffer.data(), used);
      sizes[i] += used;
      used = 0;
    };
    bool ok = true;
    if (i == 0) {
      const int n = l2snapshot_csv_header(buffer.data(), static_cast<int>(kRow), delimiter);
      ok = n > 0;
      used = ok ? static_cast<size_t>(n) : 0;
    }
    const bool read = merge_slices(slices, cuts[i], cuts[i + 1], [&](const _L2Snapshot& s) {
      if (used + kRow > kBuffer) flush();
      const int n = l2snapshot_to_csv(buffer.data() + used, static_cast<int>(kRow), &s, delimiter);
      ok = ok && n >= 0;
      used += n > 0 ? static_cast<size_t>(n) : 0;
    });
    flush();
    failures[i] = finish_span(&writer, read);
    if (failures[i].empty() && !ok) failures[i] = "a snapshot has no CSV row";
  };
  run_on_threads(threads, format_span);
  if (first_failure(failures).empty()) {
    // Span i goes after the spans before it; the first is in place already.
    run_on_threads(threads, [&](int i) {
      off_t at = 0;
      for (int k = 0; k < i; ++k) at += static_cast<off_t>(sizes[k]);
      if (i > 0) failures[i] = copy_span(spans[i], sizes[i], day, at);
    });
  }
  return close_day_file(&day, path, first_failure(failures), error);
}

// Writes the slices merged in day order into file from byte `base`, by several threads at
// once: the day is cut at snapshot times into as many spans as threads, and each span goes to
// its own place in the file (records have one size, so the place is the number of snapshots
// before it), around the page cache (SpanWriter). Every snapshot of one time lands in one
// span, so the bytes are those a single writer would write. Returns the reason of the first
// failure, or an empty text.
std::string write_spans(const std::vector<DaySlice>& slices, const SpanFile& file, size_t base,
                        int threads) {
  const std::vector<std::vector<size_t>> cuts = cut_day(slices, threads);
  std::vector<std::string> failures(threads);
  auto write_span = [&](int i) {
    size_t offset = base;
    for (size_t n : cuts[i]) offset += n * sizeof(_L2Snapshot);
    SpanWriter writer(file, static_cast<off_t>(offset));
    const bool read = merge_slices(slices, cuts[i], cuts[i + 1],
                                   [&](const _L2Snapshot& s) { writer.write(&s, sizeof s); });
    failures[i] = finish_span(&writer, read);
  };
  run_on_threads(threads, write_span);
  return first_failure(failures);
}

// A binary day file, written by several threads at once (write_spans).
bool write_binary_parallel(const std::vector<DaySlice>& slices, const std::string& path,
                           int threads, std::string* error) {
  SpanFile file;
  if (!file.create(path, error)) return false;
  return close_day_file(&file, path, write_spans(slices, file, 0, threads), error);
}

// Writes the day's snapshots in day order into path.
bool write_day(const std::vector<DaySlice>& slices, const std::string& path, FileFormat format,
               char delimiter, int threads, std::string* error) {
  size_t total = 0;
  for (const DaySlice& s : slices) total += s.count;
  // A day without snapshots is written as one writer writes it (a CSV file without rows has
  // no header either).
  if (format == FileFormat::Binary && total > 0) {
    return write_binary_parallel(slices, path, threads, error);
  }
  if (total > 0) return write_csv_parallel(slices, path, delimiter, threads, error);
  RecordWriter writer;
  if (!writer.open(path, RecordKind::Tick, format, delimiter, error)) return false;
  if (!merge_slices(slices, std::vector<size_t>(slices.size(), 0), slice_ends(slices),
                    [&](const _L2Snapshot& s) { writer.write(&s); })) {
    *error = "cannot read back the day's snapshots from a temporary file";
    return false;
  }
  return writer.close(error);
}

}  // namespace

// Removed as soon as it is open, so it is gone when it is closed or the program ends, however
// it ends.
bool open_unnamed_temporary(SpanFile* file, std::string* dir) {
  const char* tmpdir = std::getenv("TMPDIR");
  *dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  std::string path = *dir + "/quotelab-XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0) return false;
  ::unlink(path.c_str());
  file->adopt(fd);
  return true;
}

namespace {

// Up to kMax things kept by the process for its next pass; thread-safe.
template <class T, size_t kMax>
class KeptList {
 public:
  // Moves a kept thing into *out; false when none is kept.
  bool take(T* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return false;
    *out = std::move(items_.back());
    items_.pop_back();
    return true;
  }
  // Keeps the thing, or frees it (outside the lock) when kMax are kept.
  void give(T&& item) {
    T freed;
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.size() < kMax) {
      items_.push_back(std::move(item));
    } else {
      freed = std::move(item);
    }
  }

 private:
  std::mutex mutex_;
  std::vector<T> items_;
};

// Entry lists kept: one per feeding thread of a pass on this machine's cores, and some.
constexpr size_t kKeptEntryLists = 8;

// Both outlive every store.
KeptList<RecordArray<_L2Snapshot>, SnapshotBlocks::kKeptBlocks>& kept_blocks() {
  static auto* blocks = new KeptList<RecordArray<_L2Snapshot>, SnapshotBlocks::kKeptBlocks>();
  return *blocks;
}
KeptList<std::vector<SnapshotEntry>, kKeptEntryLists>& kept_entries() {
  static auto* lists = new KeptList<std::vector<SnapshotEntry>, kKeptEntryLists>();
  return *lists;
}

}  // namespace

RecordArray<_L2Snapshot> SnapshotBlocks::take() {
  RecordArray<_L2Snapshot> block;
  if (kept_blocks().take(&block)) return block;
  if (!block.resize(kBlock)) block = RecordArray<_L2Snapshot>();
  return block;
}

void SnapshotBlocks::give(RecordArray<_L2Snapshot>&& block) {
  if (block.size() == kBlock) kept_blocks().give(std::move(block));
}

std::vector<SnapshotEntry> SnapshotBlocks::take_entries() {
  std::vector<SnapshotEntry> entries;
  kept_entries().take(&entries);
  return entries;
}

void SnapshotBlocks::give_entries(std::vector<SnapshotEntry>&& entries) {
  if (entries.capacity() == 0) return;
  entries.clear();
  kept_entries().give(std::move(entries));
}

void sort_stores(std::vector<SnapshotStore>* stores) {
  run_on_threads(static_cast<int>(stores->size()), [=](int t) { (*stores)[t].sort(); });
}

SnapshotRuns::~SnapshotRuns() = default;

bool SnapshotRuns::put_aside(std::vector<SnapshotStore>* stores, std::string* error) {
  std::string dir;
  if (file_.buffered_fd() < 0 && !open_unnamed_temporary(&file_, &dir)) {
    *error = "cannot create a temporary file in '" + dir +
             "' for the day's snapshots (set TMPDIR, or --hold more): " + std::strerror(errno);
    return false;
  }
  sort_stores(stores);
  Run run;
  run.offset = end_;
  const std::vector<DaySlice> slices = slices_of(*stores);
  for (const DaySlice& s : slices) run.count += s.count;
  const std::string failure =
      write_spans(slices, file_, end_, static_cast<int>(std::max<size_t>(1, stores->size())));
  if (!failure.empty()) {
    *error = "cannot write the day's snapshots to a temporary file: " + failure;
    return false;
  }
  end_ += run.count * sizeof(_L2Snapshot);
  runs_.push_back(run);
  for (SnapshotStore& st : *stores) st.clear();
  return true;
}

bool write_day_file(const SnapshotRuns& runs, const std::vector<SnapshotStore>& stores,
                    const std::string& path, FileFormat format, char delimiter, int threads,
                    std::string* error) {
  std::vector<DaySlice> slices;
  for (size_t r = 0; r < runs.runs().size(); ++r) {
    DaySlice s;
    s.file = &runs.file();
    s.offset = runs.runs()[r].offset;
    s.count = runs.runs()[r].count;
    s.run = static_cast<uint32_t>(r);
    slices.push_back(s);
  }
  for (const DaySlice& s : slices_of(stores)) slices.push_back(s);
  return write_day(slices, path, format, delimiter, threads, error);
}

}  // namespace qltool
