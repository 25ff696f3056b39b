// quotelab report on a simulated day of 1,000,000 events, files aside.
//   ReportDay/<interval ms>: orderbook_builder_run2 feeding ReportSeries, then the page;
//                            items are events.
//   ReportDayChecked/3000:   the same, and verify_day against the day's 3000 ms snapshots.
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
};

int receive(orderbook_builder*, const _L2Snapshot* s, void* user) {
  auto* r = static_cast<Receiver*>(user);
  if (r->all != nullptr) r->all->push_back(*s);
  if (r->series != nullptr) r->series->add(*s);
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

// The day's 3000 ms snapshots as the reference file of a check.
const std::vector<qlverify::ReferenceSnapshot>& references() {
  static const std::vector<qlverify::ReferenceSnapshot> refs = [] {
    std::vector<qlverify::ReferenceSnapshot> r;
    for (const _L2Snapshot& s : snapshots_3000()) {
      r.emplace_back();
      r.back().snapshot = s;
    }
    return r;
  }();
  return refs;
}

void report_day(benchmark::State& state, bool checked) {
  const int interval = static_cast<int>(state.range(0));
  const qlsim::Day& d = simulated_day();
  size_t bytes = 0;
  for (auto _ : state) {
    qltool::ReportSeries series;
    Receiver r{nullptr, &series};
    rebuild(interval, &r);
    qltool::DayCheck check;
    if (checked) {
      qlverify::DayInput day;
      day.exchange = "SZ";
      day.symbol = d.config.symbol;
      day.date = d.config.date;
      day.orders = d.orders.data();
      day.order_count = static_cast<int32_t>(d.orders.size());
      day.trades = d.trades.data();
      day.trade_count = static_cast<int32_t>(d.trades.size());
      qlverify::VerifyReport report;
      std::string error;
      qlverify::verify_day(day, references(), {}, &report, &error);
      check = qltool::day_check_of(report, references(), "ticks", "record");
    }
    const std::string page = qltool::render_report_html(series.kept(), {"000001.SZ", "bench"},
                                                        checked ? &check : nullptr);
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(d.events() * state.iterations()));
  state.counters["page_kb"] = static_cast<double>(bytes) / 1024;
}

void BM_ReportDay(benchmark::State& state) {
  report_day(state, false);
}
BENCHMARK(BM_ReportDay)->Arg(3000)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReportDayChecked(benchmark::State& state) {
  report_day(state, true);
}
BENCHMARK(BM_ReportDayChecked)->Arg(3000)->Unit(benchmark::kMillisecond);

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
