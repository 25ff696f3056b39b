// quotelab.Book (one order book, event by event) and the day rebuild behind quotelab.rebuild
// (a builder over whole record arrays, the GIL released while it runs).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <pybind11/stl.h>

#include "quotelab/orderbook.h"
#include "records_py.h"
#include "snapshot_options.h"
#include "verify_day.h"

namespace qlpy {
namespace {

// The order book's negative results by name, with what each means.
struct ResultName {
  int code;
  const char* name;
  const char* meaning;
};
constexpr ResultName kResultNames[] = {
    {ORDERBOOK_ERROR, "ORDERBOOK_ERROR", "no book, a bad argument or the book busy"},
    {ORDERBOOK_EARLIER, "ORDERBOOK_EARLIER", "event time earlier than the book's last event"},
    {ORDERBOOK_NOT_FOUND, "ORDERBOOK_NOT_FOUND", "order not in the book"},
    {ORDERBOOK_NO_LEVEL, "ORDERBOOK_NO_LEVEL", "the order's price level is gone"},
    {ORDERBOOK_BAD_SIDE, "ORDERBOOK_BAD_SIDE", "side or buy/sell flag other than 'B' and 'S'"},
    {ORDERBOOK_DUPLICATE, "ORDERBOOK_DUPLICATE", "order sequence number already resting"},
    {ORDERBOOK_NO_MEMORY, "ORDERBOOK_NO_MEMORY", "a level or order could not be allocated"},
    {ORDERBOOK_NO_PRICE, "ORDERBOOK_NO_PRICE", "own-side best order with its side empty"},
};

[[noreturn]] void raise_orderbook_error(const char* call, int code) {
  const ResultName* found = nullptr;
  for (const ResultName& r : kResultNames) {
    if (r.code == code) found = &r;
  }
  const char* name = found != nullptr ? found->name : "ORDERBOOK_ERROR";
  const std::string message = std::string(call) + ": " + name + " (" + std::to_string(code) +
                              "): " + (found != nullptr ? found->meaning : "refused");
  raise_error("OrderBookError", message, code, name);
}

// A side, flag or order type given as one character ('B', b'S', '2') or its code (66).
int32_t char_code(const py::handle& value, const char* what) {
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value)) {
    const std::string text = py::isinstance<py::str>(value) ? value.cast<std::string>()
                                                            : std::string(value.cast<py::bytes>());
    if (text.size() == 1) return static_cast<unsigned char>(text[0]);
  } else if (py::isinstance<py::int_>(value)) {
    return value.cast<int32_t>();
  }
  throw py::type_error(std::string(what) + ": expected one character or its code, got " +
                       std::string(py::repr(value)));
}

// Side of a levels() query: 'B'/'S' as char_code, or bid/ask/buy/sell in any letter case.
int32_t side_code(const py::handle& value) {
  if (py::isinstance<py::str>(value)) {
    std::string text = value.cast<std::string>();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "bid" || text == "buy" || text == "b") return 'B';
    if (text == "ask" || text == "sell" || text == "s") return 'S';
  }
  const int32_t side = char_code(value, "side");
  if (side != 'B' && side != 'S') throw py::value_error("side: expected 'B' (bid) or 'S' (ask)");
  return side;
}

#pragma pack(push, 1)
struct LevelRow {  // quotelab.dtypes.Level
  double price;
  int64_t quantity;
  int32_t orders;
};
#pragma pack(pop)

// One instrument's order book, fed event by event from Python. Not thread-safe; the GIL
// serialises Python callers.
class Book {
 public:
  Book(const std::string& exchange, const std::string& symbol, bool aggregate)
      : book_(orderbook_create(exchange.c_str(), symbol.c_str(), 1, aggregate ? 1 : 0)) {
    if (book_ == nullptr) raise_error("Error", "orderbook_create: the book cannot be created");
  }
  ~Book() { orderbook_release(book_); }
  Book(const Book&) = delete;
  Book& operator=(const Book&) = delete;

  void reset(int32_t date) { orderbook_reset(book_, date); }
  void init_static_fields(int32_t date, double pre_close, double upper_limit, double lower_limit) {
    checked("orderbook_init_static_fields",
            orderbook_init_static_fields(book_, date, pre_close, upper_limit, lower_limit));
  }

  int32_t on_l2order(int64_t seq_num, const py::object& order_type, const py::object& bs_flag,
                     double price, int32_t quantity, int32_t time) {
    return checked("orderbook_on_l2order",
                   orderbook_on_l2order(book_, seq_num, char_code(order_type, "order_type"),
                                        char_code(bs_flag, "bs_flag"), price, quantity, time));
  }
  int32_t on_l2trade(int64_t seq_num, int64_t bid_seq_num, int64_t ask_seq_num, double price,
                     int32_t quantity, int32_t time) {
    return checked(
        "orderbook_on_l2trade",
        orderbook_on_l2trade(book_, seq_num, bid_seq_num, ask_seq_num, price, quantity, time));
  }
  int32_t on_cancel_order(int64_t order_seq_num, int32_t quantity, double price,
                          const py::object& side, int32_t time) {
    return checked("orderbook_on_cancel_order",
                   orderbook_on_cancel_order(book_, order_seq_num, quantity, price,
                                             char_code(side, "side"), time));
  }
  int32_t on_order_cross(int64_t seq_num, const py::object& order_type, const py::object& bs_flag,
                         double price, int32_t quantity, int32_t time) {
    return checked("orderbook_on_order_cross",
                   orderbook_on_order_cross(book_, seq_num, char_code(order_type, "order_type"),
                                            char_code(bs_flag, "bs_flag"), price, quantity, time));
  }
  int64_t gen_order_id() { return orderbook_gen_order_id(book_); }
  int32_t insert_order(int64_t order_id, const py::object& side, int32_t quantity, double price) {
    return checked(
        "orderbook_insert_order",
        orderbook_insert_order(book_, order_id, char_code(side, "side"), quantity, price));
  }
  int32_t cancel_order(int64_t order_id) {
    return checked("orderbook_cancel_order", orderbook_cancel_order(book_, order_id));
  }
  void update_snapshot(int32_t quantity, double price, int32_t time) {
    orderbook_update_snapshot(book_, quantity, price, time);
  }

  // Receives fills and cancellations of the caller's own orders (negative ids). An exception
  // the callback raises cannot cross the library: it is kept and raised when the call returns.
  void set_exec_callback(py::object callback) {
    exec_callback_ = std::move(callback);
    orderbook_set_exec_callback(book_, exec_callback_.is_none() ? nullptr : &Book::on_exec, this);
  }

  py::array snapshot() {
    auto* rec = new _L2Snapshot();
    orderbook_snapshot_cp(book_, rec);
    return wrap_records("L2Snapshot", rec, 1, sizeof(_L2Snapshot), rec,
                        [](void* p) { delete static_cast<_L2Snapshot*>(p); });
  }

  py::array levels(const py::object& side, int depth) {
    if (depth < 0) throw py::value_error("depth: expected 0 or more levels");
    const int32_t s = side_code(side);
    std::vector<LevelRow> rows;
    for (orderbook_queue* q = orderbook_at(book_, s == 'S' ? 1 : -1);
         q != nullptr && static_cast<int>(rows.size()) < depth; q = orderbook_queue_next(q)) {
      rows.push_back(
          {orderbook_queue_price(q), orderbook_queue_quantity(q), orderbook_queue_num_orders(q)});
    }
    py::array out(record_dtype("Level"),
                  py::array::ShapeContainer{static_cast<py::ssize_t>(rows.size())});
    if (!rows.empty()) std::memcpy(out.mutable_data(), rows.data(), rows.size() * sizeof(LevelRow));
    return out;
  }

  std::string text(int depth) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    if (f == nullptr) return "";
    orderbook_print(book_, f, depth);
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
  }

  // The call auction's indicative match now, as quotelab.book.AuctionMatch.
  py::object auction_indicative(double reference_price) {
    orderbook_auction match;
    checked("orderbook_auction_indicative",
            orderbook_auction_indicative(book_, reference_price, &match));
    const char side[2] = {static_cast<char>(match.unmatched_side), '\0'};
    return py::module_::import("quotelab.book")
        .attr("AuctionMatch")(match.price, match.matched, match.unmatched, std::string(side));
  }

  double last_price() { return orderbook_last_price(book_); }
  int32_t time() { return orderbook_prev_update_time(book_); }

 private:
  int32_t checked(const char* call, int32_t result) {
    if (pending_) {
      py::error_already_set e = std::move(*pending_);
      pending_.reset();
      throw e;
    }
    if (result < 0) raise_orderbook_error(call, result);
    return result;
  }

  static int on_exec(orderbook*, int64_t order_id, int32_t kind, int32_t quantity, double price,
                     int32_t time, void* user_data) {
    auto* self = static_cast<Book*>(user_data);
    if (self->pending_) return 0;
    try {
      self->exec_callback_(order_id, kind, quantity, price, time);
    } catch (py::error_already_set& e) {
      self->pending_ = std::make_unique<py::error_already_set>(std::move(e));
    }
    return 0;
  }

  orderbook* book_;
  py::object exec_callback_ = py::none();
  std::unique_ptr<py::error_already_set> pending_;
};

// ---- a whole day ------------------------------------------------------------------------------

constexpr size_t kSymbolBytes = sizeof(_L2Order::symbol);

// Collects each snapshot the builder emits, with the day rebuilt as its trading day (the
// builder's book carries none), as `quotelab book` writes them.
struct SnapshotSink {
  int32_t trading_day;
  bool exchange_auction_view;  // call-auction snapshots show the indicative match
  qltool::RecordArray<_L2Snapshot> snapshots;
  bool out_of_memory = false;
};

int on_snapshot(orderbook_builder* builder, const _L2Snapshot* snapshot, void* user_data) {
  auto* sink = static_cast<SnapshotSink*>(user_data);
  _L2Snapshot* out = sink->snapshots.append_zeroed();
  if (out == nullptr) {
    sink->out_of_memory = true;
    return 0;
  }
  *out = *snapshot;
  if (out->trading_day == 0) out->trading_day = sink->trading_day;
  if (sink->exchange_auction_view) {
    qlverify::exchange_auction_view(orderbook_builder_get(builder), out);
  }
  return 0;
}

// The snapshot schedule: the program's --schedule text ("events", "grid:MS", "trades:FILE"),
// or the trade counts themselves; neither gives the trading-hours rules.
qltool::SnapshotSchedule schedule_of(const std::string& text, const py::object& trade_counts) {
  qltool::SnapshotSchedule schedule;
  if (!trade_counts.is_none()) {
    schedule.kind = ORDERBOOK_SCHEDULE_TRADES;
    schedule.trade_counts = trade_counts.cast<std::vector<int32_t>>();
    for (size_t i = 0; i < schedule.trade_counts.size(); ++i) {
      if (schedule.trade_counts[i] < 0 ||
          (i > 0 && schedule.trade_counts[i] < schedule.trade_counts[i - 1])) {
        throw py::value_error("schedule: trade counts must be 0 or more and non-decreasing");
      }
    }
    return schedule;
  }
  std::string error;
  if (!text.empty() && !qltool::parse_schedule(text, &schedule, &error)) {
    if (error.rfind("--schedule: ", 0) == 0) error = "schedule: " + error.substr(12);
    throw py::value_error(error);
  }
  return schedule;
}

// A symbol as records hold it when their producer zero-filled them: the text, then zeros.
struct PaddedSymbol {
  char bytes[kSymbolBytes] = {};
  explicit PaddedSymbol(const std::string& symbol) {
    std::memcpy(bytes, symbol.data(), std::min(symbol.size(), kSymbolBytes));
  }
  bool matches(const char* record_symbol) const {
    return std::memcmp(record_symbol, bytes, kSymbolBytes) == 0;
  }
};

// Whether every order and trade carries one symbol. The check is a pass over all the records,
// bound by memory like the build itself: on a large day it runs on a thread of its own beside
// the build, which then costs no more time than without it.
class OneSymbolCheck {
 public:
  // Records from this many on are checked beside the build: a thread costs less than the pass.
  static constexpr size_t kBesideFrom = 200000;

  OneSymbolCheck(const std::string& symbol, const _L2Order* orders, size_t order_count,
                 const _L2Trade* trades, size_t trade_count)
      : padded_(symbol),
        orders_(orders),
        order_count_(order_count),
        trades_(trades),
        trade_count_(trade_count) {}
  ~OneSymbolCheck() { wait(); }
  OneSymbolCheck(const OneSymbolCheck&) = delete;
  OneSymbolCheck& operator=(const OneSymbolCheck&) = delete;

  void start() {
    if (order_count_ + trade_count_ >= kBesideFrom) {
      thread_ = std::thread([this] { run(); });
    } else {
      run();
    }
  }
  // Waits for the check. Returns the symbol of a record that carries another, or "".
  std::string other_symbol() {
    wait();
    return other_;
  }

 private:
  void wait() {
    if (thread_.joinable()) thread_.join();
  }
  void run() {
    for (size_t i = 0; i < order_count_; ++i) {
      if (!padded_.matches(orders_[i].symbol)) return note(orders_[i].symbol);
    }
    for (size_t i = 0; i < trade_count_; ++i) {
      if (!padded_.matches(trades_[i].symbol)) return note(trades_[i].symbol);
    }
  }
  void note(const char* symbol) { other_.assign(symbol, strnlen(symbol, kSymbolBytes)); }

  const PaddedSymbol padded_;
  const _L2Order* orders_;
  size_t order_count_;
  const _L2Trade* trades_;
  size_t trade_count_;
  std::string other_;
  std::thread thread_;
};

py::array rebuild_day(const py::array& order_array, const py::array& trade_array,
                      const std::string& exchange, const std::string& symbol, int32_t date,
                      int32_t interval_ms, const py::object& sequence,
                      const std::string& schedule_text, const py::object& trade_counts,
                      const std::string& auction_view, bool check_one_symbol) {
  const auto [orders, order_count] = records_of<_L2Order>(order_array, "orders");
  const auto [trades, trade_count] = records_of<_L2Trade>(trade_array, "trades");
  if (order_count > INT32_MAX || trade_count > INT32_MAX) {
    throw py::value_error("more than 2147483647 records");
  }
  const qltool::SnapshotSchedule schedule = schedule_of(schedule_text, trade_counts);
  bool exchange_view = false;
  if (!auction_view.empty() && !qltool::parse_auction_view(auction_view, &exchange_view)) {
    throw py::value_error("auction_view: '" + auction_view + "' is neither book nor exchange");
  }
  std::vector<const void*> stream;
  const bool in_sequence = !sequence.is_none();
  if (in_sequence) {
    stream = sequence_records(std::string(sequence.cast<py::bytes>()), orders, order_count, trades,
                              trade_count, symbol);
  }
  std::unique_ptr<orderbook_builder, void (*)(orderbook_builder*)> builder(
      orderbook_builder_create(exchange.c_str(), symbol.c_str(), interval_ms),
      &orderbook_builder_release);
  if (!builder) raise_error("Error", "orderbook_builder_create: the builder cannot be created");
  // The builder takes intervals of 10 ms or less for its default; the caller gets what it asked.
  orderbook_builder_set_interval_ms(builder.get(), interval_ms);
  if (!qltool::apply_schedule(builder.get(), schedule)) {
    throw py::value_error("schedule: the order book builder refused it");
  }
  SnapshotSink sink{date, exchange_view, {}};
  orderbook_builder_set_callback(builder.get(), on_snapshot, &sink);
  OneSymbolCheck check(symbol, orders, check_one_symbol ? order_count : 0, trades,
                       check_one_symbol ? trade_count : 0);
  int32_t emitted;
  {
    py::gil_scoped_release unlocked;
    check.start();
    emitted = in_sequence ? orderbook_builder_run3(builder.get(), date, stream.data(),
                                                   static_cast<int32_t>(stream.size()))
                          : orderbook_builder_run2(builder.get(), date, orders,
                                                   static_cast<int32_t>(order_count), trades,
                                                   static_cast<int32_t>(trade_count));
  }
  const std::string other = check.other_symbol();
  if (!other.empty()) {
    throw py::value_error("orders and trades hold records of several symbols (" + symbol + ", " +
                          other + ", ...): choose one with symbol=");
  }
  if (emitted < 0) {
    raise_orderbook_error(in_sequence ? "orderbook_builder_run3" : "orderbook_builder_run2",
                          emitted);
  }
  if (sink.out_of_memory) throw std::bad_alloc();
  return records_array(std::move(sink.snapshots));
}

}  // namespace

std::vector<const void*> sequence_records(const std::string& letters, const _L2Order* orders,
                                          size_t order_count, const _L2Trade* trades,
                                          size_t trade_count, const std::string& symbol) {
  const PaddedSymbol padded(symbol);
  const auto wanted = [&](const char* s) { return symbol.empty() || padded.matches(s); };
  std::vector<const void*> out;
  out.reserve(order_count + trade_count);
  size_t o = 0, t = 0;
  for (size_t i = 0; i < letters.size(); ++i) {
    const char c = letters[i];
    if (c == 'O' || c == 'T') {
      const bool is_order = c == 'O';
      if (is_order ? o >= order_count : t >= trade_count) {
        throw py::value_error(std::string("sequence names more ") +
                              (is_order ? "orders" : "trades") + " than given (" +
                              std::to_string(is_order ? order_count : trade_count) + ")");
      }
      const char* rec_symbol = is_order ? orders[o].symbol : trades[t].symbol;
      const void* rec = is_order ? static_cast<const void*>(&orders[o++])
                                 : static_cast<const void*>(&trades[t++]);
      if (wanted(rec_symbol)) out.push_back(rec);
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      throw py::value_error("sequence byte " + std::to_string(i) +
                            ": expected O (order) or T (trade)");
    }
  }
  if (o != order_count || t != trade_count) {
    throw py::value_error("sequence names " + std::to_string(o) + " orders and " +
                          std::to_string(t) + " trades, but " + std::to_string(order_count) +
                          " and " + std::to_string(trade_count) + " are given");
  }
  return out;
}

void bind_book(py::module_& m) {
  py::class_<Book>(m, "Book",
                   "One instrument's Level-2 order book, fed event by event (the orderbook_* "
                   "functions). A refused call raises OrderBookError. Not thread-safe.")
      .def(py::init<const std::string&, const std::string&, bool>(), py::arg("exchange"),
           py::arg("symbol"), py::arg("aggregate") = false)
      .def("reset", &Book::reset, py::arg("date"), "Empties the book for the trading day `date`.")
      .def("init_static_fields", &Book::init_static_fields, py::arg("date"),
           py::arg("pre_close") = 0.0, py::arg("upper_limit") = 0.0, py::arg("lower_limit") = 0.0)
      .def("on_l2order", &Book::on_l2order, py::arg("seq_num"), py::arg("order_type"),
           py::arg("bs_flag"), py::arg("price"), py::arg("quantity"), py::arg("time"))
      .def("on_l2trade", &Book::on_l2trade, py::arg("seq_num"), py::arg("bid_seq_num"),
           py::arg("ask_seq_num"), py::arg("price"), py::arg("quantity"), py::arg("time"))
      .def("on_cancel_order", &Book::on_cancel_order, py::arg("order_seq_num"), py::arg("quantity"),
           py::arg("price"), py::arg("side"), py::arg("time"))
      .def("on_order_cross", &Book::on_order_cross, py::arg("seq_num"), py::arg("order_type"),
           py::arg("bs_flag"), py::arg("price"), py::arg("quantity"), py::arg("time"))
      .def("gen_order_id", &Book::gen_order_id,
           "The next id (-1, -2, ...) for an order of the caller's own.")
      .def("insert_order", &Book::insert_order, py::arg("order_id"), py::arg("side"),
           py::arg("quantity"), py::arg("price"))
      .def("cancel_order", &Book::cancel_order, py::arg("order_id"),
           "Cancels an own order. Returns 0.")
      .def("update_snapshot", &Book::update_snapshot, py::arg("quantity"), py::arg("price"),
           py::arg("time"))
      .def("set_exec_callback", &Book::set_exec_callback, py::arg("callback"))
      .def("snapshot", &Book::snapshot, "The book's snapshot now: an array of one L2Snapshot.")
      .def("levels", &Book::levels, py::arg("side"), py::arg("depth") = 10,
           "The best `depth` levels of side B/bid or S/ask, best first: an array of Level.")
      .def("auction_indicative", &Book::auction_indicative, py::arg("reference_price") = 0.0,
           "What a call auction would match now: AuctionMatch(price, matched, unmatched, "
           "unmatched_side).")
      .def("text", &Book::text, py::arg("depth") = 5, "The book as orderbook_print writes it.")
      .def_property_readonly("last_price", &Book::last_price)
      .def_property_readonly("time", &Book::time);

  m.def("rebuild_day", &rebuild_day, py::arg("orders"), py::arg("trades"), py::arg("exchange"),
        py::arg("symbol"), py::arg("date"), py::arg("interval_ms"), py::arg("sequence"),
        py::arg("schedule") = "", py::arg("trade_counts") = py::none(),
        py::arg("auction_view") = "", py::arg("check_one_symbol") = false,
        "Rebuilds one day with orderbook_builder_run2 (run3 with a sequence of O/T letters), "
        "the GIL released; check_one_symbol: ValueError unless every record carries symbol. "
        "Returns the snapshots.");
}

}  // namespace qlpy
