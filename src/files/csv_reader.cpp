// DataCsvReader: binds vendor header names to fields once, then decodes rows by position.
#include "quotelab/csv_reader.h"

#include <stdint.h>
#include <string.h>

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

// ---- typed reads by bound position; an unbound column reads as 0 without a call -------------
inline double read_double(csv_file* csv, unsigned char pos) {
  return pos == kAbsent ? 0.0 : csv_get_double_byidx(csv, pos);
}
inline int32_t read_int32(csv_file* csv, unsigned char pos) {
  return pos == kAbsent ? 0 : csv_get_int32_byidx(csv, pos);
}
inline int64_t read_int64(csv_file* csv, unsigned char pos) {
  return pos == kAbsent ? 0 : csv_get_int64_byidx(csv, pos);
}
// An unsigned 32-bit quantity (trade and order volumes): every int32 value as the int32 getter
// gives it (-1 wraps as it always did), and the values above INT32_MAX that the field holds and
// the writer writes ("%u"), which the int32 getter would turn into 0. Anything wider gives 0.
inline uint32_t read_uint32(csv_file* csv, unsigned char pos) {
  const int64_t v = read_int64(csv, pos);
  return v >= INT32_MIN && v <= UINT32_MAX ? static_cast<uint32_t>(v) : 0;
}

// A flag column (bs_flag, order types) holds either the flag character itself ("B", "1", "D")
// or its code as a number ("66"). One character is taken as its code, so "1" is the market
// order type '1' (49) and not the number 1; a longer text is read as a number. Blanks around
// the text are ignored, so the space that the writer puts for an absent flag reads back as 0.
// Returns the flag's low 8 bits.
char read_flag(csv_file* csv, unsigned char pos) {
  if (pos == kAbsent) return 0;
  int len = 0;
  const char* text = csv_get_field(csv, pos, &len);
  if (!text) return 0;
  const char* end = text + len;
  ql__trim_blanks(&text, &end);
  if (end - text == 0) return 0;
  if (end - text == 1) return text[0];
  return static_cast<char>(csv_get_int32_byidx(csv, pos) & 0xff);
}

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

// The common start of every decoder: the instrument text (false when the row has none), the
// symbol and exchange from it, then the date and time.
template <typename Rec>
bool start_record(DataCsvReader& reader, Rec* rec) {
  const _MDColumnIndexTable& c = reader.column_index;
  if (!rec || !reader.csv_handle || c.instrument == kAbsent) return false;
  const char* instrument = csv_get_byidx(reader.csv_handle, c.instrument);
  if (!instrument) return false;
  DataCsvReader::smart_extract_symbol(instrument, &rec->exchange, rec->symbol,
                                      sizeof(rec->symbol) - 1);
  int date = 0;
  int time = 0;
  reader.get_date_time(&date, &time, nullptr);
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
  const _MDColumnIndexTable& t = table ? *table : column_index;
  int d = 0;
  int tm = 0;
  if (csv_handle) {
    d = detail::read_int32(csv_handle, t.action_day);
    tm = detail::read_int32(csv_handle, t.time);
    if ((d == 0 || tm == 0) && t.datetime != detail::kAbsent) {
      // Only the date is taken from the text; the time column keeps its say.
      smart_conv_datetime(csv_get_byidx(csv_handle, t.datetime), &d, nullptr);
    }
  }
  if (date) *date = d;
  if (time) *time = tm;
}

bool DataCsvReader::get(_L2Snapshot* rec) {
  if (!detail::start_record(*this, rec)) return false;
  csv_file* csv = csv_handle;
  const _MDColumnIndexTable& c = column_index;
  rec->open = detail::read_double(csv, c.open);
  rec->high = detail::read_double(csv, c.high);
  rec->low = detail::read_double(csv, c.low);
  rec->last = detail::read_double(csv, c.last);
  rec->volume = detail::read_int64(csv, c.volume);
  rec->turnover = detail::read_double(csv, c.turnover);
  rec->pre_close = detail::read_double(csv, c.pre_close);
  rec->pre_settle = detail::read_double(csv, c.pre_settle);
  rec->settle = detail::read_double(csv, c.settle);
  rec->iopv = detail::read_double(csv, c.iopv);
  rec->num_trades = detail::read_int32(csv, c.num_trades);
  rec->open_interest = detail::read_int32(csv, c.open_interest);
  rec->pre_open_interest = detail::read_int32(csv, c.pre_open_interest);
  rec->trading_day = detail::read_int32(csv, c.trading_day);
  for (int i = 0; i < _MDColumnIndexTable::kLevels; ++i) {
    rec->ask_price[i] = detail::read_double(csv, c.ask_price[i]);
    rec->ask_volume[i] = detail::read_int32(csv, c.ask_volume[i]);
    rec->bid_price[i] = detail::read_double(csv, c.bid_price[i]);
    rec->bid_volume[i] = detail::read_int32(csv, c.bid_volume[i]);
  }
  return true;
}

bool DataCsvReader::get(_BarData* rec) {
  if (!detail::start_record(*this, rec)) return false;
  csv_file* csv = csv_handle;
  const _MDColumnIndexTable& c = column_index;
  rec->open = detail::read_double(csv, c.open);
  rec->high = detail::read_double(csv, c.high);
  rec->low = detail::read_double(csv, c.low);
  rec->close = detail::read_double(csv, c.close);
  rec->turnover = detail::read_double(csv, c.turnover);
  rec->pre_close = detail::read_double(csv, c.pre_close);
  rec->iopv = detail::read_double(csv, c.iopv);
  rec->turn = detail::read_double(csv, c.turn);
  rec->volume = detail::read_int64(csv, c.volume);
  rec->open_interest = detail::read_int32(csv, c.open_interest);
  rec->trading_day = detail::read_int32(csv, c.trading_day);
  rec->num_trades = detail::read_int32(csv, c.num_trades);
  return true;
}

bool DataCsvReader::get(_L2Trade* rec) {
  if (!detail::start_record(*this, rec)) return false;
  csv_file* csv = csv_handle;
  const _MDColumnIndexTable& c = column_index;
  rec->price = detail::read_double(csv, c.last);
  rec->volume = detail::read_uint32(csv, c.volume);
  rec->seq_num = detail::read_int64(csv, c.seq_num);
  rec->bid_seq_num = detail::read_int64(csv, c.bid_seq_num);
  rec->ask_seq_num = detail::read_int64(csv, c.ask_seq_num);
  rec->bs_flag = detail::read_flag(csv, c.bs_flag);
  return true;
}

bool DataCsvReader::get(_L2Order* rec) {
  if (!detail::start_record(*this, rec)) return false;
  csv_file* csv = csv_handle;
  const _MDColumnIndexTable& c = column_index;
  rec->price = detail::read_double(csv, c.last);
  rec->volume = detail::read_uint32(csv, c.volume);
  rec->seq_num = detail::read_int64(csv, c.seq_num);
  rec->order_index = detail::read_int32(csv, c.order_index);  // widened with its sign
  rec->bs_flag = detail::read_flag(csv, c.bs_flag);
  // Shanghai and Shenzhen code order types differently; vendors give each its own column.
  rec->order_type = detail::read_flag(csv, rec->exchange == 1 ? c.order_type_sh : c.order_type_sz);
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
