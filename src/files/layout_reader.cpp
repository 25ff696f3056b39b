// LayoutReader: one pass over a file in an exchange's or vendor's layout. The platform
// tokenizer splits each row in place; the bound fields are parsed where they stand (numbers
// with the tokenizer's own readers, times and dates by their shape), so a row costs no
// allocation. A row that cannot become its record is refused with its line and reason.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "files/vendor_layout.h"
#include "platform/csv_tokenizer.h"
#include "platform/text_tools.h"
#include "quotelab/layout_reader.h"
#include "quotelab/utilcore.h"

namespace KX {

using detail::CsvField;
using detail::Layout;

namespace {

// Texts cut to this many characters in messages: a field swallowed by a bad quote can be the
// rest of the file.
constexpr size_t kQuotedMax = 40;
// Bytes looked at to tell a binary file from text.
constexpr size_t kSniffBytes = 4096;

const char kUnterminatedQuote[] = "unterminated quote";
const char kNulInField[] = "NUL inside a field";
const char kShortRow[] = "short row";
const char kCutOff[] = "row cut off at the end of the file";
const char kBadSymbol[] = "instrument code missing or too long";
const char kBadDate[] = "date does not parse";
const char kBadTime[] = "time does not parse";
const char kUnknownSide[] = "unknown side code";
const char kNotBookSide[] = "side is not buy or sell (borrowing or lending)";
const char kNoSide[] = "order without a buy or sell side";
const char kUnknownType[] = "unknown type code";
const char kWrongType[] = "type code does not belong in this file";
const char kBadPrice[] = "price does not parse";
const char kBadNumber[] = "number does not parse";

std::string quoted(const char* text, size_t len) {
  if (len <= kQuotedMax) return "'" + std::string(text, len) + "'";
  return "'" + std::string(text, kQuotedMax) + "...' (" + std::to_string(len) + " characters)";
}

struct Span {
  const char* b;
  const char* e;
  size_t size() const { return static_cast<size_t>(e - b); }
  bool empty() const { return b == e; }
};

inline Span trimmed(const CsvField& f) {
  Span s{f.text, f.text + f.len};
  ql__trim_blanks(&s.b, &s.e);
  return s;
}

// The first c in [p, p + n), or NULL; fields are short, and a loop beats a call to memchr.
inline const char* find_char(const char* p, size_t n, char c) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == c) return p + i;
  }
  return nullptr;
}

// Up to n digits at p as a number; false when any is not a digit.
inline bool digits(const char* p, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!ql__is_digit(p[i])) return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return true;
}

bool valid_date(int y, int m, int d) {
  return y >= 1900 && y <= 2999 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

// YYYYMMDD, YYYY-MM-DD, YYYY.MM.DD or YYYY/MM/DD.
bool parse_date(const char* p, size_t n, int32_t* out) {
  int y, m, d;
  if (n == 8) {
    if (!digits(p, 4, &y) || !digits(p + 4, 2, &m) || !digits(p + 6, 2, &d)) return false;
  } else if (n == 10 && (p[4] == '-' || p[4] == '.' || p[4] == '/') && p[7] == p[4]) {
    if (!digits(p, 4, &y) || !digits(p + 5, 2, &m) || !digits(p + 8, 2, &d)) return false;
  } else {
    return false;
  }
  if (!valid_date(y, m, d)) return false;
  *out = (y * 100 + m) * 100 + d;
  return true;
}

bool valid_time(int h, int m, int s, int ms) {
  return h < 24 && m < 60 && s < 61 && ms < 1000;
}

// H:MM:SS or HH:MM:SS with an optional fraction of 1 to 9 digits (milliseconds kept).
bool parse_colon_time(const char* p, size_t n, int32_t* out) {
  const size_t hour_digits = n > 1 && p[1] == ':' ? 1 : 2;
  if (n < hour_digits + 6 || p[hour_digits] != ':' || p[hour_digits + 3] != ':') return false;
  int h, m, s, ms = 0;
  if (!digits(p, static_cast<int>(hour_digits), &h) || !digits(p + hour_digits + 1, 2, &m) ||
      !digits(p + hour_digits + 4, 2, &s)) {
    return false;
  }
  const size_t rest = hour_digits + 6;
  if (n > rest) {
    const size_t frac = n - rest - 1;
    if (p[rest] != '.' || frac < 1 || frac > 9) return false;
    int scale = 100;
    for (size_t i = 0; i < frac; ++i) {
      const char c = p[rest + 1 + i];
      if (!ql__is_digit(c)) return false;
      if (i < 3) ms += (c - '0') * scale;
      scale /= 10;
    }
  }
  if (!valid_time(h, m, s, ms)) return false;
  *out = ((h * 100 + m) * 100 + s) * 1000 + ms;
  return true;
}

// HHMMSS (5 or 6 digits) or HHMMSSmmm (8 or 9 digits) as a number.
bool parse_digit_time(const char* p, size_t n, int32_t* out) {
  int v;
  if (n < 5 || n > 9 || n == 7 || !digits(p, static_cast<int>(n), &v)) return false;
  const int hhmmss = n <= 6 ? v : v / 1000;
  const int ms = n <= 6 ? 0 : v % 1000;
  if (!valid_time(hhmmss / 10000, hhmmss / 100 % 100, hhmmss % 100, ms)) return false;
  *out = hhmmss * 1000 + ms;
  return true;
}

// HHMMSSss (7 or 8 digits: hundredths of a second, the leading zero of the hour optional), as
// the exchange's merged tick-by-tick file writes its times.
bool parse_hundredths_time(const char* p, size_t n, int32_t* out) {
  int v;
  if ((n != 7 && n != 8) || !digits(p, static_cast<int>(n), &v)) return false;
  const int hhmmss = v / 100;
  if (!valid_time(hhmmss / 10000, hhmmss / 100 % 100, hhmmss % 100, 0)) return false;
  *out = hhmmss * 1000 + v % 100 * 10;
  return true;
}

// A time in any of the forms the layouts use (7 or 8 digits are HHMMSSss when `hundredths`);
// *date gets the date a date-time carries (left alone otherwise).
bool parse_time(Span s, bool hundredths, int32_t* time, int32_t* date) {
  const char* p = s.b;
  const size_t n = s.size();
  if (n >= 17 && ql__is_digit(p[0]) && !ql__is_digit(p[4])) {  // 2023.07.11T09:25:03.276
    if (p[10] != 'T' && p[10] != ' ') return false;
    return parse_date(p, 10, date) && parse_colon_time(p + 11, n - 11, time);
  }
  if (n == 17 || n == 14) {  // YYYYMMDDHHMMSSsss, YYYYMMDDHHMMSS
    int32_t t;
    if (!parse_date(p, 8, date)) return false;
    if (n == 14) {
      if (!parse_digit_time(p + 8, 6, &t)) return false;
    } else if (!parse_digit_time(p + 8, 9, &t)) {
      return false;
    }
    *time = t;
    return true;
  }
  if (find_char(p, n, ':') != nullptr) return parse_colon_time(p, n, time);
  if (hundredths && (n == 7 || n == 8)) return parse_hundredths_time(p, n, time);
  return parse_digit_time(p, n, time);
}

// The last YYYYMMDD directory in a path, or 0.
int32_t date_in_path(const std::string& path) {
  int32_t found = 0;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) break;  // the file name itself is not a directory
    int32_t d;
    if (slash - start == 8 && parse_date(path.data() + start, 8, &d)) found = d;
    start = slash + 1;
  }
  return found;
}

// The delimiter a one-column header most likely uses, or 0.
char likely_delimiter(const std::string& header) {
  char best = 0;
  size_t most = 0;
  for (char c : {'\t', ';', '|', ' ', ','}) {
    const size_t n = static_cast<size_t>(std::count(header.begin(), header.end(), c));
    if (n > most) {
      most = n;
      best = c;
    }
  }
  return best;
}

std::string delimiter_text(char c) {
  return c == '\t' ? std::string("tab") : "'" + std::string(1, c) + "'";
}

const detail::ValueCode* find_code(const std::vector<detail::ValueCode>& codes, Span s) {
  const size_t n = s.size();
  for (const auto& c : codes) {
    if (c.code.size() != n || c.code[0] != *s.b) continue;  // codes are one or two characters
    if (n == 1 || std::memcmp(c.code.data(), s.b, n) == 0) return &c;
  }
  return nullptr;
}

// Prices are rounded to six decimals: noise like 1801.00999999999999 disappears, and the
// result is the double a plain "1801.01" reads as (one correctly rounded division).
inline double clean_price(double v) {
  return std::fabs(v) < 1e9 ? std::nearbyint(v * 1e6) / 1e6 : v;
}

// A price written with more digits than a short decimal holds (layout A writes
// 1801.00999999999999), read from its first 16 characters when that gives what clean_price of
// the whole text gives: with at least 10 decimals kept the two values differ by less than
// 1e-10, which moves v * 1e6 by less than 2e-4 (values below 1e5, their ulp included), so the
// rounding agrees unless v * 1e6 lies within 1e-3 of a half. False when it may not agree (the
// caller then reads the whole text).
inline bool read_long_price(const CsvField& f, double* out) {
  constexpr size_t kKept = detail::kShortNumberChars;
  detail::ShortDecimal d;
  double v;
  if (!detail::read_short_decimal(f.text, kKept, &d) || d.fraction < 10 ||
      !detail::short_decimal_double(d, &v)) {
    return false;
  }
  for (size_t i = kKept; i < f.len; ++i) {
    if (!ql__is_digit(f.text[i])) return false;
  }
  const double x = v * 1e6;
  if (std::fabs(x - std::floor(x) - 0.5) < 1e-3) return false;
  *out = std::nearbyint(x) / 1e6;
  return true;
}

// Rows a file of `bytes` bytes holds at most, judged by the first rows in `sample` (which starts
// with the header): a file's rows are about as long as its first ones, and the shortest of them
// makes the estimate err high, which costs address space only, never pages.
size_t estimate_rows(const char* sample, size_t n, size_t bytes) {
  constexpr size_t kShortestRow = 16;  // a blank or odd line must not inflate the estimate
  size_t shortest = SIZE_MAX;
  const char* end = sample + n;
  const char* p = static_cast<const char*>(std::memchr(sample, '\n', n));
  while (p != nullptr) {
    const char* q = static_cast<const char*>(std::memchr(p + 1, '\n', end - p - 1));
    if (q == nullptr) break;
    if (static_cast<size_t>(q - p) >= kShortestRow) shortest = std::min<size_t>(shortest, q - p);
    p = q;
  }
  if (shortest == SIZE_MAX) shortest = 2 * kShortestRow;  // no whole row in the sample
  return bytes / shortest + 16;
}

// Offers the room of a block to transparent huge pages: filling a million records through 4 KB
// pages costs a page fault per page, more than parsing the rows on a virtual machine. Only a
// hint; the 2 MiB-aligned inside of the block is advised.
void advise_huge_pages(const void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

template <class T>
void reserve_advised(std::vector<T>* v, size_t n) {
  v->reserve(n);
  advise_huge_pages(v->data(), v->capacity() * sizeof(T));
}

// Where read() puts one kind of record: the reader's own vector, or an array of the caller's
// that grows through LayoutRecordArrays (records written stay where they are).
template <class Rec>
class RecordSlots {
 public:
  explicit RecordSlots(std::vector<Rec>* own) : own_(own) {}

  // Starts over, writing to the caller's arrays (NULL: to the reader's vector).
  void start(LayoutRecordArrays* arrays) {
    arrays_ = arrays;
    data_ = nullptr;
    count_ = capacity_ = 0;
    own_->clear();
  }
  void reserve(size_t n) {
    if (arrays_ == nullptr) {
      reserve_advised(own_, n);
    } else if (n > capacity_) {
      data_ = room(count_, n);
      if (data_ == nullptr) throw std::bad_alloc();
      capacity_ = n;
    }
  }
  // A zero-filled record at the end.
  Rec* append() {
    ++count_;
    if (arrays_ == nullptr) {
      own_->emplace_back();
      return &own_->back();
    }
    if (count_ > capacity_) reserve(capacity_ < 1024 ? 1024 : capacity_ * 2);
    Rec* r = data_ + count_ - 1;
    std::memset(static_cast<void*>(r), 0, sizeof(Rec));
    return r;
  }
  size_t size() const { return count_; }

 private:
  Rec* room(size_t kept, size_t n) {
    if constexpr (std::is_same<Rec, _L2Order>::value) {
      return arrays_->order_room(kept, n);
    } else {
      return arrays_->trade_room(kept, n);
    }
  }

  std::vector<Rec>* own_;
  LayoutRecordArrays* arrays_ = nullptr;
  Rec* data_ = nullptr;
  size_t count_ = 0, capacity_ = 0;
};

// One pending edit of the layout, applied in the order given.
struct Edit {
  enum Kind { Profile, Map, Values } kind;
  std::string text;
  std::string origin;
};

}  // namespace

struct LayoutReader::Impl {
  // Checks an edit on a scratch layout, so a bad one is refused at once and never kept.
  int add_edit(Edit::Kind kind, const char* text, const char* origin) {
    Edit e{kind, text, origin};
    Layout check;
    bool based = false;
    if (!apply(e, &check, &based, &error)) return -1;
    edits.push_back(std::move(e));
    error.clear();
    return 0;
  }

  // configuration
  std::string base;  // built-in named by use_layout
  std::vector<Edit> edits;
  char delimiter = ',';
  int32_t trading_day = 0;
  std::string symbol_filter;

  // the open file
  std::string path, error;
  csv_file* csv = nullptr;
  Layout layout;
  std::string name;
  std::vector<std::string> header;
  int pos[detail::kFieldCount];
  int level_pos[detail::kLevelCount][QL_SNAPSHOT_LEVELS];
  int needed = 0;  // fields a row must have
  int32_t path_day = 0;
  size_t rows_expected = 0;  // from the file's size and its first rows
  bool open = false;

  // results
  std::vector<_L2Order> orders;
  std::vector<_L2Trade> trades;
  RecordSlots<_L2Order> order_out{&orders};
  RecordSlots<_L2Trade> trade_out{&trades};
  std::vector<int64_t> order_seq, trade_seq;
  std::vector<uint32_t> order_lines, trade_lines, snapshot_lines;
  std::vector<LayoutStreamEntry> stream;
  std::vector<_L2Snapshot> snapshots;
  std::vector<SnapshotExtra> extras;
  std::vector<LayoutRefusal> refusals;
  std::vector<LayoutRefusalCount> counts;
  size_t refused = 0, rows = 0, skipped = 0;

  // the exchange of the last suffix seen
  char suffix[8] = {};
  size_t suffix_len = 0;
  uint8_t suffix_exchange = 0;

  ~Impl() { csv_close(csv); }

  void clear_results(LayoutRecordArrays* arrays = nullptr) {
    order_out.start(arrays);
    trade_out.start(arrays);
    order_seq.clear();
    trade_seq.clear();
    order_lines.clear();
    trade_lines.clear();
    snapshot_lines.clear();
    stream.clear();
    snapshots.clear();
    extras.clear();
    refusals.clear();
    counts.clear();
    refused = rows = skipped = 0;
  }

  bool fail(const std::string& why) {
    error = why;
    return false;
  }

  bool apply(const Edit& e, Layout* l, bool* based, std::string* why) const {
    switch (e.kind) {
      case Edit::Profile:
        return detail::apply_profile(e.text, e.origin, l, based, why);
      case Edit::Map:
        return detail::apply_map_text(e.text, e.origin, l, why);
      case Edit::Values:
        return detail::apply_values_text(e.text, e.origin, l, why);
    }
    return false;
  }

  // The layout from `start` with every edit applied; *based turns true when an edit named a
  // built-in.
  bool build(const Layout& start, Layout* out, bool* based, std::string* why) const {
    *out = start;
    for (const Edit& e : edits) {
      if (!apply(e, out, based, why)) return false;
    }
    return true;
  }

  bool complete_in_header(const Layout& l) const {
    for (int f : detail::required_fields(l)) {
      if (detail::header_position(header, l.columns[f]) < 0) return false;
    }
    for (int f = 0; f < detail::kFieldCount; ++f) {
      if (!l.columns[f].empty() && detail::header_position(header, l.columns[f]) < 0) {
        return false;
      }
    }
    return true;
  }

  // Content of a layout made from scratch, from what it binds.
  static LayoutContent inferred_content(const Layout& l) {
    using namespace detail;
    if (!l.levels[kAskPrice].empty() || !l.levels[kBidPrice].empty()) {
      return LayoutContent::Snapshots;
    }
    if (!l.columns[kOrderNo].empty()) return LayoutContent::Orders;
    if (!l.columns[kType].empty() && !l.columns[kSide].empty()) return LayoutContent::Ticks;
    return LayoutContent::Trades;
  }

  // Settles the layout: a named built-in or profile base with the edits; else the built-in the
  // header binds best once the edits are applied; else the edits alone.
  bool resolve_layout() {
    std::string why;
    bool based = false;
    Layout scratch;
    if (!base.empty()) {
      const Layout* b = detail::find_builtin(base);
      if (b == nullptr) return fail("no built-in layout '" + base + "'");
      if (!build(*b, &layout, &based, &why)) return fail(why);
    } else if (!build(Layout(), &scratch, &based, &why)) {
      return fail(why);
    } else if (based) {
      layout = scratch;
    } else if (edits.empty()) {
      const Layout* found = detail::detect_layout(header, &why);
      if (found == nullptr) return fail("'" + path + "': " + why);
      layout = *found;
    } else {
      // Edits on top of whichever built-in the header then binds best.
      const Layout* best = nullptr;
      Layout best_layout;
      int best_score = 0;  // a built-in none of whose own names the header has is no base
      bool tie = false;
      std::string tie_name;
      for (const Layout& b : detail::builtin_layouts()) {
        Layout l;
        bool ignored = false;
        if (!build(b, &l, &ignored, &why) || !complete_in_header(l)) continue;
        int score = 0;
        for (const std::string& n : b.header) score += detail::header_position(header, n) >= 0;
        if (score > best_score) {
          best = &b;
          best_layout = l;
          best_score = score;
          tie = false;
        } else if (score == best_score) {
          tie = true;
          tie_name = b.name;
        }
      }
      if (best != nullptr && tie) {
        return fail("'" + path + "': the header binds two layouts equally (" + best->name +
                    " and " + tie_name + "): name one with 'layout =' in a profile");
      }
      if (best != nullptr) {
        layout = best_layout;
        if (layout.name == best->name) layout.name += " (mapped)";
      } else {
        layout = scratch;
        if (layout.name.empty()) layout.name = "custom";
        if (!layout.content_given) layout.content = inferred_content(layout);
      }
    }
    return true;
  }

  // Binds every column of the layout; fails naming a column the file lacks.
  bool bind_positions() {
    needed = 0;
    for (int f = 0; f < detail::kFieldCount; ++f) {
      pos[f] = detail::header_position(header, layout.columns[f]);
      if (!layout.columns[f].empty() && pos[f] < 0) {
        return fail("'" + path + "' has no column '" + layout.columns[f] + "' (field " +
                    detail::field_name(f) + " of layout " + layout.name + ")");
      }
      needed = std::max(needed, pos[f] + 1);
    }
    for (int f : detail::required_fields(layout)) {
      if (pos[f] < 0) {
        return fail("layout " + layout.name + " names no column for field '" +
                    detail::field_name(f) + "', which " + detail::content_name(layout.content) +
                    " need");
      }
    }
    for (int l = 0; l < detail::kLevelCount; ++l) {
      for (int i = 0; i < QL_SNAPSHOT_LEVELS; ++i) {
        level_pos[l][i] =
            layout.levels[l].empty()
                ? -1
                : detail::header_position(header, detail::level_column(layout.levels[l], i + 1));
        needed = std::max(needed, level_pos[l][i] + 1);
      }
    }
    return true;
  }

  // ---- refusals -------------------------------------------------------------------------------
  void refuse(long line, const char* reason, std::string detail_text) {
    ++refused;
    bool counted = false;
    for (auto& c : counts) {
      if (c.reason == reason) {
        ++c.count;
        counted = true;
        break;
      }
    }
    if (!counted) counts.push_back({reason, 1});
    if (refusals.size() < kRefusalsKept) {
      refusals.push_back({path, line, reason, std::move(detail_text)});
    }
  }

  std::string column_value(int field, const CsvField& f) const {
    return layout.columns[field] + " " + quoted(f.text, f.len);
  }

  // ---- row pieces -----------------------------------------------------------------------------
  // The instrument of the row: symbol into out (capacity bytes, NUL-padded) and the exchange.
  // Returns 0, 1 to skip the row (another instrument), -1 refused.
  int take_symbol(const CsvField* fields, long line, char* out, size_t capacity,
                  uint8_t* exchange) {
    const CsvField& f = fields[pos[detail::kSymbol]];
    const Span s = trimmed(f);
    const char* dot = find_char(s.b, s.size(), '.');
    const size_t len = dot != nullptr ? static_cast<size_t>(dot - s.b) : s.size();
    if (len == 0 || len >= capacity) {
      refuse(line, kBadSymbol, column_value(detail::kSymbol, f));
      return -1;
    }
    if (!symbol_filter.empty() &&
        (symbol_filter.size() != len || std::memcmp(symbol_filter.data(), s.b, len) != 0)) {
      ++skipped;
      return 1;
    }
    std::memcpy(out, s.b, len);
    *exchange = layout.exchange;
    if (dot != nullptr) *exchange = exchange_of_suffix(dot + 1, static_cast<size_t>(s.e - dot - 1));
    return 0;
  }

  uint8_t exchange_of_suffix(const char* p, size_t n) {
    if (n == 0 || n >= sizeof suffix) return layout.exchange;
    if (n != suffix_len || std::memcmp(p, suffix, n) != 0) {
      std::memcpy(suffix, p, n);
      suffix[n] = '\0';
      suffix_len = n;
      const int ex = exchange_int(suffix);
      suffix_exchange = ex > 0 ? static_cast<uint8_t>(ex) : layout.exchange;
    }
    return suffix_exchange;
  }

  // Date and time of the row. False when refused.
  bool take_date_time(const CsvField* fields, long line, int32_t* date, int32_t* time) {
    int32_t row_date = 0;
    const CsvField& tf = fields[pos[detail::kTime]];
    if (!parse_time(trimmed(tf), layout.time_hundredths, time, &row_date)) {
      refuse(line, kBadTime, column_value(detail::kTime, tf));
      return false;
    }
    if (pos[detail::kDate] >= 0) {
      const CsvField& df = fields[pos[detail::kDate]];
      const Span s = trimmed(df);
      if (!parse_date(s.b, s.size(), &row_date)) {
        refuse(line, kBadDate, column_value(detail::kDate, df));
        return false;
      }
    }
    *date = row_date != 0 ? row_date : trading_day != 0 ? trading_day : path_day;
    return true;
  }

  // A code through a value map; NULL (refused) when the map lacks it.
  const detail::ValueCode* take_code(const CsvField* fields, int field, long line,
                                     const std::vector<detail::ValueCode>& codes,
                                     const char* unknown) {
    const CsvField& f = fields[pos[field]];
    const detail::ValueCode* c = find_code(codes, trimmed(f));
    if (c == nullptr) refuse(line, unknown, column_value(field, f));
    return c;
  }

  // The side of the row: 'B', 'S' or 0 (none). False when refused; an order needs B or S.
  bool take_side(const CsvField* fields, long line, bool order, char* side) {
    if (pos[detail::kSide] < 0) {
      *side = 0;
      return true;
    }
    const detail::ValueCode* c =
        take_code(fields, detail::kSide, line, layout.side_values, kUnknownSide);
    if (c == nullptr) return false;
    if (c->meaning == 'X' || (order && c->meaning == 'N')) {
      refuse(line, c->meaning == 'X' ? kNotBookSide : kNoSide,
             column_value(detail::kSide, fields[pos[detail::kSide]]));
      return false;
    }
    *side = c->meaning == 'N' ? 0 : c->meaning;
    return true;
  }

  bool take_price(const CsvField* fields, int field, long line, double* out) {
    if (pos[field] < 0) {
      *out = 0;
      return true;
    }
    const CsvField& f = fields[pos[field]];
    if (f.len > detail::kShortNumberChars && read_long_price(f, out)) return true;
    if (trimmed(f).empty()) {
      *out = 0;
      return true;
    }
    const double v = detail::parse_double(f, std::numeric_limits<double>::quiet_NaN());
    if (!std::isfinite(v)) {
      refuse(line, kBadPrice, column_value(field, f));
      return false;
    }
    *out = clean_price(v);
    return true;
  }

  // The integer in column `column` (-1: none; a blank field is 0) within [lo, hi].
  bool take_int(const CsvField* fields, int column, long line, int64_t lo, int64_t hi,
                int64_t* out) {
    *out = 0;
    if (column < 0) return true;
    const CsvField& f = fields[column];
    if (trimmed(f).empty()) return true;
    const int64_t v = detail::parse_int64(f, std::numeric_limits<int64_t>::min());
    if (v < lo || v > hi) {
      refuse(line, kBadNumber, header[column] + " " + quoted(f.text, f.len));
      return false;
    }
    *out = v;
    return true;
  }

  // A quantity (fits the records' 32 bits) and an order, trade or sequence number.
  bool take_count(const CsvField* fields, int column, long line, int64_t* out) {
    return take_int(fields, column, line, 0, UINT32_MAX, out);
  }
  bool take_number(const CsvField* fields, int column, long line, int64_t* out) {
    return take_int(fields, column, line, 0, std::numeric_limits<int64_t>::max(), out);
  }

  // ---- records --------------------------------------------------------------------------------
  static char order_type_code(char meaning) {
    switch (meaning) {
      case 'A':
        return '2';
      case 'M':
        return '1';
      default:
        return meaning;  // 'D', 'U'
    }
  }

  void add_order(const CsvField* fields, long line, char meaning, char side, const char* symbol,
                 uint8_t exchange, int32_t date, int32_t time, int64_t sequence) {
    double price;
    int64_t volume, number;
    const int number_field = pos[detail::kOrderNo] >= 0 ? pos[detail::kOrderNo]
                             : side == 'B'              ? pos[detail::kBuyNo]
                                                        : pos[detail::kSellNo];
    if (!take_price(fields, detail::kPrice, line, &price) ||
        !take_count(fields, pos[detail::kVolume], line, &volume) ||
        !take_number(fields, number_field, line, &number)) {
      return;
    }
    if (layout.content == LayoutContent::Ticks) {
      stream.push_back({QL_RECORD_L2ORDER, static_cast<uint32_t>(order_out.size())});
    }
    _L2Order& o = *order_out.append();
    o.type = QL_RECORD_L2ORDER;
    o.exchange = exchange;
    std::memcpy(o.symbol, symbol, sizeof o.symbol);
    o.action_day = date;
    o.time = time;
    o.volume = static_cast<uint32_t>(volume);
    o.price = price;
    o.seq_num = number;
    o.order_index = pos[detail::kSequence] >= 0 ? sequence : number;
    o.bs_flag = side;
    o.order_type = order_type_code(meaning);
    order_seq.push_back(sequence);
    order_lines.push_back(static_cast<uint32_t>(line));
    ++rows;
  }

  void add_trade(const CsvField* fields, long line, char meaning, char side, const char* symbol,
                 uint8_t exchange, int32_t date, int32_t time, int64_t sequence) {
    double price;
    int64_t volume, buy, sell, number;
    if (!take_price(fields, detail::kPrice, line, &price) ||
        !take_count(fields, pos[detail::kVolume], line, &volume) ||
        !take_number(fields, pos[detail::kBuyNo], line, &buy) ||
        !take_number(fields, pos[detail::kSellNo], line, &sell) ||
        !take_number(fields, pos[detail::kTradeNo], line, &number)) {
      return;
    }
    if (layout.content == LayoutContent::Ticks) {
      stream.push_back({QL_RECORD_L2TRADE, static_cast<uint32_t>(trade_out.size())});
    }
    _L2Trade& t = *trade_out.append();
    t.type = QL_RECORD_L2TRADE;
    t.exchange = exchange;
    std::memcpy(t.symbol, symbol, sizeof t.symbol);
    t.action_day = date;
    t.time = time;
    t.aux_no = static_cast<int32_t>(sequence);
    t.volume = static_cast<uint32_t>(volume);
    t.price = price;
    t.seq_num = pos[detail::kTradeNo] >= 0 ? number : sequence;
    t.bid_seq_num = buy;
    t.ask_seq_num = sell;
    t.bs_flag = side;
    t.trade_flag = meaning == 'C' ? '4' : exchange == 2 ? 'F' : 0;
    trade_seq.push_back(sequence);
    trade_lines.push_back(static_cast<uint32_t>(line));
    ++rows;
  }

  void read_event_row(const CsvField* fields, long line) {
    char symbol[sizeof(_L2Order::symbol)] = {};
    uint8_t exchange = 0;
    const int s = take_symbol(fields, line, symbol, sizeof symbol, &exchange);
    if (s != 0) return;
    char meaning = layout.content == LayoutContent::Trades ? 'T' : 'A';
    if (pos[detail::kType] >= 0) {
      const detail::ValueCode* c =
          take_code(fields, detail::kType, line, layout.type_values, kUnknownType);
      if (c == nullptr) return;
      meaning = c->meaning;
    }
    if (meaning == 'S') {  // status rows and the like carry no event
      ++skipped;
      return;
    }
    const bool trade = meaning == 'T' || meaning == 'C';
    if ((layout.content == LayoutContent::Orders && trade) ||
        (layout.content == LayoutContent::Trades && !trade)) {
      refuse(line, kWrongType, column_value(detail::kType, fields[pos[detail::kType]]));
      return;
    }
    int32_t date, time;
    char side;
    int64_t sequence;
    if (!take_date_time(fields, line, &date, &time) || !take_side(fields, line, !trade, &side) ||
        !take_number(fields, pos[detail::kSequence], line, &sequence)) {
      return;
    }
    if (trade) {
      add_trade(fields, line, meaning, side, symbol, exchange, date, time, sequence);
    } else {
      add_order(fields, line, meaning, side, symbol, exchange, date, time, sequence);
    }
  }

  void read_snapshot_row(const CsvField* fields, long line) {
    _L2Snapshot r;
    std::memset(&r, 0, sizeof r);
    SnapshotExtra x;
    std::memset(&x, 0, sizeof x);
    if (take_symbol(fields, line, r.symbol, sizeof r.symbol, &r.exchange) != 0) return;
    int32_t date, time;
    if (!take_date_time(fields, line, &date, &time)) return;
    r.type = QL_RECORD_L2SNAPSHOT;
    r.action_day = date;
    r.trading_day = date;
    r.time = time;
    int64_t num_trades, volume;
    const bool ok = take_price(fields, detail::kOpen, line, &r.open) &&
                    take_price(fields, detail::kHigh, line, &r.high) &&
                    take_price(fields, detail::kLow, line, &r.low) &&
                    take_price(fields, detail::kLast, line, &r.last) &&
                    take_price(fields, detail::kPreClose, line, &r.pre_close) &&
                    take_price(fields, detail::kClose, line, &x.close) &&
                    take_price(fields, detail::kIopv, line, &r.iopv) &&
                    take_price(fields, detail::kTurnover, line, &r.turnover) &&
                    take_int(fields, pos[detail::kNumTrades], line, 0, INT32_MAX, &num_trades) &&
                    take_number(fields, pos[detail::kTotalVolume], line, &volume);
    if (!ok) return;
    r.num_trades = static_cast<int32_t>(num_trades);
    r.volume = volume;
    if (pos[detail::kPhase] >= 0) {
      const Span s = trimmed(fields[pos[detail::kPhase]]);
      std::memcpy(x.phase, s.b, std::min(s.size(), sizeof x.phase - 1));
    }
    for (int i = 0; i < QL_SNAPSHOT_LEVELS; ++i) {
      int64_t v[detail::kLevelCount] = {};
      double ask = 0, bid = 0;
      if (!take_level_price(fields, level_pos[detail::kAskPrice][i], line, &ask) ||
          !take_level_price(fields, level_pos[detail::kBidPrice][i], line, &bid)) {
        return;
      }
      for (int l :
           {detail::kAskVolume, detail::kBidVolume, detail::kBidOrders, detail::kAskOrders}) {
        if (!take_int(fields, level_pos[l][i], line, 0, INT32_MAX, &v[l])) return;
      }
      r.ask_price[i] = ask;
      r.bid_price[i] = bid;
      r.ask_volume[i] = static_cast<int32_t>(v[detail::kAskVolume]);
      r.bid_volume[i] = static_cast<int32_t>(v[detail::kBidVolume]);
      x.bid_orders[i] = static_cast<int32_t>(v[detail::kBidOrders]);
      x.ask_orders[i] = static_cast<int32_t>(v[detail::kAskOrders]);
    }
    snapshots.push_back(r);
    extras.push_back(x);
    snapshot_lines.push_back(static_cast<uint32_t>(line));
    ++rows;
  }

  bool take_level_price(const CsvField* fields, int column, long line, double* out) {
    *out = 0;
    if (column < 0) return true;
    const CsvField& f = fields[column];
    if (trimmed(f).empty()) return true;
    const double v = detail::parse_double(f, std::numeric_limits<double>::quiet_NaN());
    if (!std::isfinite(v)) {
      refuse(line, kBadPrice, header[column] + " " + quoted(f.text, f.len));
      return false;
    }
    *out = clean_price(v);
    return true;
  }

  // The row's tokenizer faults and length. False when the row is refused for them.
  bool row_whole(const detail::CsvRow& row, long line) {
    const int faults = csv_row_faults(csv);
    if (faults & QL_CSV_FAULT_UNTERMINATED_QUOTE) {
      refuse(line, kUnterminatedQuote, "a quote opened on this line runs to the end of the file");
      return false;
    }
    if (faults & QL_CSV_FAULT_NUL) {
      refuse(line, kNulInField, "");
      return false;
    }
    if (row.count < needed) {
      const std::string d =
          std::to_string(row.count) + " of " + std::to_string(header.size()) + " fields";
      refuse(line, (faults & QL_CSV_FAULT_NO_LINE_END) ? kCutOff : kShortRow, d);
      return false;
    }
    return true;
  }

  // Room for the rows the file is expected to hold, so that nothing grows by doubling.
  void reserve_rows() {
    const size_t n = rows_expected;
    const bool ticks = layout.content == LayoutContent::Ticks;
    if (layout.content == LayoutContent::Orders || ticks) {
      order_out.reserve(n);
      reserve_advised(&order_seq, n);
      reserve_advised(&order_lines, n);
    }
    if (layout.content == LayoutContent::Trades || ticks) {
      trade_out.reserve(n);
      reserve_advised(&trade_seq, n);
      reserve_advised(&trade_lines, n);
    }
    if (ticks) reserve_advised(&stream, n);
  }
};

LayoutReader::LayoutReader() : impl_(new (std::nothrow) Impl) {}

LayoutReader::~LayoutReader() {
  delete impl_;
}

int LayoutReader::use_layout(const char* name) {
  if (impl_ == nullptr) return -1;
  if (name == nullptr || detail::find_builtin(name) == nullptr) {
    impl_->error = std::string("no built-in layout '") + (name ? name : "") + "'";
    return -1;
  }
  impl_->base = name;
  impl_->error.clear();
  return 0;
}

int LayoutReader::load_profile(const char* path) {
  if (impl_ == nullptr || path == nullptr) return -1;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    impl_->error = std::string("cannot open profile '") + path + "': " + std::strerror(errno);
    return -1;
  }
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return apply_profile_text(text.c_str(), path);
}

int LayoutReader::apply_profile_text(const char* text, const char* origin) {
  if (impl_ == nullptr || text == nullptr) return -1;
  return impl_->add_edit(Edit::Profile, text, origin ? origin : "profile");
}

int LayoutReader::apply_map(const char* mapping) {
  if (impl_ == nullptr || mapping == nullptr) return -1;
  return impl_->add_edit(Edit::Map, mapping, "--map");
}

int LayoutReader::apply_values(const char* codes) {
  if (impl_ == nullptr || codes == nullptr) return -1;
  return impl_->add_edit(Edit::Values, codes, "--values");
}

void LayoutReader::set_delimiter(char delimiter) {
  if (impl_ != nullptr) impl_->delimiter = delimiter;
}

void LayoutReader::set_trading_day(int32_t yyyymmdd) {
  if (impl_ != nullptr) impl_->trading_day = yyyymmdd;
}

void LayoutReader::set_symbol(const char* symbol) {
  if (impl_ != nullptr) impl_->symbol_filter = symbol ? symbol : "";
}

int LayoutReader::open(const char* path) {
  if (impl_ == nullptr) return -1;
  Impl& m = *impl_;
  csv_close(m.csv);
  m.csv = nullptr;
  m.open = false;
  m.clear_results();
  m.header.clear();
  m.error.clear();
  m.path = path ? path : "";
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (f == nullptr) {
    m.fail("cannot open '" + m.path + "': " + std::strerror(errno));
    return -1;
  }
  char sniff[kSniffBytes];
  const size_t got = std::fread(sniff, 1, sizeof sniff, f);
  struct stat st;
  const size_t bytes = fstat(fileno(f), &st) == 0 && st.st_size > 0 ? st.st_size : got;
  std::fclose(f);
  m.rows_expected = estimate_rows(sniff, got, bytes);
  const char* line_end = static_cast<const char*>(std::memchr(sniff, '\n', got));
  const size_t header_bytes = line_end ? static_cast<size_t>(line_end - sniff) : got;
  if (std::memchr(sniff, '\0', header_bytes) != nullptr) {
    m.fail("'" + m.path + "' is a binary file, not CSV text");
    return -1;
  }
  m.csv = csv_open(path, m.delimiter, 0);
  if (m.csv == nullptr || csv_column_count(m.csv) == 0) {
    m.fail("'" + m.path + "' is empty or unreadable: no header row");
    return -1;
  }
  for (int i = 0; i < csv_column_count(m.csv); ++i) m.header.push_back(csv_column_name(m.csv, i));
  if (m.header.size() == 1) {
    const std::string raw(sniff, header_bytes);
    const char seen = likely_delimiter(raw);
    std::string msg =
        "'" + m.path + "': the header has one column when split at " + delimiter_text(m.delimiter);
    if (seen != 0 && seen != m.delimiter) {
      msg += "; it holds " + delimiter_text(seen) + " between names: give --delimiter " +
             (seen == '\t' ? std::string("tab") : std::string(1, seen));
    } else {
      msg += ": give the file's delimiter with --delimiter";
    }
    m.fail(msg);
    return -1;
  }
  m.path_day = date_in_path(m.path);
  if (!m.resolve_layout() || !m.bind_positions()) return -1;
  m.open = true;
  return 0;
}

LayoutRecordArrays::~LayoutRecordArrays() = default;

int LayoutReader::read() {
  return read(nullptr);
}

int LayoutReader::read(LayoutRecordArrays* arrays) {
  if (impl_ == nullptr) return -1;
  Impl& m = *impl_;
  if (!m.open) {
    m.error = "no file open";
    return -1;
  }
  try {
    m.clear_results(arrays);
    m.reserve_rows();
    const bool snapshots = m.layout.content == LayoutContent::Snapshots;
    while (csv_next(m.csv) == 0) {
      const detail::CsvRow row = detail::csv_current_row(m.csv);
      const long line = csv_line_number(m.csv);
      if (!m.row_whole(row, line)) continue;
      if (snapshots) {
        m.read_snapshot_row(row.fields, line);
      } else {
        m.read_event_row(row.fields, line);
      }
    }
  } catch (const std::bad_alloc&) {
    m.error = "not enough memory to read '" + m.path + "'";
    return -1;
  }
  // The file is read once: the handle's memory goes now.
  csv_close(m.csv);
  m.csv = nullptr;
  m.open = false;
  return static_cast<int>(std::min<size_t>(m.refused, INT32_MAX));
}

namespace {
const std::string kEmpty;
}

const std::string& LayoutReader::error() const {
  return impl_ ? impl_->error : kEmpty;
}
const std::string& LayoutReader::path() const {
  return impl_ ? impl_->path : kEmpty;
}
const std::string& LayoutReader::layout_name() const {
  return impl_ ? impl_->layout.name : kEmpty;
}
LayoutContent LayoutReader::content() const {
  return impl_ ? impl_->layout.content : LayoutContent::Orders;
}
uint8_t LayoutReader::exchange() const {
  return impl_ ? impl_->layout.exchange : 0;
}
bool LayoutReader::has_sequence() const {
  return impl_ && !impl_->layout.columns[detail::kSequence].empty() &&
         detail::header_position(impl_->header, impl_->layout.columns[detail::kSequence]) >= 0;
}

std::vector<LayoutBinding> LayoutReader::bindings() const {
  std::vector<LayoutBinding> out;
  if (impl_ == nullptr) return out;
  const Impl& m = *impl_;
  for (int f = 0; f < detail::kFieldCount; ++f) {
    if (m.layout.columns[f].empty()) continue;
    out.push_back({detail::field_name(f), m.layout.columns[f],
                   detail::header_position(m.header, m.layout.columns[f])});
  }
  for (int l = 0; l < detail::kLevelCount; ++l) {
    if (m.layout.levels[l].empty()) continue;
    for (int i = 1; i <= QL_SNAPSHOT_LEVELS; ++i) {
      const std::string col = detail::level_column(m.layout.levels[l], i);
      out.push_back({std::string(detail::level_name(l)) + "[" + std::to_string(i) + "]", col,
                     detail::header_position(m.header, col)});
    }
  }
  return out;
}

#define QL_LAYOUT_GETTER(type, name, member) \
  const type& LayoutReader::name() const {   \
    static const type none;                  \
    return impl_ ? impl_->member : none;     \
  }
QL_LAYOUT_GETTER(std::vector<std::string>, header, header)
QL_LAYOUT_GETTER(std::vector<_L2Order>, orders, orders)
QL_LAYOUT_GETTER(std::vector<_L2Trade>, trades, trades)
QL_LAYOUT_GETTER(std::vector<int64_t>, order_sequence, order_seq)
QL_LAYOUT_GETTER(std::vector<int64_t>, trade_sequence, trade_seq)
QL_LAYOUT_GETTER(std::vector<uint32_t>, order_lines, order_lines)
QL_LAYOUT_GETTER(std::vector<uint32_t>, trade_lines, trade_lines)
QL_LAYOUT_GETTER(std::vector<LayoutStreamEntry>, stream, stream)
QL_LAYOUT_GETTER(std::vector<_L2Snapshot>, snapshots, snapshots)
QL_LAYOUT_GETTER(std::vector<SnapshotExtra>, snapshot_extras, extras)
QL_LAYOUT_GETTER(std::vector<uint32_t>, snapshot_lines, snapshot_lines)
QL_LAYOUT_GETTER(std::vector<LayoutRefusal>, refusals, refusals)
QL_LAYOUT_GETTER(std::vector<LayoutRefusalCount>, refusal_counts, counts)
#undef QL_LAYOUT_GETTER

size_t LayoutReader::order_count() const {
  return impl_ ? impl_->order_out.size() : 0;
}
size_t LayoutReader::trade_count() const {
  return impl_ ? impl_->trade_out.size() : 0;
}

size_t LayoutReader::refused() const {
  return impl_ ? impl_->refused : 0;
}
size_t LayoutReader::rows_read() const {
  return impl_ ? impl_->rows : 0;
}
size_t LayoutReader::rows_skipped() const {
  return impl_ ? impl_->skipped : 0;
}

int LayoutReader::builtin_layout_count() {
  return static_cast<int>(detail::builtin_layouts().size());
}

const char* LayoutReader::builtin_layout_name(int i) {
  if (i < 0 || i >= builtin_layout_count()) return nullptr;
  return detail::builtin_layouts()[static_cast<size_t>(i)].name.c_str();
}

const char* LayoutReader::builtin_layout_description(int i) {
  if (i < 0 || i >= builtin_layout_count()) return nullptr;
  return detail::builtin_layouts()[static_cast<size_t>(i)].description.c_str();
}

std::string LayoutReader::builtin_layout_profile(int i) {
  if (i < 0 || i >= builtin_layout_count()) return std::string();
  return detail::layout_profile_text(detail::builtin_layouts()[static_cast<size_t>(i)]);
}

}  // namespace KX
