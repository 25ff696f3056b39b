#include "book_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "args.h"
#include "quotelab/data_file_manager.h"
#include "quotelab/orderbook.h"
#include "quotelab/utilcore.h"
#include "verify_day.h"

namespace qltool {
namespace {

constexpr size_t kSymbolBytes = sizeof(_L2Order::symbol);
static_assert(sizeof(_L2Order::symbol) == sizeof(_L2Trade::symbol), "one symbol size");

// The trading day as the progress bar shows it: 09:15 to 15:00, in milliseconds.
constexpr double kDayStartMs = 9 * 3600000.0 + 15 * 60000.0;
constexpr double kDayEndMs = 15 * 3600000.0;

std::string symbol_text(const char* record_symbol) {
  return std::string(record_symbol, strnlen(record_symbol, kSymbolBytes));
}

// Keeps the records of `symbol`, in order, moving them only when some must go.
template <class Rec>
void keep_symbol(RecordArray<Rec>* records, const std::string& symbol) {
  const PaddedSymbol padded(symbol);
  size_t kept = 0;
  for (size_t i = 0; i < records->size(); ++i) {
    const Rec& r = (*records)[i];
    if (!same_symbol(r.symbol, padded, symbol)) continue;
    if (kept != i) (*records)[kept] = r;
    ++kept;
  }
  records->shrink(kept);
}

template <class Rec>
const Rec* first_of_symbol(const RecordArray<Rec>& records, const std::string& symbol) {
  const PaddedSymbol padded(symbol);
  for (const Rec& r : records) {
    if (same_symbol(r.symbol, padded, symbol)) return &r;
  }
  return nullptr;
}

// The one symbol of both files (taken from the first file that has records, *taken_from);
// fails naming the file at fault: one that holds several, or one whose symbol differs from
// the other file's.
template <class Rec>
bool check_one_symbol(const RecordArray<Rec>& records, const std::string& path, std::string* symbol,
                      std::string* taken_from, std::string* error) {
  if (records.empty()) return true;
  if (symbol->empty()) {
    *symbol = symbol_text(records[0].symbol);
    *taken_from = path;
  }
  const PaddedSymbol padded(*symbol);
  for (const Rec& r : records) {
    if (same_symbol(r.symbol, padded, *symbol)) continue;
    if (*taken_from == path) {
      *error = "'" + path + "' holds records of several symbols (" + *symbol + ", " +
               symbol_text(r.symbol) + ", ...): choose one with --symbol";
    } else {
      *error = "'" + path + "' holds " + symbol_text(r.symbol) + " but '" + *taken_from +
               "' holds " + *symbol + ": choose one with --symbol";
    }
    return false;
  }
  return true;
}

// Snapshot receiver of the builder: writes each snapshot and moves the progress bar.
struct SnapshotSink {
  int32_t trading_day;
  RecordWriter* writer;  // NULL: no file
  const std::function<void(const _L2Snapshot&)>* hook;
  ProgressBar* bar;
  std::string label;
  _L2Snapshot* last;
  bool exchange_auction_view;
  double pre_close;
};

int on_snapshot(orderbook_builder* builder, const _L2Snapshot* snapshot, void* user_data) {
  auto* sink = static_cast<SnapshotSink*>(user_data);
  // The builder's book starts each day without static fields, so its snapshots carry trading
  // day 0; the replays select a day's ticks by that field, so the file gets the day rebuilt.
  *sink->last = *snapshot;
  if (sink->last->trading_day == 0) sink->last->trading_day = sink->trading_day;
  if (sink->exchange_auction_view) {
    qlverify::exchange_auction_view(orderbook_builder_get(builder), sink->last, sink->pre_close);
  }
  if (sink->writer != nullptr) sink->writer->write(sink->last);
  if (*sink->hook) (*sink->hook)(*sink->last);
  if (sink->bar != nullptr && sink->bar->active()) {
    const double ms = time2msec(snapshot->time);
    sink->bar->update((ms - kDayStartMs) / (kDayEndMs - kDayStartMs), sink->label);
  }
  return 0;
}

// Reads the job's files through the input layer; refused rows become notes and fail the job
// unless it is lenient.
bool read_job_files(const BookJob& job, RecordArray<_L2Order>* orders,
                    RecordArray<_L2Trade>* trades, DayInputs* files, BookResult* result) {
  DayFileRequest request;
  request.orders_path = job.orders_path;
  request.trades_path = job.trades_path;
  request.format_given = job.input_format_given;
  request.format = job.input_format;
  request.delimiter = job.delimiter;
  request.date = job.date;
  request.symbol = job.symbol;
  request.input = job.input;
  if (!read_day_files(request, orders, trades, files, &result->error)) return false;
  for (const std::string& line : files->refusals.lines()) result->notes.push_back(line);
  result->refused = files->refusals.total();
  if (result->refused > 0 && !job.input.lenient) {
    result->error = refused_rows_error(result->refused);
    return false;
  }
  result->input_note = layouts_note(*files);
  return true;
}

// Settles the order of the feed: the sequence file, else the files' sequence columns, else
// time (with a warning for Shanghai, whose days are exact only in the exchange's sequence);
// then reports records that go back in time, which fail the job unless it is lenient.
bool order_the_feed(const BookJob& job, const DayInputs& files, RecordArray<_L2Order>* orders,
                    RecordArray<_L2Trade>* trades, std::vector<const void*>* sequence,
                    BookResult* result) {
  if (sequence->empty() && job.sequence_path.empty() &&
      sequence_from_columns(files, *orders, *trades, sequence)) {
    result->input_note += std::string(result->input_note.empty() ? "" : ", ") +
                          (files.merged ? "in file order" : "merged by the sequence column");
  }
  if (sequence->empty() && job.sequence_path.empty() && result->exchange == "SH") {
    result->notes.push_back(
        "warning: Shanghai orders and trades without the exchange's sequence are merged by "
        "time, which is not exact; give files that carry BizIndex or ApplSeqNum (or a profile "
        "naming the sequence column: sequence = COLUMN), or --sequence FILE");
  }
  DayFileRequest request;
  request.orders_path = job.orders_path;
  request.trades_path = job.trades_path;
  const size_t back =
      check_times(request, files, orders, trades, sequence, job.input.lenient, &result->notes);
  if (back > 0 && !job.input.lenient) {
    result->error = group_digits(back) +
                    " records go back in time (see above): fix the files, or give --lenient to "
                    "rebuild them in time order";
    return false;
  }
  return true;
}

// Settles exchange, symbol and date from the job, or from the records when not given.
bool settle_instrument(const BookJob& job, RecordArray<_L2Order>* orders,
                       RecordArray<_L2Trade>* trades, BookResult* result) {
  std::string& error = result->error;
  std::string symbol = job.symbol;
  std::string taken_from;
  if (symbol.empty()) {
    if (!check_one_symbol(*orders, job.orders_path, &symbol, &taken_from, &error) ||
        !check_one_symbol(*trades, job.trades_path, &symbol, &taken_from, &error)) {
      return false;
    }
    if (symbol.empty()) {
      error = "'" + job.orders_path + "' and '" + job.trades_path + "' hold no records";
      return false;
    }
  } else if (job.sequence_path.empty()) {
    keep_symbol(orders, symbol);
    keep_symbol(trades, symbol);
  }
  result->symbol = symbol;

  // With a sequence the files keep every symbol's records (the sequence counts them all): the
  // exchange and date are those of the symbol's own first record.
  const _L2Order* first_order = first_of_symbol(*orders, symbol);
  const _L2Trade* first_trade = first_of_symbol(*trades, symbol);
  if (first_order == nullptr && first_trade == nullptr) {
    error = "'" + job.orders_path + "' and '" + job.trades_path + "' hold no records of " + symbol;
    return false;
  }
  const uint8_t record_exchange =
      first_order != nullptr ? first_order->exchange : first_trade->exchange;
  const int record_date =
      first_order != nullptr ? first_order->action_day : first_trade->action_day;

  int exchange = job.exchange.empty() ? record_exchange : exchange_int(job.exchange.c_str());
  if (exchange != 1 && exchange != 2) {
    error =
        job.exchange.empty()
            ? "the records carry no Shanghai or Shenzhen exchange code: give --exchange SH or SZ"
            : "--exchange: '" + job.exchange + "' is not Shanghai (SH) or Shenzhen (SZ)";
    return false;
  }
  if (job.exchange_named && (record_exchange == 1 || record_exchange == 2) &&
      record_exchange != exchange) {
    error = "'" + job.orders_path + "' and '" + job.trades_path + "' hold no records of " + symbol +
            "." + exchange_str(exchange) + " (those of " + symbol + " are of " +
            exchange_str(record_exchange) + ")";
    return false;
  }
  result->exchange = exchange_str(exchange);

  result->date = job.date != 0 ? job.date : record_date;
  if (!is_valid_date(result->date)) {
    error = "the first record's action_day (" + std::to_string(record_date) +
            ") is not a date: give --date YYYYMMDD";
    return false;
  }
  return true;
}

// The records in the order run2 feeds them: by time, and at equal times trades first in
// Shanghai, orders first in Shenzhen.
void merge_by_time(const RecordArray<_L2Order>& orders, const RecordArray<_L2Trade>& trades,
                   bool trades_first, std::vector<const void*>* feed) {
  feed->clear();
  feed->reserve(orders.size() + trades.size());
  size_t i = 0, j = 0;
  while (i < orders.size() || j < trades.size()) {
    const bool trade_next =
        j < trades.size() &&
        (i >= orders.size() ||
         (trades_first ? orders[i].time >= trades[j].time : orders[i].time > trades[j].time));
    if (trade_next) {
      feed->push_back(&trades[j++]);
    } else {
      feed->push_back(&orders[i++]);
    }
  }
}

bool has_own_side_best(const RecordArray<_L2Order>& orders) {
  return std::any_of(orders.begin(), orders.end(),
                     [](const _L2Order& o) { return o.order_type == 'U'; });
}

// Feeds the day record by record, pricing each own-side-best order (Shenzhen 'U', no price in
// the feed) at the best price of its own side as the book stands when it enters; one whose side
// is empty is refused (into *refused, with its file and line) and not fed. Returns the number
// of snapshots emitted, or the builder's negative result.
int32_t feed_pricing_own_best(orderbook_builder* builder, int32_t date,
                              const std::vector<const void*>& feed, const BookJob& job,
                              const BookBuffers& buffers, RefusalReport* refused) {
  int32_t r = orderbook_builder_begin(builder, date);
  if (r < 0) return r;
  orderbook* book = orderbook_builder_get(builder);
  for (const void* rec : feed) {
    if (rec == nullptr) continue;
    const auto* order = static_cast<const _L2Order*>(rec);
    if (order->type != QL_RECORD_L2ORDER || order->order_type != 'U') {
      orderbook_builder_feed(builder, rec);
      continue;
    }
    const bool buy = order->bs_flag == 'B';
    double best = 0;  // not &priced.price: the record is packed, its double unaligned
    if (orderbook_get_price_qty(book, buy ? -1 : 1, nullptr, &best)) {
      _L2Order priced = *order;
      priced.price = best;
      priced.order_type = '2';
      orderbook_builder_feed(builder, &priced);
      continue;
    }
    const size_t index = static_cast<size_t>(order - buffers.orders.data());
    const std::vector<uint32_t>& lines = buffers.inputs.order_lines();
    const long line = index < lines.size() ? lines[index] : 0;  // 0: a file without lines
    refused->add(job.orders_path, line, "own-side best order with its side empty",
                 (line == 0 ? "record " + std::to_string(index + 1) + ", " : std::string()) +
                     "order " + std::to_string(order->seq_num) + (buy ? " (buy)" : " (sell)") +
                     ": no " + (buy ? "bid" : "ask") + " in the book to take the price of");
  }
  return orderbook_builder_finish(builder);
}

}  // namespace

bool resolve_book_output(const BookJob& job, int date, std::string* path, FileFormat* format,
                         std::string* error) {
  if (!job.out_path.empty()) {
    *path = job.out_path;
    *format = job.output_format_given ? job.output_format : format_of_path(job.out_path);
    return true;
  }
  if (job.root.empty()) {
    *error = "no output: give --out FILE or --root DIR";
    return false;
  }
  struct stat st;
  if (stat(job.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "--root: '" + job.root + "' is not an existing directory";
    return false;
  }
  if (job.root.size() > static_cast<size_t>(KX::DataFileManager::kMaxRootLength)) {
    *error = "--root: the path is longer than " +
             std::to_string(KX::DataFileManager::kMaxRootLength) + " characters";
    return false;
  }
  *format = job.output_format_given ? job.output_format : FileFormat::Csv;
  const KX::DataFileManager files(job.root.c_str());
  char buf[4096];
  const int n = files.get_tick_filepath(buf, sizeof buf, date,
                                        *format == FileFormat::Csv ? KX::CSV : KX::BIN);
  if (n <= 0 || n >= static_cast<int>(sizeof buf) - 1) {
    *error = "--root: the tick file path under '" + job.root + "' is too long";
    return false;
  }
  *path = buf;
  return true;
}

bool load_book_day(const BookJob& job, BookBuffers* buffers, BookResult* result, ProgressBar* bar) {
  std::string& error = result->error;
  RecordArray<_L2Order>& orders = buffers->orders;
  RecordArray<_L2Trade>& trades = buffers->trades;
  std::vector<const void*>& sequence = buffers->sequence;
  if (bar != nullptr) bar->update(0, "reading " + job.orders_path);
  DayInputs& files = buffers->inputs;
  if (!read_job_files(job, &orders, &trades, &files, result)) return false;
  if (!settle_instrument(job, &orders, &trades, result)) return false;

  sequence.clear();
  if (!job.sequence_path.empty() &&
      !sequence_from_letters(job.sequence_path, job.orders_path, job.trades_path, orders, trades,
                             result->symbol, &sequence, &error)) {
    return false;
  }
  if (!order_the_feed(job, files, &orders, &trades, &sequence, result)) return false;
  if (orders.size() > INT32_MAX || trades.size() > INT32_MAX || sequence.size() > INT32_MAX) {
    error = "more than 2147483647 records in one file";
    return false;
  }
  return true;
}

bool run_book_job(const BookJob& job, BookResult* result, ProgressBar* bar, BookBuffers* buffers) {
  const auto start = std::chrono::steady_clock::now();
  *result = BookResult();
  std::string& error = result->error;

  BookBuffers own;
  if (buffers == nullptr) buffers = &own;
  RecordArray<_L2Order>& orders = buffers->orders;
  RecordArray<_L2Trade>& trades = buffers->trades;
  std::vector<const void*>& sequence = buffers->sequence;
  if (!load_book_day(job, buffers, result, bar)) return false;

  const bool to_file = !job.snapshot_hook || !job.out_path.empty() || !job.root.empty();
  FileFormat out_format = FileFormat::Csv;
  if (to_file && !resolve_book_output(job, result->date, &result->out_path, &out_format, &error)) {
    return false;
  }
  RecordWriter* writer = to_file ? &buffers->writer : nullptr;
  if (to_file &&
      !writer->open(result->out_path, RecordKind::Tick, out_format, job.delimiter, &error)) {
    return false;
  }

  orderbook_builder* builder =
      orderbook_builder_create(result->exchange.c_str(), result->symbol.c_str(), job.interval_ms);
  if (builder == nullptr) {
    error = "cannot create an order book builder";
    return false;
  }
  // The builder treats intervals of 10 ms or less as its default; the command asks for exactly
  // what it was given (checked by the caller).
  orderbook_builder_set_interval_ms(builder, job.interval_ms);
  if (!apply_schedule(builder, job.schedule)) {
    orderbook_builder_release(builder);
    error = "the order book builder refused the snapshot schedule";
    return false;
  }
  SnapshotSink sink{result->date,
                    writer,
                    &job.snapshot_hook,
                    bar,
                    "building " + result->symbol,
                    &result->last_snapshot,
                    job.exchange_auction_view,
                    job.pre_close};
  orderbook_builder_set_callback(builder, on_snapshot, &sink);
  int32_t emitted;
  RefusalReport unpriced;
  // Own-side-best orders are Shenzhen's; a Shanghai day is never scanned for them.
  if (result->exchange == "SZ" && has_own_side_best(orders)) {
    if (sequence.empty() && job.sequence_path.empty()) {
      merge_by_time(orders, trades, false, &sequence);
    }
    emitted = feed_pricing_own_best(builder, result->date, sequence, job, *buffers, &unpriced);
    for (const void* rec : sequence) {
      ++(*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER ? result->orders : result->trades);
    }
    result->orders -= unpriced.total();
  } else if (sequence.empty() && job.sequence_path.empty()) {
    emitted = orderbook_builder_run2(builder, result->date, orders.data(),
                                     static_cast<int32_t>(orders.size()), trades.data(),
                                     static_cast<int32_t>(trades.size()));
    result->orders = orders.size();
    result->trades = trades.size();
  } else {
    emitted = orderbook_builder_run3(builder, result->date, sequence.data(),
                                     static_cast<int32_t>(sequence.size()));
    for (const void* rec : sequence) {
      ++(*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER ? result->orders : result->trades);
    }
  }
  orderbook_builder_release(builder);
  if (bar != nullptr) bar->clear();
  if (emitted < 0) {
    std::string ignored;
    if (writer != nullptr) writer->close(&ignored);
    error = "the order book builder refused the run (result " + std::to_string(emitted) + ")";
    return false;
  }
  result->snapshots = emitted;
  if (writer != nullptr && !writer->close(&error)) return false;
  for (const std::string& line : unpriced.lines()) result->notes.push_back(line);
  result->refused += unpriced.total();
  if (unpriced.total() > 0 && !job.input.lenient) {
    const bool one = unpriced.total() == 1;
    error = group_digits(unpriced.total()) + " own-side best order" + (one ? " was" : "s were") +
            " refused (see above) and the snapshots written leave " + (one ? "it" : "them") +
            " out: give --lenient to accept that";
    return false;
  }
  result->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

const std::vector<OptionDef>& day_input_options() {
  static const std::vector<OptionDef> options = {
      {"--orders", "FILE", "order records (.csv, or binary _L2Order records)"},
      {"--trades", "FILE", "trade records (.csv, or binary _L2Trade records)"},
      {"--sequence", "FILE", "the exchange's sequence over both files: replay it exactly"},
      {"--exchange", "SH|SZ", "exchange rules of the book (default: the records')"},
      {"--symbol", "CODE", "instrument to rebuild (default: the files' only one)"},
      {"--date", "YYYYMMDD", "trading day (default: the first record's action_day)"},
      {"--interval-ms", "N", "snapshot interval in continuous trading (default 3000)"},
      {"--format", "csv|bin", "format of the input files (default: by their names)"},
      {"--delimiter", "C", "CSV field delimiter (default ',')"},
      {"--schedule", "events|grid:MS|trades:FILE",
       "snapshots after every event, as of every MS on the clock, or at the trade counts in FILE "
       "(default: the trading-hours rules)"},
      {"--auction-view", "book|exchange",
       "call-auction snapshots show the book (default) or the indicative match"},
      {"--pre-close", "PRICE", "previous close: Shenzhen's opening auction view needs it"},
      {"--profile", "NAME|FILE", "layout of CSV inputs: a built-in name or a profile file"},
      {"--map", "F=COL,...", "bind layout fields to columns (see 'quotelab columns')"},
      {"--values", "CODES", "value codes, e.g. side:1=B,2=S;type:10=D"},
      {"--lenient", nullptr,
       "rebuild without refused rows (still reported) and reorder records that go back in time"},
  };
  return options;
}

bool read_day_inputs(const Args& args, BookJob* job) {
  if (!args.get_int("--interval-ms", 1, 24 * 3600 * 1000, &job->interval_ms) ||
      !args.get_date("--date", &job->date) || !args.get_char("--delimiter", &job->delimiter) ||
      !parse_snapshot_options(args, &job->schedule, &job->exchange_auction_view, &job->pre_close)) {
    return false;
  }
  if (args.has("--format")) {
    job->input_format_given = true;
    if (!parse_format(args.get("--format"), &job->input_format)) {
      args.error("--format: '%s' is neither csv nor bin", args.get("--format"));
      return false;
    }
  }
  if (!args.has("--orders")) {
    args.error("give --orders FILE and --trades FILE");
    return false;
  }
  job->input.profile = args.get("--profile", "");
  job->input.map = args.get("--map", "");
  job->input.values = args.get("--values", "");
  job->input.lenient = args.has("--lenient");
  job->orders_path = args.get("--orders");
  job->trades_path = args.get("--trades", "");
  job->sequence_path = args.get("--sequence", "");
  return read_instrument(args, job);
}

bool read_instrument(const Args& args, BookJob* job) {
  job->exchange = args.get("--exchange", "");
  job->symbol = args.get("--symbol", "");
  // CODE.SH / CODE.SZ, as the summaries name instruments, gives the exchange too.
  const size_t dot = job->symbol.find('.');
  if (dot != std::string::npos) {
    const std::string suffix = job->symbol.substr(dot + 1);
    const int from_suffix = exchange_int(suffix.c_str());
    if (from_suffix != 1 && from_suffix != 2) {
      args.error("--symbol: '%s' is not CODE, CODE.SH or CODE.SZ", job->symbol.c_str());
      return false;
    }
    if (!job->exchange.empty() && exchange_int(job->exchange.c_str()) != from_suffix) {
      args.error("--symbol '%s' and --exchange %s name different exchanges", job->symbol.c_str(),
                 job->exchange.c_str());
      return false;
    }
    job->exchange = exchange_str(from_suffix);
    job->exchange_named = true;
    job->symbol.resize(dot);
  }
  if (!job->exchange.empty() && exchange_int(job->exchange.c_str()) != 1 &&
      exchange_int(job->exchange.c_str()) != 2) {
    args.error("--exchange: '%s' is not Shanghai (SH) or Shenzhen (SZ)", job->exchange.c_str());
    return false;
  }
  if (job->symbol.size() >= sizeof(_L2Order::symbol)) {
    args.error("--symbol: '%s' is longer than the 9 characters records hold", job->symbol.c_str());
    return false;
  }
  return true;
}

std::string describe_book_result(const BookResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f s", r.seconds);
  return r.symbol + "." + r.exchange + " " + std::to_string(r.date) +
         (r.input_note.empty() ? "" : " (" + r.input_note + ")") + ": " + group_digits(r.events()) +
         " events (" + group_digits(r.orders) + " orders, " + group_digits(r.trades) +
         " trades), " + group_digits(static_cast<uint64_t>(r.snapshots)) + " snapshots in " +
         seconds + " (" + rate_text(r.events(), r.seconds) + ") -> " + r.out_path;
}

}  // namespace qltool
