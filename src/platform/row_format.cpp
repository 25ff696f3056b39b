// Row formatters: one CSV row per record, and the header line that names its columns.
//
// Each record kind has one column table (name, kind, offset); the row and its header are both
// written from that table, so they cannot drift apart. The names are ones DataCsvReader binds.
// A row is written straight into the caller's buffer when the buffer can hold the longest row
// the table allows; otherwise it is written into a local buffer and cut to fit, so no field
// writer needs a bounds check.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <charconv>
#include <cmath>

#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace {

enum class ColumnKind : uint8_t { kInstrument, kInt32, kUInt32, kInt64, kDouble, kFlag };

struct Column {
  const char* name;
  ColumnKind kind;
  uint16_t offset;  // of the field in the record; for kInstrument, of the symbol
  uint16_t size;    // of the symbol array (kInstrument only)
};

#define QL_COL(rec, name, kind)                     \
  Column {                                          \
#name, ColumnKind::kind, offsetof(rec, name), 0 \
  }
#define QL_INSTRUMENT(rec)                                                            \
  Column {                                                                            \
    "instrument", ColumnKind::kInstrument, offsetof(rec, symbol), sizeof(rec::symbol) \
  }
#define QL_LEVEL(rec, field, kind, elem, i)                                       \
  Column {                                                                        \
#field #i, ColumnKind::kind, offsetof(rec, field) + (i - 1) * sizeof(elem), 0 \
  }
#define QL_LEVELS(rec, field, kind, elem)                                       \
  QL_LEVEL(rec, field, kind, elem, 1), QL_LEVEL(rec, field, kind, elem, 2),     \
      QL_LEVEL(rec, field, kind, elem, 3), QL_LEVEL(rec, field, kind, elem, 4), \
      QL_LEVEL(rec, field, kind, elem, 5), QL_LEVEL(rec, field, kind, elem, 6), \
      QL_LEVEL(rec, field, kind, elem, 7), QL_LEVEL(rec, field, kind, elem, 8), \
      QL_LEVEL(rec, field, kind, elem, 9), QL_LEVEL(rec, field, kind, elem, 10)

constexpr Column kSnapshotColumns[] = {
    QL_INSTRUMENT(_L2Snapshot),
    QL_COL(_L2Snapshot, trading_day, kInt32),
    QL_COL(_L2Snapshot, action_day, kInt32),
    QL_COL(_L2Snapshot, time, kInt32),
    QL_COL(_L2Snapshot, open, kDouble),
    QL_COL(_L2Snapshot, high, kDouble),
    QL_COL(_L2Snapshot, low, kDouble),
    QL_COL(_L2Snapshot, last, kDouble),
    QL_COL(_L2Snapshot, volume, kInt64),
    QL_COL(_L2Snapshot, turnover, kDouble),
    QL_COL(_L2Snapshot, upper_limit, kDouble),
    QL_COL(_L2Snapshot, lower_limit, kDouble),
    QL_COL(_L2Snapshot, pre_close, kDouble),
    QL_COL(_L2Snapshot, pre_settle, kDouble),
    QL_COL(_L2Snapshot, settle, kDouble),
    QL_COL(_L2Snapshot, iopv, kDouble),
    QL_COL(_L2Snapshot, num_trades, kInt32),
    QL_COL(_L2Snapshot, open_interest, kInt32),
    QL_COL(_L2Snapshot, pre_open_interest, kInt32),
    QL_LEVELS(_L2Snapshot, ask_price, kDouble, double),
    QL_LEVELS(_L2Snapshot, ask_volume, kInt32, int32_t),
    QL_LEVELS(_L2Snapshot, bid_price, kDouble, double),
    QL_LEVELS(_L2Snapshot, bid_volume, kInt32, int32_t),
};

constexpr Column kIndexColumns[] = {
    QL_INSTRUMENT(_MDIndex),
    QL_COL(_MDIndex, trading_day, kInt32),
    QL_COL(_MDIndex, action_day, kInt32),
    QL_COL(_MDIndex, time, kInt32),
    QL_COL(_MDIndex, pre_close, kDouble),
    QL_COL(_MDIndex, open, kDouble),
    QL_COL(_MDIndex, high, kDouble),
    QL_COL(_MDIndex, low, kDouble),
    QL_COL(_MDIndex, last, kDouble),
    QL_COL(_MDIndex, close, kDouble),
    QL_COL(_MDIndex, volume, kInt64),
    QL_COL(_MDIndex, turnover, kDouble),
};

constexpr Column kBarColumns[] = {
    QL_INSTRUMENT(_BarData),
    QL_COL(_BarData, trading_day, kInt32),
    QL_COL(_BarData, action_day, kInt32),
    QL_COL(_BarData, time, kInt32),
    QL_COL(_BarData, open, kDouble),
    QL_COL(_BarData, high, kDouble),
    QL_COL(_BarData, low, kDouble),
    QL_COL(_BarData, close, kDouble),
    QL_COL(_BarData, volume, kInt64),
    QL_COL(_BarData, turnover, kDouble),
    QL_COL(_BarData, pre_close, kDouble),
    QL_COL(_BarData, open_interest, kInt32),
    QL_COL(_BarData, num_trades, kInt32),
    QL_COL(_BarData, iopv, kDouble),
    QL_COL(_BarData, turn, kDouble),
};

// Orders and trades: the order type column is named after the exchange family, as
// DataCsvReader takes a record's order type from the column of its exchange; the row is the
// same under either name.
#define QL_ORDER_COLUMNS(order_type_name)                                                          \
  {                                                                                                \
    QL_INSTRUMENT(_L2Order), QL_COL(_L2Order, action_day, kInt32), QL_COL(_L2Order, time, kInt32), \
        QL_COL(_L2Order, volume, kUInt32), QL_COL(_L2Order, price, kDouble),                       \
        QL_COL(_L2Order, seq_num, kInt64), QL_COL(_L2Order, order_index, kInt64),                  \
        QL_COL(_L2Order, bs_flag, kFlag),                                                          \
        Column{order_type_name, ColumnKind::kFlag, offsetof(_L2Order, order_type), 0},             \
  }
constexpr Column kOrderColumns[] = QL_ORDER_COLUMNS("order_type_sz");
constexpr Column kShanghaiOrderColumns[] = QL_ORDER_COLUMNS("order_type_sh");
#undef QL_ORDER_COLUMNS

constexpr Column kTradeColumns[] = {
    QL_INSTRUMENT(_L2Trade),
    QL_COL(_L2Trade, action_day, kInt32),
    QL_COL(_L2Trade, time, kInt32),
    QL_COL(_L2Trade, volume, kUInt32),
    QL_COL(_L2Trade, price, kDouble),
    QL_COL(_L2Trade, seq_num, kInt64),
    QL_COL(_L2Trade, bid_seq_num, kInt64),
    QL_COL(_L2Trade, ask_seq_num, kInt64),
    QL_COL(_L2Trade, bs_flag, kFlag),
};

#undef QL_LEVELS
#undef QL_LEVEL
#undef QL_INSTRUMENT
#undef QL_COL

// Longest texts of one field: to_chars' shortest double is at most 24 characters
// ("-2.2250738585072014e-308"); an int64 20; an int32 11, a uint32 10; a flag 4 (a quote,
// quoted). A quoted symbol doubles its quotes; the exchange suffix is a dot and at most 3
// characters ("CFE", "255").
constexpr size_t kMaxDoubleChars = 24;
constexpr size_t kMaxInt64Chars = 20;
constexpr size_t kMaxInt32Chars = 11;
constexpr size_t kMaxUInt32Chars = 10;
constexpr size_t kMaxFlagChars = 4;
constexpr size_t kMaxExchangeChars = 4;

constexpr size_t max_field_chars(const Column& col) {
  switch (col.kind) {
    case ColumnKind::kInstrument:
      return 2 + 2 * size_t{col.size} + kMaxExchangeChars;
    case ColumnKind::kInt32:
      return kMaxInt32Chars;
    case ColumnKind::kUInt32:
      return kMaxUInt32Chars;
    case ColumnKind::kFlag:
      return kMaxFlagChars;
    case ColumnKind::kInt64:
      return kMaxInt64Chars;
    case ColumnKind::kDouble:
      return kMaxDoubleChars;
  }
  return 0;
}

// Bytes the longest row of a table takes: fields, delimiters, "\r\n" and the NUL.
template <size_t N>
constexpr size_t max_row_bytes(const Column (&cols)[N]) {
  size_t n = N - 1 + 2 + 1;
  for (const Column& col : cols) n += max_field_chars(col);
  return n;
}

template <size_t N>
constexpr size_t header_bytes(const Column (&cols)[N]) {
  size_t n = N - 1 + 2 + 1;
  for (const Column& col : cols) n += ql__text_length(col.name);
  return n;
}

// The largest row buffer any table needs (the snapshot's); a cut row is built in one of these.
constexpr size_t kRowScratch = max_row_bytes(kSnapshotColumns);
static_assert(max_row_bytes(kBarColumns) <= kRowScratch, "bar rows fit the scratch buffer");
static_assert(max_row_bytes(kIndexColumns) <= kRowScratch, "index rows fit the scratch buffer");
static_assert(max_row_bytes(kOrderColumns) <= kRowScratch, "order rows fit the scratch buffer");
static_assert(max_row_bytes(kTradeColumns) <= kRowScratch, "trade rows fit the scratch buffer");
static_assert(header_bytes(kSnapshotColumns) <= kRowScratch, "headers fit the scratch buffer");
static_assert(kRowScratch < 2048, "the scratch buffer lives on the stack");

// ---- field writers (the caller guarantees room) --------------------------------------------

struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text{} {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;  // "00" "01" ... "99"

// Writes v in decimal, two digits per step from the end.
char* put_unsigned(char* p, uint64_t v) {
  int n = 1;
  for (uint64_t t = v; t >= 10; t /= 10) ++n;
  char* const end = p + n;
  char* s = end;
  while (v >= 100) {
    s -= 2;
    memcpy(s, kDigitPairs.text + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    memcpy(s - 2, kDigitPairs.text + 2 * v, 2);
  } else {
    s[-1] = static_cast<char>('0' + v);
  }
  return end;
}

char* put_int(char* p, int64_t v) {
  *p = '-';
  p += v < 0;
  return put_unsigned(p, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
}

// Writes v so that it reads back as the same double. Prices are mostly short decimals: when
// v is a whole number of ten-thousandths (checked by dividing back), the digits are written
// directly; anything else gets to_chars' shortest form.
char* put_double(char* p, double v) {
  if (v == 0) {
    if (std::signbit(v)) *p++ = '-';  // -0 reads back as -0
    *p++ = '0';
    return p;
  }
  constexpr double kScale = 10000.0;
  constexpr double kExactLimit = 9007199254740992.0 / kScale;  // |v * 1e4| < 2^53
  if (std::fabs(v) < kExactLimit) {                            // false for NaN and infinities
    const double scaled = v * kScale;
    const int64_t units = static_cast<int64_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    // units / 1e4 is one correctly rounded division: equal to v exactly when the decimal
    // text below reads back as v.
    if (static_cast<double>(units) / kScale == v) {
      const uint64_t mag =
          units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
      *p = '-';
      p += units < 0;
      p = put_unsigned(p, mag / 10000);
      const unsigned frac = static_cast<unsigned>(mag % 10000);
      if (frac != 0) {  // four digits written, trailing zeros not counted
        *p = '.';
        memcpy(p + 1, kDigitPairs.text + 2 * (frac / 100), 2);
        memcpy(p + 3, kDigitPairs.text + 2 * (frac % 100), 2);
        p += frac % 100 ? (frac % 10 ? 5 : 4) : (frac % 1000 ? 3 : 2);
      }
      return p;
    }
  }
  return std::to_chars(p, p + kMaxDoubleChars, v).ptr;
}

bool needs_quotes(const char* s, size_t n, char delimiter) {
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == delimiter || c == '"' || c == '\n' || c == '\r') return true;
  }
  return false;
}

// symbol[.EXCHANGE]: the exchange text, its code in digits when it has no text, nothing for
// exchange 0. A symbol holding the delimiter, a quote or a line break is quoted so that the
// row keeps its columns.
char* put_instrument(char* p, const char* symbol, size_t size, unsigned exchange, char delimiter) {
  const size_t n = strnlen(symbol, size);
  const bool quoted = needs_quotes(symbol, n, delimiter);
  if (quoted) *p++ = '"';
  for (size_t i = 0; i < n; ++i) {
    if (symbol[i] == '"') *p++ = '"';
    *p++ = symbol[i];
  }
  if (exchange != 0) {
    *p++ = '.';
    if (const char* text = exchange_str(static_cast<int>(exchange))) {
      const size_t len = strlen(text);
      memcpy(p, text, len);
      p += len;
    } else {
      p = std::to_chars(p, p + 3, exchange).ptr;
    }
  }
  if (quoted) *p++ = '"';
  return p;
}

// A one-character flag: the character (quoted when it is the delimiter, a quote or a line
// break), nothing when it is 0.
char* put_flag(char* p, char c, char delimiter) {
  if (c == 0) return p;
  const bool quoted = needs_quotes(&c, 1, delimiter);
  if (quoted) *p++ = '"';
  if (c == '"') *p++ = '"';
  *p++ = c;
  if (quoted) *p++ = '"';
  return p;
}

template <class T>
T load(const unsigned char* rec, size_t offset) {
  T v;
  memcpy(&v, rec + offset, sizeof v);
  return v;
}

template <size_t N>
char* put_row(char* p, const Column (&cols)[N], const void* record, char delimiter) {
  const unsigned char* rec = static_cast<const unsigned char*>(record);
  for (size_t i = 0; i < N; ++i) {
    const Column& col = cols[i];
    if (i > 0) *p++ = delimiter;
    switch (col.kind) {
      case ColumnKind::kInstrument:
        p = put_instrument(p, reinterpret_cast<const char*>(rec + col.offset), col.size, rec[1],
                           delimiter);
        break;
      case ColumnKind::kInt32:
        p = put_int(p, load<int32_t>(rec, col.offset));
        break;
      case ColumnKind::kUInt32:
        p = put_unsigned(p, load<uint32_t>(rec, col.offset));
        break;
      case ColumnKind::kInt64:
        p = put_int(p, load<int64_t>(rec, col.offset));
        break;
      case ColumnKind::kFlag:
        p = put_flag(p, load<char>(rec, col.offset), delimiter);
        break;
      case ColumnKind::kDouble:
        p = put_double(p, load<double>(rec, col.offset));
        break;
    }
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

template <size_t N>
char* put_header(char* p, const Column (&cols)[N], char delimiter) {
  for (size_t i = 0; i < N; ++i) {
    if (i > 0) *p++ = delimiter;
    const size_t len = strlen(cols[i].name);
    memcpy(p, cols[i].name, len);
    p += len;
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

// Delimiters that can stand inside a number or an exchange suffix, or that CSV reserves,
// would split fields on reading back; they are refused.
bool delimiter_usable(char d) {
  const bool alnum = (d >= '0' && d <= '9') || (d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z');
  return !alnum && d != '.' && d != '+' && d != '-' && d != '"' && d != '\r' && d != '\n' &&
         d != '\0';
}

// Runs write(out) (which returns the end of what it wrote into out, at most `bound` bytes
// with the NUL) so that nothing lands past buf[size - 1]. Returns the row length, or -1 when
// it did not fit (buf then holds the cut, NUL-terminated row) or the arguments are unusable.
template <class Write>
int emit(char* buf, int size, size_t bound, char delimiter, Write&& write) {
  if (!buf || size <= 0) return -1;
  if (!delimiter_usable(delimiter)) {
    buf[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(size) >= bound) {
    char* end = write(buf);
    *end = '\0';
    return static_cast<int>(end - buf);
  }
  char scratch[kRowScratch];
  const size_t len = static_cast<size_t>(write(scratch) - scratch);
  if (len < static_cast<size_t>(size)) {
    memcpy(buf, scratch, len);
    buf[len] = '\0';
    return static_cast<int>(len);
  }
  memcpy(buf, scratch, static_cast<size_t>(size) - 1);
  buf[size - 1] = '\0';
  return -1;
}

template <size_t N>
int format_row(char* buf, int size, const Column (&cols)[N], const void* rec, char delimiter) {
  if (!rec) {
    if (buf && size > 0) buf[0] = '\0';
    return -1;
  }
  return emit(buf, size, max_row_bytes(cols), delimiter,
              [&](char* out) { return put_row(out, cols, rec, delimiter); });
}

template <size_t N>
int format_header(char* buf, int size, const Column (&cols)[N], char delimiter) {
  return emit(buf, size, header_bytes(cols), delimiter,
              [&](char* out) { return put_header(out, cols, delimiter); });
}

}  // namespace

extern "C" {

int l2snapshot_to_csv(char* buf, int size, const _L2Snapshot* rec, char delimiter) {
  return format_row(buf, size, kSnapshotColumns, rec, delimiter);
}

int mdindex_to_csv(char* buf, int size, const _MDIndex* rec, char delimiter) {
  return format_row(buf, size, kIndexColumns, rec, delimiter);
}

int bar_to_csv(char* buf, int size, const _BarData* rec, char delimiter) {
  return format_row(buf, size, kBarColumns, rec, delimiter);
}

int l2snapshot_csv_header(char* buf, int size, char delimiter) {
  return format_header(buf, size, kSnapshotColumns, delimiter);
}

int mdindex_csv_header(char* buf, int size, char delimiter) {
  return format_header(buf, size, kIndexColumns, delimiter);
}

int bar_csv_header(char* buf, int size, char delimiter) {
  return format_header(buf, size, kBarColumns, delimiter);
}

int l2order_to_csv(char* buf, int size, const _L2Order* rec, char delimiter) {
  return format_row(buf, size, kOrderColumns, rec, delimiter);
}

int l2trade_to_csv(char* buf, int size, const _L2Trade* rec, char delimiter) {
  return format_row(buf, size, kTradeColumns, rec, delimiter);
}

int l2order_csv_header(char* buf, int size, int exchange, char delimiter) {
  return exchange == 1 ? format_header(buf, size, kShanghaiOrderColumns, delimiter)
                       : format_header(buf, size, kOrderColumns, delimiter);
}

int l2trade_csv_header(char* buf, int size, char delimiter) {
  return format_header(buf, size, kTradeColumns, delimiter);
}

}  // extern "C"
