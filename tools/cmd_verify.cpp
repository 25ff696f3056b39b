// quotelab verify: rebuild a day's order book and check it against the exchange's own
// snapshots of that day.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "args.h"
#include "book_job.h"
#include "commands.h"
#include "quotelab/layout_reader.h"
#include "verify_day.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "verify",
    "--orders FILE --trades FILE --snapshots FILE [options]",
    "Rebuilds one instrument's order book over a trading day, from the same inputs as 'book',\n"
    "and checks every snapshot of --snapshots (the exchange's snapshot file in a layout\n"
    "'quotelab columns --profiles' knows, or quotelab's tick file, CSV or binary) against it: "
    "outside the call auctions a snapshot showing N trades must equal some book state\n"
    "between trade N and trade N+1; in the call auctions some state from the one that matched\n"
    "the snapshot before up to three seconds after its stamp. Equal means ten levels a side,\n"
    "price and quantity. Prints the coverage of each phase, the first snapshots not found\n"
    "(side by side with the nearest rebuilt state), and whether the closing statistics (trades,\n"
    "volume, turnover, open, high, low, last) equal the file's last snapshot. Exits 1 when the\n"
    "continuous-trading coverage is below --min-coverage or the closing statistics differ.",
    "quotelab verify --orders orders.csv --trades trades.csv --snapshots exchange_ticks.csv",
};

const OptionDef kOptions[] = {
    {"--orders", "FILE", "order records (.csv, or binary _L2Order records)"},
    {"--trades", "FILE", "trade records (.csv, or binary _L2Trade records)"},
    {"--sequence", "FILE", "the exchange's sequence over both files: replay it exactly"},
    {"--snapshots", "FILE", "the exchange's snapshots of the day (.csv, else binary ticks)"},
    {"--exchange", "SH|SZ", "exchange rules of the book (default: the records')"},
    {"--symbol", "CODE", "instrument to rebuild (default: the files' only one)"},
    {"--date", "YYYYMMDD", "trading day (default: the first record's action_day)"},
    {"--format", "csv|bin", "format of the order and trade files (default: by their names)"},
    {"--delimiter", "C", "CSV field delimiter (default ',')"},
    {"--profile", "NAME|FILE", "layout of CSV inputs: a built-in name or a profile file"},
    {"--map", "F=COL,...", "bind layout fields to columns (see 'quotelab columns')"},
    {"--values", "SPEC", "value codes, e.g. side:1=B,2=S;type:10=D"},
    {"--lenient", nullptr, "go on past rows that cannot be read (they are still reported)"},
    {"--auction-view", "book|exchange",
     "compare call-auction snapshots with the book (default) or its indicative match"},
    {"--pre-close", "PRICE",
     "previous close for Shenzhen's opening auction view (default: the snapshots')"},
    {"--min-coverage", "PERCENT", "continuous-trading coverage needed (default 99.9)"},
    {"--mismatches", "N", "snapshots not found to show (default 5)"},
};

// Snapshots of the symbol and day (those without a trading day count as the day's).
bool of_day(const _L2Snapshot& s, const std::string& symbol, int date) {
  return symbol.compare(0, std::string::npos, s.symbol, strnlen(s.symbol, sizeof s.symbol)) == 0 &&
         (s.trading_day == 0 || s.trading_day == date);
}

// An exchange snapshot file in a layout the layout reader knows, with the order counts of each
// level and the file's lines. Returns false when the file is in no such layout (*taken false),
// or when it is but cannot be read (*taken true, *error set).
bool read_exchange_snapshots(const std::string& path, char delimiter, const std::string& symbol,
                             int date, bool lenient, std::vector<qlverify::ReferenceSnapshot>* refs,
                             bool* taken, std::string* error) {
  KX::LayoutReader reader;
  reader.set_delimiter(delimiter);
  reader.set_symbol(symbol.c_str());
  reader.set_trading_day(date);
  *taken = reader.open(path.c_str()) == 0 && reader.content() == KX::LayoutContent::Snapshots;
  if (!*taken) return false;
  const int refused = reader.read();
  if (refused < 0 || (refused > 0 && !lenient)) {
    *error = refused < 0 ? reader.error()
                         : std::to_string(refused) + " rows of '" + path +
                               "' could not be read: fix the file, or give --lenient";
    for (const KX::LayoutRefusal& r : reader.refusals()) {
      report("verify", "'%s' line %ld: %s: %s", r.file.c_str(), r.line, r.reason.c_str(),
             r.detail.c_str());
    }
    return false;
  }
  for (size_t i = 0; i < reader.snapshots().size(); ++i) {
    if (!of_day(reader.snapshots()[i], symbol, date)) continue;
    qlverify::ReferenceSnapshot r;
    r.snapshot = reader.snapshots()[i];
    r.line = reader.snapshot_lines()[i];
    r.has_order_counts = true;
    std::memcpy(r.bid_orders, reader.snapshot_extras()[i].bid_orders, sizeof r.bid_orders);
    std::memcpy(r.ask_orders, reader.snapshot_extras()[i].ask_orders, sizeof r.ask_orders);
    refs->push_back(r);
  }
  return true;
}

// The reference snapshots of the symbol and day, in file order, with their lines: an exchange
// snapshot layout, else quotelab's own tick file.
bool read_references(const std::string& path, char delimiter, const std::string& symbol, int date,
                     bool lenient, std::vector<qlverify::ReferenceSnapshot>* refs,
                     std::string* error) {
  const FileFormat format = format_of_path(path);
  bool taken = false;
  if (format == FileFormat::Csv &&
      !read_exchange_snapshots(path, delimiter, symbol, date, lenient, refs, &taken, error) &&
      taken) {
    return false;
  }
  if (!taken) {
    RecordArray<_L2Snapshot> ticks;
    if (!read_records(path, format, delimiter, &ticks, error)) return false;
    refs->reserve(ticks.size());
    for (size_t i = 0; i < ticks.size(); ++i) {
      if (!of_day(ticks[i], symbol, date)) continue;
      qlverify::ReferenceSnapshot r;
      r.snapshot = ticks[i];
      // CSV rows follow their header line; binary records are counted from 1.
      r.line = static_cast<int64_t>(i) + (format == FileFormat::Csv ? 2 : 1);
      refs->push_back(r);
    }
  }
  if (refs->empty()) {
    *error = "'" + path + "' holds no snapshots of " + symbol + " on " + std::to_string(date);
    return false;
  }
  return true;
}

bool parse_percent(const Args& args, const char* name, double* out) {
  if (!args.has(name)) return true;
  char* end = nullptr;
  const double v = std::strtod(args.get(name), &end);
  if (*end != '\0' || !(v >= 0 && v <= 100)) {
    args.error("%s: '%s' is not a percentage from 0 to 100", name, args.get(name));
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

int run_verify(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;

  BookJob job;
  qlverify::VerifyOptions options;
  double min_coverage = 99.9;
  int mismatches = 5;
  if (!args.get_date("--date", &job.date) || !args.get_char("--delimiter", &job.delimiter) ||
      !args.get_int("--mismatches", 0, 1000, &mismatches) ||
      !parse_percent(args, "--min-coverage", &min_coverage) ||
      !parse_snapshot_options(args, &job.schedule, &options.exchange_auction_view,
                              &options.pre_close)) {
    return kExitUsage;
  }
  options.mismatches_kept = static_cast<size_t>(mismatches);
  if (args.has("--format")) {
    job.input_format_given = true;
    if (!parse_format(args.get("--format"), &job.input_format)) {
      args.error("--format: '%s' is neither csv nor bin", args.get("--format"));
      return kExitUsage;
    }
  }
  if (!args.has("--orders") || !args.has("--trades") || !args.has("--snapshots")) {
    args.error("give --orders FILE, --trades FILE and --snapshots FILE");
    return kExitUsage;
  }
  job.orders_path = args.get("--orders");
  job.trades_path = args.get("--trades");
  job.sequence_path = args.get("--sequence", "");
  job.exchange = args.get("--exchange", "");
  job.symbol = args.get("--symbol", "");
  job.input.profile = args.get("--profile", "");
  job.input.map = args.get("--map", "");
  job.input.values = args.get("--values", "");
  job.input.lenient = args.has("--lenient");

  const auto start = std::chrono::steady_clock::now();
  BookBuffers buffers;
  BookResult loaded;
  const bool loaded_ok = load_book_day(job, &buffers, &loaded, nullptr);
  for (const std::string& note : loaded.notes) args.error("%s", note.c_str());
  if (!loaded_ok) {
    args.error("%s", loaded.error.c_str());
    return kExitFailure;
  }
  std::vector<qlverify::ReferenceSnapshot> refs;
  std::string error;
  if (!read_references(args.get("--snapshots"), job.delimiter, loaded.symbol, loaded.date,
                       job.input.lenient, &refs, &error)) {
    args.error("--snapshots: %s", error.c_str());
    return kExitFailure;
  }

  qlverify::DayInput day;
  day.exchange = loaded.exchange;
  day.symbol = loaded.symbol;
  day.date = loaded.date;
  if (job.sequence_path.empty()) {
    day.orders = buffers.orders.data();
    day.order_count = static_cast<int32_t>(buffers.orders.size());
    day.trades = buffers.trades.data();
    day.trade_count = static_cast<int32_t>(buffers.trades.size());
  } else {
    day.sequence = buffers.sequence.data();
    day.sequence_count = static_cast<int32_t>(buffers.sequence.size());
  }
  qlverify::VerifyReport report;
  if (!qlverify::verify_day(day, refs, options, &report, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s.%s %d: %s events, %s snapshots checked in %.3f s\n", loaded.symbol.c_str(),
              loaded.exchange.c_str(), loaded.date,
              group_digits(static_cast<uint64_t>(report.events)).c_str(),
              group_digits(refs.size()).c_str(), seconds);
  std::fputs(qlverify::format_report(report, refs).c_str(), stdout);

  const double continuous = report.coverage[qlverify::kContinuousTrading].percent();
  bool ok = report.closing_equal;
  if (continuous < min_coverage) {
    std::printf("continuous-trading coverage %.2f%% is below %.2f%%\n", continuous, min_coverage);
    ok = false;
  }
  return ok ? kExitOk : kExitFailure;
}

}  // namespace qltool
