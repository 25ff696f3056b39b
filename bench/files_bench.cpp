// Market-data files: decoding CSV rows with DataCsvReader (snapshots with every snapshot
// column, bars, orders) and writing rows with DataCsvWriter (snapshots, bars, trades).
//
// Reading: one iteration decodes a whole generated file of 200,000 rows, csv_open and
// csv_next included, so rows/s is what a replay of such a file sees. The files are written
// once per run to /tmp. Writing: one iteration writes one row to a file in /tmp, which is
// started afresh every kRowsPerWriteFile rows (outside the timing) to bound its size.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "quotelab/csv_reader.h"
#include "quotelab/csv_writer.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace {

constexpr int kRows = 200000;
constexpr int kRowsPerWriteFile = 200000;

struct BenchFile {
  std::string path;
  long bytes = 0;
  int rows = 0;
};

long size_of(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  fseek(f, 0, SEEK_END);
  const long n = ftell(f);
  fclose(f);
  return n;
}

// Writes `rows` rows produced by row(i, buf) after the header.
template <typename RowFn>
BenchFile generate(const char* name, const std::string& header, RowFn row) {
  BenchFile f;
  f.path = std::string("/tmp/") + name;
  f.rows = kRows;
  FILE* out = fopen(f.path.c_str(), "wb");
  if (!out) return f;
  fputs(header.c_str(), out);
  char line[8192];
  for (int i = 0; i < kRows; ++i) {
    const int n = row(i, line, static_cast<int>(sizeof(line)));
    fwrite(line, 1, static_cast<size_t>(n), out);
  }
  fclose(out);
  f.bytes = size_of(f.path);
  return f;
}

const char* const kSymbols[] = {"600000.SH", "000001.SZ", "300750.SZ", "601318.SH",
                                "688981.SH", "002594.SZ", "510300.SH", "159919.SZ"};

// 60 columns: every field the snapshot decoder reads, plus exchange and the price limits.
const BenchFile& snapshot_file() {
  static const BenchFile file = [] {
    std::string header =
        "instrument,exchange,trading_day,action_day,time,open,high,low,last,volume,turnover,"
        "upper_limit,lower_limit,pre_close,pre_settle,settle,num_trades,iopv,open_interest,"
        "pre_open_interest";
    for (const char* side : {"ask", "bid"}) {
      for (int l = 1; l <= 10; ++l) {
        header += std::string(",") + side + "_price" + std::to_string(l);
        header += std::string(",") + side + "_volume" + std::to_string(l);
      }
    }
    header += "\n";
    return generate("ql_files_bench_snapshot.csv", header, [](int i, char* buf, int size) {
      const double last = 10.0 + (i % 1000) * 0.01;
      int n = snprintf(buf, static_cast<size_t>(size),
                       "%s,%s,20230105,20230105,%d,10.00,%.2f,9.50,%.2f,%d,%.2f,11.00,9.00,"
                       "9.98,0,0,%d,0,0,0",
                       kSymbols[i % 8], i % 8 % 2 ? "SZSE" : "SSE", 93000000 + i * 3, last + 0.5,
                       last, 1000 + i * 100, (1000.0 + i * 100) * last, 10 + i);
      for (int side = 0; side < 2; ++side) {
        for (int l = 1; l <= 10; ++l) {
          n += snprintf(buf + n, static_cast<size_t>(size - n), ",%.2f,%d",
                        side ? last - 0.01 * l : last + 0.01 * l, 100 * l + i % 700);
        }
      }
      n += snprintf(buf + n, static_cast<size_t>(size - n), "\n");
      return n;
    });
  }();
  return file;
}

const BenchFile& bar_file() {
  static const BenchFile file = generate(
      "ql_files_bench_bar.csv",
      "symbol,action_day,time,open,high,low,close,volume,turnover,open_interest,trading_day,"
      "num_trades\n",
      [](int i, char* buf, int size) {
        const double close = 4000.0 + (i % 500) * 0.2;
        return snprintf(buf, static_cast<size_t>(size),
                        "%s,20230105,%d,%.1f,%.1f,%.1f,%.1f,%d,%.1f,%d,20230105,%d\n",
                        kSymbols[i % 8], 93100000 + (i % 240) * 100000, close - 1, close + 2,
                        close - 3, close, 100 + i % 900, close * (100 + i % 900), 150000 + i,
                        10 + i % 90);
      });
  return file;
}

const BenchFile& order_file() {
  static const BenchFile file =
      generate("ql_files_bench_order.csv",
               "instrument,action_day,time,price,volume,seq_num,order_index,bs_flag,order_type_sh,"
               "order_type_sz\n",
               [](int i, char* buf, int size) {
                 return snprintf(buf, static_cast<size_t>(size),
                                 "%s,20230105,%d,%.2f,%d,%d,%d,%c,%c,%c\n", kSymbols[i % 8],
                                 93000000 + i * 10, 10.0 + (i % 300) * 0.01, 100 * (1 + i % 50),
                                 i + 1, i + 1000000, i % 2 ? 'S' : 'B', "12D"[i % 3], "12U"[i % 3]);
               });
  return file;
}

// Decodes every row of the file per iteration, as a replay would: zero-fill, get, next. With
// include_open the csv_open of the file (reading it into memory) is timed too; without it only
// the row loop is, which is the decoding rate proper.
template <typename Rec>
void decode_file(benchmark::State& state, const BenchFile& file, bool include_open) {
  if (file.bytes == 0) {
    state.SkipWithError("bench file could not be written to /tmp");
    return;
  }
  int64_t rows = 0;
  std::unique_ptr<KX::DataCsvReader> reader;
  for (auto _ : state) {
    if (!include_open) state.PauseTiming();
    reader.reset();  // frees the previous pass's file block
    reader = std::make_unique<KX::DataCsvReader>(file.path.c_str(), ',');
    if (!include_open) state.ResumeTiming();
    if (!reader->csv_handle) {
      state.SkipWithError("bench file did not open");
      return;
    }
    Rec rec;
    while (csv_next(reader->csv_handle) == 0) {
      memset(&rec, 0, sizeof(rec));
      benchmark::DoNotOptimize(reader->get(&rec));
      benchmark::ClobberMemory();
      ++rows;
    }
  }
  state.SetItemsProcessed(rows);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.bytes);
  state.counters["ns_per_row"] = benchmark::Counter(
      static_cast<double>(rows) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReadSnapshots(benchmark::State& state) {
  decode_file<_L2Snapshot>(state, snapshot_file(), state.range(0) != 0);
}
void BM_ReadBars(benchmark::State& state) {
  decode_file<_BarData>(state, bar_file(), state.range(0) != 0);
}
void BM_ReadOrders(benchmark::State& state) {
  decode_file<_L2Order>(state, order_file(), state.range(0) != 0);
}

// Argument: 0 = rows only, 1 = csv_open included.
BENCHMARK(BM_ReadSnapshots)->ArgName("with_open")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBars)->ArgName("with_open")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOrders)->ArgName("with_open")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- writing --------------------------------------------------------------------------------

std::vector<_L2Snapshot> make_snapshots() {
  std::vector<_L2Snapshot> v(1024);
  for (size_t i = 0; i < v.size(); ++i) {
    _L2Snapshot& s = v[i];
    memset(&s, 0, sizeof(s));
    s.type = QL_RECORD_L2SNAPSHOT;
    s.exchange = i % 2 ? 1 : 2;
    snprintf(s.symbol, sizeof(s.symbol), "%06d", static_cast<int>(600000 + i % 64));
    s.action_day = s.trading_day = 20230105;
    s.time = 93000000 + static_cast<int>(i) * 3000;
    s.last = 10.0 + (i % 500) * 0.01;
    s.open = 10.0;
    s.high = s.last + 0.5;
    s.low = 9.5;
    s.volume = 1000 + static_cast<int64_t>(i) * 100;
    s.turnover = s.volume * s.last;
    s.pre_close = 9.98;
    s.num_trades = static_cast<int>(i);
    for (int l = 0; l < 10; ++l) {
      s.ask_price[l] = s.last + 0.01 * (l + 1);
      s.bid_price[l] = s.last - 0.01 * (l + 1);
      s.ask_volume[l] = 100 * (l + 1);
      s.bid_volume[l] = 200 * (l + 1);
    }
  }
  return v;
}

std::vector<_BarData> make_bars() {
  std::vector<_BarData> v(1024);
  for (size_t i = 0; i < v.size(); ++i) {
    _BarData& b = v[i];
    memset(&b, 0, sizeof(b));
    b.type = QL_RECORD_BAR;
    b.exchange = 9;
    snprintf(b.symbol, sizeof(b.symbol), "rb%04d", static_cast<int>(2305 + i % 64));
    b.action_day = b.trading_day = 20230105;
    b.time = 93100 + static_cast<int>(i / 64) * 100;  // 64 symbols per bar time
    b.close = 4000.0 + (i % 500) * 0.2;
    b.open = b.close - 1;
    b.high = b.close + 2;
    b.low = b.close - 3;
    b.volume = 100 + static_cast<int64_t>(i);
    b.turnover = b.volume * b.close;
    b.open_interest = 150000;
  }
  return v;
}

std::vector<_L2Trade> make_trades() {
  std::vector<_L2Trade> v(1024);
  for (size_t i = 0; i < v.size(); ++i) {
    _L2Trade& t = v[i];
    memset(&t, 0, sizeof(t));
    t.type = QL_RECORD_L2TRADE;
    t.exchange = i % 2 ? 1 : 2;
    snprintf(t.symbol, sizeof(t.symbol), "%06d", static_cast<int>(600000 + i % 64));
    t.action_day = 20230105;
    t.time = 93000000 + static_cast<int>(i) * 10;
    t.volume = 100 * (1 + i % 50);
    t.price = 10.0 + (i % 300) * 0.01;
    t.seq_num = static_cast<int64_t>(i) + 1;
    t.bid_seq_num = static_cast<int64_t>(i) * 2 + 1;
    t.ask_seq_num = static_cast<int64_t>(i) * 2 + 2;
    t.bs_flag = i % 2 ? 'S' : 'B';
  }
  return v;
}

template <typename Rec>
void write_rows(benchmark::State& state, const char* name, std::vector<Rec> records) {
  const std::string path = std::string("/tmp/") + name;
  auto* writer = new KX::DataCsvWriter(path.c_str(), "w", ',');
  if (!writer->is_open()) {
    delete writer;
    state.SkipWithError("bench output could not be opened in /tmp");
    return;
  }
  size_t i = 0;
  int in_file = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(writer->write(&records[i]));
    i = (i + 1) & (records.size() - 1);
    if (++in_file == kRowsPerWriteFile) {
      state.PauseTiming();
      delete writer;
      writer = new KX::DataCsvWriter(path.c_str(), "w", ',');
      in_file = 0;
      state.ResumeTiming();
    }
  }
  delete writer;  // the final close and its flush are outside the loop
  unlink(path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_WriteSnapshots(benchmark::State& state) {
  write_rows(state, "ql_files_bench_write_snapshot.csv", make_snapshots());
}
void BM_WriteBars(benchmark::State& state) {
  write_rows(state, "ql_files_bench_write_bar.csv", make_bars());
}
void BM_WriteTrades(benchmark::State& state) {
  write_rows(state, "ql_files_bench_write_trade.csv", make_trades());
}

BENCHMARK(BM_WriteSnapshots);
BENCHMARK(BM_WriteBars);
BENCHMARK(BM_WriteTrades);

}  // namespace

BENCHMARK_MAIN();
