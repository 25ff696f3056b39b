// CSV reading and row formatting throughput.
//
// The reading benchmarks work on generated files written once to /tmp: a snapshot file of at
// least 100 MB (59 columns a row, as l2snapshot_to_csv writes them) and a bar file with the 8
// columns vendors ship. Tokenising reports bytes per second; decoding and formatting report
// rows per second. Rates are per CPU second of the benchmark thread (the default), which
// stays meaningful on a machine shared with other work.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

constexpr size_t kSnapshotFileBytes = 100u << 20;
constexpr int kBarRows = 1000000;
const char* const kSnapshotPath = "/tmp/quotelab_csv_bench_snapshots.csv";
const char* const kBarPath = "/tmp/quotelab_csv_bench_bars.csv";

// Snapshots with prices on a 0.01 grid, as exchanges quote them, and filled levels.
std::vector<_L2Snapshot> make_snapshots(int n) {
  std::mt19937 rng(7);
  std::vector<_L2Snapshot> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    _L2Snapshot& s = v[static_cast<size_t>(i)];
    memset(&s, 0, sizeof s);
    s.type = QL_RECORD_L2SNAPSHOT;
    s.exchange = static_cast<uint8_t>(1 + i % 2);
    snprintf(s.symbol, sizeof s.symbol, "%06d", 600000 + i % 2000);
    s.action_day = 20230105;
    s.trading_day = 20230105;
    s.time = 93000000 + (i / 2000) * 3000;
    const double mid = (1000 + rng() % 9000) / 100.0;
    s.open = mid - 0.05;
    s.high = mid + 0.12;
    s.low = mid - 0.2;
    s.last = mid;
    s.volume = 1000000 + rng() % 100000000;
    // Amounts and limits are whole fen (0.01), as the exchanges publish them.
    s.turnover = std::round(static_cast<double>(s.volume) * mid * 100) / 100;
    s.upper_limit = std::round(mid * 110) / 100;
    s.lower_limit = std::round(mid * 90) / 100;
    s.pre_close = mid - 0.03;
    s.num_trades = static_cast<int32_t>(rng() % 100000);
    for (int l = 0; l < 10; ++l) {
      s.ask_price[l] = (static_cast<int>(mid * 100) + 1 + l) / 100.0;
      s.bid_price[l] = (static_cast<int>(mid * 100) - l) / 100.0;
      s.ask_volume[l] = static_cast<int32_t>(100 * (1 + rng() % 500));
      s.bid_volume[l] = static_cast<int32_t>(100 * (1 + rng() % 500));
    }
  }
  return v;
}

std::vector<_BarData> make_bars(int n) {
  std::mt19937 rng(11);
  std::vector<_BarData> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    _BarData& b = v[static_cast<size_t>(i)];
    memset(&b, 0, sizeof b);
    b.type = QL_RECORD_BAR;
    b.exchange = 1;
    snprintf(b.symbol, sizeof b.symbol, "%06d", 600000 + i % 2000);
    b.action_day = 20230105;
    b.time = 93100000 + (i / 2000) * 100000;
    const double mid = (1000 + rng() % 9000) / 100.0;
    b.open = mid - 0.02;
    b.high = mid + 0.05;
    b.low = mid - 0.07;
    b.close = mid;
    b.volume = 100 * (1 + rng() % 10000);
    b.turnover = std::round(static_cast<double>(b.volume) * mid * 100) / 100;
  }
  return v;
}

bool file_ready(const char* path, size_t min_bytes) {
  struct stat st;
  return stat(path, &st) == 0 && static_cast<size_t>(st.st_size) >= min_bytes;
}

// Writes the snapshot file (header + rows) unless a big enough one is there already.
void ensure_snapshot_file() {
  if (file_ready(kSnapshotPath, kSnapshotFileBytes)) return;
  FILE* f = fopen(kSnapshotPath, "wb");
  if (!f) return;
  char buf[4000];
  fwrite(buf, 1, static_cast<size_t>(l2snapshot_csv_header(buf, sizeof buf, ',')), f);
  const std::vector<_L2Snapshot> recs = make_snapshots(4096);
  for (size_t written = 0, i = 0; written < kSnapshotFileBytes; ++i) {
    const int n = l2snapshot_to_csv(buf, sizeof buf, &recs[i % recs.size()], ',');
    fwrite(buf, 1, static_cast<size_t>(n), f);
    written += static_cast<size_t>(n);
  }
  fclose(f);
}

// The bar file: instrument, date, time, open, high, low, close, volume.
void ensure_bar_file() {
  if (file_ready(kBarPath, 1)) return;
  FILE* f = fopen(kBarPath, "wb");
  if (!f) return;
  fputs("symbol,date,time,open,high,low,close,volume\n", f);
  const std::vector<_BarData> bars = make_bars(kBarRows);
  for (const _BarData& b : bars) {
    fprintf(f, "%s.SH,2023-01-05,%d,%.2f,%.2f,%.2f,%.2f,%lld\n", b.symbol, b.time, b.open, b.high,
            b.low, b.close, static_cast<long long>(b.volume));
  }
  fclose(f);
}

std::string load(const char* path) {
  std::string data;
  FILE* f = fopen(path, "rb");
  if (!f) return data;
  char chunk[1 << 16];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) data.append(chunk, n);
  fclose(f);
  return data;
}

const std::string& snapshot_text() {
  static const std::string text = [] {
    ensure_snapshot_file();
    return load(kSnapshotPath);
  }();
  return text;
}

const std::string& bar_text() {
  static const std::string text = [] {
    ensure_bar_file();
    return load(kBarPath);
  }();
  return text;
}

// Runs visit(handle) on every row of `text` per iteration and reports bytes and rows per
// second. Opening (the copy of the text into the handle) and closing are not timed.
template <class VisitRow>
void read_every_row(benchmark::State& state, const std::string& text, VisitRow&& visit) {
  int64_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    csv_file* h = csv_open_mem(text.data(), text.size(), ',', 0);
    state.ResumeTiming();
    double sum = 0;
    while (csv_next(h) == 0) {
      sum += visit(h);
      ++rows;
    }
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    csv_close(h);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(rows);
}

// The length and first byte of every field of the current row.
double touch_fields(csv_file* h) {
  size_t sum = 0;
  const int n = csv_field_count(h);
  for (int i = 0; i < n; ++i) {
    int len;
    const char* text = csv_get_field(h, i, &len);
    sum += static_cast<size_t>(len) + static_cast<unsigned char>(text[0]);
  }
  return static_cast<double>(sum);
}

// Splitting rows into fields.
void BM_CsvTokenise(benchmark::State& state) {
  read_every_row(state, snapshot_text(), touch_fields);
}
BENCHMARK(BM_CsvTokenise)->Unit(benchmark::kMillisecond);

// csv_open on the file (page cache) plus splitting every row.
void BM_CsvOpenAndTokenise(benchmark::State& state) {
  const size_t bytes = snapshot_text().size();
  int64_t rows = 0;
  for (auto _ : state) {
    csv_file* h = csv_open(kSnapshotPath, ',', 0);
    double sum = 0;
    for (; csv_next(h) == 0; ++rows) sum += touch_fields(h);
    benchmark::DoNotOptimize(sum);
    csv_close(h);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
  state.SetItemsProcessed(rows);
}
BENCHMARK(BM_CsvOpenAndTokenise)->Unit(benchmark::kMillisecond);

// Which columns of the snapshot file hold prices or amounts (the rest are integers).
std::vector<char> real_columns(const std::string& text) {
  csv_file* h = csv_open_mem(text.data(), text.size(), ',', 0);
  std::vector<char> is_real(static_cast<size_t>(csv_column_count(h)));
  for (size_t i = 0; i < is_real.size(); ++i) {
    const std::string name = csv_column_name(h, static_cast<int>(i));
    is_real[i] = name.find("price") != name.npos || name.find("limit") != name.npos ||
                 name.find("pre_") == 0 || name == "open" || name == "high" || name == "low" ||
                 name == "last" || name == "turnover" || name == "settle" || name == "iopv";
  }
  csv_close(h);
  return is_real;
}

// Splitting plus a typed read of every column, as the snapshot decoder does it.
void BM_CsvDecodeSnapshotRows(benchmark::State& state) {
  const std::vector<char> is_real = real_columns(snapshot_text());
  const int columns = static_cast<int>(is_real.size());
  read_every_row(state, snapshot_text(), [&](csv_file* h) {
    double sum = csv_get_byidx(h, 0)[0];
    for (int i = 1; i < columns; ++i) {
      sum += is_real[static_cast<size_t>(i)] ? csv_get_double_byidx(h, i)
                                             : static_cast<double>(csv_get_int64_byidx(h, i));
    }
    return sum;
  });
}
BENCHMARK(BM_CsvDecodeSnapshotRows)->Unit(benchmark::kMillisecond);

void BM_CsvDecodeBarRows(benchmark::State& state) {
  read_every_row(state, bar_text(), [](csv_file* h) {
    double sum = csv_get_byidx(h, 0)[0] + csv_get_byidx(h, 1)[0] + csv_get_int32_byidx(h, 2);
    for (int i = 3; i < 7; ++i) sum += csv_get_double_byidx(h, i);
    return sum + static_cast<double>(csv_get_int64_byidx(h, 7));
  });
}
BENCHMARK(BM_CsvDecodeBarRows)->Unit(benchmark::kMillisecond);

// Formats rows from a ring of prepared records; reports rows and bytes per second.
template <class Rec>
void format_rows(benchmark::State& state, const std::vector<Rec>& recs,
                 int (*format)(char*, int, const Rec*, char)) {
  char buf[4000];
  size_t i = 0, bytes = 0;
  for (auto _ : state) {
    const int n = format(buf, sizeof buf, &recs[i++ % recs.size()], ',');
    benchmark::DoNotOptimize(buf);
    bytes += static_cast<size_t>(n);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_L2SnapshotToCsv(benchmark::State& state) {
  format_rows(state, make_snapshots(4096), l2snapshot_to_csv);
}
BENCHMARK(BM_L2SnapshotToCsv);

void BM_BarToCsv(benchmark::State& state) {
  format_rows(state, make_bars(4096), bar_to_csv);
}
BENCHMARK(BM_BarToCsv);

}  // namespace

BENCHMARK_MAIN();
