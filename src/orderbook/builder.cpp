// The builder: replays a day's orders and trades through its own book and emits snapshots.
//
// The two inputs of run and run2 are merged by time; while both still have records the earlier
// goes first, and at equal times a Shenzhen book takes the order and a Shanghai book the trade
// (a Shanghai aggressor's trades are published before its resting remainder, which would
// otherwise cross the book and execute the same quantity again). Once one input is used up the
// other goes on alone with the same checks and snapshots, so a day whose trades end early still
// gets its interval snapshots.
//
// run2 and run3 emit snapshots on one of four schedules: the trading-hours rules (the default),
// after every event, on a clock grid "as of" each grid point, or at given trade counts. The
// book is marked busy for the whole run, so that no callback can change or reset it between
// two records (the event loop holds pointers into it).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <new>

#include "orderbook/book.h"
#include "orderbook/own_best.h"

namespace ql::detail {
namespace {
struct day_stream;
}  // namespace
}  // namespace ql::detail

// Not thread-safe: one thread at a time. Owns its book; borrows the arrays it is given.
struct orderbook_builder {
  orderbook* book;
  int32_t interval_ms;
  int32_t date;
  void* cb_user_data;
  orderbook_builder_callback callback;
  struct {
    int32_t count;
    const int64_t* seq_num;
    const int32_t* order_type;
    const int32_t* bs_flag;
    const double* price;
    const int32_t* quantity;
    const int32_t* time;
  } orders;
  struct {
    int32_t count;
    const int64_t* seq_num;
    const int64_t* bid_seq_num;
    const int64_t* ask_seq_num;
    const double* price;
    const int32_t* quantity;
    const int32_t* time;
  } trades;
  struct {
    int32_t kind;  // ORDERBOOK_SCHEDULE_*
    int32_t grid_ms;
    int32_t count;
    const int32_t* trade_counts;  // borrowed, non-decreasing
  } schedule;
  bool running;  // inside a run: the callback may not re-enter or release the builder
  ql::detail::day_stream* stream;  // the day begun with orderbook_builder_begin, if any
};

namespace ql::detail {
namespace {

constexpr int32_t kDefaultIntervalMs = 3000;
constexpr int32_t kMinIntervalMs = 10;  // intervals at or below this mean the default
constexpr int32_t kAuctionIntervalMs = 5000;
constexpr int32_t kAuctionMatchTime = 92500000;   // no interval snapshots 09:25 to 09:30
constexpr int32_t kClosingMatchTime = 150000000;  // nor while the closing match is applied

enum class snapshot_rule {
  interval,       // run: every interval from the first event, no final snapshot
  trading_hours,  // run2, run3: opening, auction and interval snapshots, and a final one
  events,         // run2, run3: after every event
  grid,           // run2, run3: as of each clock grid point that follows events
  trades,         // run2, run3: at given trade counts
};

snapshot_rule rule_of(const orderbook_builder* b) {
  switch (b->schedule.kind) {
    case ORDERBOOK_SCHEDULE_EVENTS:
      return snapshot_rule::events;
    case ORDERBOOK_SCHEDULE_GRID:
      return snapshot_rule::grid;
    case ORDERBOOK_SCHEDULE_TRADES:
      return snapshot_rule::trades;
    default:
      return snapshot_rule::trading_hours;
  }
}

// True when a trade record will count in the statistics (a record naming one order only is a
// cancellation).
inline bool counts_as_trade(int64_t bid_seq, int64_t ask_seq, int32_t quantity) {
  return bid_seq != 0 && ask_seq != 0 && quantity >= 0;
}

// The snapshot and ordering bookkeeping of one run; lives on the running thread's stack.
class day_replay {
 public:
  day_replay(orderbook_builder* builder, const char* name, snapshot_rule rule)
      : builder_(builder), name_(name), rule_(rule) {}

  // True until an ordering error: events are checked and snapshots emitted.
  bool checking() const { return checking_; }
  int32_t emitted() const { return emitted_; }

  // Before an event of time t is fed (counted: a trade that will count in the statistics).
  QL_OB_HOT void before_event(int32_t t, bool is_order, bool counted) {
    if (!checking_) return;
    switch (rule_) {
      case snapshot_rule::trading_hours:
        // The opening snapshot shows the book as the opening call auction left it.
        if (is_order && t >= kWindowOpen && prev_ < kWindowOpen) {
          set_base(prev_);
          emit();
        }
        break;
      case snapshot_rule::grid:
        if (grid_pending_ && ms_of(t) > grid_point_ms_) emit_grid_point();
        break;
      case snapshot_rule::trades:
        emit_reached_counts(t, counted);
        break;
      default:
        break;
    }
  }

  // After an event of time t was fed; number names it in the ordering message (orders fed so
  // far, or the trade's index).
  QL_OB_HOT void after_event(int32_t t, bool is_order, int32_t number, bool counted) {
    if (!checking_) return;
    if (prev_ != 0 && prev_ > t) {
      stop_on_ordering_error(t, is_order, number);
      return;
    }
    switch (rule_) {
      case snapshot_rule::interval:
      case snapshot_rule::trading_hours:
        if (prev_ == 0) {
          if (rule_ == snapshot_rule::interval) set_base(t);
        } else if (due(t)) {
          emit();
          set_base(t);
        }
        break;
      case snapshot_rule::events:
        emit();
        break;
      case snapshot_rule::grid:
        if (!grid_pending_ || ms_of(t) > grid_point_ms_) start_grid_point(t);
        break;
      case snapshot_rule::trades:
        if (counted) last_trade_time_ = t;
        break;
    }
    prev_ = t;
  }

  // After the last record: the final snapshots of the schedule.
  void finish() {
    if (rule_ == snapshot_rule::interval) return;
    if (!checking_ || rule_ == snapshot_rule::trading_hours) {
      emit();
    } else if (rule_ == snapshot_rule::grid) {
      if (grid_pending_) emit_grid_point();
    } else if (rule_ == snapshot_rule::trades) {
      for (; next_count_ < builder_->schedule.count; ++next_count_) emit();
    }
  }

  __attribute__((noinline)) void emit() {
    orderbook* b = builder_->book;
    refresh_snapshot(b);
    if (builder_->callback != nullptr) {
      builder_->callback(builder_, &b->snapshot, builder_->cb_user_data);
    }
    ++emitted_;
  }

 private:
  QL_OB_COLD void stop_on_ordering_error(int32_t t, bool is_order, int32_t number) {
    std::fprintf(stderr,
                 is_order ? "%s: ERROR l2order %d prev_time=%d, curr_time=%d\n"
                          : "%s: ERROR l2trade idx=%d prev_time=%d, curr_time=%d\n",
                 name_, number, prev_, t);
    checking_ = false;
  }

  void set_base(int32_t t) {
    base_ = t;
    base_ms_ = KX::TimeTools::time_to_msec(t);
  }

  // Milliseconds of t; the conversion of its whole second is kept, since many events share one.
  QL_OB_HOT int32_t ms_of(int32_t t) {
    int32_t second = t / 1000;
    if (second != second_) {
      second_ = second;
      second_ms_ = KX::TimeTools::time_to_msec(second * 1000);
    }
    return second_ms_ + (t - second * 1000);
  }

  QL_OB_HOT bool due(int32_t t) {
    int32_t since = t == base_ ? 0 : ms_of(t) - base_ms_;
    if (rule_ == snapshot_rule::interval) return since > builder_->interval_ms;
    if (t < kAuctionMatchTime) return since > kAuctionIntervalMs;
    return t > kWindowOpen && t < kClosingMatchTime && since > builder_->interval_ms;
  }

  // The grid point at or after t becomes the one the book is "as of" next.
  void start_grid_point(int32_t t) {
    const int32_t grid = builder_->schedule.grid_ms;
    const int32_t ms = ms_of(t);
    grid_point_ms_ = ms <= 0 ? 0 : ((ms - 1) / grid + 1) * grid;
    grid_pending_ = true;
  }

  // Emits the pending grid point's snapshot, stamped with the grid point's time.
  __attribute__((noinline)) void emit_grid_point() {
    orderbook* b = builder_->book;
    refresh_snapshot(b);
    b->snapshot.time = msec2time(grid_point_ms_);
    if (builder_->callback != nullptr) {
      builder_->callback(builder_, &b->snapshot, builder_->cb_user_data);
    }
    ++emitted_;
    grid_pending_ = false;
  }

  // The snapshot of count N is the book once N trades were counted, as it stood when the time
  // moved past the N-th trade or the next trade came (so an aggressor's resting remainder,
  // published after its trades at their time, is in it).
  QL_OB_HOT void emit_reached_counts(int32_t t, bool counted) {
    const auto& sch = builder_->schedule;
    if (next_count_ >= sch.count) return;
    const int32_t n = builder_->book->snapshot.num_trades;
    if (sch.trade_counts[next_count_] > n) return;
    if (!counted && (n == 0 || t <= last_trade_time_)) return;
    while (next_count_ < sch.count && sch.trade_counts[next_count_] <= n) {
      emit();
      ++next_count_;
    }
  }

  orderbook_builder* builder_;
  const char* name_;
  snapshot_rule rule_;
  bool checking_ = true;
  int32_t prev_ = 0;
  int32_t base_ = 0;  // time of the last interval snapshot
  int32_t base_ms_ = 0;
  int32_t second_ = -1;  // t / 1000 of the last conversion, and its milliseconds
  int32_t second_ms_ = KX::TimeTools::time_to_msec(-1000);
  int32_t emitted_ = 0;
  bool grid_pending_ = false;  // events were fed since the last grid snapshot
  int32_t grid_point_ms_ = 0;
  int32_t next_count_ = 0;  // index of the next trade count to reach
  int32_t last_trade_time_ = 0;
};

// Marks a builder as running for the length of a run (on the running thread).
class run_scope {
 public:
  explicit run_scope(orderbook_builder* b) : b_(b) { b_->running = true; }
  ~run_scope() { b_->running = false; }
  run_scope(const run_scope&) = delete;
  run_scope& operator=(const run_scope&) = delete;

 private:
  orderbook_builder* b_;
};

// Common start of every run: refuses a builder without a book (with its message) or one that
// is busy, then resets the book for the date. Returns false when the run must not go on.
bool start_run(orderbook_builder* builder, int32_t date, const char* name) {
  if (builder->book == nullptr) {
    std::fprintf(stderr, "%s: orderbook engine is null\n", name);
    return false;
  }
  if (builder->book->busy || builder->stream != nullptr) return false;
  builder->date = date;
  orderbook_reset(builder->book, date);
  return true;
}

bool arrays_given(int32_t count, std::initializer_list<const void*> arrays) {
  if (count < 0) return false;
  if (count == 0) return true;
  for (const void* a : arrays) {
    if (a == nullptr) return false;
  }
  return true;
}

void feed_order(orderbook* b, const _L2Order& o) {
  double price = o.price;
  int32_t type = static_cast<signed char>(o.order_type);
  if (type == 'U') {  // own-side best: priced from the book as it stands, then a limit order
    if (!own_side_best_price(b, o, "orderbook_builder", &price)) return;
    type = '2';
  }
  on_l2order(b, o.seq_num, type, static_cast<signed char>(o.bs_flag), price,
             static_cast<int32_t>(o.volume), o.time);
}

bool trade_counted(const _L2Trade& t) {
  return counts_as_trade(t.bid_seq_num, t.ask_seq_num, static_cast<int32_t>(t.volume));
}

void feed_trade(orderbook* b, const _L2Trade& t) {
  on_l2trade(b, t.bid_seq_num, t.ask_seq_num, t.price, static_cast<int32_t>(t.volume), t.time);
}

// A day fed record by record (run3, or begin/feed/finish): the snapshot bookkeeping and the
// ordinals the ordering message names.
struct day_stream {
  day_replay replay;
  int32_t orders_fed = 0;
  int32_t trades_fed = 0;

  day_stream(orderbook_builder* builder, const char* name)
      : replay(builder, name, rule_of(builder)) {}

  // Feeds one _L2Order or _L2Trade record; returns the book's result, or ORDERBOOK_ERROR for
  // a record of another type.
  QL_OB_HOT int32_t feed(orderbook* b, const void* rec) {
    const uint8_t type = *static_cast<const uint8_t*>(rec);
    if (type == QL_RECORD_L2ORDER) {
      const auto& o = *static_cast<const _L2Order*>(rec);
      int32_t type = static_cast<signed char>(o.order_type);
      double price = o.price;
      // Own-side best: priced from the book as it stands, then a limit order (as run2 does).
      if (type == 'U') {
        if (!own_side_best_price(b, o, "orderbook_builder", &price)) return ORDERBOOK_NO_PRICE;
        type = '2';
      }
      replay.before_event(o.time, true, false);
      int32_t r = on_l2order(b, o.seq_num, type, static_cast<signed char>(o.bs_flag), price,
                             static_cast<int32_t>(o.volume), o.time);
      replay.after_event(o.time, true, ++orders_fed, false);
      return r;
    }
    if (type == QL_RECORD_L2TRADE) {
      const auto& t = *static_cast<const _L2Trade*>(rec);
      const bool counted = trade_counted(t);
      replay.before_event(t.time, false, counted);
      int32_t r = on_l2trade(b, t.bid_seq_num, t.ask_seq_num, t.price,
                             static_cast<int32_t>(t.volume), t.time);
      replay.after_event(t.time, false, trades_fed++, counted);
      return r;
    }
    return ORDERBOOK_ERROR;
  }
};

// The merge of run and run2 over two time-ordered inputs: order_time(i), trade_time(j),
// trade_counted(j), feed_order(i), feed_trade(j). Feeds every record; checks and snapshots end
// at an ordering error, after which the remaining orders go first, then the remaining trades.
template <class OrderTime, class TradeTime, class TradeCounted, class FeedOrder, class FeedTrade>
void merge_day(day_replay& replay, bool trades_first_at_equal_times, int32_t order_count,
               int32_t trade_count, OrderTime order_time, TradeTime trade_time,
               TradeCounted trade_counted, FeedOrder feed_order_at, FeedTrade feed_trade_at) {
  int32_t i = 0;
  int32_t j = 0;
  while (replay.checking() && (i < order_count || j < trade_count)) {
    bool trade_next;
    if (j >= trade_count) {
      trade_next = false;
    } else if (i >= order_count) {
      trade_next = true;
    } else {
      int32_t ot = order_time(i);
      int32_t tt = trade_time(j);
      trade_next = trades_first_at_equal_times ? ot >= tt : ot > tt;
    }
    if (trade_next) {
      int32_t t = trade_time(j);
      const bool counted = trade_counted(j);
      replay.before_event(t, false, counted);
      feed_trade_at(j);
      replay.after_event(t, false, j, counted);
      ++j;
    } else {
      int32_t t = order_time(i);
      replay.before_event(t, true, false);
      feed_order_at(i);
      ++i;
      replay.after_event(t, true, i, false);
    }
  }
  for (; i < order_count; ++i) feed_order_at(i);
  for (; j < trade_count; ++j) feed_trade_at(j);
}

// Marks a builder running and its book busy for the length of a run.
class busy_run {
 public:
  explicit busy_run(orderbook_builder* b) : running_(b), busy_(b->book) {}

 private:
  run_scope running_;
  busy_scope busy_;
};

}  // namespace
}  // namespace ql::detail

using namespace ql::detail;

extern "C" {

QL_API orderbook_builder* orderbook_builder_create(const char* exchange, const char* symbol,
                                                   int32_t interval_ms) {
  auto* builder = static_cast<orderbook_builder*>(std::calloc(1, sizeof(orderbook_builder)));
  if (builder == nullptr) return nullptr;
  builder->book = orderbook_create(exchange, symbol, 1, 0);
  if (builder->book != nullptr) builder->book->owner = builder;
  builder->interval_ms = interval_ms > kMinIntervalMs ? interval_ms : kDefaultIntervalMs;
  return builder;
}

QL_API void orderbook_builder_release(orderbook_builder* builder) {
  if (builder == nullptr || builder->running) return;
  delete builder->stream;
  destroy_book(builder->book);
  std::free(builder);
}

QL_API orderbook* orderbook_builder_get(orderbook_builder* builder) {
  return builder == nullptr ? nullptr : builder->book;
}

QL_API void orderbook_builder_set_interval_ms(orderbook_builder* builder, int32_t interval_ms) {
  if (builder != nullptr) builder->interval_ms = interval_ms;
}

QL_API void orderbook_builder_set_callback(orderbook_builder* builder,
                                           orderbook_builder_callback cb, void* user_data) {
  if (builder == nullptr) return;
  builder->callback = cb;
  builder->cb_user_data = user_data;
}

QL_API int32_t orderbook_builder_set_schedule(orderbook_builder* builder, int32_t kind,
                                              int32_t grid_ms, const int32_t* trade_counts,
                                              int32_t count) {
  if (builder == nullptr || builder->running) return ORDERBOOK_ERROR;
  switch (kind) {
    case ORDERBOOK_SCHEDULE_TRADING_HOURS:
    case ORDERBOOK_SCHEDULE_EVENTS:
      break;
    case ORDERBOOK_SCHEDULE_GRID:
      if (grid_ms < 1) return ORDERBOOK_ERROR;
      break;
    case ORDERBOOK_SCHEDULE_TRADES:
      if (!arrays_given(count, {trade_counts})) return ORDERBOOK_ERROR;
      for (int32_t k = 0; k < count; ++k) {
        if (trade_counts[k] < 0 || (k > 0 && trade_counts[k] < trade_counts[k - 1])) {
          return ORDERBOOK_ERROR;
        }
      }
      break;
    default:
      return ORDERBOOK_ERROR;
  }
  builder->schedule = {kind, grid_ms, kind == ORDERBOOK_SCHEDULE_TRADES ? count : 0,
                       kind == ORDERBOOK_SCHEDULE_TRADES ? trade_counts : nullptr};
  return ORDERBOOK_OK;
}

QL_API int32_t orderbook_builder_set_l2orders(orderbook_builder* builder, int32_t count,
                                              const int64_t* seq_num, const int32_t* order_type,
                                              const int32_t* bs_flag, const double* price,
                                              const int32_t* quantity, const int32_t* time) {
  if (builder == nullptr || builder->running ||
      !arrays_given(count, {seq_num, order_type, bs_flag, price, quantity, time})) {
    return ORDERBOOK_ERROR;
  }
  builder->orders = {count, seq_num, order_type, bs_flag, price, quantity, time};
  return ORDERBOOK_OK;
}

QL_API int32_t orderbook_builder_set_l2trades(orderbook_builder* builder, int32_t count,
                                              const int64_t* seq_num, const int64_t* bid_seq_num,
                                              const int64_t* ask_seq_num, const double* price,
                                              const int32_t* quantity, const int32_t* time) {
  if (builder == nullptr || builder->running ||
      !arrays_given(count, {seq_num, bid_seq_num, ask_seq_num, price, quantity, time})) {
    return ORDERBOOK_ERROR;
  }
  builder->trades = {count, seq_num, bid_seq_num, ask_seq_num, price, quantity, time};
  return ORDERBOOK_OK;
}

QL_API int32_t orderbook_builder_run(orderbook_builder* builder, int32_t date) {
  static const char kName[] = "orderbook_builder_run";
  if (builder == nullptr || builder->running) return ORDERBOOK_ERROR;
  if (!start_run(builder, date, kName)) return ORDERBOOK_ERROR;
  busy_run running(builder);
  orderbook* b = builder->book;
  const auto& o = builder->orders;
  const auto& t = builder->trades;
  day_replay replay(builder, kName, snapshot_rule::interval);
  merge_day(
      replay, b->is_sse != 0, o.count, t.count, [&](int32_t i) { return o.time[i]; },
      [&](int32_t j) { return t.time[j]; },
      [&](int32_t j) { return counts_as_trade(t.bid_seq_num[j], t.ask_seq_num[j], t.quantity[j]); },
      [&](int32_t i) {
        on_l2order(b, o.seq_num[i], o.order_type[i], o.bs_flag[i], o.price[i], o.quantity[i],
                   o.time[i]);
      },
      [&](int32_t j) {
        on_l2trade(b, t.bid_seq_num[j], t.ask_seq_num[j], t.price[j], t.quantity[j], t.time[j]);
      });
  return replay.emitted();
}

QL_API int32_t orderbook_builder_run2(orderbook_builder* builder, int32_t date,
                                      const _L2Order* orders, int32_t order_count,
                                      const _L2Trade* trades, int32_t trade_count) {
  static const char kName[] = "orderbook_builder_run2";
  if (builder == nullptr || builder->running || !arrays_given(order_count, {orders}) ||
      !arrays_given(trade_count, {trades})) {
    return ORDERBOOK_ERROR;
  }
  if (!start_run(builder, date, kName)) return ORDERBOOK_ERROR;
  busy_run running(builder);
  orderbook* b = builder->book;
  day_replay replay(builder, kName, rule_of(builder));
  merge_day(
      replay, b->is_sse != 0, order_count, trade_count, [&](int32_t i) { return orders[i].time; },
      [&](int32_t j) { return trades[j].time; },
      [&](int32_t j) { return trade_counted(trades[j]); },
      [&](int32_t i) { feed_order(b, orders[i]); }, [&](int32_t j) { feed_trade(b, trades[j]); });
  replay.finish();
  return replay.emitted();
}

QL_API int32_t orderbook_builder_run3(orderbook_builder* builder, int32_t date,
                                      const void* const* records, int32_t count) {
  static const char kName[] = "orderbook_builder_run3";
  if (builder == nullptr || builder->running || !arrays_given(count, {records})) {
    return ORDERBOOK_ERROR;
  }
  if (!start_run(builder, date, kName)) return ORDERBOOK_ERROR;
  busy_run running(builder);
  orderbook* b = builder->book;
  day_stream day(builder, kName);
  for (int32_t k = 0; k < count; ++k) {
    if (records[k] != nullptr) day.feed(b, records[k]);
  }
  day.replay.finish();
  return day.replay.emitted();
}

QL_API int32_t orderbook_builder_begin(orderbook_builder* builder, int32_t date) {
  static const char kName[] = "orderbook_builder_feed";
  if (builder == nullptr || builder->running) return ORDERBOOK_ERROR;
  if (!start_run(builder, date, kName)) return ORDERBOOK_ERROR;
  builder->stream = new (std::nothrow) day_stream(builder, kName);
  return builder->stream == nullptr ? ORDERBOOK_NO_MEMORY : ORDERBOOK_OK;
}

QL_API int32_t orderbook_builder_feed(orderbook_builder* builder, const void* record) {
  if (builder == nullptr || builder->stream == nullptr || builder->running || record == nullptr) {
    return ORDERBOOK_ERROR;
  }
  busy_run running(builder);
  return builder->stream->feed(builder->book, record);
}

QL_API int32_t orderbook_builder_finish(orderbook_builder* builder) {
  if (builder == nullptr || builder->stream == nullptr || builder->running) {
    return ORDERBOOK_ERROR;
  }
  int32_t emitted;
  {
    busy_run running(builder);
    builder->stream->replay.finish();
    emitted = builder->stream->replay.emitted();
  }
  delete builder->stream;
  builder->stream = nullptr;
  return emitted;
}

}  // extern "C"
