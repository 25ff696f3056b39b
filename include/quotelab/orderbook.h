/* quotelab: the Level-2 order book.
 *
 * One `orderbook` rebuilds the limit order book of one Shanghai or Shenzhen instrument from
 * the exchange's order-by-order and trade-by-trade records and keeps an _L2Snapshot of it
 * (ten price levels a side) current. An `orderbook_map` keeps many books by instrument; an
 * `orderbook_builder` owns one book and replays a whole trading day through it, handing
 * snapshots to a callback at chosen intervals.
 *
 * Prices inside the book are integers `px`: the price in thousandths, computed as
 * (price + 0.00005) * 1000 truncated (a guard against representation error, not rounding;
 * a price that is not a number or is beyond any integer gives px 0). Times are HHMMSSmmm
 * (93000000 is 09:30:00.000); dates YYYYMMDD. Sides and flags are ASCII codes: 'B' (66) bid /
 * buy, 'S' (83) ask / sell; order types 'D' (68) cancellation, '1' (49) market, '2' (50)
 * limit (any type other than 'D' and '1' is a priced order).
 *
 * The continuous-trading window is the event times 93000000 to 145659999 inclusive (09:30:00.000
 * to 14:56:59.999; the closing call auction starts at 14:57:00.000). Inside it every incoming
 * order crosses the opposite side; outside it (the call auctions, and the minutes between the
 * opening match and the open) orders rest without crossing and trade records consume resting
 * orders.
 *
 * Threads: a book, a map and a builder belong to one thread at a time; nothing here takes a
 * lock. Callbacks run synchronously on the calling thread, inside the call that triggers them.
 * From inside a callback a book may be read but not changed: the changing calls then return
 * ORDERBOOK_ERROR (or do nothing when they return nothing).
 *
 * Compiles as C99 and C++. No function throws; a NULL handle never crashes (it gets
 * ORDERBOOK_ERROR, NULL, 0 or false as each comment says).
 */
#ifndef QUOTELAB_ORDERBOOK_H
#define QUOTELAB_ORDERBOOK_H

#include <stdint.h>
#include <stdio.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "quotelab/export.h"
#include "quotelab/records.h"
#include "quotelab/result.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ============================================================================================
 * Handles, result codes and callbacks
 * ========================================================================================== */
typedef struct orderbook orderbook;                 /* one instrument's book */
typedef struct orderbook_queue orderbook_queue;     /* one price level of a book */
typedef struct orderbook_map orderbook_map;         /* books by exchange id and symbol */
typedef struct orderbook_builder orderbook_builder; /* replays a day through its own book */

/* Results of the event functions (named in quotelab/result.h, texts by ql_result_str): A
 * positive result is a quantity left over: the part of an incoming order or Shanghai trade that
 * found no counterpart.
 *   ORDERBOOK_OK (0)
 *   ORDERBOOK_ERROR (-1)     no book, bad argument (negative quantity), book busy
 *   ORDERBOOK_EARLIER (-2)   event time earlier than the book's last event: ignored
 *   ORDERBOOK_NOT_FOUND (-3) cancellation of an order that is not in the book
 *   ORDERBOOK_NO_LEVEL (-4)  cancellation of an order whose price level is gone
 *   ORDERBOOK_BAD_SIDE (-5)  side or buy/sell flag other than 'B' and 'S'
 *   ORDERBOOK_DUPLICATE (-7) order sequence number already resting: event refused
 *   ORDERBOOK_NO_MEMORY (-8) a level or order record could not be allocated: refused
 *   ORDERBOOK_NO_PRICE (-9)  the builder's own-side best order (Shenzhen 'U') met its side of
 *                            the book empty: it has no price to take, and is refused */

/* Receives each diagnostic line of a book (zero-terminated, ends in "\n"). Result ignored. */
typedef int (*orderbook_log_callback)(orderbook* book, const char* text);

/* Receives executions (kind 0) and cancellations (kind 1) of the caller's own orders, those
 * with negative ids: the order id, the quantity filled or cancelled, the level's price, the
 * time, and the user data given to orderbook_set_exec_callback. Result ignored. */
typedef int (*orderbook_exec_callback)(orderbook* book, int64_t order_id, int32_t kind,
                                       int32_t quantity, double price, int32_t time,
                                       void* user_data);

/* Receives each snapshot a builder emits. The snapshot is the book's own record, valid until
 * the next refresh: copy it to keep it. Result ignored. */
typedef int (*orderbook_builder_callback)(orderbook_builder* builder, const _L2Snapshot* snapshot,
                                          void* user_data);

/* ============================================================================================
 * Book lifecycle
 *
 * create -> (set_debug, set_exec_callback) -> reset(date) -> init_static_fields -> events ->
 * snapshots -> release. Level and order records come from the book's private pool of
 * 49152-byte blocks and are recycled through free lists; reset gives every block but the
 * first back to the system.
 *
 * Exchange texts (any letter case): "SSE", "SHA", "SH", "XSHG" make a Shanghai book (exchange
 * id 1); "SZSE", "SZA", "SZ", "XSHE" a Shenzhen book (id 2); any other text exchange id 0 with
 * the Shenzhen rules. The symbol is kept up to 63 characters (29 in the snapshot).
 *
 * Diagnostics (orderbook_set_debug) go to the log callback, or to standard output when there
 * is none: at level 0 none; at any nonzero level the level and order bookkeeping messages and
 * the cancellation "level not found" and "quantity differs" messages; above 1 also the two
 * execution messages; above 2 also "cancelled order not found". The pool's allocation
 * failures and the unknown bs_flag message go to standard error whatever the level.
 *
 * An aggregating book (aggregate nonzero) keeps only totals per level, no order queues:
 *  - an order entered adds its quantity and 1 to its level; the order itself is kept only in
 *    the sequence-number table, so that its cancellation can be found;
 *  - executions take quantity from level totals, at most what the level holds; a level whose
 *    quantity reaches 0 is removed, and the orders entered at it become stale;
 *  - a cancellation takes from its level the quantity the cancellation gives, or the order's
 *    entered quantity when that is smaller or none is given, at most what the level holds; it
 *    removes the level only when no quantity remains at it; a level's order count counts orders
 *    entered and not cancelled (executions are not counted out);
 *  - cancelling a stale order (its level was emptied and removed since it was entered) frees
 *    the order and returns ORDERBOOK_NO_LEVEL; no level changes.
 * ========================================================================================== */

/* Creates an empty book. mode is kept and changes nothing (the builder passes 1).
 * Returns the book, or NULL when its pool cannot be created (exchange or symbol NULL). */
QL_API orderbook* orderbook_create(const char* exchange, const char* symbol, int32_t mode,
                                   uint8_t aggregate);
/* Releases the book and everything in it. NULL does nothing; so does a book held by a map or
 * a builder (they release it) and a call from inside one of the book's callbacks. */
QL_API void orderbook_release(orderbook* book);
/* Empties the book for another day: no levels, no orders, last event time 0, the snapshot
 * zeroed but for type, exchange, symbol and action_day = date. Keeps the configuration,
 * callbacks and the own-order id sequence. Returns nothing. */
QL_API void orderbook_reset(orderbook* book, int32_t date);
/* Sets the diagnostic level and the log callback (NULL: standard output). Returns nothing. */
QL_API void orderbook_set_debug(orderbook* book, int32_t level, orderbook_log_callback cb);
/* Sets the receiver of the caller's own executions and cancellations (NULL: none). Returns
 * nothing. */
QL_API void orderbook_set_exec_callback(orderbook* book, orderbook_exec_callback cb,
                                        void* user_data);
/* Stores date (0: today's local date) in action_day and trading_day and the three prices in
 * the snapshot. Call after orderbook_reset. Returns 0 (ORDERBOOK_ERROR for NULL). */
QL_API int32_t orderbook_init_static_fields(orderbook* book, int32_t date, double pre_close,
                                            double upper_limit, double lower_limit);
/* Returns the next id for the caller's own orders: -1, -2, -3 ... never repeating, not even
 * across resets (0 for NULL). */
QL_API int64_t orderbook_gen_order_id(orderbook* book);

/* ============================================================================================
 * Codes and times
 * ========================================================================================== */
/* Returns "1.0.0": the order book interface's own version, which follows the orderbook_*
 * functions and their behaviour, not the library release (that is ql_version_string()). */
QL_API const char* orderbook_version(void);
/* Returns "ASK" for 'S', "BID" for 'B', "" otherwise (constant texts). */
QL_API const char* orderbook_side2str(int32_t side);
/* Returns "BUY" for 'B', "SELL" for 'S', "" otherwise. */
QL_API const char* orderbook_bsflag2str(int32_t flag);
/* Returns "SSE" for 1, "SZSE" for 2, "" otherwise. */
QL_API const char* orderbook_exchangeid_str(uint8_t exchange_id);
/* Returns the milliseconds since midnight of a time HHMMSSmmm (93000000 -> 34200000). */
QL_API int32_t time2msec(int32_t time);
/* Returns the time HHMMSSmmm of milliseconds since midnight (34200000 -> 93000000). */
QL_API int32_t msec2time(int32_t msec);

/* ============================================================================================
 * Events
 *
 * Events come in non-decreasing time: an order or trade earlier than the book's last event is
 * refused (ORDERBOOK_EARLIER) and changes nothing. Refused events (negative results) leave the
 * book as it was, except that ORDERBOOK_BAD_SIDE still advances the last event time.
 *
 * Shanghai books: cancellations are order records of type 'D'; a trade names both orders and
 * the later one (the larger sequence number) is the aggressor; trade records consume resting
 * orders at all times, and in a call auction also reduce the aggressor's own resting order.
 * Shenzhen books: cancellations are trade records with one sequence number 0; inside the
 * window every order crosses on arrival and trade records only count in the statistics;
 * auction trades consume both sides.
 *
 * Shenzhen orders entered between the opening match and the open (times 92500000 to 92959999)
 * rest unmatched as they arrive, so the book may be crossed until 09:30; the exchange matches
 * them at 09:30:00.000 in arrival order and publishes their trades then. The book does the
 * same: when the first order or trade event at or after 93000000 arrives (one not refused as
 * earlier), and the book is crossed, it takes those orders out and enters them again in
 * arrival order (entry time, then sequence number), each crossing what rests at that point
 * as it would have on arrival and resting what is left behind the orders already at its price,
 * before it applies the event. The exchange's trades for them then change only the statistics,
 * which count each trade once. A book that is not crossed then is left as it is (none of those
 * orders could have traded); Shanghai books are never changed by this rule.
 *
 * An order event whose sequence number names an order still resting in the book is refused
 * with ORDERBOOK_DUPLICATE. An order with quantity 0 rests nothing (result 0).
 * ========================================================================================== */

/* Applies one order record. Returns 0 (rested whole, or nothing left), the quantity that
 * rested after crossing (inside the window), or a negative code: ORDERBOOK_EARLIER,
 * ORDERBOOK_NOT_FOUND / ORDERBOOK_NO_LEVEL (type 'D'), ORDERBOOK_BAD_SIDE (with a message on
 * standard error outside the window), ORDERBOOK_DUPLICATE, ORDERBOOK_NO_MEMORY,
 * ORDERBOOK_ERROR (no book, negative quantity, busy). Inside the window an order with price
 * <= 0 never rests: the result is what it could not fill. */
QL_API int32_t orderbook_on_l2order(orderbook* book, int64_t seq_num, int32_t order_type,
                                    int32_t bs_flag, double price, int32_t quantity,
                                    int32_t update_time);
/* Applies one trade record (trade_seq_num is not used). A record with one sequence number 0
 * cancels the other order. Returns 0, the quantity of a Shanghai trade that found no resting
 * counterpart, or ORDERBOOK_EARLIER, ORDERBOOK_NOT_FOUND, ORDERBOOK_NO_LEVEL (cancellation),
 * ORDERBOOK_ERROR (no book, negative quantity, busy). */
QL_API int32_t orderbook_on_l2trade(orderbook* book, int64_t trade_seq_num, int64_t bid_seq_num,
                                    int64_t ask_seq_num, double price, int32_t quantity,
                                    int32_t update_time);
/* Cancels the resting order order_seq_num; side only labels messages (the order's own side
 * finds its level) and quantity is only compared: the remaining quantity is what is
 * cancelled. Neither checks nor advances the last event time. Returns 0, ORDERBOOK_NOT_FOUND,
 * ORDERBOOK_NO_LEVEL or ORDERBOOK_ERROR (no book, busy). */
QL_API int32_t orderbook_on_cancel_order(orderbook* book, int64_t order_seq_num, int32_t quantity,
                                         double price, int32_t side, int32_t cancel_time);
/* Crosses an incoming order against the opposite side without resting anything and without
 * looking at the last event time. Returns the quantity left (quantity itself when it is not
 * positive), ORDERBOOK_BAD_SIDE or ORDERBOOK_ERROR (no book, busy). */
QL_API int32_t orderbook_on_order_cross(orderbook* book, int64_t seq_num, int32_t order_type,
                                        int32_t bs_flag, double price, int32_t quantity,
                                        int32_t update_time);
/* Enters one of the caller's own orders (id from orderbook_gen_order_id) at the book's last
 * event time: price 0.0 makes a market order. Inside the window it crosses first; the rest
 * rests at its px (a market order's rest at px 0). Returns the quantity resting (0 when fully
 * filled or quantity 0), or ORDERBOOK_BAD_SIDE, ORDERBOOK_DUPLICATE, ORDERBOOK_NO_MEMORY,
 * ORDERBOOK_ERROR (no book, negative quantity, busy). */
QL_API int32_t orderbook_insert_order(orderbook* book, int64_t order_id, int32_t side,
                                      int32_t quantity, double price);
/* Cancels one of the caller's orders with its remaining quantity at the last event time.
 * Returns 0, ORDERBOOK_NOT_FOUND, ORDERBOOK_NO_LEVEL or ORDERBOOK_ERROR. */
QL_API int32_t orderbook_cancel_order(orderbook* book, int64_t order_id);

/* ============================================================================================
 * Snapshots and queries
 *
 * Level numbers: 0 is the best bid or, failing that, the best ask, when its price equals the
 * last trade price; n > 0 the n-th ask level from the best (1 = best ask); n < 0 the (-n)-th
 * bid level. A level reference stays valid until the book's next event, cancellation or
 * reset.
 * ========================================================================================== */

/* Refreshes the book's snapshot (time = last event time, ten levels a side; a level quantity
 * beyond 32 bits shows its low 32 bits). Returns the book's own record, valid until the book
 * is released, or NULL for NULL. */
QL_API const _L2Snapshot* orderbook_snapshot(orderbook* book);
/* Refreshes the snapshot and copies it whole into *out. Returns 0, or ORDERBOOK_ERROR when
 * book or out is NULL. */
QL_API int32_t orderbook_snapshot_cp(orderbook* book, _L2Snapshot* out);
/* Counts one trade of quantity at price at update_time in the statistics (num_trades, volume,
 * turnover, open, high, low, last, time) without matching anything. Returns true (false for
 * NULL). */
QL_API bool orderbook_update_snapshot(orderbook* book, int32_t quantity, double price,
                                      int32_t update_time);
/* Returns the snapshot's time (0 for NULL). */
QL_API int32_t orderbook_prev_update_time(orderbook* book);
/* Returns the last trade price (0.0 for NULL). */
QL_API double orderbook_last_price(orderbook* book);
/* Returns the level numbered n, or NULL. */
QL_API orderbook_queue* orderbook_at(orderbook* book, int32_t n);
/* Writes the quantity and price of level n to the outputs that are not NULL. Returns true
 * when the level exists (outputs untouched otherwise). */
QL_API bool orderbook_get_price_qty(orderbook* book, int32_t n, int64_t* quantity, double* price);
/* Returns the level at price on the ask side, else on the bid side, or NULL. */
QL_API orderbook_queue* orderbook_queue_find(orderbook* book, double price);
/* Writes the book to out: a title line, the best depth+1 ask levels deepest first, a line of
 * hyphens, the best depth bid levels. NULL book or out writes nothing. Returns nothing. */
QL_API void orderbook_print(orderbook* book, FILE* out, int32_t depth);

/* The indicative match of a call auction: what the exchange would match the resting orders at
 * now. price is 0.0 and both quantities 0 when nothing would execute. */
typedef struct orderbook_auction {
  double price;           /* the single auction price */
  int64_t matched;        /* quantity that would execute at it */
  int64_t unmatched;      /* quantity at or through the price left on unmatched_side */
  int32_t unmatched_side; /* 'B', 'S', or 0 when both sides would fill in full */
} orderbook_auction;

/* Computes the indicative match from the resting levels with the exchanges' call-auction
 * rules: the price that executes the most with every buy above and every sell below it filled
 * in full; among several, Shanghai books take those leaving the least unmatched quantity and
 * then their middle price (half up to the tick), Shenzhen books the one nearest
 * reference_price (<= 0: the last trade price, else the snapshot's pre_close). Reads only.
 * Returns 0, or ORDERBOOK_ERROR for a NULL book or out. */
QL_API int32_t orderbook_auction_indicative(orderbook* book, double reference_price,
                                            orderbook_auction* out);

/* Level accessors (level must not be NULL unless said). */
/* Returns the level's side, 'B' or 'S' (0 for NULL). */
QL_API int32_t orderbook_queue_side(const orderbook_queue* level);
/* Returns the next worse level of the same side, or NULL (also for NULL). */
QL_API orderbook_queue* orderbook_queue_next(const orderbook_queue* level);
/* Returns true when the level's quantity is not positive (true for NULL). */
QL_API bool orderbook_queue_empty(const orderbook_queue* level);
/* Returns true for a bid level. */
QL_API bool orderbook_queue_is_bids(const orderbook_queue* level);
/* Returns 1 for a level of an aggregating book, else 0. */
QL_API uint8_t orderbook_queue_aggregate(const orderbook_queue* level);
/* Returns the sum of the remaining quantities of the level's queued orders (0 for NULL, for
 * no orders and for an aggregating level). */
QL_API int64_t orderbook_queue_sum_quantity(const orderbook_queue* level);
/* Returns the level's total quantity (0 for NULL). */
QL_API int64_t orderbook_queue_quantity(const orderbook_queue* level);
/* Returns the level's price (0.0 for NULL). */
QL_API double orderbook_queue_price(const orderbook_queue* level);
/* Returns the number of orders at the level (0 for NULL). */
QL_API int32_t orderbook_queue_num_orders(const orderbook_queue* level);
/* Writes "<SIDE><rank> <price> \t<quantity>" to out. NULL level or out writes nothing. */
QL_API void orderbook_queue_print(const orderbook_queue* level, FILE* out, int32_t rank);
/* As orderbook_queue_print, followed by the order count and the remaining quantities of the
 * first `limit` queued orders (-1: 50; below 1: none), "<count>/[q1,q2,...]". */
QL_API void orderbook_queue_print2(const orderbook_queue* level, FILE* out, int32_t rank,
                                   int32_t limit);

/* ============================================================================================
 * Book map
 *
 * Books by instrument: exchange id (1 Shanghai, 2 Shenzhen, 0 unknown) and symbol, compared
 * in full. The table key keeps only six characters of the symbol; books whose instruments
 * share a key (e.g. option codes with a common prefix) are all held side by side. The map
 * owns the books in it.
 * ========================================================================================== */
#define ORDERBOOK_MAP_PRESENT 1 /* orderbook_map_insert: a book of that instrument is held */

/* Returns a new empty map, or NULL when out of memory. */
QL_API orderbook_map* orderbook_map_create(void);
/* Releases every book in the map, then the map. NULL does nothing. */
QL_API void orderbook_map_release(orderbook_map* map);
/* Releases every book in the map. Returns the number of books it held (0 for NULL). */
QL_API int32_t orderbook_map_clear(orderbook_map* map);
/* Returns the number of books in the map (0 for NULL). */
QL_API int32_t orderbook_map_count(const orderbook_map* map);
/* Adds a book under its own exchange id and symbol; the map then owns it. Returns 0 when
 * added, ORDERBOOK_MAP_PRESENT when a book of the same instrument is held already (nothing
 * changes, the caller keeps the book), ORDERBOOK_ERROR for NULL arguments, a book already
 * held by a map or builder, or a symbol of 64 characters or more, and ORDERBOOK_NO_MEMORY. */
QL_API int32_t orderbook_map_insert(orderbook_map* map, orderbook* book);
/* Returns the book of that exchange id and symbol, or NULL. */
QL_API orderbook* orderbook_map_get(orderbook_map* map, uint8_t exchange_id, const char* symbol);
/* Takes the book of that exchange id and symbol out of the map and gives it to the caller (to
 * release). Returns it, or NULL when absent. */
QL_API orderbook* orderbook_map_remove(orderbook_map* map, uint8_t exchange_id, const char* symbol);

/* ============================================================================================
 * Builder
 *
 * A builder owns a Shenzhen- or Shanghai-rule book (mode 1, not aggregating) and replays one
 * day per run: it resets the book for the date, feeds the records, and emits snapshots
 * (refreshes the book's snapshot, passes it to the callback when one is set, counts it).
 * The arrays are borrowed and must stay valid during the run.
 *
 * run and run2 merge orders and trades by time. At equal times a Shenzhen book takes the
 * order first and a Shanghai book the trade first (a Shanghai aggressor's trades are
 * published before its resting remainder); run3 takes one stream already in the exchange's
 * own sequence, which is the only exact order for Shanghai feeds.
 *
 * Snapshots of run2 and run3: an opening snapshot just before the first order at or after
 * 09:30:00.000; before 09:25:00.000 one whenever more than 5000 ms passed since the last; after
 * 09:30:00.000 one whenever more than the interval passed; none from 09:25 to 09:30 nor from
 * 15:00:00.000 on (while a call auction's match is applied: the final snapshot shows the
 * closing result); a final one at the end. run emits one whenever more than the interval
 * passed since the last (or the first event), no final one. An event earlier than the one before it
 * is reported on standard error ("<run>: ERROR l2order <n> ..." / "... l2trade idx=<i> ...") and
 * ends the interval snapshots; the remaining records are still fed.
 * ========================================================================================== */

/* Snapshot schedules of run2 and run3 (orderbook_builder_set_schedule); run keeps its rule.
 *  - ORDERBOOK_SCHEDULE_TRADING_HOURS: the rules above (the default).
 *  - ORDERBOOK_SCHEDULE_EVENTS: one after every event; no final one.
 *  - ORDERBOOK_SCHEDULE_GRID: "as of" a clock grid of grid_ms (multiples of grid_ms since
 *    midnight: 09:30:00.000, 09:30:03.000, ... for 3000): for each grid point that some event is
 *    timed at or before and after the point before it, the book after every event timed at or
 *    before the point, emitted before the first later event is fed (or at the end), with the
 *    grid point as its time. Grid points with no event since the one before are skipped: the
 *    book is as at the last one emitted.
 *  - ORDERBOOK_SCHEDULE_TRADES: one per entry of a non-decreasing list of trade counts: for
 *    count N the book once N trades were counted (num_trades), emitted before the next
 *    counted trade or the first later-timed event, whichever comes first (so the remainder an
 *    aggressor rests at its trades' time is in it); N = 0 before the first trade; counts the
 *    day does not reach at the end.
 * An ordering error ends the schedule's snapshots; one final snapshot is then emitted at the
 * end, as with the default. */
#define ORDERBOOK_SCHEDULE_TRADING_HOURS 0
#define ORDERBOOK_SCHEDULE_EVENTS 1
#define ORDERBOOK_SCHEDULE_GRID 2
#define ORDERBOOK_SCHEDULE_TRADES 3

/* Creates a builder and its book; interval_ms <= 10 means 3000. Returns the builder, or NULL
 * when it cannot be allocated (a builder whose book could not be created refuses to run). */
QL_API orderbook_builder* orderbook_builder_create(const char* exchange, const char* symbol,
                                                   int32_t interval_ms);
/* Releases the builder and its book. NULL, or a call from inside a run, does nothing. */
QL_API void orderbook_builder_release(orderbook_builder* builder);
/* Returns the builder's book (not to be released by the caller), or NULL. */
QL_API orderbook* orderbook_builder_get(orderbook_builder* builder);
/* Sets the interval of run and run2 (stored unchanged). Returns nothing. */
QL_API void orderbook_builder_set_interval_ms(orderbook_builder* builder, int32_t interval_ms);
/* Chooses the snapshot schedule of run2 and run3 (see above). grid_ms is read for the grid,
 * trade_counts (count entries, borrowed: valid during the runs) for the trade counts. Returns
 * 0, or ORDERBOOK_ERROR (NULL builder, inside a run, unknown kind, grid_ms < 1, negative or
 * decreasing counts, NULL counts with count > 0); the schedule is then unchanged. */
QL_API int32_t orderbook_builder_set_schedule(orderbook_builder* builder, int32_t kind,
                                              int32_t grid_ms, const int32_t* trade_counts,
                                              int32_t count);
/* Sets the snapshot receiver (NULL: snapshots are only counted). Returns nothing. */
QL_API void orderbook_builder_set_callback(orderbook_builder* builder,
                                           orderbook_builder_callback cb, void* user_data);
/* Hands over the order arrays for orderbook_builder_run (count entries each). Returns 0, or
 * ORDERBOOK_ERROR (NULL builder, count < 0, a NULL array with count > 0, inside a run). */
QL_API int32_t orderbook_builder_set_l2orders(orderbook_builder* builder, int32_t count,
                                              const int64_t* seq_num, const int32_t* order_type,
                                              const int32_t* bs_flag, const double* price,
                                              const int32_t* quantity, const int32_t* time);
/* Hands over the trade arrays for orderbook_builder_run. Returns 0 or ORDERBOOK_ERROR as
 * orderbook_builder_set_l2orders. */
QL_API int32_t orderbook_builder_set_l2trades(orderbook_builder* builder, int32_t count,
                                              const int64_t* seq_num, const int64_t* bid_seq_num,
                                              const int64_t* ask_seq_num, const double* price,
                                              const int32_t* quantity, const int32_t* time);
/* Replays the arrays set above. Returns the number of snapshots emitted, or ORDERBOOK_ERROR
 * (no builder, no book, inside a run). */
QL_API int32_t orderbook_builder_run(orderbook_builder* builder, int32_t date);
/* Replays order and trade records. Returns the number of snapshots emitted including the
 * final one, or ORDERBOOK_ERROR (no builder, no book, a negative count, a NULL array with a
 * positive count, inside a run). */
QL_API int32_t orderbook_builder_run2(orderbook_builder* builder, int32_t date,
                                      const _L2Order* orders, int32_t order_count,
                                      const _L2Trade* trades, int32_t trade_count);
/* Replays one stream of _L2Order and _L2Trade records (told apart by their type byte, 4 or 3;
 * other records and NULL entries are skipped) in the given sequence, with the snapshot rules
 * of run2. Returns the number of snapshots emitted including the final one, or
 * ORDERBOOK_ERROR as run2. */
QL_API int32_t orderbook_builder_run3(orderbook_builder* builder, int32_t date,
                                      const void* const* records, int32_t count);

/* A day fed one record at a time, for callers that route a stream of many instruments' records
 * to one builder each: begin resets the book for the date, feed takes the records in the
 * exchange's sequence, finish emits the final snapshot. The snapshots are those run3 emits over
 * the same records. run, run2 and run3 are refused between begin and finish. */
/* Starts a day. Returns 0, ORDERBOOK_ERROR (no builder, no book, inside a run, a day already
 * begun) or ORDERBOOK_NO_MEMORY. */
QL_API int32_t orderbook_builder_begin(orderbook_builder* builder, int32_t date);
/* Feeds one _L2Order or _L2Trade record (type byte 4 or 3). An own-side best order (order_type
 * 'U', no price) takes the best price of its own side as the book stands, as run and run2
 * price it; with that side empty it is refused with ORDERBOOK_NO_PRICE. Returns the book's
 * result for it (0 or positive when applied, negative when the book refused it), or
 * ORDERBOOK_ERROR (no day begun, NULL record, another record type, called from the
 * callback). */
QL_API int32_t orderbook_builder_feed(orderbook_builder* builder, const void* record);
/* Emits the final snapshot and ends the day. Returns the number of snapshots emitted since
 * begin, final one included, or ORDERBOOK_ERROR (no day begun, called from the callback). */
QL_API int32_t orderbook_builder_finish(orderbook_builder* builder);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUOTELAB_ORDERBOOK_H */
