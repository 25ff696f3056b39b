// Hash tables of the platform layer against std::unordered_map in the same run: integer-keyed
// find (present keys, random order), insert and erase at 10k and 1M entries, and a lookup by
// symbol text over 5,000 symbols. Each result reports items/s and ns per item.
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

const void* K(int64_t k) {
  return (const void*)(intptr_t)k;
}

void report(benchmark::State& state, int64_t items) {
  state.SetItemsProcessed(items);
  state.counters["ns_per_item"] =
      benchmark::Counter((double)items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Order sequence numbers as a book sees them: a dense range from a day's first number.
std::vector<int64_t> sequence_keys(int64_t n) {
  std::vector<int64_t> keys((size_t)n);
  for (int64_t i = 0; i < n; ++i) keys[(size_t)i] = 1000000 + i;
  return keys;
}

std::vector<int64_t> shuffled(std::vector<int64_t> keys, uint64_t seed) {
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(seed));
  return keys;
}

// ---- find ----------------------------------------------------------------------------------
void BM_IntTableFind(benchmark::State& state) {
  const int64_t n = state.range(0);
  table_s* t = int_table_new(nullptr);
  for (int64_t k : sequence_keys(n)) table_insert(t, K(k), 8, (void*)(intptr_t)k);
  const std::vector<int64_t> order = shuffled(sequence_keys(n), 1);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table_find(t, K(order[i]), 8));
    if (++i == order.size()) i = 0;
  }
  report(state, state.iterations());
  table_free(&t);
}

void BM_StdMapFind(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::unordered_map<int64_t, void*> m;
  for (int64_t k : sequence_keys(n)) m.emplace(k, (void*)(intptr_t)k);
  const std::vector<int64_t> order = shuffled(sequence_keys(n), 1);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.find(order[i]));
    if (++i == order.size()) i = 0;
  }
  report(state, state.iterations());
}

// ---- insert (into an empty, growing table) -------------------------------------------------
void BM_IntTableInsert(benchmark::State& state) {
  const std::vector<int64_t> keys = shuffled(sequence_keys(state.range(0)), 2);
  for (auto _ : state) {
    table_s* t = int_table_new(nullptr);
    for (int64_t k : keys) table_insert(t, K(k), 8, (void*)(intptr_t)k);
    state.PauseTiming();
    table_free(&t);
    state.ResumeTiming();
  }
  report(state, state.iterations() * (int64_t)keys.size());
}

void BM_StdMapInsert(benchmark::State& state) {
  const std::vector<int64_t> keys = shuffled(sequence_keys(state.range(0)), 2);
  for (auto _ : state) {
    auto* m = new std::unordered_map<int64_t, void*>;
    for (int64_t k : keys) m->emplace(k, (void*)(intptr_t)k);
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  report(state, state.iterations() * (int64_t)keys.size());
}

// ---- erase (every key, random order) -------------------------------------------------------
void BM_IntTableErase(benchmark::State& state) {
  const std::vector<int64_t> keys = sequence_keys(state.range(0));
  const std::vector<int64_t> order = shuffled(keys, 3);
  for (auto _ : state) {
    state.PauseTiming();
    table_s* t = int_table_new(nullptr);
    for (int64_t k : keys) table_insert(t, K(k), 8, (void*)(intptr_t)k);
    state.ResumeTiming();
    for (int64_t k : order) benchmark::DoNotOptimize(table_remove(t, K(k), 8));
    state.PauseTiming();
    table_free(&t);
    state.ResumeTiming();
  }
  report(state, state.iterations() * (int64_t)keys.size());
}

void BM_StdMapErase(benchmark::State& state) {
  const std::vector<int64_t> keys = sequence_keys(state.range(0));
  const std::vector<int64_t> order = shuffled(keys, 3);
  for (auto _ : state) {
    state.PauseTiming();
    auto* m = new std::unordered_map<int64_t, void*>;
    for (int64_t k : keys) m->emplace(k, (void*)(intptr_t)k);
    state.ResumeTiming();
    for (int64_t k : order) benchmark::DoNotOptimize(m->erase(k));
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  report(state, state.iterations() * (int64_t)keys.size());
}

// ---- find by symbol text -------------------------------------------------------------------
// 5,000 stock and futures codes, looked up in random order from separate copies of the texts
// (as a cache lookup gets them from a caller's record).
struct Symbols {
  std::vector<std::string> keys, probes;
  Symbols() {
    std::mt19937 rng(5);
    const char* products[] = {"IF", "IC", "IH", "rb", "cu", "al", "zn", "au", "ag", "SR"};
    for (int i = 0; i < 5000; ++i) {
      char buf[16];
      if (i % 5 == 4) {
        snprintf(buf, sizeof buf, "%s%04d", products[i % 10], 2400 + i / 10);
      } else {
        snprintf(buf, sizeof buf, "%06d", (int)(i % 2 ? 600000 + i : i + 1));
      }
      keys.emplace_back(buf);
    }
    probes = keys;
    std::shuffle(probes.begin(), probes.end(), rng);
  }
};
const Symbols& symbols() {
  static const Symbols s;
  return s;
}

// The cache's key functions: whole-string compare and a 4-bytes-at-a-time FNV-1a.
int symbol_compare(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}
uint64_t symbol_hash(const void* key, int len) {
  const unsigned char* p = static_cast<const unsigned char*>(key);
  size_t n = len != 0 ? (size_t)len : strlen(static_cast<const char*>(key));
  uint64_t h = 0xcbf29ce484222325ull;
  for (; n >= 4; n -= 4, p += 4) {
    h = (h ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24)) *
        0x100000001b3ull;
  }
  for (; n > 0; --n, ++p) h = (h ^ *p) * 0x100000001b3ull;
  return h;
}

void string_table_find(benchmark::State& state, table_s* t) {
  const Symbols& s = symbols();
  for (size_t i = 0; i < s.keys.size(); ++i) table_insert(t, s.keys[i].c_str(), 0, (void*)(i + 1));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table_find(t, s.probes[i].c_str(), 0));
    if (++i == s.probes.size()) i = 0;
  }
  report(state, state.iterations());
  table_free(&t);
}

void BM_StringTableFind(benchmark::State& state) {
  string_table_find(state, table_new(nullptr, nullptr, nullptr, nullptr));
}

void BM_SymbolTableFind(benchmark::State& state) {
  string_table_find(state, table_new(symbol_compare, symbol_hash, nullptr, nullptr));
}

void BM_StdMapStringFind(benchmark::State& state) {
  const Symbols& s = symbols();
  std::unordered_map<std::string_view, void*> m;
  for (size_t i = 0; i < s.keys.size(); ++i) m.emplace(s.keys[i], (void*)(i + 1));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.find(std::string_view(s.probes[i].c_str())));
    if (++i == s.probes.size()) i = 0;
  }
  report(state, state.iterations());
}

}  // namespace

BENCHMARK(BM_IntTableFind)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_StdMapFind)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_IntTableInsert)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdMapInsert)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntTableErase)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdMapErase)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StringTableFind);
BENCHMARK(BM_SymbolTableFind);
BENCHMARK(BM_StdMapStringFind);

BENCHMARK_MAIN();
