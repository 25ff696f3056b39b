// quotelab report: rebuild a day as `book` does and draw it as one self-contained HTML page,
// checked against a snapshot file when one is given.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "book_job.h"
#include "commands.h"
#include "record_io.h"
#include "report_check.h"
#include "report_html.h"
#include "verify_input.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "report",
    "--orders FILE --trades FILE --out FILE.html [--snapshots FILE] [options]",
    "Rebuilds one instrument's day exactly as 'quotelab book' does (same inputs and options)\n"
    "and writes one self-contained HTML page of it: the last price over the best bid/ask band\n"
    "with the call auctions shaded, the spread, a depth heat map of the ten levels a side and\n"
    "the volume per minute. With --snapshots the day is also checked against that file\n"
    "(quotelab's tick CSV or a binary tick file) as 'quotelab verify' checks it: the page then\n"
    "shows the coverage per phase and the closing statistics, marks the mismatches on the time\n"
    "axis and lists the first ones level by level. The page needs no network and opens in any\n"
    "browser.",
    "quotelab report --orders orders.dat --trades trades.dat --out day.html",
};

// The day's inputs as `book` takes them, then the page's own.
const std::vector<OptionDef>& options() {
  static const std::vector<OptionDef> all = [] {
    std::vector<OptionDef> o = day_input_options();
    o.push_back({"--snapshots", "FILE", "snapshots to check the day against (.csv, else binary)"});
    o.push_back({"--out", "FILE", "the HTML page to write"});
    o.push_back({"--quiet", nullptr, "no progress bar"});
    return o;
  }();
  return all;
}

bool write_text(const std::string& path, const std::string& text, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (!(std::fclose(f) == 0 && written)) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

// Checks the day loaded in `buffers` against the snapshot file, as `verify` does.
bool check_day(const BookJob& job, const BookBuffers& buffers, const BookResult& loaded,
               const std::string& path, DayCheck* check, std::string* error) {
  std::vector<qlverify::ReferenceSnapshot> refs;
  if (!read_references(path, job.delimiter, loaded.symbol, loaded.date, job.input.lenient, &refs,
                       error)) {
    *error = "--snapshots: " + *error;
    return false;
  }
  qlverify::VerifyOptions options;
  options.exchange_auction_view = job.exchange_auction_view;
  options.pre_close = job.pre_close;
  // Every mismatch is marked on the time axis, up to a bound on the memory they take.
  options.mismatches_kept = std::min<size_t>(refs.size(), 100000);
  qlverify::VerifyReport report;
  if (!qlverify::verify_day(day_input_of(job, buffers, loaded), refs, options, &report, error)) {
    return false;
  }
  *check =
      day_check_of(report, refs, path, format_of_path(path) == FileFormat::Csv ? "line" : "record");
  return true;
}

std::string coverage_text(const DayCheck& check) {
  size_t matched = 0, total = 0;
  for (const CheckPhase& p : check.phases) {
    matched += p.matched;
    total += p.total;
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, ", check %s/%s (%.2f%%)", group_digits(matched).c_str(),
                group_digits(total).c_str(), qlverify::Coverage{matched, total}.percent());
  return buf;
}

// The page's heading: the instrument and day, and where the snapshots came from.
ReportHeading heading_of(const Args& args, const BookJob& job, const BookResult& result,
                         const ReportSeries& series) {
  ReportHeading heading;
  heading.title = result.symbol + "." + result.exchange + " " + std::to_string(result.date);
  heading.source = "rebuilt from " + job.orders_path +
                   (job.trades_path.empty() ? "" : " and " + job.trades_path) +
                   (result.input_note.empty() ? "" : " (" + result.input_note + ")") +
                   (job.sequence_path.empty() ? "" : " in the order of " + job.sequence_path) +
                   ": " + group_digits(result.events()) + " events, " +
                   group_digits(series.seen()) + " snapshots " +
                   (args.has("--schedule")
                        ? std::string("on the schedule ") + args.get("--schedule")
                        : "every " + std::to_string(job.interval_ms) + " ms of continuous trading");
  return heading;
}

}  // namespace

int run_report(int argc, char** argv) {
  Args args(kHelp, options().data(), options().size());
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  BookJob job;
  if (!read_day_inputs(args, &job)) return kExitUsage;
  if (!args.has("--out")) {
    args.error("give --out FILE.html for the page");
    return kExitUsage;
  }
  ReportSeries series;
  job.snapshot_hook = [&series](const _L2Snapshot& s) { series.add(s); };
  ProgressBar bar(!args.has("--quiet"));
  BookBuffers buffers;  // the day stays loaded for the check
  BookResult result;
  if (!run_book_job(job, &result, &bar, &buffers)) {
    args.error("%s", result.error.c_str());
    return kExitFailure;
  }
  DayCheck check;
  std::string error;
  const bool checked = args.has("--snapshots");
  if (checked && !check_day(job, buffers, result, args.get("--snapshots"), &check, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  const DayCheck* day_check = checked ? &check : nullptr;
  const std::string page =
      render_report_html(series.kept(), heading_of(args, job, result, series), day_check);
  const std::string out = args.get("--out");
  if (!write_text(out, page, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  std::printf("%s %d: %s snapshots%s -> %s (%zu KB)\n",
              (result.symbol + "." + result.exchange).c_str(), result.date,
              group_digits(series.seen()).c_str(),
              day_check != nullptr ? coverage_text(*day_check).c_str() : "", out.c_str(),
              (page.size() + 1023) / 1024);
  return kExitOk;
}

}  // namespace qltool
