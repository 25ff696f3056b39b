// quotelab book --market: the command-line side of the market pass (market_day.h).
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "market_day.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

// Splits a list of symbols at blanks, commas and line ends; '#' starts a comment.
std::vector<std::string> split_symbols(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  bool comment = false;
  for (char c : text + "\n") {
    if (c == '\n') comment = false;
    if (c == '#') comment = true;
    if (comment || c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return out;
}

// --symbols LIST|FILE: a file when one of that name exists, else the list itself.
bool read_symbols(const Args& args, std::vector<std::string>* out) {
  const std::string value = args.get("--symbols");
  struct stat st;
  std::string text = value, error;
  if (stat(value.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      !read_whole_file(value, &text, &error)) {
    args.error("--symbols: %s", error.c_str());
    return false;
  }
  *out = split_symbols(text);
  if (out->empty()) {
    args.error("--symbols: '%s' names no symbol", value.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool parse_shard(const char* text, int* k, int* n) {
  char* end = nullptr;
  const long kk = std::strtol(text, &end, 10);
  if (end == text || *end != '/') return false;
  const char* rest = end + 1;
  const long nn = std::strtol(rest, &end, 10);
  if (end == rest || *end != '\0' || nn < 1 || nn > 65536 || kk < 1 || kk > nn) return false;
  *k = static_cast<int>(kk);
  *n = static_cast<int>(nn);
  return true;
}

int run_book_market(const Args& args, const BookJob& base, int threads, bool quiet) {
  if (!args.has("--orders")) {
    args.error(
        "--market: give --orders FILE and --trades FILE holding the day of every symbol (or "
        "--orders FILE alone for a merged tick-by-tick file)");
    return kExitUsage;
  }
  if (!args.has("--out") && !args.has("--root")) {
    args.error("give --root DIR (or --out FILE) for the day's snapshots");
    return kExitUsage;
  }
  for (const char* single : {"--symbol", "--exchange"}) {
    if (args.has(single)) {
      args.error("%s belongs to a one-symbol run; --market takes --symbols LIST|FILE", single);
      return kExitUsage;
    }
  }
  if (base.schedule.kind == ORDERBOOK_SCHEDULE_TRADES || base.exchange_auction_view) {
    args.error(
        "--market takes --schedule events or grid:MS; trades:FILE and --auction-view "
        "belong to a one-symbol run");
    return kExitUsage;
  }
  BookJob files = base;
  files.orders_path = args.get("--orders");
  files.trades_path = args.get("--trades", "");
  files.sequence_path = args.get("--sequence", "");
  files.out_path = args.get("--out", "");
  MarketJob job = market_job_of(files);
  job.threads = threads;
  if (args.has("--symbols") && !read_symbols(args, &job.symbols)) return kExitUsage;
  if (args.has("--hold")) {
    int64_t hold = 0;
    if (!args.get_int("--hold", int64_t{1}, int64_t{1} << 32, &hold)) return kExitUsage;
    job.hold_snapshots = static_cast<size_t>(hold);
  }
  if (args.has("--shard") && !parse_shard(args.get("--shard"), &job.shard, &job.shards)) {
    args.error("--shard: '%s' is not K/N with 1 <= K <= N", args.get("--shard"));
    return kExitUsage;
  }

  ProgressBar bar(!quiet);
  MarketResult result;
  const bool ok = run_market_day(job, &result, &bar);
  for (const std::string& line : result.refusals) args.error("%s", line.c_str());
  if (!ok) {
    args.error("%s", result.error.c_str());
    return kExitFailure;
  }
  std::printf("market %s\n", describe_market_result(result).c_str());
  // The symbols with refused records, the most first.
  std::vector<const SymbolSummary*> refusing;
  for (const SymbolSummary& s : result.symbols) {
    if (s.refused > 0) refusing.push_back(&s);
  }
  std::stable_sort(
      refusing.begin(), refusing.end(),
      [](const SymbolSummary* a, const SymbolSummary* b) { return a->refused > b->refused; });
  for (size_t i = 0; i < refusing.size() && i < 10; ++i) {
    const SymbolSummary& s = *refusing[i];
    std::printf("  %.*s.%s: %s records refused\n",
                static_cast<int>(strnlen(s.symbol, sizeof s.symbol)), s.symbol,
                exchange_str(s.exchange), group_digits(s.refused).c_str());
  }
  if (refusing.size() > 10) {
    std::printf("  ... and %zu more symbols with refused records\n", refusing.size() - 10);
  }
  if (args.has("--summary")) {
    std::string error;
    if (!write_market_summary(result, args.get("--summary"), &error)) {
      args.error("--summary: %s", error.c_str());
      return kExitFailure;
    }
  }
  const std::string refusals = refusal_error(result, base.input.lenient);
  if (!refusals.empty()) {
    args.error("%s", refusals.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qltool
