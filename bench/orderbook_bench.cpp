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
// Real-shaped days (qlsim::wide_book_config: about 70,000 records of a dear, busy stock, orders
// spread over 28,000 ticks, up to 700 levels and 2,700 orders resting) through the event
// functions, repeated kWideRepeats times per iteration:
//   WideDay/<style>/reset:  into one book, reset before each day (a warm book);
//   WideDay/<style>/fresh:  into a book created for each day and released after it;
//   WideDayReference/<style>: the same events into a plain std::map / std::unordered_map book
//                           (ReferenceBook below) created for each day, for the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <unordered_map>
#include <utility>
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

int32_t on_l2order(orderbook* book, int64_t seq, int32_t type, int32_t side, double price,
                   int32_t quantity, int32_t t) {
  return orderbook_on_l2order(book, seq, type, side, price, quantity, t);
}
int32_t on_l2trade(orderbook* book, int64_t seq, int64_t bid, int64_t ask, double price,
                   int32_t quantity, int32_t t) {
  return orderbook_on_l2trade(book, seq, bid, ask, price, quantity, t);
}

// A plain book on the standard containers, by the same event rules as the order book (no
// aggregation, no callbacks, no refusals): levels in a std::map per side, each a std::list of
// orders in time priority, and orders found through a std::unordered_map. An order remembers
// its level (map nodes stay put), so each event looks a price up at most once. Not thread-safe.
class ReferenceBook {
 public:
  explicit ReferenceBook(bool shanghai) : shanghai_(shanghai) {}

  int32_t order(int64_t seq, int32_t type, int32_t side, double price, int32_t quantity,
                int32_t t) {
    if (type == 'D') return cancel(seq);
    const uint32_t px = ql::detail::price_to_px(price);
    const bool window = ql::detail::in_continuous_window(t);
    int32_t remaining = quantity;
    if (window) {
      remaining = side == 'B' ? consume(asks_, seq, quantity, px, type != '1')
                              : consume(bids_, seq, quantity, px, type != '1');
      if (remaining <= 0 || price <= 0) return remaining;
    }
    Level& level = side == 'B' ? bids_[px] : asks_[px];
    level.quantity += remaining;
    level.orders.push_back(Order{seq, remaining});
    orders_.emplace(seq, Where{side, px, &level, std::prev(level.orders.end())});
    return window ? remaining : 0;
  }

  // Every level's price and quantity, bids best first and then asks best first.
  std::vector<std::pair<uint32_t, int64_t>> levels() const {
    std::vector<std::pair<uint32_t, int64_t>> out;
    for (const auto& [px, level] : bids_) out.emplace_back(px, level.quantity);
    for (const auto& [px, level] : asks_) out.emplace_back(px, level.quantity);
    return out;
  }

  int32_t trade(int64_t bid, int64_t ask, double price, int32_t quantity, int32_t t) {
    if (bid == 0 || ask == 0) return cancel(bid == 0 ? ask : bid);
    volume_ += quantity;
    turnover_ += quantity * price;
    const uint32_t px = ql::detail::price_to_px(price);
    const bool window = ql::detail::in_continuous_window(t);
    if (shanghai_) {
      const bool buyer_later = bid > ask;
      const int64_t aggressor = buyer_later ? bid : ask;
      const int32_t remaining = buyer_later ? consume(asks_, aggressor, quantity, px, true)
                                            : consume(bids_, aggressor, quantity, px, true);
      if (!window) reduce(aggressor, quantity - remaining);
      return remaining;
    }
    if (!window) {
      consume(asks_, bid, quantity, px, true);
      consume(bids_, ask, quantity, px, true);
    }
    return 0;
  }

 private:
  struct Order {
    int64_t seq;
    int32_t quantity;
  };
  using Queue = std::list<Order>;
  struct Level {
    int64_t quantity = 0;
    Queue orders;
  };
  struct Where {
    int32_t side;
    uint32_t px;
    Level* level;  // map nodes stay where they are while they exist
    Queue::iterator it;
  };
  template <class Side>
  int32_t consume(Side& side, int64_t aggressor, int32_t quantity, uint32_t px, bool limited) {
    (void)aggressor;
    int32_t remaining = quantity;
    while (remaining > 0 && !side.empty()) {
      auto level = side.begin();
      if (limited && side.key_comp()(px, level->first)) break;
      Queue& q = level->second.orders;
      while (remaining > 0 && !q.empty()) {
        Order& o = q.front();
        const int32_t fill = o.quantity < remaining ? o.quantity : remaining;
        o.quantity -= fill;
        remaining -= fill;
        level->second.quantity -= fill;
        if (o.quantity > 0) break;
        orders_.erase(o.seq);
        q.pop_front();
      }
      if (!q.empty()) break;
      side.erase(level);
    }
    return remaining;
  }
  int32_t cancel(int64_t seq) {
    auto found = orders_.find(seq);
    if (found == orders_.end()) return ORDERBOOK_NOT_FOUND;
    take(found, found->second.it->quantity);
    return 0;
  }
  void reduce(int64_t seq, int32_t executed) {
    auto found = orders_.find(seq);
    if (found != orders_.end()) take(found, executed);
  }
  // Takes up to quantity off a resting order, and the order and its level once they are empty.
  void take(std::unordered_map<int64_t, Where>::iterator found, int32_t quantity) {
    const Where w = found->second;
    const int32_t fill = quantity < w.it->quantity ? quantity : w.it->quantity;
    w.it->quantity -= fill;
    if (w.side == 'B') {
      take_from(bids_, w, fill, found);
    } else {
      take_from(asks_, w, fill, found);
    }
  }
  template <class Side>
  void take_from(Side& side, const Where& w, int32_t fill,
                 std::unordered_map<int64_t, Where>::iterator found) {
    w.level->quantity -= fill;
    if (w.it->quantity > 0) return;
    w.level->orders.erase(w.it);
    orders_.erase(found);
    if (w.level->orders.empty()) side.erase(w.px);
  }

  bool shanghai_;
  std::map<uint32_t, Level, std::greater<uint32_t>> bids_;
  std::map<uint32_t, Level> asks_;
  std::unordered_map<int64_t, Where> orders_;
  int64_t volume_ = 0;
  double turnover_ = 0;
};

int32_t on_l2order(ReferenceBook* book, int64_t seq, int32_t type, int32_t side, double price,
                   int32_t quantity, int32_t t) {
  return book->order(seq, type, side, price, quantity, t);
}
int32_t on_l2trade(ReferenceBook* book, int64_t seq, int64_t bid, int64_t ask, double price,
                   int32_t quantity, int32_t t) {
  (void)seq;
  return book->trade(bid, ask, price, quantity, t);
}

// Feeds a day's records to the book through the event functions, in the true sequence.
template <class Book>
void feed_day(Book* book, const qlsim::Day& d) {
  for (const void* rec : d.sequence) {
    if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER) {
      const auto& o = *static_cast<const _L2Order*>(rec);
      on_l2order(book, o.seq_num, static_cast<signed char>(o.order_type),
                 static_cast<signed char>(o.bs_flag), o.price, static_cast<int32_t>(o.volume),
                 o.time);
    } else {
      const auto& t = *static_cast<const _L2Trade*>(rec);
      on_l2trade(book, t.seq_num, t.bid_seq_num, t.ask_seq_num, t.price,
                 static_cast<int32_t>(t.volume), t.time);
    }
  }
}

void BM_EventFunctions(benchmark::State& state, qlsim::Style style) {
  const qlsim::Day& d = simulated_day(style);
  if (!check_size(state, d)) return;
  orderbook* book = orderbook_create(exchange_of(style), d.config.symbol.c_str(), 0, 0);
  for (auto _ : state) {
    orderbook_reset(book, d.config.date);
    feed_day(book, d);
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

// Real-shaped days: few events each, so an iteration replays kWideRepeats of them.
constexpr int kWideRepeats = 10;

const qlsim::Day& wide_day(qlsim::Style style) {
  static qlsim::Day days[2];
  qlsim::Day& d = days[style == qlsim::Style::Shanghai ? 1 : 0];
  if (d.events() == 0) d = qlsim::simulate_day(qlsim::wide_book_config(style, 2));
  return d;
}

void set_wide_counters(benchmark::State& state, const qlsim::Day& d) {
  set_rates(state, d.events() * kWideRepeats);
  state.counters["events"] = static_cast<double>(d.events());
  state.counters["levels"] = d.stats.max_levels;
  state.counters["resting"] = d.stats.max_resting;
}

void BM_WideDay(benchmark::State& state, qlsim::Style style, bool fresh) {
  const qlsim::Day& d = wide_day(style);
  const char* exchange = exchange_of(style);
  orderbook* book = fresh ? nullptr : orderbook_create(exchange, d.config.symbol.c_str(), 0, 0);
  for (auto _ : state) {
    for (int r = 0; r < kWideRepeats; ++r) {
      if (fresh) {
        book = orderbook_create(exchange, d.config.symbol.c_str(), 0, 0);
      } else {
        orderbook_reset(book, d.config.date);
      }
      feed_day(book, d);
      benchmark::DoNotOptimize(orderbook_snapshot(book));
      if (fresh) orderbook_release(book);
    }
  }
  if (!fresh) orderbook_release(book);
  set_wide_counters(state, d);
}

// The order book's levels in the form of ReferenceBook::levels.
std::vector<std::pair<uint32_t, int64_t>> book_levels(orderbook* book) {
  std::vector<std::pair<uint32_t, int64_t>> out;
  for (int sign : {-1, 1}) {
    for (orderbook_queue* q = orderbook_at(book, sign); q != nullptr; q = orderbook_queue_next(q)) {
      out.emplace_back(ql::detail::price_to_px(orderbook_queue_price(q)),
                       orderbook_queue_quantity(q));
    }
  }
  return out;
}

void BM_WideDayReference(benchmark::State& state, qlsim::Style style) {
  const qlsim::Day& d = wide_day(style);
  // The ratio means something only when both books end the day alike.
  ReferenceBook reference(style == qlsim::Style::Shanghai);
  feed_day(&reference, d);
  orderbook* book = orderbook_create(exchange_of(style), d.config.symbol.c_str(), 0, 0);
  feed_day(book, d);
  const bool same = reference.levels() == book_levels(book);
  orderbook_release(book);
  if (!same) {
    state.SkipWithError("the reference book ends the day unlike the order book");
    return;
  }
  for (auto _ : state) {
    for (int r = 0; r < kWideRepeats; ++r) {
      ReferenceBook book(style == qlsim::Style::Shanghai);
      feed_day(&book, d);
      benchmark::DoNotOptimize(&book);
    }
  }
  set_wide_counters(state, d);
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
  const double tables = static_cast<double>(
      ql::detail::order_index_bytes(&book->order_map) +
      static_cast<int64_t>(table_size(book->ask_px_table) + table_size(book->bid_px_table)) *
          static_cast<int64_t>(sizeof(table_node_s)));
  const double resting = ql::detail::order_index_count(&book->order_map);
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
BENCHMARK_CAPTURE(BM_WideDay, Shenzhen / reset, qlsim::Style::Shenzhen, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WideDay, Shenzhen / fresh, qlsim::Style::Shenzhen, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WideDayReference, Shenzhen, qlsim::Style::Shenzhen)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WideDay, Shanghai / reset, qlsim::Style::Shanghai, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WideDay, Shanghai / fresh, qlsim::Style::Shanghai, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WideDayReference, Shanghai, qlsim::Style::Shanghai)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestingOrders)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
