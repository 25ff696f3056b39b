// quotelab report on a simulated day of 1,000,000 events: the rebuild with the page's series
// and check fed from the builder's callback, then the page.
//   ReportDay/<interval ms>: orderbook_builder_run2, ReportSeries, SnapshotCheck against the
//                            day's 3000 ms snapshots, render_report_html; items are events.
//   RenderPage:              render_report_html alone, from the series kept at 3000 ms.
#include <benchmark/benchmark.h>

#include <vector>

#include "feed_sim.h"
#include "quotelab/orderbook.h"
#include "report_check.h"
#include "report_html.h"

namespace {

const qlsim::Day& simulated_day() {
  static const qlsim::Day day = [] {
    qlsim::Config c;
    c.style = qlsim::Style::Shenzhen;
    c.seed = 20240102;
    c.orders = 560000;  // about 1.9 records per entry: just over 1,000,000 events
    return qlsim::simulate_day(c);
  }();
  return day;
}

struct Receiver {
  std::vector<_L2Snapshot>* all = nullptr;
  qltool::ReportSeries* series = nullptr;
  qltool::SnapshotCheck* check = nullptr;
};

int receive(orderbook_builder*, const _L2Snapshot* s, void* user) {
  auto* r = static_cast<Receiver*>(user);
  if (r->all != nullptr) r->all->push_back(*s);
  if (r->series != nullptr) r->series->add(*s);
  if (r->check != nullptr) r->check->add_rebuilt(*s);
  return 0;
}

void rebuild(int interval_ms, Receiver* receiver) {
  const qlsim::Day& d = simulated_day();
  orderbook_builder* b = orderbook_builder_create("SZ", d.config.symbol.c_str(), interval_ms);
  orderbook_builder_set_interval_ms(b, interval_ms);
  orderbook_builder_set_callback(b, receive, receiver);
  orderbook_builder_run2(b, d.config.date, d.orders.data(), static_cast<int32_t>(d.orders.size()),
                         d.trades.data(), static_cast<int32_t>(d.trades.size()));
  orderbook_builder_release(b);
}

const std::vector<_L2Snapshot>& snapshots_3000() {
  static const std::vector<_L2Snapshot> all = [] {
    std::vector<_L2Snapshot> v;
    Receiver r;
    r.all = &v;
    rebuild(3000, &r);
    return v;
  }();
  return all;
}

void BM_ReportDay(benchmark::State& state) {
  const int interval = static_cast<int>(state.range(0));
  const std::vector<_L2Snapshot>& file = snapshots_3000();
  const std::vector<size_t> lines(file.size(), 0);
  size_t bytes = 0;
  for (auto _ : state) {
    qltool::ReportSeries series;
    qltool::SnapshotCheck check(file, lines, "ticks", "record");
    Receiver r{nullptr, &series, &check};
    rebuild(interval, &r);
    const std::string page =
        qltool::render_report_html(series.kept(), {"000001.SZ", "bench"}, &check.finish());
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(simulated_day().events() * state.iterations()));
  state.counters["page_kb"] = static_cast<double>(bytes) / 1024;
}
BENCHMARK(BM_ReportDay)->Arg(3000)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_RenderPage(benchmark::State& state) {
  qltool::ReportSeries series;
  for (const _L2Snapshot& s : snapshots_3000()) series.add(s);
  for (auto _ : state) {
    const std::string page =
        qltool::render_report_html(series.kept(), {"000001.SZ", "bench"}, nullptr);
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(series.kept().size() * state.iterations()));
}
BENCHMARK(BM_RenderPage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
