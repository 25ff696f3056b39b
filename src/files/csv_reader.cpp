// DataCsvReader: binds vendor header names to fields once, then decodes rows by position.
#include "quotelab/csv_reader.h"

#include <stdint.h>
#include <string.h>

#include "platform/csv_tokenizer.h"
#include "platform/text_tools.h"

namespace KX {
namespace detail {
namespace {

constexpr unsigned char kAbsent = _MDColumnIndexTable::kColumnAbsent;

// ---- accepted header names, in the order they are tried ------------------------------------
const char* const kExchangeNames[] = {"exchange", "exchangeid", "market", nullptr};
const char* const kInstrumentNames[] = {"instrument", "symbol", "instr", "code", nullptr};
const char* const kTradingDayNames[] = {"trading_day", "tradingday", "trading_date", "tradingdate",
                                        nullptr};
const char* const kActionDayNames[] = {"action_day", "actionday", nullptr};
const char* const kTimeNames[] = {"time", nullptr};
const char* const kOpenNames[] = {"open", "open_price", "openprice", "openpx", "open_px", nullptr};
const char* const kHighNames[] = {"high",    "high_price",    "highprice",    "highpx", "high_px",
                                  "highest", "highest_price", "highestprice", nullptr};
const char* const kLowNames[] = {"low",    "low_price",    "lowprice",    "lowpx", "low_px",
                                 "lowest", "lowest_price", "lowestprice", nullptr};
const char* const kLastNames[] = {"last",    "last_price", "lastprice", "lastpx",
                                  "last_px", "price",      nullptr};
const char* const kVolumeNames[] = {"volume", "vol", nullptr};
const char* const kTurnoverNames[] = {"turnover", "amount", "money", nullptr};
const char* const kUpperLimitNames[] = {"upper_limit", "upperlimit", "high_limit",
                                        "highlimit",   "upper",      nullptr};
const char* const kLowerLimitNames[] = {"lower_limit", "lowerlimit", "lower", nullptr};
const char* const kCloseNames[] = {"close",   "close_price", "closeprice",
                                   "closepx", "close_px",    nullptr};
const char* const kPreCloseNames[] = {"pre_close", "preclose", nullptr};
const char* const kPreSettleNames[] = {"pre_settle", "presettle", nullptr};
const char* const kSettleNames[] = {"settle", "settle_price", "settleprice", nullptr};
const char* const kNumTradesNames[] = {"num_trades", "deal_number", nullptr};
const char* const kIopvNames[] = {"iopv", nullptr};
const char* const kTurnNames[] = {"turn", nullptr};
const char* const kOpenInterestNames[] = {"open_intl", "open_interest", "open_int", nullptr};
const char* const kPreOpenInterestNames[] = {"pre_open_interest", "preopeninterest",
                                             "pre_open_intl", "pre_open_int", nullptr};
const char* const kBsFlagNames[] = {"bs_flag", "bsflag", nullptr};
const char* const kOrderTypeShNames[] = {"order_type_sh", nullptr};
const char* const kOrderTypeSzNames[] = {"order_type_sz", nullptr};
const char* const kSideNames[] = {"order_side", "orderside", "side", nullptr};
const char* const kOrderIndexNames[] = {"order_index", "biz_index", nullptr};
const char* const kSeqNumNames[] = {"seq_num", "seqnum", "SeqNum", nullptr};
const char* const kBidSeqNumNames[] = {"bid_seq_num", "BidSeqNum", nullptr};
const char* const kAskSeqNumNames[] = {"ask_seq_num", "offer_seq_num", "AskSeqNum", "OffserSeqNUm",
                                       nullptr};
const char* const kDatetimeNames[] = {"date", "datetime", nullptr};

const char* const kAskPriceNames[] = {"ask_price1", "ask_price2", "ask_price3", "ask_price4",
                                      "ask_price5", "ask_price6", "ask_price7", "ask_price8",
                                      "ask_price9", "ask_price10"};
const char* const kAskVolumeNames[] = {"ask_volume1", "ask_volume2", "ask_volume3", "ask_volume4",
                                       "ask_volume5", "ask_volume6", "ask_volume7", "ask_volume8",
                                       "ask_volume9", "ask_volume10"};
const char* const kBidPriceNames[] = {"bid_price1", "bid_price2", "bid_price3", "bid_price4",
                                      "bid_price5", "bid_price6", "bid_price7", "bid_price8",
                                      "bid_price9", "bid_price10"};
const char* const kBidVolumeNames[] = {"bid_volume1", "bid_volume2", "bid_volume3", "bid_volume4",
                                       "bid_volume5", "bid_volume6", "bid_volume7", "bid_volume8",
                                       "bid_volume9", "bid_volume10"};

struct FieldNames {
  unsigned char _MDColumnIndexTable::*field;
  const char* const* names;
};

const FieldNames kFieldNames[] = {
    {&_MDColumnIndexTable::exchange, kExchangeNames},
    {&_MDColumnIndexTable::instrument, kInstrumentNames},
    {&_MDColumnIndexTable::trading_day, kTradingDayNames},
    {&_MDColumnIndexTable::action_day, kActionDayNames},
    {&_MDColumnIndexTable::time, kTimeNames},
    {&_MDColumnIndexTable::open, kOpenNames},
    {&_MDColumnIndexTable::high, kHighNames},
    {&_MDColumnIndexTable::low, kLowNames},
    {&_MDColumnIndexTable::last, kLastNames},
    {&_MDColumnIndexTable::volume, kVolumeNames},
    {&_MDColumnIndexTable::turnover, kTurnoverNames},
    {&_MDColumnIndexTable::upper_limit, kUpperLimitNames},
    {&_MDColumnIndexTable::lower_limit, kLowerLimitNames},
    {&_MDColumnIndexTable::close, kCloseNames},
    {&_MDColumnIndexTable::pre_close, kPreCloseNames},
    {&_MDColumnIndexTable::pre_settle, kPreSettleNames},
    {&_MDColumnIndexTable::settle, kSettleNames},
    {&_MDColumnIndexTable::num_trades, kNumTradesNames},
    {&_MDColumnIndexTable::iopv, kIopvNames},
    {&_MDColumnIndexTable::turn, kTurnNames},
    {&_MDColumnIndexTable::open_interest, kOpenInterestNames},
    {&_MDColumnIndexTable::pre_open_interest, kPreOpenInterestNames},
    {&_MDColumnIndexTable::bs_flag, kBsFlagNames},
    {&_MDColumnIndexTable::order_type_sh, kOrderTypeShNames},
    {&_MDColumnIndexTable::order_type_sz, kOrderTypeSzNames},
    {&_MDColumnIndexTable::side, kSideNames},
    {&_MDColumnIndexTable::order_index, kOrderIndexNames},
    {&_MDColumnIndexTable::seq_num, kSeqNumNames},
    {&_MDColumnIndexTable::bid_seq_num, kBidSeqNumNames},
    {&_MDColumnIndexTable::ask_seq_num, kAskSeqNumNames},
    {&_MDColumnIndexTable::datetime, kDatetimeNames},
};

// ---- typed reads by bound position -----------------------------------------------------------

// The current row, read at the column table's positions. Each field is parsed where the row
// splitter left it (csv_tokenizer.h), with no getter call and no second lookup per field. An
// unbound column reads as 0; a column this row lacks, or an empty or unreadable field, as the
// handle's default, as the csv_get_* getters give it.
class BoundRow {
 public:
  explicit BoundRow(const csv_file* csv)
      : row_(csv_current_row(csv)), limit_(row_.count < kAbsent ? row_.count : kAbsent) {}

  // The field's text, or NULL when the column is unbound or this row lacks it.
  const CsvField* field(unsigned char pos) const {
    return pos < limit_ ? &row_.fields[pos] : nullptr;
  }
  const char* text(unsigned char pos) const {
    return pos < limit_ ? row_.fields[pos].text : nullptr;
  }

  double real(unsigned char pos) const {
    return pos < limit_ ? parse_double(row_.fields[pos], row_.double_default)
                        : missing(pos, row_.double_default);
  }
  int32_t int32(unsigned char pos) const {
    return pos < limit_ ? parse_int32(row_.fields[pos], row_.int32_default)
                        : missing(pos, row_.int32_default);
  }
  int64_t int64(unsigned char pos) const {
    return pos < limit_ ? parse_int64(row_.fields[pos], row_.int64_default)
                        : missing(pos, row_.int64_default);
  }

  // An unsigned 32-bit quantity (trade and order volumes): every int32 value as the int32
  // getter gives it (-1 wraps as it always did), and the values above INT32_MAX that the field
  // holds and the writer writes ("%u"), which the int32 getter would turn into 0. Anything
  // wider gives 0.
  uint32_t uint32(unsigned char pos) const {
    const int64_t v = int64(pos);
    return v >= INT32_MIN && v <= UINT32_MAX ? static_cast<uint32_t>(v) : 0;
  }

  // A flag column (bs_flag, order types) holds either the flag character itself ("B", "1",
  // "D") or its code as a number ("66"). One character is taken as its code, so "1" is the
  // market order type '1' (49) and not the number 1; a longer text is read as a number.
  // Blanks around the text are ignored, so the space that the writer puts for an absent flag
  // reads back as 0. Returns the flag's low 8 bits.
  char flag(unsigned char pos) const {
    const CsvField* f = field(pos);
    if (!f) return 0;
    const char* b = f->text;
    const char* e = b + f->len;
    ql__trim_blanks(&b, &e);
    if (e - b == 0) return 0;
    if (e - b == 1) return b[0];
    return static_cast<char>(parse_int32(*f, row_.int32_default) & 0xff);
  }

 private:
  template <typename T>
  static T missing(unsigned char pos, T row_default) {
    return pos == kAbsent ? T{0} : row_default;
  }

  CsvRow row_;
  int limit_;  // fields at or past this position are unbound or absent from the row
};

// atoi-style read at a fixed position of a text of `len` characters: an optional sign, then
// the longest run of digits; 0 when there is none or pos lies past the end. Saturates instead
// of overflowing on absurdly long digit runs.
int64_t read_int_at(const char* text, size_t len, size_t pos) {
  if (pos >= len) return 0;
  bool negative = false;
  if (text[pos] == '-' || text[pos] == '+') {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t value = 0;
  for (; pos < len && ql__is_digit(text[pos]); ++pos) {
    if (value < INT32_MAX) value = value * 10 + (text[pos] - '0');
  }
  return negative ? -value : value;
}

// Keeps the low 32 bits, as the integer arithmetic of a 32-bit field would.
inline int to_int32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

int64_t hms_at(const char* text, size_t len, size_t h, size_t m, size_t s) {
  return (read_int_at(text, len, h) * 100 + read_int_at(text, len, m)) * 100 +
         read_int_at(text, len, s);
}

// A time with a '.' at dot_pos becomes HHMMSS * 1000 + the number after the dot.
int time_with_fraction(const char* text, size_t len, int64_t hhmmss, size_t dot_pos) {
  if (dot_pos < len && text[dot_pos] == '.') {
    hhmmss = hhmmss * 1000 + read_int_at(text, len, dot_pos + 1);
  }
  return to_int32(hhmmss);
}

// Date and time of the row by the positions of t: the action_day and time columns, and when
// either is 0, the date (only) from the date/datetime text.
void row_date_time(const BoundRow& row, const _MDColumnIndexTable& t, int* date, int* time) {
  *date = row.int32(t.action_day);
  *time = row.int32(t.time);
  if (*date == 0 || *time == 0) {
    // Only the date is taken from the text; the time column keeps its say.
    DataCsvReader::smart_conv_datetime(row.text(t.datetime), date, nullptr);
  }
}

// ---- symbol texts -----------------------------------------------------------------------------

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The high bit of each zero byte of w. The lowest one flagged is always right; a byte above a
// zero byte may be flagged too (the borrow), which the callers never look at.
inline uint64_t zero_bytes(uint64_t w) {
  return (w - kOnes) & ~w & kHighBits;
}

// The position of the first '.' or NUL in the word at p (bytes 0 to 7), or 8 when there is
// none.
inline int first_point_or_end(const char* p) {
  const uint64_t w = load_word(p);
  const uint64_t stops = zero_bytes(w) | zero_bytes(w ^ (kOnes * '.'));
  return stops ? __builtin_ctzll(stops) >> 3 : 8;
}

// Remembers the exchange codes of recent suffix texts, each packed with its NUL into a word,
// in a few slots chosen by a hash of the word (the reader's suffix_keys_ and suffix_codes_).
struct SuffixMemo {
  unsigned long long (&keys)[4];
  unsigned char (&codes)[4];

  // exchange_int of the suffix at text, from memory when it was seen lately.
  unsigned char exchange_of(const char* text) {
    const uint64_t w = load_word(text);
    const uint64_t nul = zero_bytes(w);
    if (!nul) return static_cast<unsigned char>(exchange_int(text));  // 8 characters or more
    const int bits = __builtin_ctzll(nul) - 7;                        // the bits before the NUL
    const uint64_t packed = bits ? w & (~uint64_t{0} >> (64 - bits)) : 0;
    // The first three characters folded: SH, SZ and BJ (and SHF, DCE, CFE) take distinct slots.
    const size_t slot = (packed ^ (packed >> 8) ^ (packed >> 16)) & 3;
    if (keys[slot] != packed) {
      keys[slot] = packed;
      codes[slot] = static_cast<unsigned char>(exchange_int(text));
    }
    return codes[slot];
  }
};

// Splits the instrument text into symbol (at most N - 1 characters) and exchange exactly as
// smart_extract_symbol does; a text whose '.' or end stands within its first 16 characters
// (any real symbol) is split here without a string call per row.
template <size_t N>
void split_instrument(const char* text, unsigned char* exchange, char (&symbol)[N],
                      SuffixMemo memo) {
  int stop = first_point_or_end(text);
  if (stop == 8) stop = 8 + first_point_or_end(text + 8);
  if (stop == 16) {
    DataCsvReader::smart_extract_symbol(text, exchange, symbol, static_cast<int>(N - 1));
    return;
  }
  const size_t kept = static_cast<size_t>(stop) < N - 1 ? static_cast<size_t>(stop) : N - 1;
  memcpy(symbol, text, kept);
  symbol[kept] = '\0';
  if (text[stop] != '.') return;  // no suffix: the exchange is left alone
  const char* suffix = text + stop + 1;
  if (ql__is_digit(*suffix)) {
    unsigned char code = 0;  // the number's low 8 bits, however long it is
    for (const char* s = suffix; ql__is_digit(*s); ++s) {
      code = static_cast<unsigned char>(code * 10 + (*s - '0'));
    }
    *exchange = code;
  } else {
    *exchange = memo.exchange_of(suffix);
  }
}

// The common start of every decoder: the instrument text (false when the row has none), the
// symbol and exchange from it, then the date and time.
template <typename Rec>
bool start_record(const BoundRow& row, const _MDColumnIndexTable& c, SuffixMemo memo, Rec* rec) {
  const char* instrument = row.text(c.instrument);
  if (!rec || !instrument) return false;
  split_instrument(instrument, &rec->exchange, rec->symbol, memo);
  int date, time;
  row_date_time(row, c, &date, &time);
  rec->action_day = date;
  rec->time = time;
  return true;
}

}  // namespace
}  // namespace detail

void _MDColumnIndexTable::reset() {
  memset(this, kColumnAbsent, sizeof(*this));
}

CsvReader::~CsvReader() {
  csv_close(csv_handle);
}

DataCsvReader::DataCsvReader(const char* path, char delimiter) {
  if (path && path[0]) open_csv_and_init(path, delimiter);
}

int DataCsvReader::open_csv_and_init(const char* path, char delimiter) {
  if (!path) return -1;
  ::csv_file* opened = csv_open(path, delimiter, 0);
  if (!opened) return -1;
  csv_set_default_value(opened, 0.0, 0.0, 0, 0);
  csv_close(csv_handle);  // a reader reopened on another file must not leak the first
  csv_handle = opened;
  bind_columns();
  return 0;
}

void DataCsvReader::bind_columns() {
  column_index.reset();
  for (const detail::FieldNames& f : detail::kFieldNames) {
    column_index.*(f.field) = smart_find_csv_col_idx(csv_handle, f.names);
  }
  for (int i = 0; i < _MDColumnIndexTable::kLevels; ++i) {
    column_index.ask_price[i] = smart_find_csv_col_idx(csv_handle, detail::kAskPriceNames[i]);
    column_index.ask_volume[i] = smart_find_csv_col_idx(csv_handle, detail::kAskVolumeNames[i]);
    column_index.bid_price[i] = smart_find_csv_col_idx(csv_handle, detail::kBidPriceNames[i]);
    column_index.bid_volume[i] = smart_find_csv_col_idx(csv_handle, detail::kBidVolumeNames[i]);
  }
}

unsigned char DataCsvReader::smart_find_csv_col_idx(void* csv, const char* const* names) {
  if (!csv || !names) return detail::kAbsent;
  for (; *names; ++names) {
    const int pos = csv_find_idx(static_cast<const ::csv_file*>(csv), *names);
    // The first name found decides; a column the 8-bit table cannot hold stays absent rather
    // than wrapping onto some other column.
    if (pos >= 0) return pos < detail::kAbsent ? static_cast<unsigned char>(pos) : detail::kAbsent;
  }
  return detail::kAbsent;
}

unsigned char DataCsvReader::smart_find_csv_col_idx(void* csv, const char* name) {
  const char* const names[] = {name, nullptr};
  return smart_find_csv_col_idx(csv, name ? names : nullptr);
}

void DataCsvReader::get_date_time(int* date, int* time, _MDColumnIndexTable* table) {
  int d = 0;
  int tm = 0;
  if (csv_handle) {
    detail::row_date_time(detail::BoundRow(csv_handle), table ? *table : column_index, &d, &tm);
  }
  if (date) *date = d;
  if (time) *time = tm;
}

bool DataCsvReader::get(_L2Snapshot* rec) {
  const detail::BoundRow row(csv_handle);
  const _MDColumnIndexTable& c = column_index;
  if (!detail::start_record(row, c, {suffix_keys_, suffix_codes_}, rec)) return false;
  rec->open = row.real(c.open);
  rec->high = row.real(c.high);
  rec->low = row.real(c.low);
  rec->last = row.real(c.last);
  rec->volume = row.int64(c.volume);
  rec->turnover = row.real(c.turnover);
  rec->pre_close = row.real(c.pre_close);
  rec->pre_settle = row.real(c.pre_settle);
  rec->settle = row.real(c.settle);
  rec->iopv = row.real(c.iopv);
  rec->num_trades = row.int32(c.num_trades);
  rec->open_interest = row.int32(c.open_interest);
  rec->pre_open_interest = row.int32(c.pre_open_interest);
  rec->trading_day = row.int32(c.trading_day);
  for (int i = 0; i < _MDColumnIndexTable::kLevels; ++i) {
    rec->ask_price[i] = row.real(c.ask_price[i]);
    rec->ask_volume[i] = row.int32(c.ask_volume[i]);
    rec->bid_price[i] = row.real(c.bid_price[i]);
    rec->bid_volume[i] = row.int32(c.bid_volume[i]);
  }
  return true;
}

bool DataCsvReader::get(_BarData* rec) {
  const detail::BoundRow row(csv_handle);
  const _MDColumnIndexTable& c = column_index;
  if (!detail::start_record(row, c, {suffix_keys_, suffix_codes_}, rec)) return false;
  rec->open = row.real(c.open);
  rec->high = row.real(c.high);
  rec->low = row.real(c.low);
  rec->close = row.real(c.close);
  rec->turnover = row.real(c.turnover);
  rec->pre_close = row.real(c.pre_close);
  rec->iopv = row.real(c.iopv);
  rec->turn = row.real(c.turn);
  rec->volume = row.int64(c.volume);
  rec->open_interest = row.int32(c.open_interest);
  rec->trading_day = row.int32(c.trading_day);
  rec->num_trades = row.int32(c.num_trades);
  return true;
}

bool DataCsvReader::get(_L2Trade* rec) {
  const detail::BoundRow row(csv_handle);
  const _MDColumnIndexTable& c = column_index;
  if (!detail::start_record(row, c, {suffix_keys_, suffix_codes_}, rec)) return false;
  rec->price = row.real(c.last);
  rec->volume = row.uint32(c.volume);
  rec->seq_num = row.int64(c.seq_num);
  rec->bid_seq_num = row.int64(c.bid_seq_num);
  rec->ask_seq_num = row.int64(c.ask_seq_num);
  rec->bs_flag = row.flag(c.bs_flag);
  return true;
}

bool DataCsvReader::get(_L2Order* rec) {
  const detail::BoundRow row(csv_handle);
  const _MDColumnIndexTable& c = column_index;
  if (!detail::start_record(row, c, {suffix_keys_, suffix_codes_}, rec)) return false;
  rec->price = row.real(c.last);
  rec->volume = row.uint32(c.volume);
  rec->seq_num = row.int64(c.seq_num);
  rec->order_index = row.int32(c.order_index);  // widened with its sign
  rec->bs_flag = row.flag(c.bs_flag);
  // Shanghai and Shenzhen code order types differently; vendors give each its own column.
  rec->order_type = row.flag(rec->exchange == 1 ? c.order_type_sh : c.order_type_sz);
  return true;
}

bool DataCsvReader::get(_L1Snapshot* /*rec*/) {
  return false;
}

int DataCsvReader::smart_extract_symbol(const char* text, unsigned char* exchange,
                                        char* const symbol, int max_len) {
  // Without room for a symbol the exchange is still taken, through a one-byte scratch output.
  char scratch[1];
  const bool has_room = symbol && max_len >= 0;
  char* const out = has_room ? symbol : scratch;
  if (!text) {
    out[0] = '\0';
    return 1;
  }
  return SymbolTools::extract_symbol(out, has_room ? max_len : 0, exchange, text);
}

int DataCsvReader::smart_conv_datetime(const char* text, int* date, int* time) {
  if (!text) return -1;
  const size_t len = strlen(text);
  if (date && strchr(text, '-')) {
    // YYYY-MM-DD, optionally followed by one separator and HH:MM:SS[.F]
    *date = detail::to_int32(detail::hms_at(text, len, 0, 5, 8));
    if (time && len > 10 && strchr(text + 10, ':')) {
      *time = detail::time_with_fraction(text, len, detail::hms_at(text, len, 11, 14, 17), 19);
    }
    return 0;
  }
  if (time && strchr(text, ':')) {
    *time = detail::time_with_fraction(text, len, detail::hms_at(text, len, 0, 3, 6), 8);
  }
  return 0;
}

}  // namespace KX
