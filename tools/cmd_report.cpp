// quotelab report: rebuild a day as `book` does and draw it as one self-contained HTML page,
// checked against a snapshot file when one is given.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "book_job.h"
#include "commands.h"
#include "record_io.h"
#include "report_check.h"
#include "report_html.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "report",
    "--orders FILE --trades FILE --out FILE.html [--snapshots FILE] [options]",
    "Rebuilds one instrument's day exactly as 'quotelab book' does (same inputs and options)\n"
    "and writes one self-contained HTML page of it: the last price over the best bid/ask band\n"
    "with the call auctions shaded, the spread, a depth heat map of the ten levels a side and\n"
    "the volume per minute. With --snapshots each snapshot of that file (quotelab's tick CSV\n"
    "or a binary tick file) is looked for among the rebuilt ones around its time: the page\n"
    "then shows the coverage per phase, marks the mismatches on the time axis and lists the\n"
    "first ones level by level. The page needs no network and opens in any browser.",
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

// Reads the snapshots of `symbol` from the file the day is checked against.
bool read_check_file(const std::string& path, char delimiter, const std::string& symbol,
                     std::unique_ptr<SnapshotCheck>* check, std::string* error) {
  const FileFormat format = format_of_path(path);
  RecordArray<_L2Snapshot> records;
  if (!read_records(path, format, delimiter, &records, error)) return false;
  std::vector<_L2Snapshot> file;
  std::vector<size_t> lines;
  // A CSV file's first snapshot is on line 2, under the header; a binary one counts records.
  const size_t first = format == FileFormat::Csv ? 2 : 1;
  for (size_t i = 0; i < records.size(); ++i) {
    if (std::strncmp(records[i].symbol, symbol.c_str(), sizeof records[i].symbol) != 0) continue;
    file.push_back(records[i]);
    lines.push_back(first + i);
  }
  if (file.empty()) {
    *error = "--snapshots: '" + path + "' holds no snapshots of " + symbol;
    return false;
  }
  check->reset(new SnapshotCheck(std::move(file), std::move(lines), path,
                                 format == FileFormat::Csv ? "line" : "record"));
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
                group_digits(total).c_str(), total == 0 ? 0.0 : 100.0 * matched / total);
  return buf;
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
  // The check needs the symbol, which the rebuild settles: the file is read on the first
  // snapshot, before the builder goes on.
  ReportSeries series;
  std::unique_ptr<SnapshotCheck> check;
  std::string check_error;
  const std::string check_path = args.get("--snapshots", "");
  BookResult result;
  job.snapshot_hook = [&](const _L2Snapshot& s) {
    series.add(s);
    if (check_path.empty() || !check_error.empty()) return;
    if (check == nullptr) {
      const std::string symbol(s.symbol, strnlen(s.symbol, sizeof s.symbol));
      if (!read_check_file(check_path, job.delimiter, symbol, &check, &check_error)) return;
    }
    check->add_rebuilt(s);
  };

  ProgressBar bar(!args.has("--quiet"));
  if (!run_book_job(job, &result, &bar)) {
    args.error("%s", result.error.c_str());
    return kExitFailure;
  }
  if (!check_error.empty()) {
    args.error("%s", check_error.c_str());
    return kExitFailure;
  }
  const DayCheck* day_check = check != nullptr ? &check->finish() : nullptr;
  ReportHeading heading;
  heading.title = result.symbol + "." + result.exchange + " " + std::to_string(result.date);
  heading.source = "rebuilt from " + job.orders_path + " and " + job.trades_path +
                   (job.sequence_path.empty() ? "" : " in the order of " + job.sequence_path) +
                   ": " + group_digits(result.events()) + " events, " +
                   group_digits(series.seen()) + " snapshots (every " +
                   std::to_string(job.interval_ms) + " ms of continuous trading)";
  const std::string page = render_report_html(series.kept(), heading, day_check);
  const std::string out = args.get("--out");
  std::string error;
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
