// quotelab book: rebuild a day's order book from order and trade files into snapshots; with
// --manifest, many such days on several threads.
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "args.h"
#include "book_job.h"
#include "commands.h"
#include "quotelab/layout_reader.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "book",
    "--orders FILE --trades FILE (--out FILE | --root DIR) [options]\n"
    "       quotelab book --manifest FILE [--jobs N] [--root DIR] [options]",
    "Rebuilds one instrument's Level-2 order book over a trading day from its order and trade\n"
    "records (CSV files read through the column detection of DataCsvReader, or binary record\n"
    "files; told apart by the .csv extension or --format) with orderbook_builder_run2, and\n"
    "writes the snapshots it emits (an opening one, one every --interval-ms during continuous\n"
    "trading, a final one) as CSV with a header row or as a binary tick file: to --out, or\n"
    "into ROOT/YYYYMMDD/tick.csv (tick.dat) under --root. Exchange, symbol and date default\n"
    "to those of the records. With --sequence (see 'quotelab simulate --sequence-out') the\n"
    "records are fed in the exchange's own order (orderbook_builder_run3): the exact way to\n"
    "rebuild Shanghai days.\n"
    "\n"
    "CSV inputs in an exchange's or vendor's own layout (see 'quotelab columns --profiles') are\n"
    "detected from their header; when both files carry the exchange's sequence (BizIndex,\n"
    "ApplSeqNum) the records are merged by it and fed with orderbook_builder_run3, and a merged\n"
    "tick-by-tick file needs no --trades. Rows that cannot be read are reported with file,\n"
    "line and reason and fail the command unless --lenient.\n"
    "\n"
    "A manifest lists one job per line: EXCHANGE SYMBOL DATE ORDERS TRADES [OUT]\n"
    "[profile=FILE] [sequence=FILE], separated by blanks or commas ('-' for TRADES beside a\n"
    "merged file); '#' starts a comment. Relative paths are taken from the manifest's\n"
    "directory; jobs without OUT go under --root. --jobs N runs N jobs at a time, each on its\n"
    "own thread with its own builder; a failing job is reported and the others go on.",
    "quotelab book --orders orders.csv --trades trades.csv --out ticks.csv",
};

const OptionDef kOptions[] = {
    {"--orders", "FILE", "order records (.csv, or binary _L2Order records)"},
    {"--trades", "FILE", "trade records (.csv, or binary _L2Trade records)"},
    {"--sequence", "FILE", "the exchange's sequence over both files: replay it exactly"},
    {"--exchange", "SH|SZ", "exchange rules of the book (default: the records')"},
    {"--symbol", "CODE", "instrument to rebuild (default: the files' only one)"},
    {"--date", "YYYYMMDD", "trading day (default: the first record's action_day)"},
    {"--interval-ms", "N", "snapshot interval in continuous trading (default 3000)"},
    {"--schedule", "events|grid:MS|trades:FILE",
     "snapshots after every event, as of every MS on the clock, or at the trade counts in FILE "
     "(default: the trading-hours rules)"},
    {"--auction-view", "book|exchange",
     "call-auction snapshots show the book (default) or the indicative match as the exchange "
     "does"},
    {"--pre-close", "PRICE", "previous close: Shenzhen's opening auction view needs it"},
    {"--out", "FILE", "snapshot file (.csv, else binary)"},
    {"--root", "DIR", "write ROOT/YYYYMMDD/tick.csv (or tick.dat) instead"},
    {"--out-format", "csv|bin", "snapshot file format (default: by --out's name; csv)"},
    {"--format", "csv|bin", "format of the input files (default: by their names)"},
    {"--delimiter", "C", "CSV field delimiter (default ',')"},
    {"--manifest", "FILE", "rebuild every job listed in FILE"},
    {"--jobs", "N", "jobs of a manifest run at once, one thread each (default 1)"},
    {"--profile", "NAME|FILE", "layout of CSV inputs: a built-in name or a profile file"},
    {"--map", "F=COL,...", "bind layout fields to columns (see 'quotelab columns')"},
    {"--values", "SPEC", "value codes, e.g. side:1=B,2=S;type:10=D"},
    {"--lenient", nullptr,
     "rebuild without refused rows (still reported) and reorder records "
     "that go back in time"},
    {"--quiet", nullptr, "no progress bar"},
};

struct ManifestJob {
  int line = 0;
  BookJob job;
};

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string relative_to(const std::string& dir, const std::string& path) {
  return path.empty() || path[0] == '/' ? path : dir + path;
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

// Takes the key=value fields of a manifest line (profile=FILE, sequence=FILE) out of *fields
// into the job. False after reporting an unknown key.
bool take_manifest_options(const Args& args, const std::string& path, int line_no,
                           const std::string& dir, std::vector<std::string>* fields, BookJob* job) {
  std::vector<std::string> rest;
  for (const std::string& f : *fields) {
    const size_t eq = f.find('=');
    if (eq == std::string::npos) {
      rest.push_back(f);
      continue;
    }
    const std::string key = f.substr(0, eq), value = f.substr(eq + 1);
    if (key == "profile") {
      // A built-in layout name stays a name; anything else is a file beside the manifest.
      KX::LayoutReader probe;
      job->input.profile = probe.use_layout(value.c_str()) == 0 ? value : relative_to(dir, value);
    } else if (key == "sequence") {
      job->sequence_path = relative_to(dir, value);
    } else {
      args.error("%s line %d: unknown option '%s' (profile=FILE or sequence=FILE)", path.c_str(),
                 line_no, key.c_str());
      return false;
    }
  }
  *fields = rest;
  return true;
}

// Reads the manifest into jobs built on `base` (the options shared by every job) and settles
// each job's output file, refusing two jobs that would write the same one.
bool read_manifest(const Args& args, const std::string& path, const BookJob& base,
                   std::vector<ManifestJob>* jobs) {
  std::string text, error;
  if (!read_whole_file(path, &text, &error)) {
    args.error("--manifest: %s", error.c_str());
    return false;
  }
  const std::string dir = directory_of(path);
  size_t pos = 0;
  for (int line_no = 1; pos < text.size(); ++line_no) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::vector<std::string> f = split_fields(line);
    if (f.empty()) continue;
    ManifestJob mj;
    mj.line = line_no;
    mj.job = base;
    if (!take_manifest_options(args, path, line_no, dir, &f, &mj.job)) return false;
    if (f.size() != 5 && f.size() != 6) {
      args.error("%s line %d: expected EXCHANGE SYMBOL DATE ORDERS TRADES [OUT], found %zu fields",
                 path.c_str(), line_no, f.size());
      return false;
    }
    mj.job.exchange = f[0];
    mj.job.symbol = f[1];
    char* date_end = nullptr;
    const long date = std::strtol(f[2].c_str(), &date_end, 10);
    if (*date_end != '\0' || !is_valid_date(date)) {
      args.error("%s line %d: '%s' is not a date YYYYMMDD", path.c_str(), line_no, f[2].c_str());
      return false;
    }
    mj.job.date = static_cast<int>(date);
    const int ex = exchange_int(f[0].c_str());
    if (ex != 1 && ex != 2) {
      args.error("%s line %d: '%s' is not Shanghai (SH) or Shenzhen (SZ)", path.c_str(), line_no,
                 f[0].c_str());
      return false;
    }
    mj.job.orders_path = relative_to(dir, f[3]);
    mj.job.trades_path = f[4] == "-" ? "" : relative_to(dir, f[4]);
    if (f.size() == 6) mj.job.out_path = relative_to(dir, f[5]);
    FileFormat format;
    std::string out;
    if (!resolve_book_output(mj.job, mj.job.date, &out, &format, &error)) {
      args.error("%s line %d: %s", path.c_str(), line_no, error.c_str());
      return false;
    }
    mj.job.out_path = out;
    mj.job.output_format_given = true;
    mj.job.output_format = format;
    for (const ManifestJob& other : *jobs) {
      if (other.job.out_path == out) {
        args.error("%s lines %d and %d both write '%s' (give each job its own OUT)", path.c_str(),
                   other.line, line_no, out.c_str());
        return false;
      }
    }
    jobs->push_back(mj);
  }
  if (jobs->empty()) {
    args.error("--manifest: '%s' lists no jobs", path.c_str());
    return false;
  }
  return true;
}

int run_manifest(const Args& args, const BookJob& base, int threads, bool quiet) {
  std::vector<ManifestJob> jobs;
  if (!read_manifest(args, args.get("--manifest"), base, &jobs)) return kExitUsage;
  if (threads > static_cast<int>(jobs.size())) threads = static_cast<int>(jobs.size());

  const auto start = std::chrono::steady_clock::now();
  std::vector<BookResult> results(jobs.size());
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::mutex print_mutex;
  ProgressBar bar(!quiet);
  // A plain work queue: each worker takes the next job until none is left.
  auto worker = [&]() {
    BookBuffers buffers;
    for (size_t i = next++; i < jobs.size(); i = next++) {
      const bool ok = run_book_job(jobs[i].job, &results[i], nullptr, &buffers);
      const size_t finished = ++done;
      {
        std::lock_guard<std::mutex> lock(print_mutex);
        bar.clear();
        for (const std::string& note : results[i].notes) {
          report("book", "job %zu (manifest line %d): %s", i + 1, jobs[i].line, note.c_str());
        }
        if (ok) {
          std::printf("job %zu (line %d): %s\n", i + 1, jobs[i].line,
                      describe_book_result(results[i]).c_str());
          std::fflush(stdout);
        } else {
          report("book", "job %zu (manifest line %d) failed: %s", i + 1, jobs[i].line,
                 results[i].error.c_str());
        }
      }
      bar.update(static_cast<double>(finished) / jobs.size(),
                 std::to_string(finished) + "/" + std::to_string(jobs.size()) + " jobs");
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  bar.clear();

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  size_t failed = 0, events = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!results[i].error.empty()) ++failed;
    events += results[i].events();
  }
  std::printf("manifest: %zu jobs on %d thread%s, %zu failed: %s events in %.3f s (%s)\n",
              jobs.size(), threads, threads == 1 ? "" : "s", failed, group_digits(events).c_str(),
              seconds, rate_text(events, seconds).c_str());
  return failed == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int run_book(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;

  BookJob job;
  int threads = 1;
  if (!args.get_int("--interval-ms", 1, 24 * 3600 * 1000, &job.interval_ms) ||
      !args.get_int("--jobs", 1, 256, &threads) || !args.get_date("--date", &job.date) ||
      !args.get_char("--delimiter", &job.delimiter)) {
    return kExitUsage;
  }
  if (args.has("--format")) {
    job.input_format_given = true;
    if (!parse_format(args.get("--format"), &job.input_format)) {
      args.error("--format: '%s' is neither csv nor bin", args.get("--format"));
      return kExitUsage;
    }
  }
  if (args.has("--out-format")) {
    job.output_format_given = true;
    if (!parse_format(args.get("--out-format"), &job.output_format)) {
      args.error("--out-format: '%s' is neither csv nor bin", args.get("--out-format"));
      return kExitUsage;
    }
  }
  if (args.has("--out") && args.has("--root")) {
    args.error("give --out or --root, not both");
    return kExitUsage;
  }
  if (!parse_snapshot_options(args, &job.schedule, &job.exchange_auction_view, &job.pre_close)) {
    return kExitUsage;
  }
  job.root = args.get("--root", "");
  job.input.profile = args.get("--profile", "");
  job.input.map = args.get("--map", "");
  job.input.values = args.get("--values", "");
  job.input.lenient = args.has("--lenient");
  const bool quiet = args.has("--quiet");

  if (args.has("--manifest")) {
    for (const char* single :
         {"--orders", "--trades", "--sequence", "--exchange", "--symbol", "--date", "--out"}) {
      if (args.has(single)) {
        args.error("%s belongs to a single job; a manifest names each job's own", single);
        return kExitUsage;
      }
    }
    return run_manifest(args, job, threads, quiet);
  }
  if (args.has("--jobs")) {
    args.error("--jobs needs --manifest");
    return kExitUsage;
  }
  if (!args.has("--orders")) {
    args.error("give --orders FILE and --trades FILE (or --manifest FILE)");
    return kExitUsage;
  }
  if (!args.has("--out") && !args.has("--root")) {
    args.error("give --out FILE or --root DIR for the snapshots");
    return kExitUsage;
  }
  job.orders_path = args.get("--orders");
  job.trades_path = args.get("--trades", "");
  job.sequence_path = args.get("--sequence", "");
  job.exchange = args.get("--exchange", "");
  job.symbol = args.get("--symbol", "");
  job.out_path = args.get("--out", "");
  if (!job.exchange.empty() && exchange_int(job.exchange.c_str()) != 1 &&
      exchange_int(job.exchange.c_str()) != 2) {
    args.error("--exchange: '%s' is not Shanghai (SH) or Shenzhen (SZ)", job.exchange.c_str());
    return kExitUsage;
  }
  if (job.symbol.size() >= sizeof(_L2Order::symbol)) {
    args.error("--symbol: '%s' is longer than the 9 characters records hold", job.symbol.c_str());
    return kExitUsage;
  }

  ProgressBar bar(!quiet);
  BookResult result;
  const bool ok = run_book_job(job, &result, &bar);
  for (const std::string& note : result.notes) args.error("%s", note.c_str());
  if (!ok) {
    args.error("%s", result.error.c_str());
    return kExitFailure;
  }
  std::printf("%s\n", describe_book_result(result).c_str());
  return kExitOk;
}

}  // namespace qltool
