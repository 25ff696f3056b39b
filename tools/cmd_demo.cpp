// quotelab demo: a simulated trading day rebuilt into Level-2 snapshots, with no data needed.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "args.h"
#include "book_job.h"
#include "commands.h"
#include "feed_sim.h"
#include "quotelab/data_file_manager.h"
#include "record_io.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "demo",
    "[--root DIR] [--orders N] [--seed N]",
    "Simulates one Shenzhen-style trading day of one stock (about 1.9 records per order\n"
    "entry), writes its order and trade records as binary files into the day's directory\n"
    "(ROOT/YYYYMMDD/orders.dat, trades.dat), rebuilds the order book from those files with\n"
    "orderbook_builder_run2 exactly as 'quotelab book' does, and writes the snapshots into\n"
    "ROOT/YYYYMMDD/tick.csv. Prints the summary, the closing snapshot, and where everything\n"
    "went. Without --root a new directory under the system's temporary directory is used.",
    "quotelab demo",
};

const OptionDef kOptions[] = {
    {"--root", "DIR", "data root (default: a new temporary directory)"},
    {"--orders", "N", "order entries of the simulated day (default 100000)"},
    {"--seed", "N", "random seed (default 20240102)"},
    {"--quiet", nullptr, "no progress bar"},
};

constexpr int kDemoDate = 20240102;

template <class Rec>
bool write_binary(const std::vector<Rec>& records, const std::string& path, std::string* error) {
  RecordWriter writer;
  if (!writer.open(path, RecordTraits<Rec>::kKind, FileFormat::Binary, ',', error)) return false;
  for (const Rec& r : records) writer.write(&r);
  return writer.close(error);
}

bool make_root(const Args& args, std::string* root) {
  if (args.has("--root")) {
    *root = args.get("--root");
    if (mkdir(root->c_str(), 0755) != 0 && errno != EEXIST) {
      args.error("--root: cannot create '%s': %s", root->c_str(), std::strerror(errno));
      return false;
    }
    return true;
  }
  const std::string pattern = temp_directory() + "/quotelab-demo-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    args.error("cannot create a temporary directory '%s': %s", pattern.c_str(),
               std::strerror(errno));
    return false;
  }
  *root = buf.data();
  return true;
}

// Trade count and volume of the trade file, cancellations (a sequence number 0) left out:
// what the final snapshot's statistics must show.
void trade_totals(const std::vector<_L2Trade>& trades, int64_t* count, int64_t* volume) {
  *count = 0;
  *volume = 0;
  for (const _L2Trade& t : trades) {
    if (t.bid_seq_num == 0 || t.ask_seq_num == 0) continue;
    ++*count;
    *volume += t.volume;
  }
}

// The demo's day and where its files go. Returns kExitOk, or the exit code of the refusal
// (message printed).
int check_options(const Args& args, qlsim::Config* config, std::string* root) {
  config->style = qlsim::Style::Shenzhen;
  config->date = kDemoDate;
  config->orders = 100000;
  int64_t seed = kDemoDate;
  if (!args.get_int("--orders", 1, 5000000, &config->orders) ||
      !args.get_int("--seed", int64_t{0}, INT64_MAX, &seed)) {
    return kExitUsage;
  }
  config->seed = static_cast<uint64_t>(seed);
  return make_root(args, root) ? kExitOk : kExitFailure;
}

// Simulates the day and writes its order and trade files under the root's day directory;
// the job then rebuilds them there. Returns false (message printed) when it cannot.
bool simulate_into(const Args& args, const qlsim::Config& config, const std::string& root,
                   qlsim::Day* day, BookJob* job) {
  const auto t0 = std::chrono::steady_clock::now();
  *day = qlsim::simulate_day(config);
  const double sim_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  char day_dir[4096];
  const KX::DataFileManager files(root.c_str());
  // A file kind other than BIN and CSV gives the day directory alone, created on the way.
  const int n = files.get_tick_filepath(day_dir, sizeof day_dir, kDemoDate, KX::DataFileType(-1));
  if (n <= 0 || n >= static_cast<int>(sizeof day_dir) - 1) {
    args.error("--root: the path '%s' is too long", root.c_str());
    return false;
  }
  job->orders_path = std::string(day_dir) + "/orders.dat";
  job->trades_path = std::string(day_dir) + "/trades.dat";
  job->root = root;
  std::string error;
  if (!write_binary(day->orders, job->orders_path, &error) ||
      !write_binary(day->trades, job->trades_path, &error)) {
    args.error("%s", error.c_str());
    return false;
  }
  std::printf("simulated %s.SZ %d (seed %llu): %s order entries -> %s records in %.2f s\n",
              config.symbol.c_str(), config.date, static_cast<unsigned long long>(config.seed),
              group_digits(static_cast<uint64_t>(config.orders)).c_str(),
              group_digits(day->events()).c_str(), sim_s);
  std::printf("  orders -> %s\n  trades -> %s\n", job->orders_path.c_str(),
              job->trades_path.c_str());
  return true;
}

// Prints the closing snapshot and checks it against the trade file. Returns whether its
// trade count and volume agree with the file's.
bool report_close(const qlsim::Day& day, const BookJob& job, const BookResult& result) {
  std::printf("rebuilt %s\n", describe_book_result(result).c_str());
  const _L2Snapshot& s = result.last_snapshot;
  std::printf(
      "closing snapshot at %02d:%02d:%02d: last %.2f, %d trades, volume %lld, turnover %.2f\n",
      s.time / 10000000, s.time / 100000 % 100, s.time / 1000 % 100, s.last, s.num_trades,
      static_cast<long long>(s.volume), s.turnover);
  for (int i = 2; i >= 0; --i) {
    std::printf("  ask%d %10.2f x %d\n", i + 1, s.ask_price[i], s.ask_volume[i]);
  }
  for (int i = 0; i < 3; ++i) {
    std::printf("  bid%d %10.2f x %d\n", i + 1, s.bid_price[i], s.bid_volume[i]);
  }
  int64_t trades = 0, volume = 0;
  trade_totals(day.trades, &trades, &volume);
  const bool agrees = trades == s.num_trades && volume == s.volume;
  std::printf(
      "check: the closing snapshot's trade count and volume %s the trade file's (%lld, %lld)\n",
      agrees ? "match" : "DIFFER FROM", static_cast<long long>(trades),
      static_cast<long long>(volume));
  std::printf("next:\n  quotelab book --orders %s --trades %s --interval-ms 1000 --out ticks.csv\n",
              job.orders_path.c_str(), job.trades_path.c_str());
  std::printf("  quotelab replay --kind csv --file %s --from %d --to %d\n", result.out_path.c_str(),
              kDemoDate, kDemoDate);
  return agrees;
}

}  // namespace

int run_demo(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  qlsim::Config config;
  std::string root;
  const int refused = check_options(args, &config, &root);
  if (refused != kExitOk) return refused;

  std::printf("quotelab demo: a simulated Shenzhen trading day rebuilt into Level-2 snapshots\n");
  qlsim::Day day;
  BookJob job;
  if (!simulate_into(args, config, root, &day, &job)) return kExitFailure;
  ProgressBar bar(!args.has("--quiet"));
  BookResult result;
  if (!run_book_job(job, &result, &bar)) {
    args.error("%s", result.error.c_str());
    return kExitFailure;
  }
  return report_close(day, job, result) ? kExitOk : kExitFailure;
}

}  // namespace qltool
