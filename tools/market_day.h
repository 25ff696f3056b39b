// The whole market's day in one pass: every record of a DaySource goes to its symbol's
// builder (orderbook_builder_begin / feed / finish), and the snapshots of every symbol go to
// one day file in time order across symbols (ties in symbol order, then as each symbol
// emitted them). Each symbol's snapshots are those a one-symbol run (`book --sequence`) gives.
//
// One thread reads the day; several threads feed its books (a book to one thread at a time);
// several machines each rebuild one shard of the symbols into a part file beside the day
// file, and merge_day_parts joins the parts into the day file. Shards are fixed by a hash of
// exchange and symbol, so every machine splits a day the same way, and the day file is the
// same byte for byte however it was split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "book_job.h"
#include "day_source.h"
#include "progress.h"
#include "snapshot_options.h"

namespace qltool {

struct MarketJob {
  DayFiles files;
  std::vector<std::string> symbols;  // CODE or CODE.EXCHANGE; empty: every symbol
  int date = 0;                      // YYYYMMDD; 0: the action_day of the first record
  int interval_ms = 3000;
  SnapshotSchedule schedule;  // of every symbol's builder
  std::string out_path;       // the day's snapshot file, or empty with root
  std::string root;           // ROOT/YYYYMMDD/tick.csv (tick.dat)
  bool output_format_given = false;
  FileFormat output_format = FileFormat::Csv;
  int threads = 1;
  int shard = 0;  // 1..shards: rebuild that shard into its part file; 0: the whole day
  int shards = 1;
  // Snapshots held in memory; past that they are put aside in sorted runs of a temporary
  // file and merged into the day file at the end.
  size_t hold_snapshots = size_t{1} << 19;
};

// The market job of a one-symbol job's files, day, snapshot rules and output.
MarketJob market_job_of(const BookJob& base);

struct SymbolSummary {
  uint8_t exchange = 0;
  char symbol[10] = {};
  size_t orders = 0;  // records fed
  size_t trades = 0;
  size_t refused = 0;   // records not fed: of another trading day, or unpriced
  size_t unpriced = 0;  // own-side best orders (Shenzhen 'U') whose side was empty
  size_t snapshots = 0;
  size_t unmatched = 0;  // records fed that the book applied to nothing (its negative results)
};

struct MarketResult {
  int date = 0;
  std::string out_path;
  std::vector<SymbolSummary> symbols;  // rebuilt here, in symbol order
  size_t events = 0;                   // records fed, over every symbol rebuilt here
  size_t refused = 0;
  size_t unpriced = 0;
  size_t unmatched = 0;
  size_t snapshots = 0;
  size_t other_exchange = 0;          // records of neither Shanghai nor Shenzhen: not rebuilt
  std::vector<std::string> refusals;  // rows of CSV inputs that became no record, named
  size_t refused_rows = 0;
  std::string input_note;  // the layouts read and how they were put in sequence
  double seconds = 0;
  std::string error;
};

// Rebuilds the day. Returns false with result->error set when the input or the output failed.
bool run_market_day(const MarketJob& job, MarketResult* result, ProgressBar* bar);

// The part file of shard k of n beside the day file: tick.csv -> tick.part-3-of-8.csv.
std::string day_part_path(const std::string& day_path, int k, int n);

// Joins the part files of a day (ROOT/YYYYMMDD/tick.part-K-of-N.csv or .dat; every K of one
// N must be there) into the day file (cmd_merge.cpp). Returns false with *error set; on
// success *out_path and *written tell what was written.
bool merge_day_parts(const std::string& root, int date, char delimiter, bool remove_parts,
                     std::string* out_path, size_t* written, std::string* error);

// The failure that refused records (of another trading day, own-side best orders with their
// side empty) make unless lenient; "" when none.
std::string refusal_error(const MarketResult& result, bool lenient);

// "20240102: 1,000 symbols, 50,000,000 events, 4,000,000 snapshots, 0 refused, 12 unmatched
// in 2.0 s (25.0 M events/s) -> out"
std::string describe_market_result(const MarketResult& result);

// Writes the per-symbol summary as CSV (exchange,symbol,orders,trades,refused,snapshots,
// unmatched).
bool write_market_summary(const MarketResult& result, const std::string& path, std::string* error);

// "K/N" with 1 <= K <= N: the K-th of N shards. Returns false for any other text.
bool parse_shard(const char* text, int* k, int* n);

// `quotelab book --market`: the market job from the command line (base holds the options
// parsed for single jobs), run and summarised. Returns the exit code.
int run_book_market(const Args& args, const BookJob& base, int threads, bool quiet);

}  // namespace qltool
