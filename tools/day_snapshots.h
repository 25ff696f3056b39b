// The snapshots of a market day on their way to the day file: kept by each feeding thread in
// a store of blocks used again and again, put aside as sorted runs in an unnamed temporary
// file once they grow past what memory should hold, and merged at the end into the day file
// in day order (time, then symbol, then as each book emitted them), by several threads where
// the file's format allows. However the day was split, the file is the same byte for byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "quotelab/records.h"
#include "record_io.h"
#include "span_writer.h"

namespace qltool {

// Where a book's snapshots stand in the day: time, then symbol, then exchange (the symbol's
// bytes read as big-endian numbers compare as the text does).
struct DayKey {
  uint64_t symbol_head = 0;  // symbol bytes 0..7
  uint32_t symbol_tail = 0;  // bytes 8..9, then the exchange code

  static DayKey of(uint8_t exchange, const char* symbol) {
    DayKey k;
    for (size_t i = 0; i < 8; ++i) {
      k.symbol_head = k.symbol_head << 8 | static_cast<unsigned char>(symbol[i]);
    }
    k.symbol_tail = static_cast<uint32_t>(static_cast<unsigned char>(symbol[8])) << 16 |
                    static_cast<uint32_t>(static_cast<unsigned char>(symbol[9])) << 8 | exchange;
    return k;
  }
  static DayKey of(const _L2Snapshot& s) { return of(s.exchange, s.symbol); }
  bool operator<(const DayKey& o) const {
    return symbol_head != o.symbol_head ? symbol_head < o.symbol_head : symbol_tail < o.symbol_tail;
  }
  bool operator==(const DayKey& o) const {
    return symbol_head == o.symbol_head && symbol_tail == o.symbol_tail;
  }
};

// A snapshot as a store keeps it until it is written.
struct SnapshotEntry {
  int32_t time;
  uint32_t seq;  // emitted before it by the same book
  DayKey book;
  uint32_t pos;  // in the store

  // Day order: time, then symbol, then as the book emitted them.
  bool operator<(const SnapshotEntry& o) const {
    if (time != o.time) return time < o.time;
    if (!(book == o.book)) return book < o.book;
    return seq < o.seq;
  }
};

// Blocks of snapshots kept for the process's next market pass. A pass's stores come to the
// better part of a gigabyte, and the first touch of fresh memory costs more than everything
// else the pass does with it (the kernel clears each page, and a virtual machine's host must
// back it first), so a process that rebuilds day after day (a cluster worker, a manifest of
// many days) reuses the blocks its last pass freed instead of asking for new ones. At most
// kKeptBlocks are kept (twice what --hold's default fills); thread-safe.
class SnapshotBlocks {
 public:
  static constexpr size_t kBlock = 1 << 14;  // snapshots per block (7 MiB)
  static constexpr size_t kKeptBlocks = 64;

  // A block of kBlock snapshots, reused or new; an empty array when out of memory.
  static RecordArray<_L2Snapshot> take();
  // Keeps a block for a later take (or frees it when enough are kept).
  static void give(RecordArray<_L2Snapshot>&& block);
  // An empty list of entries with the room an earlier store's list had, or a new list. The
  // list of a long day grows to tens of megabytes, a doubling at a time, each in fresh memory.
  static std::vector<SnapshotEntry> take_entries();
  // Keeps a store's list for a later take_entries (or frees it when enough are kept).
  static void give_entries(std::vector<SnapshotEntry>&& entries);
};

// The snapshots one feeding thread received, in blocks of 2 MiB pages (RecordArray) that are
// used again once their snapshots are written out, and by the next store once this one goes.
class SnapshotStore {
  static constexpr size_t kBlock = SnapshotBlocks::kBlock;

 public:
  SnapshotStore() : entries_(SnapshotBlocks::take_entries()) {}
  ~SnapshotStore() {
    for (RecordArray<_L2Snapshot>& block : blocks_) SnapshotBlocks::give(std::move(block));
    SnapshotBlocks::give_entries(std::move(entries_));
  }
  SnapshotStore(SnapshotStore&&) = default;
  SnapshotStore& operator=(SnapshotStore&&) = default;
  SnapshotStore(const SnapshotStore&) = delete;
  SnapshotStore& operator=(const SnapshotStore&) = delete;

  // Keeps a snapshot of a book; false when out of memory.
  bool keep(const _L2Snapshot& snapshot, int date, const DayKey& book, uint32_t seq) {
    const size_t pos = entries_.size();
    if (pos / kBlock == blocks_.size()) {
      blocks_.push_back(SnapshotBlocks::take());
      if (blocks_.back().size() != kBlock) {
        blocks_.pop_back();
        return false;
      }
    }
    _L2Snapshot& kept = blocks_[pos / kBlock][pos % kBlock];
    kept = snapshot;
    // The builder's book starts each day without static fields, so its snapshots carry
    // trading day 0; the replays select a day's ticks by that field.
    if (kept.trading_day == 0) kept.trading_day = date;
    entries_.push_back(SnapshotEntry{snapshot.time, seq, book, static_cast<uint32_t>(pos)});
    return true;
  }
  void sort() { std::sort(entries_.begin(), entries_.end()); }
  // Forgets the snapshots (written out); their blocks are used again.
  void clear() { entries_.clear(); }
  size_t size() const { return entries_.size(); }
  const std::vector<SnapshotEntry>& entries() const { return entries_; }
  const _L2Snapshot& snapshot(uint32_t pos) const { return blocks_[pos / kBlock][pos % kBlock]; }

 private:
  std::vector<SnapshotEntry> entries_;
  std::vector<RecordArray<_L2Snapshot>> blocks_;
};

// Sorts each store's entries into day order, a store per thread.
void sort_stores(std::vector<SnapshotStore>* stores);

// Runs of snapshots put aside, each in day order, in one unnamed temporary file (in TMPDIR,
// else /tmp), gone when the object is.
class SnapshotRuns {
 public:
  SnapshotRuns() = default;
  ~SnapshotRuns();
  SnapshotRuns(const SnapshotRuns&) = delete;
  SnapshotRuns& operator=(const SnapshotRuns&) = delete;

  // Sorts the stores, writes their snapshots as the next run and empties them. False (error
  // set) when the file cannot be created or written.
  bool put_aside(std::vector<SnapshotStore>* stores, std::string* error);

  struct Run {
    size_t offset = 0;  // bytes into the file
    size_t count = 0;   // snapshots
  };
  const std::vector<Run>& runs() const { return runs_; }
  const SpanFile& file() const { return file_; }

 private:
  SpanFile file_;
  size_t end_ = 0;  // bytes written
  std::vector<Run> runs_;
};

// Writes the day file at path: the runs put aside and the (sorted) stores merged in day
// order, by `threads` threads. False (error set) when it cannot be written.
bool write_day_file(const SnapshotRuns& runs, const std::vector<SnapshotStore>& stores,
                    const std::string& path, FileFormat format, char delimiter, int threads,
                    std::string* error);

// A temporary file in TMPDIR (else /tmp, named in *dir) that leaves no name behind, opened
// into *file. False (errno set) when it cannot be created.
bool open_unnamed_temporary(SpanFile* file, std::string* dir);

}  // namespace qltool
