// The order book driven by any sequence of operations (orders, cancellations, trades, own
// orders, resets) on a Shanghai or Shenzhen, queued or aggregating book. After every operation:
//  - the book's structures are consistent (levels in price order, each level's quantity the
//    sum of its orders, tables holding exactly the live levels and orders);
//  - the snapshot's ten levels a side are the level chains;
//  - a book that was not crossed is not crossed after an event inside continuous trading;
//  - an event refused with a negative result changed no level and no statistic.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "fuzz_input.h"
#include "quotelab/orderbook.h"
#include "testing/orderbook_check.h"

namespace {

constexpr int32_t kDate = 20240105;
constexpr int32_t kOpenMs = 9 * 3600000 + 30 * 60000;           // 09:30:00.000
constexpr int32_t kCloseAuctionMs = 14 * 3600000 + 57 * 60000;  // 14:57:00.000
constexpr size_t kOpBytes = 8;

struct Level {
  double price;
  int64_t quantity;
  int32_t orders;
  bool operator==(const Level& o) const {
    return price == o.price && quantity == o.quantity && orders == o.orders;
  }
};

struct State {
  std::vector<Level> asks, bids;
  int64_t volume;
  int32_t num_trades;
  double turnover;
  bool operator==(const State& o) const {
    return asks == o.asks && bids == o.bids && volume == o.volume && num_trades == o.num_trades &&
           turnover == o.turnover;
  }
};

std::vector<Level> side(orderbook* book, int sign) {
  std::vector<Level> out;
  for (orderbook_queue* q = orderbook_at(book, sign); q != nullptr; q = orderbook_queue_next(q)) {
    out.push_back(
        {orderbook_queue_price(q), orderbook_queue_quantity(q), orderbook_queue_num_orders(q)});
  }
  return out;
}

State state_of(orderbook* book) {
  const _L2Snapshot* s = orderbook_snapshot(book);
  return {side(book, 1), side(book, -1), s->volume, s->num_trades, s->turnover};
}

bool crossed(const State& s) {
  return !s.asks.empty() && !s.bids.empty() && s.bids.front().price >= s.asks.front().price;
}

void check_snapshot(orderbook* book, const State& s) {
  const _L2Snapshot* snap = orderbook_snapshot(book);
  for (int i = 0; i < 10; ++i) {
    const bool has_ask = i < static_cast<int>(s.asks.size());
    const bool has_bid = i < static_cast<int>(s.bids.size());
    QLFUZZ_CHECK(snap->ask_price[i] == (has_ask ? s.asks[i].price : 0.0));
    QLFUZZ_CHECK(snap->ask_volume[i] == (has_ask ? static_cast<int32_t>(s.asks[i].quantity) : 0));
    QLFUZZ_CHECK(snap->bid_price[i] == (has_bid ? s.bids[i].price : 0.0));
    QLFUZZ_CHECK(snap->bid_volume[i] == (has_bid ? static_cast<int32_t>(s.bids[i].quantity) : 0));
  }
}

struct Driver {
  orderbook* book = nullptr;
  int32_t now_ms = 9 * 3600000 + 15 * 60000;  // 09:15:00.000
  std::vector<int64_t> own_ids;

  // One operation from 8 bytes. Returns the event's result and its time (HHMMSSmmm).
  std::pair<int32_t, int32_t> apply(const uint8_t* op) {
    const int kind = op[0] % 9;
    const int64_t seq = 1 + op[1] % 32;
    const int32_t bs = (op[2] & 0xF0) == 0xF0 ? 'X' : ((op[2] & 1) != 0 ? 'B' : 'S');
    const double price = op[3] == 0x80 ? 0.0 : 10.00 + static_cast<int8_t>(op[3]) % 16 * 0.01;
    const int32_t qty = op[4] == 0xFF ? -1 : (op[4] | (op[5] << 8)) % 1000;
    const int64_t other = op[7] % 33;  // 0 names no order (a Shenzhen cancellation)
    if (op[6] == 0xFF) {
      now_ms -= 1000;  // an event from the past
    } else if ((op[6] & 0x80) != 0) {
      now_ms += (op[6] & 0x7F) * 60000;  // minutes later: auctions, the open, the close
    } else {
      now_ms += op[6] % 4;
    }
    if (now_ms < 0) now_ms = 0;
    const int32_t t = msec2time(now_ms);
    switch (kind) {
      case 0:
      case 1:
        return {orderbook_on_l2order(book, seq, '2', bs, price, qty, t), t};
      case 2:
        return {orderbook_on_l2order(book, seq, '1', bs, price, qty, t), t};
      case 3:
        return {orderbook_on_l2order(book, seq, 'D', bs, price, qty, t), t};
      case 4:
        return (op[2] & 2) != 0
                   ? std::make_pair(orderbook_on_l2trade(book, 0, seq, other, price, qty, t), t)
                   : std::make_pair(orderbook_on_l2trade(book, 0, other, seq, price, qty, t), t);
      case 5: {
        const int64_t id = orderbook_gen_order_id(book);
        own_ids.push_back(id);
        return {orderbook_insert_order(book, id, bs, qty, price), orderbook_prev_update_time(book)};
      }
      case 6:
        if (own_ids.empty()) return {0, -1};
        return {orderbook_cancel_order(book, own_ids[op[1] % own_ids.size()]),
                orderbook_prev_update_time(book)};
      case 7:
        return {orderbook_on_cancel_order(book, seq, qty, price, bs, t), -1};
      default:
        if (op[1] != 0x5A) return {0, -1};
        orderbook_reset(book, kDate);  // rarely: a new day on the same book
        now_ms = 9 * 3600000 + 15 * 60000;
        return {0, -1};
    }
  }
};

bool in_continuous_trading(int32_t time) {
  if (time < 0) return false;
  const int32_t ms = time2msec(time);
  return ms >= kOpenMs && ms < kCloseAuctionMs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const bool verbose = std::getenv("QLFUZZ_VERBOSE") != nullptr;
  const char* exchange = (data[0] & 1) != 0 ? "SH" : "SZ";
  orderbook* book = orderbook_create(exchange, "600000", 1, (data[0] & 2) != 0 ? 1 : 0);
  if (book == nullptr) return 0;
  orderbook_reset(book, kDate);
  Driver driver;
  driver.book = book;
  State before = state_of(book);
  for (size_t at = 1; at + kOpBytes <= size; at += kOpBytes) {
    const int32_t last_event_before = orderbook_prev_update_time(book);  // refreshed below
    const auto [result, time] = driver.apply(data + at);
    if (verbose) {
      std::fprintf(stderr, "op %zu kind %d -> %d at %d\n", at / kOpBytes, data[at] % 9, result,
                   time);
    }
    const State after = state_of(book);
    QLFUZZ_CHECK(ql__orderbook_check(book) == 0);
    check_snapshot(book, after);
    // The first event at or after the open (even one refused for another reason) first matches
    // the orders held since the opening auction: that change is the open's, not the event's.
    const bool opening =
        last_event_before < 93000000 && time >= 93000000 && result != ORDERBOOK_EARLIER;
    if (result < 0 && !opening) QLFUZZ_CHECK(after == before);
    if (!crossed(before) && in_continuous_trading(time)) QLFUZZ_CHECK(!crossed(after));
    before = after;
  }
  orderbook_release(book);
  return 0;
}
