// quotelab simulate: a simulated trading day of one stock as order and trade files.
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "commands.h"
#include "feed_sim.h"
#include "layout_writer.h"
#include "quotelab/utilcore.h"
#include "record_io.h"
#include "simulate_market.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "simulate",
    "--orders-out FILE --trades-out FILE [options]",
    "Simulates one stock's trading day (call auctions, continuous trading with limit and\n"
    "market orders and cancellations) as the exchange publishes it, in Shenzhen or Shanghai\n"
    "style, and writes the order and trade records as CSV with a header row (a .csv name)\n"
    "or as binary record files (any other name). The same seed gives the same day.\n"
    "--sequence-out writes the exchange's own order of the records (one letter per record,\n"
    "O order, T trade), which 'quotelab book --sequence' replays exactly.\n"
    "--symbols N simulates a market day of N stocks (both exchanges' styles by code, sizes\n"
    "spread like a real market, --events TOTAL to scale) into one pair of files, in time order\n"
    "across symbols, for 'quotelab book --market'.",
    "quotelab simulate --style sz --seed 7 --orders 50000 --orders-out orders.csv "
    "--trades-out trades.csv",
};

const OptionDef kOptions[] = {
    {"--orders-out", "FILE", "order records (required)"},
    {"--trades-out", "FILE", "trade records (required)"},
    {"--sequence-out", "FILE", "the exchange's sequence over both files (O/T per record)"},
    {"--layout", "sh-a|sh-b|sh-ticks|sz",
     "write CSV in an exchange's or vendor's own layout (sh-ticks: one merged file, "
     "--orders-out only)"},
    {"--style", "sz|sh", "Shenzhen (default) or Shanghai feed rules"},
    {"--seed", "N", "random seed (default 1)"},
    {"--orders", "N", "order entries over the day (default 10000; ~1.9 records each)"},
    {"--symbol", "CODE", "stock code, at most 9 characters (default 000001 / 600000)"},
    {"--date", "YYYYMMDD", "trading day (default 20240102)"},
    {"--pre-close", "PRICE", "previous close, 0.01 to 5000 (default 10.00)"},
    {"--distinct-times", nullptr, "give every message group a time of its own"},
    {"--preopen-marketable", "SHARE",
     "sz: share of the 09:25-09:30 orders priced through the book, held and matched at "
     "09:30:00.000 (0 to 1, default 0)"},
    {"--format", "csv|bin", "file format of both outputs (default: by each name)"},
    {"--symbols", "N", "a market day of N stocks in one pair of files (6xxxxx SH, 0/3xxxxx SZ)"},
    {"--events", "TOTAL", "with --symbols: about TOTAL events over the market"},
};

bool valid_symbol(const std::string& s) {
  if (s.empty() || s.size() >= sizeof(_L2Order::symbol)) return false;
  for (char c : s) {
    if (c <= ' ' || c == '.' || c == ',' || c == '"' || c == ';' || c == 127) return false;
  }
  return true;
}

bool write_text(const std::string& path, const std::string& text, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

bool write_sequence(const qlsim::Day& day, const std::string& path, std::string* error) {
  std::string text;
  text.reserve(day.sequence.size() + 1);
  for (const void* rec : day.sequence) {
    text += *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER ? 'O' : 'T';
  }
  text += '\n';
  return write_text(path, text, error);
}

template <class Rec>
bool write_records(const std::vector<Rec>& records, const std::string& path, RecordKind kind,
                   FileFormat format, std::string* error) {
  RecordWriter writer;
  if (!writer.open(path, kind, format, ',', error)) return false;
  for (const Rec& r : records) writer.write(&r);
  return writer.close(error);
}

// --layout: the simulated day as files in an exchange's or vendor's own layout.
int write_layout(const Args& args, qlsim::Config config) {
  const std::string name = args.get("--layout");
  const struct {
    const char* name;
    qlsim::FileLayout layout;
    qlsim::Style style;
  } kLayouts[] = {{"sh-a", qlsim::FileLayout::ShanghaiA, qlsim::Style::Shanghai},
                  {"sh-b", qlsim::FileLayout::ShanghaiB, qlsim::Style::Shanghai},
                  {"sh-ticks", qlsim::FileLayout::ShanghaiTicks, qlsim::Style::Shanghai},
                  {"sz", qlsim::FileLayout::Shenzhen, qlsim::Style::Shenzhen}};
  for (const auto& l : kLayouts) {
    if (name != l.name) continue;
    const bool merged = l.layout == qlsim::FileLayout::ShanghaiTicks;
    if (!args.has("--orders-out") || (!merged && !args.has("--trades-out"))) {
      args.error(merged ? "give --orders-out FILE"
                        : "give --orders-out FILE and --trades-out FILE");
      return kExitUsage;
    }
    config.style = l.style;
    if (l.style == qlsim::Style::Shanghai && !args.has("--symbol")) config.symbol = "600000";
    const qlsim::Day day = qlsim::simulate_day(config);
    std::string error;
    const std::string orders = qlsim::layout_orders_text(day, l.layout);
    const std::string trades = merged ? "" : qlsim::layout_trades_text(day, l.layout);
    if (!write_text(args.get("--orders-out"), orders, &error) ||
        (!merged && !write_text(args.get("--trades-out"), trades, &error))) {
      args.error("%s", error.c_str());
      return kExitFailure;
    }
    std::printf("simulated %s %d in layout %s: %s events\n", config.symbol.c_str(), config.date,
                l.name, group_digits(day.events()).c_str());
    return kExitOk;
  }
  args.error("--layout: '%s' is not sh-a, sh-b, sh-ticks or sz", name.c_str());
  return kExitUsage;
}

// The two output files and their format (by each name unless --format is given).
struct Outputs {
  std::string orders, trades;
  bool format_given = false;
  FileFormat format = FileFormat::Csv;
  FileFormat orders_format() const { return format_given ? format : format_of_path(orders); }
  FileFormat trades_format() const { return format_given ? format : format_of_path(trades); }
};

// Returns kExitOk, or kExitUsage with the message printed.
int check_outputs(const Args& args, Outputs* out) {
  if (!args.has("--orders-out") || !args.has("--trades-out")) {
    args.error("give both --orders-out FILE and --trades-out FILE");
    return kExitUsage;
  }
  out->orders = args.get("--orders-out");
  out->trades = args.get("--trades-out");
  out->format_given = args.has("--format");
  if (out->format_given && !parse_format(args.get("--format"), &out->format)) {
    args.error("--format: '%s' is neither csv nor bin", args.get("--format"));
    return kExitUsage;
  }
  return kExitOk;
}

// --symbols N [--events TOTAL]: a market day of many stocks.
int simulate_market(const Args& args) {
  if (!args.has("--symbols")) {
    args.error("--events needs --symbols N");
    return kExitUsage;
  }
  Outputs out;
  const int refused = check_outputs(args, &out);
  if (refused != kExitOk) return refused;
  return run_simulate_market(args, out.orders, out.trades, out.format_given, out.format);
}

// A number option within [lo, hi]; `what` names the range in the message. Returns false
// (message printed) when the text is not such a number.
bool get_real(const Args& args, const char* name, double lo, double hi, const char* what,
              double* out) {
  if (!args.has(name)) return true;
  const char* text = args.get(name);
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= lo && v <= hi)) {
    args.error("%s: '%s' is not %s", name, text, what);
    return false;
  }
  *out = v;
  return true;
}

// The options of one stock's day. Returns kExitOk, or kExitUsage with the message printed.
int check_day_options(const Args& args, qlsim::Config* config) {
  const std::string style = args.get("--style", "sz");
  if (KX::StringUtil::iequals(style.c_str(), "sh")) {
    config->style = qlsim::Style::Shanghai;
    config->symbol = "600000";
  } else if (!KX::StringUtil::iequals(style.c_str(), "sz")) {
    args.error("--style: '%s' is neither sz (Shenzhen) nor sh (Shanghai)", style.c_str());
    return kExitUsage;
  }
  int64_t seed = 1;
  if (!args.get_int("--seed", int64_t{0}, INT64_MAX, &seed) ||
      !args.get_int("--orders", 1, 50000000, &config->orders) ||
      !args.get_date("--date", &config->date)) {
    return kExitUsage;
  }
  config->seed = static_cast<uint64_t>(seed);
  config->symbol = args.get("--symbol", config->symbol.c_str());
  if (!valid_symbol(config->symbol)) {
    args.error(
        "--symbol: '%s' is not a stock code of 1 to 9 characters without blanks, dots, "
        "commas or quotes",
        config->symbol.c_str());
    return kExitUsage;
  }
  config->distinct_group_times = args.has("--distinct-times");
  if (!get_real(args, "--pre-close", 0.01, 5000, "a price from 0.01 to 5000", &config->pre_close) ||
      !get_real(args, "--preopen-marketable", 0, 1, "a share from 0 to 1",
                &config->preopen_marketable_share)) {
    return kExitUsage;
  }
  if (args.has("--preopen-marketable") && config->style == qlsim::Style::Shanghai) {
    args.error("--preopen-marketable: only Shenzhen holds orders before the open (--style sz)");
    return kExitUsage;
  }
  return kExitOk;
}

// Writes the day's files. Returns false with *error set.
bool write_day(const Args& args, const qlsim::Day& day, const Outputs& out, std::string* error) {
  return write_records(day.orders, out.orders, RecordKind::Order, out.orders_format(), error) &&
         write_records(day.trades, out.trades, RecordKind::Trade, out.trades_format(), error) &&
         (!args.has("--sequence-out") || write_sequence(day, args.get("--sequence-out"), error));
}

void report_day(const Args& args, const qlsim::Config& config, const qlsim::Day& day,
                const Outputs& out) {
  const bool shanghai = config.style == qlsim::Style::Shanghai;
  std::printf("simulated %s.%s %d (seed %llu, %s style): %s events\n", config.symbol.c_str(),
              shanghai ? "SH" : "SZ", config.date, static_cast<unsigned long long>(config.seed),
              shanghai ? "Shanghai" : "Shenzhen", group_digits(day.events()).c_str());
  std::printf("  %s order records -> %s\n", group_digits(day.orders.size()).c_str(),
              out.orders.c_str());
  std::printf("  %s trade records -> %s\n", group_digits(day.trades.size()).c_str(),
              out.trades.c_str());
  if (args.has("--sequence-out")) {
    std::printf("  sequence of %s records -> %s\n", group_digits(day.sequence.size()).c_str(),
                args.get("--sequence-out"));
  }
}

}  // namespace

int run_simulate(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  if (args.has("--symbols") || args.has("--events")) return simulate_market(args);
  qlsim::Config config;
  int refused = check_day_options(args, &config);
  if (refused != kExitOk) return refused;
  if (args.has("--layout")) return write_layout(args, config);
  Outputs out;
  refused = check_outputs(args, &out);
  if (refused != kExitOk) return refused;

  const qlsim::Day day = qlsim::simulate_day(config);
  std::string error;
  if (!write_day(args, day, out, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  report_day(args, config, day, out);
  return kExitOk;
}

}  // namespace qltool
