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
#include "manifest.h"
#include "market_day.h"
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
    "[profile=NAME|FILE] [sequence=FILE], separated by blanks or commas ('-' for TRADES beside\n"
    "a merged file); '#' starts a comment. Relative paths are taken from the manifest's\n"
    "directory; jobs without OUT go under --root. '* *' for exchange and symbol makes a line a\n"
    "whole-market day (as --market). --jobs N runs N jobs at a time, each on its own thread\n"
    "with its own builder; a failing job is reported and the others go on.\n"
    "\n"
    "--market: the files hold every symbol of a day. Each record goes to its symbol's book\n"
    "in the exchange's sequence (--sequence, else the records' time, symbol and sequence\n"
    "numbers), and the snapshots of every symbol go to one day file, in time order across\n"
    "symbols (ties in symbol order). --jobs N shares the symbols among N threads; --shard K/N\n"
    "rebuilds the K-th of N shards into a part file beside the day file, which 'quotelab\n"
    "merge' joins; the day file is the same byte for byte however it was split.",
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
    {"--jobs", "N", "threads: manifest jobs at once, or --market symbol shares (default 1)"},
    {"--profile", "NAME|FILE", "layout of CSV inputs: a built-in name or a profile file"},
    {"--map", "F=COL,...", "bind layout fields to columns (see 'quotelab columns')"},
    {"--values", "CODES", "value codes, e.g. side:1=B,2=S;type:10=D"},
    {"--lenient", nullptr,
     "rebuild without refused rows (still reported) and reorder records "
     "that go back in time"},
    {"--quiet", nullptr, "no progress bar"},
    {"--market", nullptr, "the files hold the whole market's day: rebuild every symbol"},
    {"--symbols", "LIST|FILE", "with --market: only these symbols (CODE or CODE.SH/.SZ)"},
    {"--shard", "K/N", "--market or --manifest: only the K-th of N shards (part files)"},
    {"--summary", "FILE", "with --market: per-symbol counts as CSV"},
    {"--hold", "N",
     "with --market: snapshots held in memory before they are put aside in a temporary file "
     "(default 524288, some 240 MB)"},
};

// One whole-market line of a manifest; reports as a failing job does.
bool run_manifest_market(const ManifestJob& mj, int threads, int shard, int shards, bool quiet) {
  MarketJob job = market_job_of(mj.job);
  job.threads = threads;
  job.shard = shard;
  job.shards = shards;
  MarketResult result;
  ProgressBar bar(!quiet);
  if (!mj.profile.empty()) job.files.input.profile = mj.profile;
  if (job.schedule.kind == ORDERBOOK_SCHEDULE_TRADES || mj.job.exchange_auction_view) {
    result.error = "--schedule trades:FILE and --auction-view belong to one-symbol days";
  } else {
    const bool ok = run_market_day(job, &result, &bar);
    for (const std::string& line : result.refusals) report("book", "%s", line.c_str());
    if (ok) {
      std::printf("market (line %d): %s\n", mj.line, describe_market_result(result).c_str());
      std::fflush(stdout);
      result.error = refusal_error(result, job.files.input.lenient);
      if (result.error.empty()) return true;
    }
  }
  report("book", "market day (manifest line %d) failed: %s", mj.line, result.error.c_str());
  return false;
}

int run_manifest(const Args& args, const BookJob& base, int threads, bool quiet) {
  std::vector<ManifestJob> jobs;
  std::string error;
  if (!read_manifest(args.get("--manifest"), base, &jobs, &error)) {
    args.error("--manifest: %s", error.c_str());
    return kExitUsage;
  }
  int shard = 0, shards = 1;
  if (args.has("--shard") && !parse_shard(args.get("--shard"), &shard, &shards)) {
    args.error("--shard: '%s' is not K/N with 1 <= K <= N", args.get("--shard"));
    return kExitUsage;
  }
  // Whole-market days first, each on every thread (and, with --shard, each as its shard);
  // with --shard the one-symbol jobs are dealt out in turn, this machine taking its own.
  size_t market_failed = 0;
  std::vector<ManifestJob> symbol_jobs;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i].market) {
      if (!run_manifest_market(jobs[i], threads, shard, shards, quiet)) ++market_failed;
    } else if (shard == 0 || static_cast<int>(i % shards) == shard - 1) {
      symbol_jobs.push_back(jobs[i]);
    }
  }
  jobs.swap(symbol_jobs);
  if (jobs.empty()) return market_failed == 0 ? kExitOk : kExitFailure;
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
  return failed + market_failed == 0 ? kExitOk : kExitFailure;
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

  if (args.has("--market") && args.has("--manifest")) {
    args.error(
        "give --market or --manifest, not both (a manifest line with '* *' is a market day)");
    return kExitUsage;
  }
  if (args.has("--market")) return run_book_market(args, job, threads, quiet);
  for (const char* market_only : {"--symbols", "--summary", "--hold"}) {
    if (args.has(market_only)) {
      args.error("%s needs --market", market_only);
      return kExitUsage;
    }
  }
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
  if (args.has("--shard")) {
    args.error("--shard needs --market or --manifest");
    return kExitUsage;
  }
  if (args.has("--jobs")) {
    args.error("--jobs needs --manifest or --market");
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
  job.out_path = args.get("--out", "");
  if (!read_instrument(args, &job)) return kExitUsage;

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
