// quotelab simulate --symbols N: a simulated market day of many stocks in one pair of
// multi-symbol files, with the exchange's sequence over both.
#include <cerrno>
#include <cstring>

#include "args.h"
#include "market_sim.h"
#include "record_io.h"
#include "simulate_market.h"

namespace qltool {

int run_simulate_market(const Args& args, const std::string& orders_out,
                        const std::string& trades_out, bool format_given, FileFormat format) {
  qlsim::MarketConfig market;
  int64_t seed = 1;
  if (!args.get_int("--symbols", 1, 20000, &market.symbols) ||
      !args.get_int("--events", int64_t{1}, int64_t{2000000000}, &market.events) ||
      !args.get_int("--seed", int64_t{0}, INT64_MAX, &seed) ||
      !args.get_date("--date", &market.date)) {
    return kExitUsage;
  }
  for (const char* single :
       {"--style", "--symbol", "--orders", "--pre-close", "--distinct-times", "--layout"}) {
    if (args.has(single)) {
      args.error("%s shapes a one-stock day; --symbols N plans each stock's own", single);
      return kExitUsage;
    }
  }
  market.seed = static_cast<uint64_t>(seed);
  const std::vector<qlsim::Config> plans = qlsim::plan_market(market);
  size_t sh = 0;
  for (const qlsim::Config& c : plans) sh += c.style == qlsim::Style::Shanghai;
  if ((format_given ? format : format_of_path(orders_out)) == FileFormat::Csv && sh > 0 &&
      sh < plans.size()) {
    args.error(
        "a day of both exchanges cannot go to one CSV order file (its order type column is "
        "named by exchange): write binary files (.dat, or --format bin)");
    return kExitUsage;
  }

  std::string error;
  RecordWriter orders, trades;
  FILE* sequence = nullptr;
  if (!orders.open(orders_out, RecordKind::Order,
                   format_given ? format : format_of_path(orders_out), ',', &error) ||
      !trades.open(trades_out, RecordKind::Trade,
                   format_given ? format : format_of_path(trades_out), ',', &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  if (args.has("--sequence-out") &&
      (sequence = std::fopen(args.get("--sequence-out"), "wb")) == nullptr) {
    args.error("cannot create '%s': %s", args.get("--sequence-out"), std::strerror(errno));
    return kExitFailure;
  }
  qlsim::simulate_market(plans, [&](const void* rec) {
    const bool is_order = *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER;
    (is_order ? orders : trades).write(rec);
    if (sequence != nullptr) std::fputc(is_order ? 'O' : 'T', sequence);
  });
  bool ok = orders.close(&error) && trades.close(&error);
  if (sequence != nullptr && (std::fputc('\n', sequence) == EOF || std::fclose(sequence) != 0) &&
      ok) {
    error = std::string("cannot write '") + args.get("--sequence-out") + "'";
    ok = false;
  }
  if (!ok) {
    args.error("%s", error.c_str());
    // No half-written day is left behind.
    std::remove(orders_out.c_str());
    std::remove(trades_out.c_str());
    if (args.has("--sequence-out")) std::remove(args.get("--sequence-out"));
    return kExitFailure;
  }
  std::printf(
      "simulated a market day of %s symbols (%s Shanghai, %s Shenzhen) on %d (seed %llu): "
      "%s events\n",
      group_digits(plans.size()).c_str(), group_digits(sh).c_str(),
      group_digits(plans.size() - sh).c_str(), market.date,
      static_cast<unsigned long long>(market.seed),
      group_digits(orders.written() + trades.written()).c_str());
  std::printf("  %s order records -> %s\n", group_digits(orders.written()).c_str(),
              orders_out.c_str());
  std::printf("  %s trade records -> %s\n", group_digits(trades.written()).c_str(),
              trades_out.c_str());
  if (sequence != nullptr) std::printf("  sequence -> %s\n", args.get("--sequence-out"));
  return kExitOk;
}

}  // namespace qltool
