// Replays: records per second through next() for the binary tick and bar replays, the CSV tick
// replay and the array replay, with plain fread of one tick record at a time from the same
// file as the yardstick of the binary tick replay.
//
// One iteration replays a whole day: the replay is constructed (the file opened or, for CSV,
// read and its header bound), init and next until the end, all timed. The files are written
// once per run to /tmp and removed at the end; they stay in the page cache, so these figures
// are the replay's own cost, not the disk's.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "quotelab/data_replay.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace {

constexpr int kDay = 20240105;
constexpr int kBinaryRecords = 300000;
constexpr int kCsvRecords = 200000;

const std::string kTickFile = "/tmp/ql_replay_bench_tick.dat";
const std::string kBarFile = "/tmp/ql_replay_bench_bar1m.dat";
const std::string kCsvFile = "/tmp/ql_replay_bench_tick.csv";

const char* const kSymbols[] = {"600000", "000001", "300750", "601318", "510300"};

_L2Snapshot tick_of(int i) {
  _L2Snapshot t;
  memset(&t, 0, sizeof t);
  t.type = QL_RECORD_L2SNAPSHOT;
  t.exchange = static_cast<uint8_t>(i % 2 + 1);
  strcpy(t.symbol, kSymbols[i % 5]);
  t.action_day = kDay;
  t.trading_day = kDay;
  t.time = 93000000 + (i / 5) % 1000 * 3000;
  t.last = 10.0 + (i % 100) * 0.01;
  t.open = 10.0;
  t.high = 11.0;
  t.low = 9.5;
  t.volume = 1000LL * i;
  t.turnover = 10.0 * 1000 * i;
  t.num_trades = i;
  for (int level = 0; level < QL_SNAPSHOT_LEVELS; ++level) {
    t.ask_price[level] = t.last + 0.01 * (level + 1);
    t.ask_volume[level] = 100 * (level + 1);
    t.bid_price[level] = t.last - 0.01 * (level + 1);
    t.bid_volume[level] = 200 * (level + 1);
  }
  return t;
}

_BarData bar_of(int i) {
  _BarData b;
  memset(&b, 0, sizeof b);
  b.type = QL_RECORD_BAR;
  strcpy(b.symbol, kSymbols[i % 5]);
  b.action_day = kDay;
  b.trading_day = kDay;
  b.time = 93100000 + i % 240 * 100000;
  b.open = b.high = b.low = b.close = 10.0 + (i % 100) * 0.01;
  b.volume = 100 * i;
  return b;
}

template <typename Record, typename Maker>
void write_binary(const std::string& path, int count, Maker make) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) return;
  for (int i = 0; i < count; ++i) {
    const Record r = make(i);
    fwrite(&r, sizeof r, 1, out);
  }
  fclose(out);
}

void write_tick_csv(const std::string& path, int count) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) return;
  char line[8192];
  if (l2snapshot_csv_header(line, sizeof line, ',') > 0) fputs(line, out);
  for (int i = 0; i < count; ++i) {
    const _L2Snapshot t = tick_of(i);
    if (l2snapshot_to_csv(line, sizeof line, &t, ',') > 0) fputs(line, out);
  }
  fclose(out);
}

void report(benchmark::State& state, int64_t records) {
  state.SetItemsProcessed(records);
  // Seconds per record, printed with its SI prefix (e.g. 92n = 92 ns).
  state.counters["time_per_item"] = benchmark::Counter(
      static_cast<double>(records), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Replays one replay object to its end and returns the records delivered.
int64_t drain(KX::IDataReplay& replay, void* buf, int size) {
  replay.init(kDay);
  replay.start();
  unsigned char type = 0;
  int64_t n = 0;
  while (replay.next(buf, size, &type) > 0) ++n;
  return n;
}

// One iteration replays a replay made by make() to its end. With `timed_open` false the
// making (for CSV: reading the whole file and binding its header) and the destruction are left
// out of the timing, so the rate is that of next() alone.
template <typename Make>
void replay_whole_day(benchmark::State& state, bool timed_open, Make make) {
  alignas(8) unsigned char buf[QL_L2SNAPSHOT_SIZE];
  int64_t records = 0;
  for (auto _ : state) {
    if (!timed_open) state.PauseTiming();
    std::unique_ptr<KX::IDataReplay> replay = make();
    if (!timed_open) state.ResumeTiming();
    records += drain(*replay, buf, sizeof buf);
    benchmark::DoNotOptimize(buf);
    if (!timed_open) state.PauseTiming();
    replay.reset();
    if (!timed_open) state.ResumeTiming();
  }
  if (records == 0) state.SkipWithError("nothing replayed");
  report(state, records);
}

void BM_FreadTick(benchmark::State& state) {
  alignas(8) unsigned char buf[QL_L2SNAPSHOT_SIZE];
  int64_t records = 0;
  for (auto _ : state) {
    FILE* f = fopen(kTickFile.c_str(), "rb");
    if (f == nullptr) {
      state.SkipWithError("no tick file");
      return;
    }
    while (fread(buf, sizeof buf, 1, f) == 1) {
      benchmark::DoNotOptimize(buf);
      ++records;
    }
    fclose(f);
  }
  report(state, records);
}
BENCHMARK(BM_FreadTick)->Unit(benchmark::kMillisecond);

void BM_BinTickReplay(benchmark::State& state) {
  replay_whole_day(state, true, [] {
    return std::make_unique<KX::DataReplayBin>("tick", "", kTickFile.c_str());
  });
}
BENCHMARK(BM_BinTickReplay)->Unit(benchmark::kMillisecond);

void BM_BinBarReplay(benchmark::State& state) {
  replay_whole_day(state, true,
                   [] { return std::make_unique<KX::DataReplayBin>("1m", "", kBarFile.c_str()); });
}
BENCHMARK(BM_BinBarReplay)->Unit(benchmark::kMillisecond);

// Snapshots through next(); then the same with the file's reading at construction timed too.
void BM_CsvTickReplay(benchmark::State& state) {
  replay_whole_day(state, state.range(0) != 0, [] {
    return std::make_unique<KX::DataReplayCsv>("tick", "", kCsvFile.c_str());
  });
}
BENCHMARK(BM_CsvTickReplay)->ArgName("with_open")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ArrayTickReplay(benchmark::State& state) {
  std::vector<_L2Snapshot> ticks;
  ticks.reserve(kBinaryRecords);
  std::vector<void*> pointers;
  for (int i = 0; i < kBinaryRecords; ++i) ticks.push_back(tick_of(i));
  for (auto& t : ticks) pointers.push_back(&t);
  KX::DataArray array(pointers.data(), static_cast<int>(pointers.size()), sizeof(_L2Snapshot));
  replay_whole_day(state, true,
                   [&array] { return std::make_unique<KX::DataReplayArray>("tick", "", &array); });
}
BENCHMARK(BM_ArrayTickReplay)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  write_binary<_L2Snapshot>(kTickFile, kBinaryRecords, tick_of);
  write_binary<_BarData>(kBarFile, kBinaryRecords, bar_of);
  write_tick_csv(kCsvFile, kCsvRecords);
  benchmark::Initialize(&argc, argv);
  int rc = 0;
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    rc = 1;
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  remove(kTickFile.c_str());
  remove(kBarFile.c_str());
  remove(kCsvFile.c_str());
  return rc;
}
