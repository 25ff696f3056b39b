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
#include "verify_day.h"
#include "verify_input.h"

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
    {"--values", "CODES", "value codes, e.g. side:1=B,2=S;type:10=D"},
    {"--lenient", nullptr, "go on past rows that cannot be read (they are still reported)"},
    {"--auction-view", "book|exchange",
     "compare call-auction snapshots with the book (default) or its indicative match"},
    {"--pre-close", "PRICE",
     "previous close for Shenzhen's opening auction view (default: the snapshots')"},
    {"--min-coverage", "PERCENT", "continuous-trading coverage needed (default 99.9)"},
    {"--mismatches", "N", "snapshots not found to show (default 5)"},
};

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

// What the options ask for.
struct VerifyRequest {
  BookJob job;
  qlverify::VerifyOptions options;
  double min_coverage = 99.9;
  std::string snapshots;
};

// Reads and checks the options. Returns kExitOk, or kExitUsage with the message printed.
int check_options(const Args& args, VerifyRequest* r) {
  BookJob& job = r->job;
  int mismatches = 5;
  if (!args.get_date("--date", &job.date) || !args.get_char("--delimiter", &job.delimiter) ||
      !args.get_int("--mismatches", 0, 1000, &mismatches) ||
      !parse_percent(args, "--min-coverage", &r->min_coverage) ||
      !parse_snapshot_options(args, &job.schedule, &r->options.exchange_auction_view,
                              &r->options.pre_close)) {
    return kExitUsage;
  }
  r->options.mismatches_kept = static_cast<size_t>(mismatches);
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
  r->snapshots = args.get("--snapshots");
  return kExitOk;
}

// What a checked day gives.
struct Checked {
  BookResult loaded;
  std::vector<qlverify::ReferenceSnapshot> refs;
  qlverify::VerifyReport report;
  double seconds = 0;
};

// Loads the day, reads the exchange's snapshots and checks the rebuilt book against them.
// Returns false (message printed) when any of it cannot be done.
bool check_day(const Args& args, const VerifyRequest& r, Checked* out) {
  const auto start = std::chrono::steady_clock::now();
  BookBuffers buffers;
  const bool loaded_ok = load_book_day(r.job, &buffers, &out->loaded, nullptr);
  for (const std::string& note : out->loaded.notes) args.error("%s", note.c_str());
  if (!loaded_ok) {
    args.error("%s", out->loaded.error.c_str());
    return false;
  }
  std::string error;
  if (!read_references(r.snapshots, r.job.delimiter, out->loaded.symbol, out->loaded.date,
                       r.job.input.lenient, &out->refs, &error)) {
    args.error("--snapshots: %s", error.c_str());
    return false;
  }
  const qlverify::DayInput day = day_input_of(r.job, buffers, out->loaded);
  if (!qlverify::verify_day(day, out->refs, r.options, &out->report, &error)) {
    args.error("%s", error.c_str());
    return false;
  }
  out->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

// Prints the report. Returns whether the day passes: the closing snapshots equal and the
// continuous session covered at least as asked.
bool report(const VerifyRequest& r, const Checked& c) {
  std::printf("%s.%s %d: %s events, %s snapshots checked in %.3f s\n", c.loaded.symbol.c_str(),
              c.loaded.exchange.c_str(), c.loaded.date,
              group_digits(static_cast<uint64_t>(c.report.events)).c_str(),
              group_digits(c.refs.size()).c_str(), c.seconds);
  std::fputs(qlverify::format_report(c.report, c.refs).c_str(), stdout);
  const double continuous = c.report.coverage[qlverify::kContinuousTrading].percent();
  bool ok = c.report.closing_equal;
  if (continuous < r.min_coverage) {
    std::printf("continuous-trading coverage %.2f%% is below %.2f%%\n", continuous, r.min_coverage);
    ok = false;
  }
  return ok;
}

}  // namespace

int run_verify(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  VerifyRequest request;
  const int refused = check_options(args, &request);
  if (refused != kExitOk) return refused;
  Checked checked;
  if (!check_day(args, request, &checked)) return kExitFailure;
  return report(request, checked) ? kExitOk : kExitFailure;
}

}  // namespace qltool
