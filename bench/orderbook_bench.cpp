// Order book throughput on simulated trading days, and memory per resting order.
//
// Each day is generated once, outside the timed loops, with at least 1,000,000 records. Every
// iteration replays the whole day into a reset book, so items per second are events per second.
//   EventFunctions/<style>: orderbook_on_l2order / orderbook_on_l2trade in the true sequence;
//   BuilderRun2/<style>:    orderbook_builder_run2 over the two record files, 3000 ms interval;
//   BuilderRun2/<style>_Grid3000: the same on a 3000 ms clock grid (ORDERBOOK_SCHEDULE_GRID);
//   BuilderRun3/<style>:    orderbook_builder_run3 over the true sequence;
//   RestingOrders:          1,000,000 orders resting at once; its counters give the bytes the
//                           book holds per resting order (pool, order map, both level tables).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "feed_sim.h"
#include "orderbook/book.h"
#include "quotelab/orderbook.h"

namespace {

constexpr int32_t kInterval = 3000;
constexpr size_t kMinEvents = 1000000;

const qlsim::Day& simulated_day(qlsim::Style style) {
  static qlsim::Day days[2];
  qlsim::Day& d = days[style == qlsim::Style::Shanghai ? 1 : 0];
  if (d.events() == 0) {
    qlsim::Config c;
    c.style = style;
    c.seed = 20240102;
    // About 1.9 records per entry in Shenzhen style and 1.6 in Shanghai style.
    c.orders = style == qlsim::Style::Shanghai ? 660000 : 560000;
    d = qlsim::simulate_day(c);
  }
  return d;
}

const char* exchange_of(qlsim::Style s) {
  return s == qlsim::Style::Shanghai ? "SH" : "SZ";
}

void set_rates(benchmark::State& state, size_t events) {
  const double total = static_cast<double>(events) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["events"] = static_cast<double>(events);
  // Seconds per event, printed with its SI prefix (e.g. "38n" for 38 ns).
  state.counters["time_per_event"] =
      benchmark::Counter(total, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

bool check_size(benchmark::State& state, const qlsim::Day& d) {
  if (d.events() >= kMinEvents) return true;
  state.SkipWithError("simulated day has fewer than 1,000,000 events");
  return false;
}

void BM_EventFunctions(benchmark::State& state, qlsim::Style style) {
  const qlsim::Day& d = simulated_day(style);
  if (!check_size(state, d)) return;
  orderbook* book = orderbook_create(exchange_of(style), d.config.symbol.c_str(), 0, 0);
  for (auto _ : state) {
    orderbook_reset(book, d.config.date);
    for (const void* rec : d.sequence) {
      if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER) {
        const auto& o = *static_cast<const _L2Order*>(rec);
        orderbook_on_l2order(book, o.seq_num, static_cast<signed char>(o.order_type),
                             static_cast<signed char>(o.bs_flag), o.price,
                             static_cast<int32_t>(o.volume), o.time);
      } else {
        const auto& t = *static_cast<const _L2Trade*>(rec);
        orderbook_on_l2trade(book, t.seq_num, t.bid_seq_num, t.ask_seq_num, t.price,
                             static_cast<int32_t>(t.volume), t.time);
      }
    }
    benchmark::DoNotOptimize(orderbook_snapshot(book));
  }
  set_rates(state, d.events());
  orderbook_release(book);
}

void BM_BuilderRun2(benchmark::State& state, qlsim::Style style, int32_t schedule) {
  const qlsim::Day& d = simulated_day(style);
  if (!check_size(state, d)) return;
  orderbook_builder* b = orderbook_builder_create(exchange_of(style), "000001", kInterval);
  orderbook_builder_set_schedule(b, schedule, kInterval, nullptr, 0);
  int32_t snapshots = 0;
  for (auto _ : state) {
    snapshots = orderbook_builder_run2(b, d.config.date, d.orders.data(),
                                       static_cast<int32_t>(d.orders.size()), d.trades.data(),
                                       static_cast<int32_t>(d.trades.size()));
    benchmark::DoNotOptimize(snapshots);
  }
  set_rates(state, d.events());
  state.counters["snapshots"] = snapshots;
  orderbook_builder_release(b);
}

void BM_BuilderRun3(benchmark::State& state, qlsim::Style style) {
  const qlsim::Day& d = simulated_day(style);
  if (!check_size(state, d)) return;
  orderbook_builder* b = orderbook_builder_create(exchange_of(style), "000001", kInterval);
  for (auto _ : state) {
    benchmark::DoNotOptimize(orderbook_builder_run3(b, d.config.date, d.sequence.data(),
                                                    static_cast<int32_t>(d.sequence.size())));
  }
  set_rates(state, d.events());
  orderbook_builder_release(b);
}

// Rests `state.range(0)` orders in the opening auction, 100 to a price level on each side, and
// reports what the book holds for them: its pool (records of orders, levels and the book) and
// its tables (16-byte slots of the order map and the two level tables).
void BM_RestingOrders(benchmark::State& state) {
  const int64_t n = state.range(0);
  orderbook* book = orderbook_create("SZ", "000001", 0, 0);
  for (auto _ : state) {
    orderbook_reset(book, 20240102);
    for (int64_t i = 0; i < n; ++i) {
      const int64_t level = i / 200;
      const bool bid = (i & 1) == 0;
      const double price = bid ? 1000.0 - level * 0.01 : 1000.01 + level * 0.01;
      orderbook_on_l2order(book, i + 1, '2', bid ? 'B' : 'S', price, 100, 91500000);
    }
  }
  const double pool = static_cast<double>(ql::detail::mpool_footprint(book->block_pool));
  const double tables =
      static_cast<double>(table_size(book->order_map) + table_size(book->ask_px_table) +
                          table_size(book->bid_px_table)) *
      sizeof(table_node_s);
  const double resting = table_length(book->order_map);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["resting_orders"] = resting;
  state.counters["pool_bytes_per_order"] = pool / resting;
  state.counters["table_bytes_per_order"] = tables / resting;
  state.counters["bytes_per_order"] = (pool + tables) / resting;
  orderbook_release(book);
}

BENCHMARK_CAPTURE(BM_EventFunctions, Shenzhen, qlsim::Style::Shenzhen)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EventFunctions, Shanghai, qlsim::Style::Shanghai)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun2, Shenzhen, qlsim::Style::Shenzhen,
                  ORDERBOOK_SCHEDULE_TRADING_HOURS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun2, Shanghai, qlsim::Style::Shanghai,
                  ORDERBOOK_SCHEDULE_TRADING_HOURS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun2, Shenzhen_Grid3000, qlsim::Style::Shenzhen,
                  ORDERBOOK_SCHEDULE_GRID)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun2, Shanghai_Grid3000, qlsim::Style::Shanghai,
                  ORDERBOOK_SCHEDULE_GRID)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun3, Shenzhen, qlsim::Style::Shenzhen)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuilderRun3, Shanghai, qlsim::Style::Shanghai)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestingOrders)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
