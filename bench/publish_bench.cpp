// The publisher's hot paths: items per second from one and two producers through the queue
// and the publishing thread to a sender that does nothing; the queue alone (push and pop)
// next to moodycamel::ConcurrentQueue; and the latency from post_msg to the sender's call for
// a trickle of one item every 100 microseconds.
//
// Run from a release build: build/release/bench/publish_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "quotelab/md_publish_lib.h"
#include "quotelab/msg_sender.h"
#include "quotelab/utilcore.h"

#if defined(QL_HAVE_MOODYCAMEL)
#include "concurrentqueue.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// ---- an in-process sender -----------------------------------------------------------------

// The instance travels to create through arg4, so the benchmark keeps it.
struct BenchSender {
  std::atomic<int64_t> received{0};
  std::vector<int64_t> latency_ns;  // trickle: one per item, written by the publishing thread
};

void* bench_create(const char*, const char*, const char*, long long self) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(self));
}

int null_publish(void* instance, msg_sender_data_s*, int count, int) {
  auto* s = static_cast<BenchSender*>(instance);
  s->received.store(s->received.load(std::memory_order_relaxed) + count, std::memory_order_release);
  return 0;
}

int latency_publish(void* instance, msg_sender_data_s* datas, int count, int) {
  const int64_t now = Clock::now().time_since_epoch().count();
  auto* s = static_cast<BenchSender*>(instance);
  for (int i = 0; i < count; ++i) {
    int64_t posted;
    std::memcpy(&posted, static_cast<const char*>(datas[i].data) + 8, sizeof posted);
    s->latency_ns.push_back(now - posted);
  }
  s->received.store(s->received.load(std::memory_order_relaxed) + count, std::memory_order_release);
  return 0;
}

bool init_publisher(KX::MDPublishLib& pub, BenchSender& sender, msg_sender_publish_fn publish) {
  msg_sender_s table;
  std::memset(&table, 0, sizeof table);
  table.sender_name = "bench";
  table.create = bench_create;
  table.publish = publish;
  return pub.init(&table, "", nullptr, nullptr,
                  static_cast<long long>(reinterpret_cast<intptr_t>(&sender))) == 0;
}

// A producer's items, reused round-robin: each post adds a reference that the publisher
// drops, so the producer owns them throughout.
struct ItemPool {
  std::vector<msg_item_s*> items;
  ItemPool(const ItemPool&) = delete;
  ItemPool& operator=(const ItemPool&) = delete;
  explicit ItemPool(int n) {
    unsigned char rec[64] = {QL_RECORD_L2SNAPSHOT};
    for (int i = 0; i < n; ++i) items.push_back(msg_item_alloc(rec, sizeof rec));
  }
  ~ItemPool() {
    for (msg_item_s* it : items) msg_item_decref_release(it);
  }
};

void post_all(KX::MDPublishLib& pub, ItemPool& pool, int64_t n) {
  const size_t mask = pool.items.size() - 1;
  for (int64_t i = 0; i < n; ++i) {
    msg_item_s* it = pool.items[static_cast<size_t>(i) & mask];
    while (pub.post_msg(it) == -149) cpu_relax();
  }
}

void set_rates(benchmark::State& state, int64_t items) {
  state.SetItemsProcessed(items);
  state.counters["ns_per_item"] = benchmark::Counter(
      static_cast<double>(items), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- end to end -----------------------------------------------------------------------------

constexpr int64_t kEndToEndItems = 1 << 20;

// state.range(0): producers; state.range(1): items per producer's pool. A pool twice the
// queue's capacity posts each item at most once at a time, as a host that wraps every record in
// an item of its own does; a pool of 4096 has the same items in the queue many times over, so
// producer and publishing thread change the same reference counts at once.
void BM_PublishEndToEnd(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int pool_size = static_cast<int>(state.range(1));
  KX::MDPublishLib pub;
  BenchSender sender;
  if (!init_publisher(pub, sender, null_publish) || pub.start() != 0) {
    state.SkipWithError("publisher not started");
    return;
  }
  std::vector<std::unique_ptr<ItemPool>> pools;
  for (int p = 0; p < producers; ++p) pools.push_back(std::make_unique<ItemPool>(pool_size));
  const int64_t per_producer = kEndToEndItems / producers;
  for (auto _ : state) {
    const int64_t target = sender.received.load(std::memory_order_acquire) + kEndToEndItems;
    std::vector<std::thread> others;
    for (int p = 1; p < producers; ++p)
      others.emplace_back([&, p] { post_all(pub, *pools[p], per_producer); });
    post_all(pub, *pools[0], per_producer);
    for (auto& t : others) t.join();
    while (sender.received.load(std::memory_order_acquire) < target) cpu_relax();
  }
  pub.stop();
  set_rates(state, state.iterations() * kEndToEndItems);
}
BENCHMARK(BM_PublishEndToEnd)
    ->Args({1, 2 * KX::MDPublishLib::kDefaultCapacity})
    ->Args({2, 2 * KX::MDPublishLib::kDefaultCapacity})
    ->Args({1, 4096})
    ->Args({2, 4096})
    ->ArgNames({"producers", "pool"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- the queue alone: one producer thread, one consumer thread ------------------------------

constexpr int64_t kQueueItems = 1 << 22;
constexpr int kQueueCapacity = 65536;
constexpr int kBulk = KX::MDPublishLib::kMaxBatch;

// Distinct non-NULL pointers that are never dereferenced (NULL would be a stop mark).
inline msg_item_s* fake_item(int64_t i) {
  return reinterpret_cast<msg_item_s*>(static_cast<uintptr_t>(i + 1) * 16);
}

// state.range(0): how many items the consumer takes per call (1, or a batch of 128). The
// consumer loop is the same for every queue here; pop_batch itself waits a moment
// (BlockQueue::kCaughtUpNanos) before it reports nothing, where moodycamel returns at once.
void BM_QueueAlone_BlockQueue(benchmark::State& state) {
  const int bulk = static_cast<int>(state.range(0));
  KX::BlockQueue q(kQueueCapacity);
  for (auto _ : state) {
    std::thread producer([&] {
      for (int64_t i = 0; i < kQueueItems; ++i)
        while (!q.push(fake_item(i))) cpu_relax();
    });
    msg_item_s* out[kBulk];
    int64_t taken = 0;
    uintptr_t check = 0;
    while (taken < kQueueItems) {
      bool mark = false;
      const int n = q.pop_batch(out, bulk, &mark);
      if (n == 0) {
        cpu_relax();
        continue;
      }
      for (int i = 0; i < n; ++i) check += reinterpret_cast<uintptr_t>(out[i]);
      taken += n;
    }
    producer.join();
    benchmark::DoNotOptimize(check);
  }
  set_rates(state, state.iterations() * kQueueItems);
}
BENCHMARK(BM_QueueAlone_BlockQueue)
    ->Arg(1)
    ->Arg(kBulk)
    ->ArgName("pop")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#if defined(QL_HAVE_MOODYCAMEL)
// The same transfer through moodycamel::ConcurrentQueue, with the consumer loop of the same
// shape, called its two fastest ways: with a producer and a consumer token, bounded like ours
// (try_enqueue never allocates); and the plain API, unbounded (enqueue takes more memory when
// the preallocated blocks run out; the bounded plain try_enqueue is far slower, as its producer
// cannot grow the index of its blocks). The unbounded queue never refuses an item, so its
// producer never waits for the consumer: on a busy machine, where the two threads seldom run at
// once, that is an edge no bounded queue can have.
void BM_QueueAlone_Moodycamel(benchmark::State& state) {
  const int bulk = static_cast<int>(state.range(0));
  moodycamel::ConcurrentQueue<msg_item_s*> q(kQueueCapacity);
  for (auto _ : state) {
    std::thread producer([&] {
      moodycamel::ProducerToken ptok(q);
      for (int64_t i = 0; i < kQueueItems; ++i)
        while (!q.try_enqueue(ptok, fake_item(i))) cpu_relax();
    });
    moodycamel::ConsumerToken ctok(q);
    msg_item_s* out[kBulk];
    int64_t taken = 0;
    uintptr_t check = 0;
    while (taken < kQueueItems) {
      const int n = static_cast<int>(bulk == 1 ? (q.try_dequeue(ctok, out[0]) ? 1 : 0)
                                               : q.try_dequeue_bulk(ctok, out, bulk));
      if (n == 0) {
        cpu_relax();
        continue;
      }
      for (int i = 0; i < n; ++i) check += reinterpret_cast<uintptr_t>(out[i]);
      taken += n;
    }
    producer.join();
    benchmark::DoNotOptimize(check);
  }
  set_rates(state, state.iterations() * kQueueItems);
}
BENCHMARK(BM_QueueAlone_Moodycamel)
    ->Arg(1)
    ->Arg(kBulk)
    ->ArgName("pop")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The plain API: no tokens (each call finds the calling thread's sub-queue) and enqueue.
void BM_QueueAlone_MoodycamelPlain(benchmark::State& state) {
  const int bulk = static_cast<int>(state.range(0));
  moodycamel::ConcurrentQueue<msg_item_s*> q(kQueueCapacity);
  for (auto _ : state) {
    std::thread producer([&] {
      for (int64_t i = 0; i < kQueueItems; ++i)
        while (!q.enqueue(fake_item(i))) cpu_relax();
    });
    msg_item_s* out[kBulk];
    int64_t taken = 0;
    uintptr_t check = 0;
    while (taken < kQueueItems) {
      const int n = static_cast<int>(bulk == 1 ? (q.try_dequeue(out[0]) ? 1 : 0)
                                               : q.try_dequeue_bulk(out, bulk));
      if (n == 0) {
        cpu_relax();
        continue;
      }
      for (int i = 0; i < n; ++i) check += reinterpret_cast<uintptr_t>(out[i]);
      taken += n;
    }
    producer.join();
    benchmark::DoNotOptimize(check);
  }
  set_rates(state, state.iterations() * kQueueItems);
}
BENCHMARK(BM_QueueAlone_MoodycamelPlain)
    ->Arg(1)
    ->Arg(kBulk)
    ->ArgName("pop")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
#endif

// ---- the queue alone on one thread: the cost of the operations without any cache traffic ----

void BM_QueueOneThread_BlockQueue(benchmark::State& state) {
  KX::BlockQueue q(kQueueCapacity);
  msg_item_s* out[kBulk];
  int64_t i = 0;
  for (auto _ : state) {
    for (int k = 0; k < kBulk; ++k) q.push(fake_item(i++));
    bool mark = false;
    benchmark::DoNotOptimize(q.pop_batch(out, kBulk, &mark));
  }
  set_rates(state, state.iterations() * kBulk);
}
BENCHMARK(BM_QueueOneThread_BlockQueue);

#if defined(QL_HAVE_MOODYCAMEL)
void BM_QueueOneThread_Moodycamel(benchmark::State& state) {
  moodycamel::ConcurrentQueue<msg_item_s*> q(kQueueCapacity);
  moodycamel::ProducerToken ptok(q);
  moodycamel::ConsumerToken ctok(q);
  msg_item_s* out[kBulk];
  int64_t i = 0;
  for (auto _ : state) {
    for (int k = 0; k < kBulk; ++k) q.try_enqueue(ptok, fake_item(i++));
    benchmark::DoNotOptimize(q.try_dequeue_bulk(ctok, out, kBulk));
  }
  set_rates(state, state.iterations() * kBulk);
}
BENCHMARK(BM_QueueOneThread_Moodycamel);
#endif

// ---- latency of a trickle -------------------------------------------------------------------

constexpr int kTrickleItems = 5000;
constexpr auto kTrickleGap = std::chrono::microseconds(100);
constexpr auto kTrickleSpin = std::chrono::microseconds(60);  // covers a short sleep's overshoot

void BM_PublishLatencyTrickle(benchmark::State& state) {
  KX::MDPublishLib pub;
  BenchSender sender;
  sender.latency_ns.reserve(kTrickleItems * 4);
  if (!init_publisher(pub, sender, latency_publish) || pub.start() != 0) {
    state.SkipWithError("publisher not started");
    return;
  }
  std::vector<msg_item_s*> items;
  unsigned char rec[16] = {QL_RECORD_L2SNAPSHOT};
  for (int i = 0; i < kTrickleItems; ++i) items.push_back(msg_item_alloc(rec, sizeof rec));
  for (auto _ : state) {
    auto next = Clock::now();
    for (msg_item_s* it : items) {
      // Sleep through most of the gap, as a producer waiting on its feed does, and spin only
      // the last stretch for an exact post time. A producer spinning the whole gap keeps the
      // CPU that the scheduler tends to wake the publishing thread on (beside its waker) and
      // the figure then measures the scheduler's tick instead of the publisher.
      const auto wake = next - kTrickleSpin;
      if (Clock::now() < wake) std::this_thread::sleep_until(wake);
      while (Clock::now() < next) cpu_relax();
      next += kTrickleGap;
      const int64_t stamp = Clock::now().time_since_epoch().count();
      std::memcpy(static_cast<char*>(msg_item_data(it)) + 8, &stamp, sizeof stamp);
      pub.post_msg(it);
    }
    while (sender.received.load(std::memory_order_acquire) < kTrickleItems) cpu_relax();
  }
  pub.stop();
  for (msg_item_s* it : items) msg_item_decref_release(it);
  std::vector<int64_t> lat = sender.latency_ns;
  std::sort(lat.begin(), lat.end());
  auto percentile_us = [&](double q) {
    return lat.empty() ? 0.0 : lat[static_cast<size_t>(q * (lat.size() - 1))] / 1000.0;
  };
  state.counters["p50_us"] = percentile_us(0.50);
  state.counters["p99_us"] = percentile_us(0.99);
  state.counters["p999_us"] = percentile_us(0.999);
  state.counters["max_us"] = percentile_us(1.0);
  state.SetItemsProcessed(state.iterations() * kTrickleItems);
}
// One pass: the items are stamped once each, and 5000 gaps of 100 us take half a second.
BENCHMARK(BM_PublishLatencyTrickle)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
