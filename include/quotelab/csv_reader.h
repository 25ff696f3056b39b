/* quotelab: reading market-data CSV files whatever their vendor's column names.
 *
 * DataCsvReader opens a CSV file with a header row, binds every market-data field it knows to
 * the column whose header carries one of the field's accepted names, and then decodes the row
 * under the cursor into a _L2Snapshot, _L2Trade, _L2Order or _BarData. The column table is
 * bound once at opening, so decoding a row parses each bound field where it stands, with no
 * string search; the values are those the csv_get_* getters give for the same fields.
 *
 * Accepted header names per field, tried in this order (the first name the file has wins,
 * wherever its column stands); names match ASCII-case-insensitively:
 *   exchange          exchange, exchangeid, market
 *   instrument        instrument, symbol, instr, code
 *   trading_day       trading_day, tradingday, trading_date, tradingdate
 *   action_day        action_day, actionday
 *   time              time
 *   open              open, open_price, openprice, openpx, open_px
 *   high              high, high_price, highprice, highpx, high_px, highest, highest_price,
 *                     highestprice
 *   low               low, low_price, lowprice, lowpx, low_px, lowest, lowest_price, lowestprice
 *   last              last, last_price, lastprice, lastpx, last_px, price
 *   volume            volume, vol
 *   turnover          turnover, amount, money
 *   upper_limit       upper_limit, upperlimit, high_limit, highlimit, upper
 *   lower_limit       lower_limit, lowerlimit, lower
 *   close             close, close_price, closeprice, closepx, close_px
 *   pre_close         pre_close, preclose
 *   pre_settle        pre_settle, presettle
 *   settle            settle, settle_price, settleprice
 *   num_trades        num_trades, deal_number
 *   iopv              iopv
 *   turn              turn
 *   open_interest     open_intl, open_interest, open_int
 *   pre_open_interest pre_open_interest, preopeninterest, pre_open_intl, pre_open_int
 *   ask_price[i]      ask_price1 ... ask_price10 (exactly; no separator before the level)
 *   ask_volume[i]     ask_volume1 ... ask_volume10
 *   bid_price[i]      bid_price1 ... bid_price10
 *   bid_volume[i]     bid_volume1 ... bid_volume10
 *   bs_flag           bs_flag, bsflag
 *   order_type_sh     order_type_sh
 *   order_type_sz     order_type_sz
 *   side              order_side, orderside, side
 *   order_index       order_index, biz_index
 *   seq_num           seq_num, seqnum, SeqNum
 *   bid_seq_num       bid_seq_num, BidSeqNum
 *   ask_seq_num       ask_seq_num, offer_seq_num, AskSeqNum, OffserSeqNUm
 *   datetime          date, datetime
 * These names are part of the file format, spelling included.
 */
#ifndef QUOTELAB_CSV_READER_H
#define QUOTELAB_CSV_READER_H

#include "quotelab/export.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace KX {

/* Column position of every field a decoder may read: a zero-based column number, or
 * kColumnAbsent when the file has no such column. Only columns 0 to 254 can be bound; a
 * matching column at 255 or beyond counts as absent. */
struct QL_API _MDColumnIndexTable {
  static constexpr unsigned char kColumnAbsent = 255;
  static constexpr int kLevels = 10;

  unsigned char exchange;
  unsigned char instrument;
  unsigned char trading_day;
  unsigned char action_day;
  unsigned char time;
  unsigned char open;
  unsigned char high;
  unsigned char low;
  unsigned char last;
  unsigned char volume;
  unsigned char turnover;
  unsigned char upper_limit;
  unsigned char lower_limit;
  unsigned char close;
  unsigned char pre_close;
  unsigned char pre_settle;
  unsigned char settle;
  unsigned char num_trades;
  unsigned char iopv;
  unsigned char turn;
  unsigned char open_interest;
  unsigned char pre_open_interest;
  unsigned char ask_price[kLevels];
  unsigned char ask_volume[kLevels];
  unsigned char bid_price[kLevels];
  unsigned char bid_volume[kLevels];
  unsigned char bs_flag;
  unsigned char order_type_sh;
  unsigned char order_type_sz;
  unsigned char side;
  unsigned char order_index;
  unsigned char seq_num;
  unsigned char bid_seq_num;
  unsigned char ask_seq_num;
  unsigned char datetime;

  _MDColumnIndexTable() { reset(); }
  /* Marks every field absent. */
  void reset();
};

/* Owner of one utility-layer CSV handle. The handle is public so that a replay can move the
 * row cursor (csv_next), test csv_eof and read extra columns through it. Not thread-safe;
 * copying is not supported (the handle has one owner). */
class QL_API CsvReader {
 public:
  csv_file* csv_handle = nullptr; /* NULL when no file is open */

  CsvReader() = default;
  virtual ~CsvReader();
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;
};

/* Decodes market-data rows of a CSV file into records. Open means csv_handle is non-NULL.
 * Right after opening the cursor stands before the first data row: call csv_next(csv_handle)
 * once before the first get, and after each row. Not thread-safe. */
class QL_API DataCsvReader : public CsvReader {
 public:
  _MDColumnIndexTable column_index;

  /* Opens csv_file (fields split at delimiter) when it is neither NULL nor empty; a file that
   * does not open leaves the reader empty (csv_handle NULL) and reports nothing. */
  DataCsvReader(const char* csv_file, char delimiter);
  ~DataCsvReader() override = default;

  /* Opens csv_file and binds the column table. On an open reader the new file replaces the old
   * one only when it opens. Returns 0, or -1 when the file cannot be opened (nothing changes). */
  int open_csv_and_init(const char* csv_file, char delimiter);

  /* Decoders: fill rec from the current row and return true; return false with rec untouched
   * when no file is open or the row has no instrument text. They never write `type` nor the
   * reserved bytes (pass a zero-filled record) and do not move the cursor. */
  bool get(_L2Snapshot* rec);
  bool get(_L2Trade* rec);
  bool get(_L2Order* rec);
  bool get(_BarData* rec);
  /* Level-1 snapshots are not decoded from CSV: returns false and writes nothing. */
  bool get(_L1Snapshot* rec);

  /* Date and time of the current row by the positions of `table` (the reader's own when
   * NULL): the action_day and time columns, and, when either is missing or 0, the date (only)
   * from the date/datetime text. Missing columns give 0; NULL outputs are skipped. */
  void get_date_time(int* date, int* time, _MDColumnIndexTable* table);

  /* Position of the first of the NULL-terminated `names` that the file's header has, or 255
   * (none found, an empty list, a NULL handle, or a column beyond 254). */
  static unsigned char smart_find_csv_col_idx(void* csv, const char* const* names);
  /* Position of the column named `name`, or 255. */
  static unsigned char smart_find_csv_col_idx(void* csv, const char* name);

  /* Splits "code.EXCH" into symbol (at most max_len characters plus NUL: the buffer holds
   * max_len + 1 bytes) and *exchange (when exchange is not NULL and there is a suffix: a suffix
   * starting with a digit gives the number written there, low 8 bits; otherwise exchange_int
   * of the suffix). Without a suffix the exchange is left alone. Never reads past the text.
   * Returns 2 with a suffix, 1 without (a NULL text gives an empty symbol). */
  static int smart_extract_symbol(const char* text, unsigned char* exchange, char* const symbol,
                                  int max_len);
  /* Reads "YYYY-MM-DD[?HH:MM:SS[.F]]" into *date (and *time) or "HH:MM:SS[.F]" into *time, by
   * fixed character positions (digits missing or past the end read as 0). Times come out as
   * HHMMSS, or HHMMSS * 1000 + F with a fraction F (the integer its digits spell). A text in
   * neither form, or a NULL output, sets nothing. Returns -1 for a NULL text, else 0. */
  static int smart_conv_datetime(const char* text, int* date, int* time);

 private:
  void bind_columns();

  /* Symbol suffixes decoded lately, each packed into a word, and their exchange codes: a file
   * holds few suffixes, and looking one up compares it against every exchange alias. */
  unsigned long long suffix_keys_[4] = {~0ull, ~0ull, ~0ull, ~0ull};
  unsigned char suffix_codes_[4] = {0, 0, 0, 0};
};

}  // namespace KX

#endif /* QUOTELAB_CSV_READER_H */
