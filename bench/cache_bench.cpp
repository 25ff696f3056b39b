// Market data cache hot paths over a full market of 5,000 symbols: tick updates and lookups,
// bar updates, history queries, the snapshot filter and the bar series map.
//
// Each benchmark reports items per second; "heap_bytes_per_op" is the change of the heap's
// in-use bytes over the timed loop divided by the operations (0 when nothing is allocated per
// call once a symbol is known).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "quotelab/bar_series_map.h"
#include "quotelab/mdata_cache.h"
#include "quotelab/mdata_filter.h"

namespace {

constexpr int kSymbols = 5000;
constexpr int kKeepBars = 240;

const std::vector<std::string>& symbols() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (int i = 0; i < kSymbols; ++i) {
      char buf[16];
      snprintf(buf, sizeof(buf), "%06d", i < kSymbols / 2 ? 600000 + i : i);
      v.push_back(buf);
    }
    return v;
  }();
  return names;
}

int exchange_of(int i) {
  return i < kSymbols / 2 ? 1 : 2;
}

_L2Snapshot make_snap(int i, int time) {
  _L2Snapshot s;
  memset(&s, 0, sizeof(s));
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = static_cast<uint8_t>(exchange_of(i));
  strncpy(s.symbol, symbols()[i].c_str(), sizeof(s.symbol) - 1);
  s.action_day = 20240102;
  s.time = time;
  s.last = 10.0 + i * 0.01;
  s.volume = 1000 + i;
  s.ask_price[0] = s.last + 0.01;
  s.bid_price[0] = s.last;
  return s;
}

_BarData make_bar(int i, int minute) {
  _BarData b;
  memset(&b, 0, sizeof(b));
  b.type = QL_RECORD_BAR;
  b.exchange = static_cast<uint8_t>(exchange_of(i));
  strncpy(b.symbol, symbols()[i].c_str(), sizeof(b.symbol) - 1);
  b.action_day = 20240102;
  b.trading_day = 20240102;
  b.time = minute;
  b.close = 10.0 + minute * 0.001;
  return b;
}

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

// Runs op(i) once per iteration, i cycling over 0 .. period - 1, and reports items per
// second, ns per item and the heap growth per item.
template <typename Op>
void run_cycling(benchmark::State& state, int period, Op op) {
  int i = 0;
  size_t heap_before = heap_in_use();
  for (auto _ : state) {
    op(i);
    if (++i == period) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  double grown = static_cast<double>(heap_in_use()) - static_cast<double>(heap_before);
  state.counters["heap_bytes_per_op"] =
      benchmark::Counter(grown / static_cast<double>(state.iterations()));
  state.counters["ns_per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const char* sym(int i) {
  return symbols()[i].c_str();
}

// A cache holding a tick of every symbol.
std::unique_ptr<KX::MDataCache> ticked_cache() {
  std::unique_ptr<KX::MDataCache> cache(new KX::MDataCache(1, kKeepBars));
  for (int i = 0; i < kSymbols; ++i) {
    _L2Snapshot s = make_snap(i, 93000000);
    cache->update_set_tick(sym(i), &s);
  }
  return cache;
}

void BM_UpdateSetTickKnown(benchmark::State& state) {
  auto cache = ticked_cache();
  std::vector<_L2Snapshot> snaps;
  for (int i = 0; i < kSymbols; ++i) snaps.push_back(make_snap(i, 93000003));
  run_cycling(state, kSymbols,
              [&](int i) { benchmark::DoNotOptimize(cache->update_set_tick(sym(i), &snaps[i])); });
}
BENCHMARK(BM_UpdateSetTickKnown);

void BM_UpdateTickKnown(benchmark::State& state) {
  auto cache = ticked_cache();
  // Two items per symbol, cached in turn: each call swaps one reference for another.
  std::vector<msg_item_s*> items;
  for (int i = 0; i < 2 * kSymbols; ++i) {
    _L2Snapshot s = make_snap(i % kSymbols, 93000003 + i / kSymbols);
    items.push_back(msg_item_alloc(&s, sizeof(s)));
  }
  run_cycling(state, 2 * kSymbols, [&](int i) {
    benchmark::DoNotOptimize(cache->update_tick(sym(i % kSymbols), items[i]));
  });
  cache.reset();
  for (msg_item_s* item : items) msg_item_decref_release(item);
}
BENCHMARK(BM_UpdateTickKnown);

void BM_LastTick(benchmark::State& state) {
  auto cache = ticked_cache();
  run_cycling(state, kSymbols, [&](int i) { benchmark::DoNotOptimize(cache->last_tick(sym(i))); });
}
BENCHMARK(BM_LastTick);

void BM_LastTickCopy(benchmark::State& state) {
  auto cache = ticked_cache();
  _L2Snapshot out;
  run_cycling(state, kSymbols,
              [&](int i) { benchmark::DoNotOptimize(cache->last_tick(&out, sym(i))); });
}
BENCHMARK(BM_LastTickCopy);

void BM_LastPrice(benchmark::State& state) {
  auto cache = ticked_cache();
  run_cycling(state, kSymbols, [&](int i) { benchmark::DoNotOptimize(cache->last_price(sym(i))); });
}
BENCHMARK(BM_LastPrice);

// Steady state: every array has been through one bulk trim (so its storage has reached its
// peak and is recycled from then on) and stands at a different point of its next cycle between
// keep_bars and the trim threshold (4 x keep_bars), so trims are spread over the timed loop.
void BM_UpdateBar(benchmark::State& state) {
  KX::MDataCache cache(1, kKeepBars);
  std::vector<_BarData> bars;
  for (int i = 0; i < kSymbols; ++i) {
    bars.push_back(make_bar(i, 0));
    int prefill = 4 * kKeepBars + (i * 137) % (3 * kKeepBars);
    for (int m = 1; m <= prefill; ++m) {
      bars[i].time = m;
      cache.update_bar(sym(i), &bars[i]);
    }
  }
  run_cycling(state, kSymbols, [&](int i) {
    ++bars[i].time;
    benchmark::DoNotOptimize(cache.update_bar(sym(i), &bars[i]));
  });
}
BENCHMARK(BM_UpdateBar);

void BM_HistoryData240Closes(benchmark::State& state) {
  KX::MDataCache cache(1, kKeepBars);
  for (int i = 0; i < kSymbols; ++i) {
    for (int m = 1; m <= kKeepBars; ++m) {
      _BarData b = make_bar(i, m);
      cache.update_bar(sym(i), &b);
    }
  }
  cache.history_data(sym(0), 4, kKeepBars, "1m");  // this thread's buffers
  run_cycling(state, kSymbols, [&](int i) {
    KX::NumArray v = cache.history_data(sym(i), 4, kKeepBars, "1m");
    benchmark::DoNotOptimize(v.data);
  });
}
BENCHMARK(BM_HistoryData240Closes);

void BM_MDataFilter(benchmark::State& state) {
  KX::MDataFilter filter;
  std::vector<_L2Snapshot> snaps;
  for (int i = 0; i < kSymbols; ++i) {
    snaps.push_back(make_snap(i, 93000000));
    filter.filter(&snaps[i]);
  }
  // Each round over the symbols alternates: newer snapshots (pass), then repeats (dropped).
  int64_t n = 0;
  run_cycling(state, kSymbols, [&](int i) {
    int round = static_cast<int>(n++ / kSymbols);
    if ((round & 1) == 0) snaps[i].time = 93000000 + round;
    benchmark::DoNotOptimize(filter.filter(&snaps[i]));
  });
}
BENCHMARK(BM_MDataFilter);

void BM_BarSeriesPush(benchmark::State& state) {
  KX::BarDataSeriesMap map(static_cast<int>(state.range(0)));
  std::vector<_BarData> bars;
  for (int i = 0; i < kSymbols; ++i) {
    bars.push_back(make_bar(i, 0));
    map.push(&bars[i]);
  }
  run_cycling(state, kSymbols, [&](int i) {
    ++bars[i].time;
    benchmark::DoNotOptimize(map.push(&bars[i]));
  });
}
BENCHMARK(BM_BarSeriesPush)->Arg(30)->Arg(240);

}  // namespace

BENCHMARK_MAIN();
