/* quotelab: reading exchange and vendor files in their own layouts.
 *
 * Level-2 data reaches users in the files of the exchanges and of data vendors, each with its
 * own header names, value codes ("1"/"2" or "B"/"S" for the side, "10" or "D" for a
 * cancellation) and time forms. A layout describes one such file as data: the header name of
 * every field, the value maps of the side and type codes, what the file holds (orders, trades,
 * both in one stream, or exchange snapshots), the exchange it belongs to, and where the
 * exchange's own sequence number (BizIndex, ApplSeqNum) lives. LayoutReader detects the layout
 * of a file from its header (or is told one: a built-in by name, a profile file of
 * `key = value` lines, column and value maps), reads the whole file into records, and refuses
 * every row that cannot become its record with the file, the line and the reason.
 *
 * Built-in layouts (LayoutReader::builtin_layout_count / builtin_layout_profile list them):
 *   sh-a-orders     DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,
 *                   OrderPrice,Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo
 *   sh-a-trades     DataStatus,TradeIndex,TradeChan,SecurityID,TradTime,TradPrice,TradVolume,
 *                   TradeMoney,TradeBuyNo,TradeSellNo,TradeBSFlag,BizIndex,LocalTime,SeqNo
 *   sh-a-snapshots  UpdateTime,SecurityID,ImageStatus,PreCloPrice,...,AskPrice1..10,...,
 *                   NumOrdersB1..10,NumOrdersS1..10,LocalTime,SeqNo (3-second snapshots)
 *   sh-b-orders     MDDate,MDTime,...,Symbol,...,OrderType,OrderPrice,OrderQty,OrderBSFlag,
 *                   ChannelNo,ApplSeqNum,OrderNO,SecurityID
 *   sh-b-trades     MDDate,MDTime,...,TradeBuyNo,TradeSellNo,...,TradePrice,TradeQty,...,
 *                   ApplSeqNum,SecurityID
 *   sh-ticks        BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,Price,Qty,
 *                   TradeMoney,TickBSFlag (orders, cancellations and trades in one stream)
 *   sz-orders       SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType
 *   sz-trades       SecurityID,TransactTime,ApplSeqNum,ChannelNo,BidApplSeqNum,
 *                   OfferApplSeqNum,LastPx,LastQty,ExecType
 *
 * Profiles, --map and --values share one form:
 *   layout = sh-b-orders            start from a built-in (optional)
 *   name = my-vendor                the name the reader reports
 *   content = orders                orders | trades | ticks | snapshots
 *   exchange = SH                   when the code column carries no suffix
 *   time_digits = HHMMSSss          times of 7 or 8 digits are hundredths of a second (sh-ticks'
 *                                   TickTime 9150002 or 09150002 is 09:15:00.02); without it
 *                                   HHMMSSmmm, the hour's leading zero optional
 *   symbol = SecurityID             one line per field: field = header name
 *   map = price=Px,volume=Qty       several fields at once
 *   values = side:1=B,2=S;type:10=D value maps (side: B S N, or X to refuse; type: A add,
 *                                   M market, U own-side best, D delete, T trade, C cancel
 *                                   (a Shenzhen trade record), S skip the row)
 * Fields: symbol date time type side price volume order_no buy_no sell_no trade_no sequence;
 * for snapshots also pre_close open high low last close phase num_trades total_volume turnover
 * iopv and the levels ask_price ask_volume bid_price bid_volume bid_orders ask_orders, whose
 * header name holds '#' for the level number (AskPrice#). '#' starts a comment.
 *
 * Values: times HH:MM:SS, HH:MM:SS.mmm, HHMMSS, HHMMSSmmm (HHMMSSss with time_digits),
 * YYYYMMDDHHMMSSsss and date-times
 * such as 2023.07.11T09:25:03.276; dates YYYYMMDD, YYYY-MM-DD, YYYY.MM.DD. The trading day is
 * the row's date column, else the date inside its time, else set_trading_day, else a YYYYMMDD
 * directory in the file's path. The instrument comes from the code column ("605580.SH" gives
 * symbol 605580 on exchange 1), the exchange from its suffix or the layout. Prices are rounded
 * to six decimals, which drops representation noise such as 1801.00999999999999.
 *
 * Records as read (the conventions of the order book and of quotelab's own files):
 *   Shanghai order: seq_num = order number (OrderNO), order_index = the exchange sequence,
 *     order_type '2' add / 'D' delete (a delete carries the cancelled remainder), bs_flag 'B'/'S'.
 *   Shanghai trade: seq_num = trade number (TradeIndex; the sequence when there is none),
 *     bid_seq_num / ask_seq_num = the buy and sell order numbers, bs_flag 'B', 'S' or 0,
 *     aux_no = the exchange sequence (low 32 bits).
 *   Shenzhen order: seq_num = order_index = ApplSeqNum, order_type '1' market, '2' limit,
 *     'U' own-side best (priced when fed, see orderbook_builder_run3).
 *   Shenzhen trade: seq_num = ApplSeqNum, trade_flag 'F' fill or '4' cancellation (price 0,
 *     one side's number 0), aux_no = ApplSeqNum.
 * Every record is zero-filled first and carries its type code.
 *
 * Thread-safety: a LayoutReader is used by one thread at a time; separate readers share
 * nothing. The static functions are thread-safe. No function throws.
 */
#ifndef QUOTELAB_LAYOUT_READER_H
#define QUOTELAB_LAYOUT_READER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "quotelab/export.h"
#include "quotelab/records.h"

namespace KX {

/* What a layout's rows become. */
enum class LayoutContent : uint8_t {
  Orders = 1,   /* _L2Order records */
  Trades = 2,   /* _L2Trade records */
  Ticks = 3,    /* orders and trades in one stream, in the exchange's sequence */
  Snapshots = 4 /* exchange snapshots: _L2Snapshot plus SnapshotExtra */
};

/* One record of a Ticks file, in file order: the record is orders()[index] when type is
 * QL_RECORD_L2ORDER, trades()[index] when QL_RECORD_L2TRADE. */
struct LayoutStreamEntry {
  uint8_t type;
  uint32_t index;
};

/* What an exchange snapshot carries beyond _L2Snapshot (same index as snapshots()). */
struct SnapshotExtra {
  int32_t bid_orders[QL_SNAPSHOT_LEVELS]; /* orders at each bid level (NumOrdersB1..10) */
  int32_t ask_orders[QL_SNAPSHOT_LEVELS]; /* orders at each ask level (NumOrdersS1..10) */
  double close;                           /* the closing price (ClosePrice), 0 until set */
  char phase[8];                          /* the phase code (InstruStatus): "START", "OCALL",
                                             "TRADE", "CCALL", "CLOSE", "ENDTR"; NUL-padded */
};

/* One refused row. */
struct LayoutRefusal {
  std::string file;
  long line;          /* 1-based line of the file where the row starts */
  std::string reason; /* one of a fixed set of texts, e.g. "unknown side code" */
  std::string detail; /* the offending value (cut to 40 characters) and where it stands */
};

/* How many rows were refused for one reason. */
struct LayoutRefusalCount {
  std::string reason;
  size_t count;
};

/* One field of the chosen layout and the column it binds. */
struct LayoutBinding {
  std::string field;  /* "time", "ask_price[3]", ... */
  std::string column; /* the header name the layout names */
  int position;       /* 0-based column of the file, -1 when the file has no such column */
};

/* Arrays of the caller's that read(arrays) fills in place of orders() and trades(): a program
 * that rebuilds from record arrays of its own reads straight into them, with no copy and no
 * second set of pages to fault in. read() asks for room once, for an estimate from the file's
 * size, and again (for twice as many) only when the file holds more.
 * Each call makes room for at least n records in all, keeps the first `kept` as they are, and
 * returns the array (the first record); NULL when out of memory, which fails read(). */
class QL_API LayoutRecordArrays {
 public:
  virtual ~LayoutRecordArrays();
  virtual _L2Order* order_room(size_t kept, size_t n) = 0;
  virtual _L2Trade* trade_room(size_t kept, size_t n) = 0;
};

class QL_API LayoutReader {
 public:
  /* Refusals kept in full; later ones are only counted. */
  static constexpr size_t kRefusalsKept = 10;

  LayoutReader();
  ~LayoutReader();
  LayoutReader(const LayoutReader&) = delete;
  LayoutReader& operator=(const LayoutReader&) = delete;

  /* ---- configuration, before open() ------------------------------------------------------
   * Each returns 0, or -1 with error() saying why (nothing changes then). Profiles, maps and
   * values apply in the order given, on top of a built-in named by use_layout or a `layout =`
   * line; without any of them open() detects a built-in from the header. */

  /* Uses the built-in layout `name` instead of detecting one. */
  int use_layout(const char* name);
  /* Applies a profile file of `key = value` lines (see above). */
  int load_profile(const char* path);
  /* Applies profile text; `origin` names it in messages (a file name, "--map"). */
  int apply_profile_text(const char* text, const char* origin);
  /* Applies "field=Column,field=Column" (the form of --map). */
  int apply_map(const char* mapping);
  /* Applies "side:1=B,2=S;type:10=D" (the form of --values). */
  int apply_values(const char* codes);
  /* Field delimiter (default ','). */
  void set_delimiter(char delimiter);
  /* Trading day for files whose rows carry no date (YYYYMMDD; 0 = none given). */
  void set_trading_day(int32_t yyyymmdd);
  /* Keeps only rows of this instrument code (without suffix); NULL or "" keeps all. */
  void set_symbol(const char* symbol);

  /* Opens a file and settles its layout from the header. Returns 0, or -1 with error() set:
   * the file cannot be read, is binary, has no header, its header yields one column (the
   * message names the delimiter seen and suggests --delimiter), binds no layout, binds two
   * layouts equally (both named), or lacks a column the chosen layout needs. */
  int open(const char* path);

  /* Reads every row of the open file into records. Rows that cannot become their record are
   * refused (refusals(), refusal_counts()); rows of other instruments are skipped. Returns the
   * number of rows refused (0 when all were read), or -1 with error() set when no file is open
   * or memory runs out. */
  int read();
  /* The same, writing the records into the caller's arrays (orders() and trades() stay empty;
   * order_count() and trade_count() say how many each array received). NULL reads as read(). */
  int read(LayoutRecordArrays* arrays);

  /* ---- results ---------------------------------------------------------------------------- */
  /* Why the last call failed ("" after success). Messages name the file. */
  const std::string& error() const;
  /* The file given to open(). */
  const std::string& path() const;
  /* Name of the layout in use ("sh-a-orders", a profile's name, "custom"), "" before open. */
  const std::string& layout_name() const;
  LayoutContent content() const;
  /* Default exchange of the layout (1 Shanghai, 2 Shenzhen, 0 from the codes' suffixes). */
  uint8_t exchange() const;
  /* True when the layout binds the exchange sequence (BizIndex, ApplSeqNum) and the file has
   * the column: orders and trades of two such files merge into the exchange's sequence. */
  bool has_sequence() const;
  /* The fields of the layout and the columns they bind. */
  std::vector<LayoutBinding> bindings() const;
  /* The header names of the open file, in order. */
  const std::vector<std::string>& header() const;

  /* Records read, in file order (Orders, Trades, Ticks files). */
  const std::vector<_L2Order>& orders() const;
  const std::vector<_L2Trade>& trades() const;
  /* Records read, wherever they went (the vectors above or the caller's arrays). */
  size_t order_count() const;
  size_t trade_count() const;
  /* The exchange sequence number of each record (same index), when has_sequence(). */
  const std::vector<int64_t>& order_sequence() const;
  const std::vector<int64_t>& trade_sequence() const;
  /* The file line of each record (same index). */
  const std::vector<uint32_t>& order_lines() const;
  const std::vector<uint32_t>& trade_lines() const;
  /* Ticks files: every record once, in file order (which is the exchange's sequence). */
  const std::vector<LayoutStreamEntry>& stream() const;
  /* Snapshots files: the snapshots and what they carry beyond _L2Snapshot. */
  const std::vector<_L2Snapshot>& snapshots() const;
  const std::vector<SnapshotExtra>& snapshot_extras() const;
  /* The file line of each snapshot. */
  const std::vector<uint32_t>& snapshot_lines() const;

  /* The first kRefusalsKept refusals, and the count of refusals per reason (first seen
   * first). refused() is their total; rows_read() counts the rows that became records. */
  const std::vector<LayoutRefusal>& refusals() const;
  const std::vector<LayoutRefusalCount>& refusal_counts() const;
  size_t refused() const;
  size_t rows_read() const;
  /* Rows skipped on purpose: other instruments, status rows (type S). */
  size_t rows_skipped() const;

  /* ---- built-in layouts ------------------------------------------------------------------- */
  static int builtin_layout_count();
  /* Name of built-in i (0-based), or NULL out of range. */
  static const char* builtin_layout_name(int i);
  /* One line on what built-in i is, or NULL. */
  static const char* builtin_layout_description(int i);
  /* Built-in i written as a profile (key = value lines), "" out of range: a starting point
   * for a profile of one's own. */
  static std::string builtin_layout_profile(int i);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace KX

#endif /* QUOTELAB_LAYOUT_READER_H */
