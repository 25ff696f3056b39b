// The order book: lifecycle, event processing under the Shanghai and Shenzhen rules, the
// refusals that keep it consistent, its messages, snapshots, queries and printing. The
// differential test rebuilds whole simulated days; these cases pin the edges it rarely reaches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quotelab/orderbook.h"
#include "testing/orderbook_check.h"
#include "testing/orderbook_pool_limit.h"

namespace {

constexpr int32_t kAuction = 91500000;   // 09:15:00.000
constexpr int32_t kMatch = 92500000;     // 09:25:00.000
constexpr int32_t kMorning = 100000000;  // 10:00:00.000

using Level = std::tuple<double, int64_t, int32_t>;  // price, quantity, orders
using Levels = std::vector<Level>;

// Every level of one side, best first: n = 1, 2, ... for asks, -1, -2, ... for bids.
Levels side_levels(orderbook* book, int sign) {
  Levels out;
  for (orderbook_queue* q = orderbook_at(book, sign); q != nullptr; q = orderbook_queue_next(q)) {
    out.emplace_back(orderbook_queue_price(q), orderbook_queue_quantity(q),
                     orderbook_queue_num_orders(q));
  }
  return out;
}

// What print(f) writes to a stream.
template <class Print>
std::string printed(Print print) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  print(f);
  std::fclose(f);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

class BookTest : public testing::Test {
 protected:
  void TearDown() override {
    if (book_ != nullptr) {
      EXPECT_EQ(ql__orderbook_check(book_), 0);
      orderbook_release(book_);
      book_ = nullptr;
    }
  }
  // A new book; the one before is checked and released.
  orderbook* make(const char* exchange, uint8_t aggregate = 0) {
    TearDown();
    book_ = orderbook_create(exchange, "600000", 0, aggregate);
    orderbook_reset(book_, 20240105);
    return book_;
  }
  int32_t order(int64_t seq, int32_t side, double price, int32_t qty, int32_t t,
                int32_t type = '2') {
    return orderbook_on_l2order(book_, seq, type, side, price, qty, t);
  }
  int32_t trade(int64_t bid, int64_t ask, double price, int32_t qty, int32_t t) {
    return orderbook_on_l2trade(book_, 0, bid, ask, price, qty, t);
  }
  Levels bids() { return side_levels(book_, -1); }
  Levels asks() { return side_levels(book_, 1); }

  orderbook* book_ = nullptr;
};

TEST(BookNull, EveryEntryPointAcceptsNullAndUnknownCodesGiveEmptyTexts) {
  EXPECT_STREQ(orderbook_side2str('X'), "");
  EXPECT_STREQ(orderbook_bsflag2str('X'), "");
  EXPECT_STREQ(orderbook_exchangeid_str(3), "");
  EXPECT_EQ(orderbook_create(nullptr, "x", 0, 0), nullptr);
  EXPECT_EQ(orderbook_create("SZ", nullptr, 0, 0), nullptr);
  orderbook_release(nullptr);
  orderbook_reset(nullptr, 1);
  orderbook_set_debug(nullptr, 3, nullptr);
  orderbook_set_exec_callback(nullptr, nullptr, nullptr);
  EXPECT_EQ(orderbook_init_static_fields(nullptr, 0, 1.0, 2.0, 0.5), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_gen_order_id(nullptr), 0);
  // Events.
  EXPECT_EQ(orderbook_on_l2order(nullptr, 1, '2', 'B', 1.0, 1, 1), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_on_l2trade(nullptr, 1, 1, 2, 1.0, 1, 1), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_on_cancel_order(nullptr, 1, 1, 1.0, 'B', 1), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_on_order_cross(nullptr, 1, '2', 'B', 1.0, 1, 1), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_insert_order(nullptr, -1, 'B', 1, 1.0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_cancel_order(nullptr, -1), ORDERBOOK_ERROR);
  // Snapshots and queries.
  _L2Snapshot out{};
  EXPECT_EQ(orderbook_snapshot(nullptr), nullptr);
  EXPECT_EQ(orderbook_snapshot_cp(nullptr, &out), ORDERBOOK_ERROR);
  EXPECT_FALSE(orderbook_update_snapshot(nullptr, 1, 1.0, 1));
  EXPECT_EQ(orderbook_prev_update_time(nullptr), 0);
  EXPECT_EQ(orderbook_last_price(nullptr), 0.0);
  EXPECT_EQ(orderbook_at(nullptr, 1), nullptr);
  EXPECT_FALSE(orderbook_get_price_qty(nullptr, 1, nullptr, nullptr));
  EXPECT_EQ(orderbook_queue_find(nullptr, 1.0), nullptr);
  orderbook_print(nullptr, stdout, 5);
  // Level accessors.
  EXPECT_EQ(orderbook_queue_side(nullptr), 0);
  EXPECT_EQ(orderbook_queue_next(nullptr), nullptr);
  EXPECT_TRUE(orderbook_queue_empty(nullptr));
  EXPECT_EQ(orderbook_queue_sum_quantity(nullptr), 0);
  EXPECT_EQ(orderbook_queue_quantity(nullptr), 0);
  EXPECT_EQ(orderbook_queue_price(nullptr), 0.0);
  EXPECT_EQ(orderbook_queue_num_orders(nullptr), 0);
  orderbook_queue_print(nullptr, stdout, 1);
  orderbook_queue_print2(nullptr, stdout, 1, -1);
  // Map and builder.
  orderbook_map_release(nullptr);
  EXPECT_EQ(orderbook_map_clear(nullptr), 0);
  EXPECT_EQ(orderbook_map_count(nullptr), 0);
  EXPECT_EQ(orderbook_map_insert(nullptr, nullptr), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_map_get(nullptr, 2, "000001"), nullptr);
  EXPECT_EQ(orderbook_map_remove(nullptr, 2, "000001"), nullptr);
  orderbook_builder_release(nullptr);
  EXPECT_EQ(orderbook_builder_get(nullptr), nullptr);
  orderbook_builder_set_interval_ms(nullptr, 1000);
  orderbook_builder_set_callback(nullptr, nullptr, nullptr);
  EXPECT_EQ(orderbook_builder_set_l2orders(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_set_l2trades(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr),
            ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run(nullptr, 20240105), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run2(nullptr, 20240105, nullptr, 0, nullptr, 0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_builder_run3(nullptr, 20240105, nullptr, 0), ORDERBOOK_ERROR);
}

TEST(BookCreate, ExchangeTextsSelectTheRulesAndLongSymbolsKeep29Characters) {
  const struct {
    const char* text;
    uint8_t id;
  } cases[] = {{"xshg", 1}, {"Sh", 1}, {"sse", 1}, {"sz", 2}, {"XSHE", 2}, {"HK", 0}};
  for (const auto& c : cases) {
    orderbook* b = orderbook_create(c.text, "000001", 0, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(orderbook_snapshot(b)->exchange, c.id) << c.text;
    // A Shanghai book matches continuous trades against resting orders and reports the
    // quantity that found none; Shenzhen-rule books ignore them.
    EXPECT_EQ(orderbook_on_l2trade(b, 0, 2, 1, 10.0, 100, kMorning), c.id == 1 ? 100 : 0);
    orderbook_release(b);
  }
  const char* sym = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  orderbook* b = orderbook_create("SZ", sym, 0, 0);
  orderbook_reset(b, 20240105);
  EXPECT_EQ(std::string(orderbook_snapshot(b)->symbol), std::string(sym, 29));
  orderbook_release(b);
}

TEST_F(BookTest, PricesMapToThousandths) {
  make("SZ");
  order(1, 'B', 10.23, 100, kAuction);
  order(2, 'B', 10.2299999, 100, kAuction);
  order(3, 'B', 10.2294, 100, kAuction);
  EXPECT_EQ(bids(), (Levels{{10.23, 200, 2}, {10.229, 100, 1}}));
  EXPECT_EQ(orderbook_queue_find(book_, 10.229), orderbook_queue_next(orderbook_at(book_, -1)));
}

TEST_F(BookTest, ResetEmptiesTheBookAndKeepsTheIdSequence) {
  make("SZ");
  orderbook_init_static_fields(book_, 0, 10.0, 11.0, 9.0);  // date 0: today
  const _L2Snapshot* s = orderbook_snapshot(book_);
  EXPECT_GT(s->trading_day, 20200101);
  EXPECT_EQ(orderbook_gen_order_id(book_), -1);
  for (int i = 0; i < 3000; ++i) order(i + 1, 'B', 9.0 + i * 0.01, 100, kMorning);
  orderbook_reset(book_, 20240106);
  EXPECT_EQ(std::make_tuple(s->action_day, s->trading_day, s->pre_close, int(s->type)),
            std::make_tuple(20240106, 0, 0.0, 2));
  EXPECT_EQ(orderbook_queue_find(book_, 9.0), nullptr);
  EXPECT_EQ(order(1, 'B', 9.0, 100, kAuction), 0);  // earlier than yesterday's last event
  EXPECT_EQ(orderbook_gen_order_id(book_), -2);
}

// A Shanghai call-auction trade consumes the best bids first; it reduces an aggressor's own order
// by at most what it has left, and its level by the same: the other orders there stay whole.
TEST_F(BookTest, ShanghaiTradesTakeOnlyWhatOrdersHaveAndOrdersAreNeverHeld) {
  make("SSE");
  order(1, 'B', 10.00, 500, kMatch - 1000);
  order(2, 'B', 10.01, 300, kMatch - 1000);
  order(3, 'S', 9.99, 600, kMatch - 1000);  // rests without crossing in the auction
  EXPECT_EQ(trade(1, 3, 10.00, 600, kMatch), 0);
  EXPECT_EQ(bids(), (Levels{{10.00, 200, 1}}));
  EXPECT_TRUE(asks().empty());
  EXPECT_EQ(orderbook_on_cancel_order(book_, 3, 0, 0, 'S', kMatch), ORDERBOOK_NOT_FOUND);

  make("SSE");
  order(5, 'S', 9.99, 500, kMatch - 1000);
  order(10, 'B', 10.00, 100, kMatch - 1000);
  order(11, 'B', 10.00, 200, kMatch - 1000);
  EXPECT_EQ(trade(10, 5, 10.00, 300, kMatch), 0);
  EXPECT_EQ(bids(), (Levels{{10.00, 200, 1}}));
  EXPECT_EQ(asks(), (Levels{{9.99, 200, 1}}));
  EXPECT_EQ(orderbook_on_cancel_order(book_, 11, 200, 10.0, 'B', kMatch), 0);

  // A continuous trade reports what found no ask; the later order (9) is not looked up.
  make("SSE");
  order(1, 'S', 10.00, 100, kMorning);
  order(2, 'S', 10.02, 100, kMorning);
  order(3, 'B', 9.90, 100, kMorning);
  EXPECT_EQ(trade(9, 1, 10.01, 250, kMorning + 1), 150);  // buyer later: asks up to 10.01
  EXPECT_EQ(asks(), (Levels{{10.02, 100, 1}}));
  EXPECT_EQ(bids(), (Levels{{9.90, 100, 1}}));
  EXPECT_EQ(order(4, 'B', 9.90, 100, kMorning + 6, 'D'), ORDERBOOK_NOT_FOUND);

  // Shenzhen orders entered after the opening match are held and matched when the window opens
  // (the differential test's held-order days check that); Shanghai books never hold orders: the
  // crossed book stays for the trades to clear.
  make("SH");
  order(1, 'S', 10.00, 100, 92000000);
  order(2, 'B', 10.02, 100, 92700000);
  EXPECT_EQ(order(3, 'B', 9.00, 100, 93000000), 100);
  EXPECT_EQ(bids(), (Levels{{10.02, 100, 1}, {9.00, 100, 1}}));
}

// The differential test checks the crossing itself; here, what the calls report.
TEST_F(BookTest, ShenzhenOrdersReportWhatRestsOrWasDropped) {
  make("SZ");
  order(1, 'S', 10.01, 400, kMorning);
  order(2, 'S', 10.02, 300, kMorning);
  EXPECT_EQ(order(3, 'B', 10.02, 1000, kMorning + 10), 300);  // what rests
  EXPECT_EQ(trade(3, 1, 10.01, 400, kMorning + 10), 0);
  EXPECT_TRUE(orderbook_update_snapshot(book_, 50, 11.0, kMorning + 13));
  EXPECT_EQ(orderbook_snapshot(book_)->volume, 450);
  EXPECT_EQ(orderbook_snapshot(book_)->time, kMorning + 10);  // last_time unchanged
  // A market order crosses every level and drops its rest.
  EXPECT_EQ(order(5, 'S', 0.0, 500, kMorning + 20, '1'), 200);
  EXPECT_TRUE(bids().empty());
  EXPECT_EQ(trade(0, 4, 0.0, 100, kMorning + 40), ORDERBOOK_NOT_FOUND);
}

// The window is 09:30:00.000 to 14:56:59.999: the closing call auction starts at 14:57:00.000.
TEST_F(BookTest, WindowEdgesDecideWhetherOrdersCrossAndEarlierEventsAreRefused) {
  for (const char* exchange : {"SZ", "SH"}) {
    make(exchange);
    order(1, 'S', 10.00, 100, 92000000);
    order(2, 'S', 10.01, 100, 92000000);
    EXPECT_EQ(order(3, 'B', 9.99, 100, 92959999), 0);
    EXPECT_EQ(order(4, 'B', 10.00, 50, 93000000), 0);  // the first moment that crosses
    EXPECT_EQ(asks(), (Levels{{10.00, 50, 1}, {10.01, 100, 1}})) << exchange;
    EXPECT_EQ(order(5, 'B', 10.00, 50, 145659999), 0);  // the last moment that crosses
    EXPECT_EQ(asks(), (Levels{{10.01, 100, 1}}));
    EXPECT_EQ(order(6, 'S', 9.99, 100, 145700000), 0);  // rests: the closing auction
    EXPECT_EQ(order(7, 'B', 10.01, 100, 145659999), ORDERBOOK_EARLIER);
    EXPECT_EQ(trade(0, 6, 0, 100, 145659999), ORDERBOOK_EARLIER);
    EXPECT_EQ(order(7, 'B', 10.01, 100, 145700000), 0);  // equal time accepted, rests crossed
    EXPECT_EQ(bids(), (Levels{{10.01, 100, 1}, {9.99, 100, 1}}));
    EXPECT_EQ(asks(), (Levels{{9.99, 100, 1}, {10.01, 100, 1}}));
  }
}

// The side given with a cancellation only labels messages: the order's own side finds its
// level, even in a crossed auction book with a level of the other side at the same price.
// A cancellation of another quantity removes the whole order and says so.
TEST_F(BookTest, CancellationsUseTheOrdersOwnSideAndRemoveTheWholeOrder) {
  make("SZ");
  orderbook_set_debug(book_, 1, [](orderbook*, const char* text) {
    std::fprintf(stderr, "%s", text);
    return 0;
  });
  order(1, 'B', 10.00, 100, kAuction);
  order(2, 'S', 10.00, 300, kAuction);
  order(3, 'B', 10.00, 50, kAuction);
  EXPECT_EQ(orderbook_on_cancel_order(book_, 1, 100, 10.0, 'X', kAuction), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orderbook_on_cancel_order(book_, 3, 20, 10.0, 'S', kAuction + 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orderbook_on_cancel_order: cannel quantity 20 not equal to order_quantity 50 for "
            "order_seq_num=3,side=ASK,cancel_time=91500001\n");
  EXPECT_TRUE(bids().empty());
  EXPECT_EQ(asks(), (Levels{{10.00, 300, 1}}));
}

using Exec = std::tuple<int64_t, int32_t, int32_t, double, int32_t>;  // id kind qty price time

class OwnOrderTest : public BookTest {
 protected:
  static int record(orderbook*, int64_t id, int32_t kind, int32_t qty, double price, int32_t t,
                    void* user) {
    static_cast<std::vector<Exec>*>(user)->emplace_back(id, kind, qty, price, t);
    return 0;
  }
  std::vector<Exec> execs_;
};

TEST_F(OwnOrderTest, FillsAndCancelsAreReported) {
  make("SSE");
  orderbook_set_exec_callback(book_, record, &execs_);
  order(1, 'S', 10.10, 100, kMorning);
  const int64_t id = orderbook_gen_order_id(book_);
  EXPECT_EQ(orderbook_insert_order(book_, id, 'B', 500, 10.00), 500);
  EXPECT_EQ(orderbook_insert_order(book_, id, 'S', 100, 11.0), ORDERBOOK_DUPLICATE);
  EXPECT_EQ(trade(-1, 7, 10.00, 200, kMorning + 5), 0);  // the seller (7) came later
  EXPECT_EQ(orderbook_cancel_order(book_, id), 0);
  EXPECT_EQ(orderbook_cancel_order(book_, id), ORDERBOOK_NOT_FOUND);
  ASSERT_EQ(execs_.size(), 2u);
  EXPECT_EQ(execs_[0], (Exec{id, 0, 200, 10.0, kMorning + 5}));
  EXPECT_EQ(std::make_tuple(std::get<1>(execs_[1]), std::get<2>(execs_[1])),
            std::make_tuple(1, 300));  // the cancellation of the 300 left

  // An own aggressor is reported at the last event time.
  execs_.clear();
  make("SZ");
  orderbook_set_exec_callback(book_, record, &execs_);
  order(1, 'S', 10.00, 100, kMorning);
  order(2, 'S', 10.01, 100, kMorning + 7);
  const int64_t own = orderbook_gen_order_id(book_);
  EXPECT_EQ(orderbook_insert_order(book_, own, 'B', 150, 10.01), 0);
  EXPECT_EQ(execs_, (std::vector<Exec>{{own, 0, 100, 10.0, kMorning + 7},
                                       {own, 0, 50, 10.01, kMorning + 7}}));
}

// A callback may read the book but not change it: the book is in the middle of an update.
TEST_F(OwnOrderTest, CallbacksCannotChangeTheBook) {
  make("SZ");
  std::pair<int64_t, int32_t> ctx{0, 1};  // the order to cancel, and what cancelling gave
  orderbook_set_exec_callback(
      book_,
      [](orderbook* b, int64_t, int32_t, int32_t, double, int32_t, void* user) {
        auto* c = static_cast<std::pair<int64_t, int32_t>*>(user);
        c->second = orderbook_cancel_order(b, c->first);
        orderbook_release(b);
        orderbook_reset(b, 1);
        return 0;
      },
      &ctx);
  const int64_t a = orderbook_gen_order_id(book_);
  ctx.first = orderbook_gen_order_id(book_);
  orderbook_insert_order(book_, a, 'S', 100, 10.00);
  orderbook_insert_order(book_, ctx.first, 'S', 100, 10.00);
  order(1, 'B', 10.00, 150, kMorning);
  EXPECT_EQ(ctx.second, ORDERBOOK_ERROR);
  EXPECT_EQ(asks(), (Levels{{10.00, 50, 1}}));
}

TEST_F(BookTest, DuplicatesAndBadQuantitiesSidesAndPricesAreRefused) {
  make("SZ");
  EXPECT_EQ(order(5, 'B', 10.00, 100, kMorning), 100);
  EXPECT_EQ(order(5, 'B', 10.01, 200, kMorning), ORDERBOOK_DUPLICATE);
  EXPECT_EQ(order(6, 'S', 10.05, 100, kMorning), 100);
  EXPECT_EQ(order(5, 'B', 10.05, 100, kMorning), ORDERBOOK_DUPLICATE);  // would cross whole
  EXPECT_EQ(bids(), (Levels{{10.00, 100, 1}}));
  EXPECT_EQ(asks(), (Levels{{10.05, 100, 1}}));
  EXPECT_EQ(trade(5, 0, 0, 100, kMorning + 1), 0);
  EXPECT_TRUE(bids().empty());
  EXPECT_EQ(order(5, 'B', 10.01, 200, kMorning + 1), 200);  // free again

  // Bad quantities, sides and prices change nothing.
  make("SZ");
  EXPECT_EQ(order(1, 'B', 10.0, -5, kMorning), ORDERBOOK_ERROR);
  EXPECT_EQ(order(2, 'B', 10.0, 0, kMorning), 0);  // nothing to rest
  EXPECT_EQ(trade(1, 2, 10.0, -5, kMorning), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_insert_order(book_, -1, 'B', -1, 10.0), ORDERBOOK_ERROR);
  EXPECT_EQ(orderbook_insert_order(book_, -1, 'Q', 1, 10.0), ORDERBOOK_BAD_SIDE);
  EXPECT_EQ(order(3, 'Q', 10.0, 100, kMorning), ORDERBOOK_BAD_SIDE);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(order(4, 'B', nan, 100, kAuction + 2), ORDERBOOK_EARLIER);
  EXPECT_EQ(order(4, 'B', nan, 100, kMorning), 100);  // not a positive price: nothing rests
  EXPECT_TRUE(bids().empty());
  EXPECT_EQ(order(5, 'B', 1e300, 100, 150000000), 0);
  EXPECT_TRUE(asks().empty());
}

// Order numbers in the patterns feeds have: rising one by one, rising with gaps (numbers
// counted across a channel of instruments), sharing their low bits, falling, and negative or
// zero (the book's own ids). Enough of them that the book's order index grows several times.
struct NumberPattern {
  const char* name;
  int64_t (*number)(int64_t i);
};
const NumberPattern kNumberPatterns[] = {
    {"rising", [](int64_t i) { return i + 1; }},
    {"gaps", [](int64_t i) { return 1000000 + i * 997 + (i * i) % 13; }},
    {"same low bits", [](int64_t i) { return (i + 1) << 16; }},
    {"falling", [](int64_t i) { return 1000000 - i; }},
    {"own ids", [](int64_t i) { return -i; }},
    {"old and new", [](int64_t i) { return i % 2 == 0 ? i + 1 : 5000000 - i; }},
};

TEST_F(BookTest, OrdersAreFoundByNumberWhateverTheirPattern) {
  constexpr int64_t kOrders = 3000;
  for (const NumberPattern& p : kNumberPatterns) {
    SCOPED_TRACE(p.name);
    make("SZ");
    for (int day = 0; day < 2; ++day) {
      orderbook_reset(book_, 20240105 + day);
      for (int64_t i = 0; i < kOrders; ++i) {
        const int32_t side = i % 2 == 0 ? 'B' : 'S';
        const double price = side == 'B' ? 10.00 - (i % 40) * 0.01 : 10.50 + (i % 40) * 0.01;
        ASSERT_EQ(order(p.number(i), side, price, 100, kAuction), 0);
      }
      ASSERT_EQ(ql__orderbook_check(book_), 0);
      for (int64_t i = 0; i < kOrders; i += 7) {
        ASSERT_EQ(order(p.number(i), 'B', 9.00, 100, kAuction), ORDERBOOK_DUPLICATE);
      }
      // Every other order cancelled, then each once more (gone), then the rest.
      for (int64_t i = 0; i < kOrders; i += 2) {
        ASSERT_EQ(orderbook_cancel_order(book_, p.number(i)), ORDERBOOK_OK);
      }
      ASSERT_EQ(ql__orderbook_check(book_), 0);
      for (int64_t i = 0; i < kOrders; i += 2) {
        ASSERT_EQ(orderbook_cancel_order(book_, p.number(i)), ORDERBOOK_NOT_FOUND);
      }
      for (int64_t i = 1; i < kOrders; i += 2) {
        ASSERT_EQ(orderbook_cancel_order(book_, p.number(i)), ORDERBOOK_OK);
      }
      EXPECT_TRUE(bids().empty());
      EXPECT_TRUE(asks().empty());
      ASSERT_EQ(ql__orderbook_check(book_), 0);
    }
  }
}

// Executions take from an aggregating level's total without knowing which orders they took; a
// cancellation says what remained of its order, and that is what leaves the level (the
// differential test's aggregating books check true days). A level never goes below zero and is
// never removed while other orders' quantity remains.
TEST_F(BookTest, AggregatingLevelsKeepOtherOrdersQuantityAndNeverGoNegative) {
  make("SZ", 1);
  order(7, 'B', 9.00, 300, kMorning);
  order(8, 'B', 9.00, 200, kMorning);
  EXPECT_EQ(orderbook_queue_aggregate(orderbook_at(book_, -1)), 1);
  EXPECT_EQ(orderbook_cancel_order(book_, 7), 0);  // no quantity given: the entered 300
  EXPECT_EQ(bids(), (Levels{{9.00, 200, 1}}));

  make("SZ", 1);
  order(1, 'B', 10.00, 300, kMorning);
  order(2, 'B', 10.00, 200, kMorning);
  EXPECT_EQ(order(3, 'S', 10.00, 250, kMorning + 1), 0);  // executes 250 of the 500
  EXPECT_EQ(bids(), (Levels{{10.00, 250, 2}}));
  // Order 1's 300 would take the level below zero: the level ends, nothing goes negative.
  EXPECT_EQ(order(1, 'B', 10.00, 300, kMorning + 2, 'D'), 0);
  EXPECT_TRUE(bids().empty());
  // Order 2 was entered at the level just removed; a new level at that price is not its own.
  order(4, 'B', 10.00, 100, kMorning + 3);
  EXPECT_EQ(order(2, 'B', 10.00, 200, kMorning + 4, 'D'), ORDERBOOK_NO_LEVEL);
  EXPECT_EQ(bids(), (Levels{{10.00, 100, 1}}));
  EXPECT_EQ(order(2, 'B', 10.00, 200, kMorning + 4, 'D'), ORDERBOOK_NOT_FOUND);  // freed
}

TEST_F(BookTest, EventsThatCannotGetRecordsChangeNothing) {
  make("SZ");
  ql__orderbook_pool_fail_after(book_, 0);  // the first block is all there is
  order(900000, 'S', 10.50, 100, kAuction);
  int64_t seq = 1;
  testing::internal::CaptureStderr();
  int32_t r = 0;
  while ((r = order(seq, 'B', 10.00, 10, kAuction)) == 0) ++seq;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "mpool_alloc: L:279 alloc pool block 49152bytes failed\n");
  EXPECT_EQ(r, ORDERBOOK_NO_MEMORY);
  EXPECT_EQ(bids(), (Levels{{10.00, 10 * (seq - 1), int32_t(seq - 1)}}));
  // An order record is free again after a cancellation, but a new price still needs a level.
  EXPECT_EQ(order(1, 'B', 10.00, 10, kAuction, 'D'), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(order(seq, 'B', 9.00, 10, kAuction + 1), ORDERBOOK_NO_MEMORY);
  testing::internal::GetCapturedStderr();
  // Nothing of the refused order is left: not its number, not its level, not its time.
  EXPECT_EQ(orderbook_queue_find(book_, 9.00), nullptr);
  EXPECT_EQ(order(seq, 'B', 10.00, 10, kAuction, 'D'), ORDERBOOK_NOT_FOUND);
  EXPECT_EQ(orderbook_snapshot(book_)->time, kAuction);
  // An order that crosses whole needs no record; one that rests at an existing level takes the
  // cancelled one's.
  EXPECT_EQ(order(seq + 1, 'B', 10.50, 100, kMorning), 0);
  EXPECT_EQ(order(seq + 2, 'B', 10.00, 10, kMorning), 10);
}

std::vector<std::string> g_lines;  // what the debug callback below was given
int collect(orderbook*, const char* text) {
  g_lines.push_back(text);
  return 0;
}

// A cancellation of an unknown order is written above level 2; a quantity mismatch at any
// nonzero level; each to the callback, or to standard output without one. An unknown flag
// outside the window goes to standard error at any level.
TEST_F(BookTest, DebugLevelsDecideWhatIsWrittenAndWhere) {
  g_lines.clear();
  make("SZ");
  order(1, 'B', 10.00, 300, kMorning);
  order(2, 'B', 10.00, 300, kMorning);
  for (int level : {0, 1, 2}) {
    orderbook_set_debug(book_, level, collect);
    EXPECT_EQ(orderbook_on_cancel_order(book_, 99, 10, 10.5, 'S', kMorning), ORDERBOOK_NOT_FOUND);
  }
  orderbook_set_debug(book_, 0, collect);
  orderbook_on_cancel_order(book_, 2, 10, 10.0, 'B', kMorning);
  EXPECT_TRUE(g_lines.empty());
  orderbook_set_debug(book_, -1, collect);
  orderbook_on_cancel_order(book_, 1, 10, 10.0, 'B', kMorning);
  EXPECT_EQ(g_lines.size(), 1u);
  orderbook_set_debug(book_, 3, collect);
  orderbook_on_cancel_order(book_, 99, 10, 10.5, 'S', kMorning);
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[1],
            "orderbook_on_cancel_order: not found order by order_seq_num=99,quantity=10,"
            "price=10.500,side=ASK,cancel_time=100000000\n");
  orderbook_set_debug(book_, 3, nullptr);
  testing::internal::CaptureStdout();
  orderbook_on_cancel_order(book_, 7, 1, 1.0, 'B', kMorning);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("order_seq_num=7,"), std::string::npos);
  orderbook_set_debug(book_, 0, collect);
  testing::internal::CaptureStderr();
  EXPECT_EQ(order(3, 'X', 10.5, 100, 150000000), ORDERBOOK_BAD_SIDE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "on_l2order: unknown bs_flag=88 for update_time=150000000, seq_num=3, quantity=100, "
            "price=10.500\n");
}

// The differential test compares the snapshot's prices and time; here its volumes, a level's
// total beyond 32 bits and the copy.
TEST_F(BookTest, SnapshotShowsTheTenBestLevelsAndLowBitsOfHugeQuantities) {
  make("SZ");
  // Twelve levels a side, entered out of price order; the snapshot shows the best ten.
  for (int i = 0; i < 12; ++i) {
    const int k = (i * 5) % 12;  // 0, 5, 10, 3, 8, 1, ...
    order(100 + k, 'S', 10.01 + 0.01 * k, 100 + k, kAuction + i);
    order(200 + k, 'B', 9.99 - 0.01 * k, 200 + k, kAuction + i);
  }
  for (int i = 1; i <= 3; ++i) order(i, 'B', 10.0, INT32_MAX, kAuction + 20);
  const _L2Snapshot* s = orderbook_snapshot(book_);
  const int64_t total = 3LL * INT32_MAX;
  EXPECT_EQ(orderbook_queue_quantity(orderbook_at(book_, -1)), total);
  EXPECT_EQ(s->bid_volume[0], static_cast<int32_t>(static_cast<uint32_t>(total)));
  for (int i = 0; i < 10; ++i) {
    EXPECT_DOUBLE_EQ(s->ask_price[i], 10.01 + 0.01 * i) << i;
    EXPECT_EQ(s->ask_volume[i], 100 + i) << i;
    if (i == 9) break;
    EXPECT_DOUBLE_EQ(s->bid_price[i + 1], 9.99 - 0.01 * i) << i;
    EXPECT_EQ(s->bid_volume[i + 1], 200 + i) << i;
  }
  _L2Snapshot copy;
  EXPECT_EQ(orderbook_snapshot_cp(book_, &copy), 0);
  EXPECT_EQ(std::memcmp(&copy, s, sizeof copy), 0);
}

TEST_F(BookTest, LevelZeroIsTheBestLevelAtTheLastPrice) {
  make("SZ");
  order(1, 'B', 10.00, 100, kAuction);
  order(2, 'S', 10.00, 100, kAuction);         // crossed auction book
  EXPECT_EQ(orderbook_at(book_, 0), nullptr);  // no trade yet: last is 0
  trade(7, 8, 10.00, 1, kMorning);
  EXPECT_EQ(orderbook_at(book_, 0), orderbook_at(book_, -1));
  trade(7, 8, 10.01, 1, kMorning);
  EXPECT_EQ(orderbook_at(book_, 0), nullptr);
  int64_t q = 5;
  double p = 0;
  EXPECT_TRUE(orderbook_get_price_qty(book_, 1, nullptr, nullptr));
  EXPECT_FALSE(orderbook_get_price_qty(book_, -2, &q, &p));
  EXPECT_EQ(q, 5);
  EXPECT_FALSE(orderbook_get_price_qty(book_, INT32_MIN, &q, &p));
  EXPECT_TRUE(orderbook_get_price_qty(book_, -1, &q, &p));
  EXPECT_EQ(std::make_tuple(q, p), std::make_tuple(int64_t{100}, 10.0));
}

TEST_F(BookTest, PrintShowsOneMoreAskLevelThanBidLevels) {
  make("SZ");
  for (int i = 0; i < 5; ++i) {
    order(10 + i, 'S', 10.01 + i * 0.01, 100 * (i + 1), kAuction);
    order(20 + i, 'B', 10.00 - i * 0.01, 10 * (i + 1), kAuction);
  }
  auto print = [&](int depth) {
    return printed([&](FILE* f) { orderbook_print(book_, f, depth); });
  };
  const std::string rule = "------------------------------------------------------------\n";
  EXPECT_EQ(print(2),
            "******** orderbook 600000.SZ 91500000 0.000 ********\nASK3 10.030 \t300\n"
            "ASK2 10.020 \t200\nASK1 10.010 \t100\n" +
                rule + "BID1 10.000 \t10\nBID2 9.990 \t20\n\n");
  orderbook_reset(book_, 20240105);
  EXPECT_EQ(print(-3), "******** orderbook 600000.SZ 0 0.000 ********\nAsks empty..\n" + rule +
                           "Bids empty..\n\n");
}

TEST_F(BookTest, QueuePrintListsTheFirstOrdersAndCutsLongListsBeforeTheBufferEnds) {
  make("SZ");
  for (int i = 1; i <= 60; ++i) order(i, 'B', 10.0, i, kAuction);
  orderbook_queue* q = orderbook_at(book_, -1);
  std::string expected = "BID1 10.000 \t1830 60/[";
  for (int i = 1; i <= 50; ++i) expected += std::to_string(i) + (i < 50 ? "," : "]\n");
  expected += "BID2 10.000 \t1830\n";
  EXPECT_EQ(printed([&](FILE* f) {
              orderbook_queue_print2(q, f, 1, -1);
              orderbook_queue_print(q, f, 2);
            }),
            expected);

  make("SZ");
  for (int i = 1; i <= 500; ++i) order(i, 'B', 10.0, 1000000000 + i, kAuction);
  const std::string line =
      printed([&](FILE* f) { orderbook_queue_print2(orderbook_at(book_, -1), f, 1, 1000); });
  // 11 characters per entry: 363 entries fit below 3999 characters, less the final comma.
  EXPECT_EQ(line.find(']') - line.find('[') - 1, 363u * 11 - 1);
}

}  // namespace
