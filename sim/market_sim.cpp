#include "market_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <queue>
#include <string>

#include "sim_rng.h"

namespace qlsim {
namespace {

constexpr double kLargeMin = 1.0e6, kLargeMax = 2.0e6;  // events of the few largest symbols
constexpr double kSmallMin = 1.0e4, kSmallMax = 1.0e5;  // events of the others, log-uniform
constexpr int64_t kFewestEvents = 200;                  // a scaled-down day still trades

// The k-th code of a board: Shenzhen main board 000001 up, ChiNext 300001 up, Shanghai
// 600000 up (then 688000 up).
std::string code_of(int i) {
  char text[16];
  const int k = i / 3;
  switch (i % 3) {
    case 0:
      std::snprintf(text, sizeof text, "%06d", 1 + k);
      break;
    case 1:
      std::snprintf(text, sizeof text, "%06d", k < 4000 ? 600000 + k : 688000 + k - 4000);
      break;
    default:
      std::snprintf(text, sizeof text, "%06d", 300001 + k);
      break;
  }
  return text;
}

// Records per order entry of each style with the default mix (feed_sim.h).
double records_per_entry(Style style) {
  return style == Style::Shanghai ? 1.70 : 1.94;
}

}  // namespace

std::vector<Config> plan_market(const MarketConfig& market) {
  detail::Rng rng(market.seed * 0x9E3779B97F4A7C15ull + 17);
  const int n = market.symbols < 1 ? 1 : market.symbols;
  std::vector<double> events(n);
  for (double& e : events) {
    e = std::exp(std::log(kSmallMin) + rng.uniform() * (std::log(kSmallMax) - std::log(kSmallMin)));
  }
  const int large = std::max(1, n / 200);
  for (int j = 0; j < large; ++j) {
    const int i = static_cast<int>(rng.next() % static_cast<uint64_t>(n));
    events[i] = kLargeMin + rng.uniform() * (kLargeMax - kLargeMin);
  }
  double scale = 1;
  if (market.events > 0) {
    double sum = 0;
    for (double e : events) sum += e;
    scale = static_cast<double>(market.events) / sum;
  }
  std::vector<Config> plans(n);
  for (int i = 0; i < n; ++i) {
    Config& c = plans[i];
    c.symbol = code_of(i);
    c.style = c.symbol[0] == '6' ? Style::Shanghai : Style::Shenzhen;
    c.seed = market.seed * 1000003ull + static_cast<uint64_t>(i);
    c.date = market.date;
    c.pre_close = std::round((2.0 + rng.uniform() * 48.0) * 100.0) / 100.0;
    const double wanted = std::max<double>(kFewestEvents, events[i] * scale);
    c.orders = std::max(1, static_cast<int>(std::lround(wanted / records_per_entry(c.style))));
  }
  std::sort(plans.begin(), plans.end(),
            [](const Config& a, const Config& b) { return a.symbol < b.symbol; });
  return plans;
}

void simulate_market(const std::vector<Config>& plans,
                     const std::function<void(const void* record)>& sink) {
  std::vector<Day> days;
  days.reserve(plans.size());
  for (const Config& c : plans) days.push_back(simulate_day(c));

  // Records by time; at one time symbol by symbol, each in its own sequence.
  auto time_of = [](const void* rec) {
    return *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER
               ? static_cast<const _L2Order*>(rec)->time
               : static_cast<const _L2Trade*>(rec)->time;
  };
  using Head = std::pair<int32_t, size_t>;  // (time of the next record, symbol)
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  std::vector<size_t> next(days.size(), 0);
  for (size_t s = 0; s < days.size(); ++s) {
    if (!days[s].sequence.empty()) heads.push({time_of(days[s].sequence[0]), s});
  }
  while (!heads.empty()) {
    const auto [time, s] = heads.top();
    heads.pop();
    const std::vector<const void*>& seq = days[s].sequence;
    size_t& i = next[s];
    while (i < seq.size() && time_of(seq[i]) == time) sink(seq[i++]);
    if (i < seq.size()) {
      heads.push({time_of(seq[i]), s});
    } else {
      days[s] = Day();  // the day is streamed: give its memory back
    }
  }
}

}  // namespace qlsim
