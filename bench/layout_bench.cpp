// Exchange and vendor layouts: KX::LayoutReader reading a whole simulated Shanghai or Shenzhen
// day (about 1,000,000 records) from a file in each built-in layout, open and tokenizing
// included, so rows/s is what `quotelab book` sees. The files are written once per run to
// /tmp by the simulator's layout writer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "feed_sim.h"
#include "layout_writer.h"
#include "quotelab/layout_reader.h"

namespace {

struct LayoutFile {
  std::string path;
  size_t rows = 0;
};

// The day of a style, simulated once: about a million records.
const qlsim::Day& day_of(qlsim::Style style) {
  static std::map<qlsim::Style, qlsim::Day> days;
  auto it = days.find(style);
  if (it == days.end()) {
    qlsim::Config c;
    c.style = style;
    c.orders = style == qlsim::Style::Shanghai ? 580000 : 515000;
    c.symbol = style == qlsim::Style::Shanghai ? "600519" : "000001";
    it = days.emplace(style, qlsim::simulate_day(c)).first;
  }
  return it->second;
}

const LayoutFile& file_of(qlsim::FileLayout layout, bool trades) {
  static std::map<std::pair<int, bool>, LayoutFile> files;
  const auto key = std::make_pair(static_cast<int>(layout), trades);
  auto it = files.find(key);
  if (it != files.end()) return it->second;
  const qlsim::Day& day = day_of(layout == qlsim::FileLayout::Shenzhen ? qlsim::Style::Shenzhen
                                                                       : qlsim::Style::Shanghai);
  const std::string text =
      trades ? qlsim::layout_trades_text(day, layout) : qlsim::layout_orders_text(day, layout);
  LayoutFile f;
  f.path = "/tmp/ql_layout_bench_" + std::to_string(getpid()) + "_" + std::to_string(key.first) +
           (trades ? "_t.csv" : "_o.csv");
  FILE* out = std::fopen(f.path.c_str(), "wb");
  if (out != nullptr) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
  for (char c : text) f.rows += c == '\n';
  f.rows -= 1;  // the header
  return files.emplace(key, f).first->second;
}

void read_layout(benchmark::State& state, qlsim::FileLayout layout, bool trades) {
  const LayoutFile& f = file_of(layout, trades);
  size_t rows = 0;
  for (auto _ : state) {
    KX::LayoutReader reader;
    reader.set_trading_day(20240102);
    if (reader.open(f.path.c_str()) != 0 || reader.read() != 0) {
      state.SkipWithError(reader.error().c_str());
      return;
    }
    rows += reader.rows_read() + reader.rows_skipped();
    benchmark::DoNotOptimize(reader.orders().data());
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.counters["ns/row"] = benchmark::Counter(
      static_cast<double>(rows), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<int64_t>(rows));
}

void BM_ShanghaiAOrders(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::ShanghaiA, false);
}
void BM_ShanghaiATrades(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::ShanghaiA, true);
}
void BM_ShanghaiBOrders(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::ShanghaiB, false);
}
void BM_ShanghaiBTrades(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::ShanghaiB, true);
}
void BM_ShanghaiTicks(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::ShanghaiTicks, false);
}
void BM_ShenzhenOrders(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::Shenzhen, false);
}
void BM_ShenzhenTrades(benchmark::State& s) {
  read_layout(s, qlsim::FileLayout::Shenzhen, true);
}

BENCHMARK(BM_ShanghaiAOrders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShanghaiATrades)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShanghaiBOrders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShanghaiBTrades)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShanghaiTicks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShenzhenOrders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShenzhenTrades)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The generated files go with the run.
  for (int layout = 0; layout < 4; ++layout) {
    for (const char* end : {"_o.csv", "_t.csv"}) {
      std::remove(
          ("/tmp/ql_layout_bench_" + std::to_string(getpid()) + "_" + std::to_string(layout) + end)
              .c_str());
    }
  }
  return 0;
}
