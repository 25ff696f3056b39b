// One order book rebuild: read a day's order and trade files, replay them through an
// orderbook_builder and write the snapshots it emits. Used by `book` (one job or a manifest of
// many on several threads) and by `demo`.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "args.h"
#include "input_files.h"
#include "progress.h"
#include "record_io.h"
#include "snapshot_options.h"

namespace qltool {

struct BookJob {
  std::string exchange;         // "SH", "SZSE", ...; empty: the exchange of the records
  std::string symbol;           // empty: the one symbol the files hold
  bool exchange_named = false;  // --symbol CODE.EX: only that exchange's records are the symbol's
  int date = 0;                 // YYYYMMDD; 0: the action_day of the first record
  std::string orders_path;
  std::string trades_path;
  std::string sequence_path;  // optional: the exchange's sequence ('O'/'T' per record): run3
  InputSettings input;        // layouts of CSV inputs, and whether refused rows fail the job
  bool input_format_given = false;
  FileFormat input_format = FileFormat::Binary;  // else by each file's extension
  char delimiter = ',';                          // of CSV inputs and outputs
  int interval_ms = 3000;
  SnapshotSchedule schedule;           // --schedule: the trading-hours rules by default
  bool exchange_auction_view = false;  // --auction-view exchange
  double pre_close = 0;                // --pre-close: the Shenzhen opening auction's reference
  std::string out_path;                // the snapshot file, or empty with root
  std::string root;                    // DataFileManager root: ROOT/YYYYMMDD/tick.csv or tick.dat
  bool output_format_given = false;
  FileFormat output_format = FileFormat::Csv;  // else by out_path's extension (csv with root)
  // When set, sees every snapshot too; with neither out_path nor root, no file is written.
  std::function<void(const _L2Snapshot&)> snapshot_hook;
};

struct BookResult {
  std::string exchange;  // as given to the builder
  std::string symbol;
  int date = 0;
  size_t orders = 0;  // records fed
  size_t trades = 0;
  int snapshots = 0;
  double seconds = 0;  // wall time of the whole job, files included
  std::string out_path;
  _L2Snapshot last_snapshot{};     // the final snapshot (zero when none was emitted)
  std::string input_note;          // which layouts were read, and how the feed was ordered
  std::vector<std::string> notes;  // refused rows, times going back, warnings: for stderr
  size_t refused = 0;              // rows refused (the job fails unless lenient)
  std::string error;               // why the job failed; empty on success

  size_t events() const { return orders + trades; }
  double events_per_second() const { return seconds > 0 ? events() / seconds : 0; }
};

// Memory a job reads its files into. A worker that runs many jobs keeps one and hands it to
// each: its blocks then fault their pages in once, not once per job (on a virtual machine a
// page fault costs more than the order book spends on the records the page holds).
struct BookBuffers {
  RecordArray<_L2Order> orders;
  RecordArray<_L2Trade> trades;
  DayInputs inputs;  // what the files gave beside the records (file lines, sequence columns)
  std::vector<const void*> sequence;
  RecordWriter writer;  // keeps its output buffer from job to job
};

// Where the job's snapshots go and in which format. With a root it builds the day's tick path
// (creating the day directory), so it needs the date. Returns false with *error set.
bool resolve_book_output(const BookJob& job, int date, std::string* path, FileFormat* format,
                         std::string* error);

// Reads the job's order and trade files (and sequence) into `buffers` and settles exchange,
// symbol and date into *result. Returns false with result->error set. bar may be NULL.
bool load_book_day(const BookJob& job, BookBuffers* buffers, BookResult* result, ProgressBar* bar);

// Runs one job in `buffers` (NULL: its own). Thread-safe for distinct jobs writing distinct
// files and using distinct buffers (each run has its own builder); bar may be NULL. Returns
// false with result->error set when the job failed.
bool run_book_job(const BookJob& job, BookResult* result, ProgressBar* bar,
                  BookBuffers* buffers = nullptr);

// The options that choose one day's rebuild, as `book` takes them (--orders, --trades,
// --sequence, --exchange, --symbol, --date, --interval-ms, --format, --delimiter, --schedule,
// --auction-view, --pre-close, --profile, --map, --values, --lenient), for the
// commands that rebuild a day on the way to something else.
const std::vector<OptionDef>& day_input_options();
// Reads those options into *job, checking --orders is given (--trades may be left out when
// the orders file holds both, as `book` allows). Returns false after reporting what is wrong.
bool read_day_inputs(const Args& args, BookJob* job);
// Reads --exchange and --symbol (CODE, or CODE.SH / CODE.SZ) into *job. Returns false after
// reporting what is wrong.
bool read_instrument(const Args& args, BookJob* job);

// "000001.SZ 20240102: 1,000,000 events (515,123 orders, 484,877 trades), 4,801 snapshots
// in 0.081 s (12.3 M events/s) -> out.csv"
std::string describe_book_result(const BookResult& result);

}  // namespace qltool
