// The CSV tokenizer: the whole file is loaded into one block, and each csv_next splits one row in
// place (fields NUL-terminated, quoted fields unescaped where they stand), recording the
// fields in an array that is reused from row to row. Rows without quotes, the common case by
// far, are split by a block scan (16 bytes with SSE2, else 8 bytes in a word); a quote
// anywhere in a row hands the rest of that row to a byte-wise splitter that knows quoting.
#include <sys/mman.h>
#include <sys/stat.h>
#if defined(__SSE2__) && !defined(QL_CSV_PORTABLE_SCAN)
#include <emmintrin.h>
#define QL_CSV_SSE2_SCAN 1
#endif

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "platform/csv_tokenizer.h"
#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace KX {
namespace detail {
namespace {

using Field = CsvField;

// The loaded text: malloc'ed (mapped == 0) or a mapping of `mapped` bytes.
struct Block {
  char* data = nullptr;
  size_t mapped = 0;
};

// Bytes behind the data: a '\n' that stops the scan of a last row without line end, then
// zeroes, so that the block loads of the scan (up to 16 bytes) and of the number readers
// (8-byte words from any position up to a field's NUL, csv_tokenizer.h) never leave the block.
constexpr size_t kTailPad = 32;
static_assert(kTailPad > 16, "a 16-byte load from the sentinel must stay inside the block");
// Field slots taken at open; rows with more fields grow the array (doubling), once.
constexpr int kInitialFieldSlots = 64;

}  // namespace
}  // namespace detail
}  // namespace KX

// The handle of the C interface (opaque to callers).
struct csv_file {
  KX::detail::Block block;  // the file's bytes + kTailPad
  char* pos = nullptr;      // start of the first line not yet read
  char* end = nullptr;      // end of the data; the sentinel '\n' stands here
  char delimiter = ',';

  KX::detail::CsvField* fields = nullptr;  // fields of the current row
  int field_count = 0;
  int field_slots = 0;

  KX::detail::CsvField* columns =
      nullptr;  // header names, trimmed, NUL-terminated inside the block
  int column_count = 0;

  long next_line = 1;  // 1-based number of the line at pos
  long row_line = 0;   // line of the current row, 0 when there is none
  bool at_end = false;
  bool has_nul = false;  // the data holds a NUL byte: rows are checked for NULs in fields
  int row_faults = 0;    // QL_CSV_FAULT_* of the current row

  float float_default = 0.0f;
  double double_default = 0.0;
  int32_t int32_default = 0;
  int64_t int64_default = 0;
};

namespace KX {
namespace detail {
namespace {

// ---- loading -------------------------------------------------------------------------------

// Blocks of this size or more are mapped directly and offered transparent huge pages: filling
// a large block through 4 KB pages takes a page fault per page, which dominates loading on
// virtual machines (100 MB: about 300 ms with 4 KB pages, 20 ms with huge pages). Smaller
// blocks come from malloc, where a mapping would waste more than it saves.
constexpr size_t kMappedBlockMin = size_t{4} << 20;

Block block_alloc(size_t bytes) {
  Block b;
  if (bytes >= kMappedBlockMin) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return b;
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without huge pages the block still works
#endif
    b.data = static_cast<char*>(p);
    b.mapped = bytes;
  } else {
    b.data = static_cast<char*>(malloc(bytes));
  }
  return b;
}

void block_free(Block b) {
  if (b.mapped) {
    munmap(b.data, b.mapped);
  } else {
    free(b.data);
  }
}

// Reads a stream of unknown length (a pipe, a FIFO) into a growing malloc'ed block.
Block read_unsized(FILE* f, size_t* out_len) {
  size_t cap = size_t{1} << 16, len = 0;
  char* data = static_cast<char*>(malloc(cap + kTailPad));
  while (data) {
    if (len == cap) {
      char* grown = static_cast<char*>(realloc(data, cap * 2 + kTailPad));
      if (!grown) break;
      data = grown;
      cap *= 2;
    }
    const size_t n = fread(data + len, 1, cap - len, f);
    len += n;
    if (n == 0) {
      if (ferror(f)) break;
      *out_len = len;
      return Block{data, 0};
    }
  }
  free(data);
  return Block{};
}

// Reads the whole file into a block with kTailPad spare bytes. A regular file is read up to
// the size it had when opened. Returns a block with NULL data on failure.
Block read_file(FILE* f, size_t* out_len) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return Block{};
  if (!S_ISREG(st.st_mode) || st.st_size <= 0) return read_unsized(f, out_len);
  const size_t size = static_cast<size_t>(st.st_size);
  if (size > SIZE_MAX - kTailPad) return Block{};
  Block b = block_alloc(size + kTailPad);
  if (!b.data) return b;
  size_t len = 0;
  while (len < size) {
    const size_t n = fread(b.data + len, 1, size - len, f);
    if (n == 0) break;
    len += n;
  }
  if (ferror(f)) {
    block_free(b);
    return Block{};
  }
  *out_len = len;
  return b;
}

// ---- splitting rows ------------------------------------------------------------------------

// Makes room for `more` fields after the row's field_count ones. False when out of memory.
bool reserve_fields(csv_file* c, int more) {
  if (c->field_count < c->field_slots - more + 1) return true;
  if (c->field_slots > INT_MAX / 4) return false;  // an absurd row
  const int slots = c->field_slots ? c->field_slots * 2 : kInitialFieldSlots;
  Field* grown = static_cast<Field*>(realloc(c->fields, sizeof(Field) * slots));
  if (!grown) return false;
  c->fields = grown;
  c->field_slots = slots;
  return true;
}

// Records field [text, text + len) and NUL-terminates it. False when out of memory.
inline bool push_field(csv_file* c, char* text, size_t len) {
  if (c->field_count == c->field_slots && !reserve_fields(c, 1)) return false;
  text[len] = '\0';
  c->fields[c->field_count++] = Field{text, len};
  return true;
}

#if QL_CSV_SSE2_SCAN
constexpr int kBlockBytes = 16;

// Finds, in the 16 bytes at p, the delimiters and the "stops" (line feeds and quotes): bit i
// of each mask stands for byte i.
class BlockScanner {
 public:
  explicit BlockScanner(char delimiter)
      : delims_(_mm_set1_epi8(delimiter)),
        newlines_(_mm_set1_epi8('\n')),
        quotes_(_mm_set1_epi8('"')) {}

  void scan(const char* p, uint32_t* delims, uint32_t* stops) const {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    *delims = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, delims_)));
    *stops = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, newlines_), _mm_cmpeq_epi8(v, quotes_))));
  }

 private:
  __m128i delims_, newlines_, quotes_;
};
#else
constexpr int kBlockBytes = 8;

// The same over one 64-bit word, for machines without SSE2.
class BlockScanner {
 public:
  explicit BlockScanner(char delimiter)
      : delims_(broadcast(delimiter)), newlines_(broadcast('\n')), quotes_(broadcast('"')) {}

  void scan(const char* p, uint32_t* delims, uint32_t* stops) const {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);  // lowest address in the lowest byte
#endif
    *delims = byte_bits(equal_bytes(w, delims_));
    *stops = byte_bits(equal_bytes(w, newlines_) | equal_bytes(w, quotes_));
  }

 private:
  static uint64_t broadcast(char c) {
    return 0x0101010101010101ull * static_cast<unsigned char>(c);
  }
  // High bit of each byte of w that equals the byte of `pattern`; exact (no carries between
  // bytes).
  static uint64_t equal_bytes(uint64_t w, uint64_t pattern) {
    constexpr uint64_t k7f = 0x7f7f7f7f7f7f7f7full;
    const uint64_t x = w ^ pattern;
    return ~(((x & k7f) + k7f) | x | k7f);
  }
  // Gathers the high bits of the 8 bytes into bits 0..7 (byte i to bit i): each product term
  // lands on a distinct bit, so nothing carries into the top byte.
  static uint32_t byte_bits(uint64_t high_bits) {
    return static_cast<uint32_t>(((high_bits >> 7) * 0x0102040810204080ull) >> 56);
  }

  uint64_t delims_, newlines_, quotes_;
};
#endif

// Splits the rest of a row from field start p, knowing quotes: a field that opens with '"'
// runs to the matching '"' ("" stands for one quote; delimiters and line breaks inside are
// text); characters after the closing quote up to the delimiter are kept as they are; a
// quote elsewhere is an ordinary character. An unterminated quote takes the rest of the data.
// Returns the start of the next line, or NULL when out of memory.
char* split_quoted_rest(csv_file* c, char* p) {
  char* const end = c->end;
  const char delim = c->delimiter;
  for (;;) {
    char* start = p;
    char* out = p;  // write position: unescaping only ever moves text left
    if (p < end && *p == '"') {
      ++p;
      for (;;) {
        char* q = static_cast<char*>(memchr(p, '"', static_cast<size_t>(end - p)));
        char* stop = q ? q : end;
        size_t n = static_cast<size_t>(stop - p);
        for (const char* s = p;
             (s = static_cast<const char*>(memchr(s, '\n', static_cast<size_t>(stop - s))));) {
          ++c->next_line;  // a line break inside quotes
          ++s;
        }
        memmove(out, p, n);
        out += n;
        if (!q) {
          c->row_faults |= QL_CSV_FAULT_UNTERMINATED_QUOTE;
          p = end;
          break;
        }
        if (q + 1 < end && q[1] == '"') {
          *out++ = '"';
          p = q + 2;
          continue;
        }
        p = q + 1;
        break;
      }
      char* tail = out;
      while (p < end && *p != delim && *p != '\n') *out++ = *p++;
      if ((p >= end || *p == '\n') && out > tail && out[-1] == '\r') --out;
    } else {
      while (p < end && *p != delim && *p != '\n') ++p;
      out = p;
      if ((p >= end || *p == '\n') && out > start && out[-1] == '\r') --out;
    }
    // Read *p before push_field's NUL may overwrite it.
    const bool more = p < end && *p == delim;
    const bool line_feed = p < end && !more;
    if (!push_field(c, start, static_cast<size_t>(out - start))) return nullptr;
    if (more) {
      p += 1;
      continue;
    }
    if (!line_feed) c->row_faults |= QL_CSV_FAULT_NO_LINE_END;
    return line_feed ? p + 1 : end;
  }
}

// Splits the row that starts at p into c->fields. Returns the start of the next line, or
// NULL when out of memory. The field array is kept in locals here: the NUL stores would
// otherwise make the compiler reload it from *c after every field. Room for a whole block's
// delimiters is made before each block, so the per-field loop checks nothing.
char* split_row(csv_file* c, char* p) {
  const BlockScanner scanner(c->delimiter);
  Field* fields = c->fields;
  int count = 0;
  char* field = p;
  for (char* block = p;; block += kBlockBytes) {
    if (c->field_slots - count < kBlockBytes) {
      c->field_count = count;
      if (!reserve_fields(c, kBlockBytes)) return nullptr;
      fields = c->fields;
    }
    uint32_t delims, stops;
    scanner.scan(block, &delims, &stops);
    if (stops) delims &= (stops & (0 - stops)) - 1;  // the delimiters before the first stop
    while (delims) {
      char* at = block + __builtin_ctz(delims);
      delims &= delims - 1;
      *at = '\0';
      fields[count++] = Field{field, static_cast<size_t>(at - field)};
      field = at + 1;
    }
    if (!stops) continue;
    char* at = block + __builtin_ctz(stops);
    c->field_count = count;
    if (*at == '"') return split_quoted_rest(c, field);
    size_t len = static_cast<size_t>(at - field);
    if (len > 0 && at[-1] == '\r') --len;
    if (!push_field(c, field, len)) return nullptr;
    if (at < c->end) return at + 1;
    c->row_faults |= QL_CSV_FAULT_NO_LINE_END;
    return c->end;
  }
}

// Skips blank lines (nothing but blanks and CR) from c->pos. Returns the start of the next
// non-blank line, or NULL at the end of the data.
char* skip_blank_lines(csv_file* c) {
  char* p = c->pos;
  const char delim = c->delimiter;
  for (;;) {
    if (p >= c->end) return nullptr;
    char* q = p;
    // The sentinel '\n' (or the NUL that replaced it) stops this loop at the end.
    while ((*q == ' ' || *q == '\t' || *q == '\r') && *q != delim) ++q;
    if (q >= c->end) return nullptr;
    if (*q != '\n') return p;
    ++c->next_line;
    p = q + 1;
  }
}

// Marks the current row when one of its fields holds a NUL byte (its length then reaches past
// the terminator the splitter wrote).
void check_nul_fields(csv_file* c) {
  for (int i = 0; i < c->field_count; ++i) {
    const Field& f = c->fields[i];
    if (memchr(f.text, '\0', f.len) != nullptr) {
      c->row_faults |= QL_CSV_FAULT_NUL;
      return;
    }
  }
}

// Reads the next row into c->fields. Returns false at the end (or out of memory).
bool read_row(csv_file* c) {
  c->field_count = 0;
  c->row_line = 0;
  c->row_faults = 0;
  if (c->at_end) return false;
  char* row = skip_blank_lines(c);
  const long line = c->next_line;  // a quoted line break inside the row advances next_line
  char* next = row ? split_row(c, row) : nullptr;
  if (!next) {
    c->field_count = 0;
    c->at_end = true;
    c->pos = c->end;
    return false;
  }
  c->row_line = line;
  ++c->next_line;
  c->pos = next;
  if (c->has_nul) check_nul_fields(c);
  return true;
}

// Takes the current row as the header: names trimmed in place, kept for csv_find_idx.
bool adopt_header(csv_file* c) {
  c->columns = static_cast<Field*>(malloc(sizeof(Field) * c->field_count));
  if (!c->columns) return false;
  for (int i = 0; i < c->field_count; ++i) {
    const char* b = c->fields[i].text;
    const char* e = b + c->fields[i].len;
    ql__trim_blanks(&b, &e);
    char* name = const_cast<char*>(b);
    name[e - b] = '\0';  // inside the original field, which is never read again
    c->columns[i] = Field{name, static_cast<size_t>(e - b)};
  }
  c->column_count = c->field_count;
  c->field_count = 0;
  c->row_line = 0;
  c->row_faults = 0;
  return true;
}

bool delimiter_usable(char d) {
  return d != '"' && d != '\n' && d != '\r';
}

// Builds a handle over block b holding len bytes of text and kTailPad spare; takes ownership.
csv_file* open_block(Block b, size_t len, char delimiter) {
  csv_file* c = new (std::nothrow) csv_file;
  if (!c) {
    block_free(b);
    return nullptr;
  }
  c->block = b;
  char* const data = b.data;
  c->delimiter = delimiter;
  data[len] = '\n';
  memset(data + len + 1, 0, kTailPad - 1);
  c->pos = data;
  c->end = data + len;
  if (len >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) c->pos += 3;  // UTF-8 byte-order mark
  c->has_nul = memchr(data, '\0', len) != nullptr;
  if (!reserve_fields(c, 1) || !read_row(c) || !adopt_header(c)) {
    csv_close(c);
    return nullptr;
  }
  return c;
}

// ---- typed fields --------------------------------------------------------------------------

inline const Field* field_at(const csv_file* c, int idx) {
  if (!c || idx < 0 || idx >= c->field_count) return nullptr;
  return &c->fields[idx];
}

// Gives [*b, *e) the field's text without surrounding blanks; false when nothing is left.
inline bool number_span(const Field& f, const char** b, const char** e) {
  *b = f.text;
  *e = f.text + f.len;
  ql__trim_blanks(b, e);
  return *b < *e;
}

// Skips a leading sign; true when it was '-'.
inline bool take_sign(const char** p) {
  const bool negative = **p == '-';
  if (negative || **p == '+') ++*p;
  return negative;
}

// True for the first letter of the "inf", "infinity" and "nan" that from_chars reads.
inline bool starts_special_real(char c) {
  c = ql__ascii_lower(c);
  return c == 'i' || c == 'n';
}

// A leading '+' (which from_chars refuses) is skipped when a digit (or, for reals, a '.' or
// the start of inf or nan) follows; any other text after it stays unparseable.
inline void skip_plus(const char** b, const char* e, bool real) {
  if (**b == '+' && *b + 1 < e &&
      (ql__is_digit((*b)[1]) || (real && ((*b)[1] == '.' || starts_special_real((*b)[1]))))) {
    ++*b;
  }
}

// True when [p, e) is empty or a '.' and digits: the fraction an integer read drops.
inline bool only_fraction(const char* p, const char* e) {
  if (p == e) return true;
  if (*p != '.') return false;
  for (++p; p < e; ++p) {
    if (!ql__is_digit(*p)) return false;
  }
  return true;
}

template <class Int>
Int parse_integer_slow(const char* b, const char* e, Int fallback) {
  skip_plus(&b, e, false);
  Int v;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc()) return fallback;  // not a number, or out of the type's range
  return only_fraction(r.ptr, e) ? v : fallback;
}

template <class Real>
Real parse_real_slow(const char* b, const char* e, Real fallback) {
  skip_plus(&b, e, true);
  Real v;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e) return fallback;
  return v;
}

}  // namespace

CsvRow csv_current_row(const csv_file* csv) {
  if (!csv) return CsvRow{nullptr, 0, 0.0, 0, 0};
  return CsvRow{csv->fields, csv->field_count, csv->double_default, csv->int32_default,
                csv->int64_default};
}

double parse_double_general(const CsvField& f, double fallback) {
  const char *b, *e;
  if (!number_span(f, &b, &e)) return fallback;
  const char* p = b;
  const bool negative = take_sign(&p);
  ShortDecimal d;
  double v;
  if (read_short_decimal(p, static_cast<size_t>(e - p), &d) && short_decimal_double(d, &v)) {
    return negative ? -v : v;
  }
  return parse_real_slow(b, e, fallback);
}

template <class Int>
Int parse_integer_general(const CsvField& f, Int fallback) {
  const char *b, *e;
  if (!number_span(f, &b, &e)) return fallback;
  const char* p = b;
  const bool negative = take_sign(&p);
  ShortDecimal d;
  if (read_short_decimal(p, static_cast<size_t>(e - p), &d) && d.fraction < 0) {
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<Int>::max()) + (negative ? 1 : 0);
    if (d.mantissa > limit) return fallback;
    return static_cast<Int>(negative ? 0 - d.mantissa : d.mantissa);
  }
  return parse_integer_slow(b, e, fallback);
}

int32_t parse_int32_general(const CsvField& f, int32_t fallback) {
  return parse_integer_general(f, fallback);
}
int64_t parse_int64_general(const CsvField& f, int64_t fallback) {
  return parse_integer_general(f, fallback);
}

}  // namespace detail
}  // namespace KX

// ---- public interface ----------------------------------------------------------------------

using namespace KX::detail;

extern "C" {

csv_file* csv_open(const char* path, char delimiter, int flags) {
  if (!path || flags != 0 || !delimiter_usable(delimiter)) return nullptr;
  FILE* f = fopen(path, "rb");
  if (!f) return nullptr;
  size_t len = 0;
  const Block b = read_file(f, &len);
  fclose(f);
  return b.data ? open_block(b, len, delimiter) : nullptr;
}

csv_file* csv_open_mem(const char* data, size_t len, char delimiter, int flags) {
  if ((!data && len > 0) || flags != 0 || !delimiter_usable(delimiter)) return nullptr;
  if (len > SIZE_MAX - kTailPad) return nullptr;
  const Block b = block_alloc(len + kTailPad);
  if (!b.data) return nullptr;
  if (len > 0) memcpy(b.data, data, len);
  return open_block(b, len, delimiter);
}

void csv_close(csv_file* csv) {
  if (!csv) return;
  free(csv->columns);
  free(csv->fields);
  block_free(csv->block);
  delete csv;
}

void csv_set_default_value(csv_file* csv, double float_default, double double_default,
                           int32_t int32_default, int64_t int64_default) {
  if (!csv) return;
  csv->float_default = static_cast<float>(float_default);
  csv->double_default = double_default;
  csv->int32_default = int32_default;
  csv->int64_default = int64_default;
}

int csv_find_idx(const csv_file* csv, const char* name) {
  if (!csv || !name) return -1;
  const char* b = name;
  const char* e = name + strlen(name);
  ql__trim_blanks(&b, &e);
  const size_t n = static_cast<size_t>(e - b);
  for (int i = 0; i < csv->column_count; ++i) {
    const Field& col = csv->columns[i];
    if (col.len == n && ql__iequals_n(col.text, b, n)) return i;
  }
  return -1;
}

int csv_column_count(const csv_file* csv) {
  return csv ? csv->column_count : 0;
}

const char* csv_column_name(const csv_file* csv, int idx) {
  if (!csv || idx < 0 || idx >= csv->column_count) return nullptr;
  return csv->columns[idx].text;
}

int csv_next(csv_file* csv) {
  return (csv && read_row(csv)) ? 0 : -1;
}

int csv_eof(const csv_file* csv) {
  return (!csv || csv->at_end) ? 1 : 0;
}

int csv_field_count(const csv_file* csv) {
  return csv ? csv->field_count : 0;
}

long csv_line_number(const csv_file* csv) {
  return csv ? csv->row_line : 0;
}

int csv_row_faults(const csv_file* csv) {
  return csv ? csv->row_faults : 0;
}

const char* csv_get_byidx(csv_file* csv, int idx) {
  const Field* f = field_at(csv, idx);
  return f ? f->text : nullptr;
}

const char* csv_get_field(csv_file* csv, int idx, int* len) {
  const Field* f = field_at(csv, idx);
  if (len) *len = f ? static_cast<int>(f->len > INT_MAX ? INT_MAX : f->len) : 0;
  return f ? f->text : nullptr;
}

int32_t csv_get_int32_byidx(csv_file* csv, int idx) {
  const Field* f = field_at(csv, idx);
  const int32_t fallback = csv ? csv->int32_default : 0;
  return f ? KX::detail::parse_int32(*f, fallback) : fallback;
}

int64_t csv_get_int64_byidx(csv_file* csv, int idx) {
  const Field* f = field_at(csv, idx);
  const int64_t fallback = csv ? csv->int64_default : 0;
  return f ? KX::detail::parse_int64(*f, fallback) : fallback;
}

double csv_get_double_byidx(csv_file* csv, int idx) {
  const Field* f = field_at(csv, idx);
  const double fallback = csv ? csv->double_default : 0.0;
  return f ? KX::detail::parse_double(*f, fallback) : fallback;
}

float csv_get_float_byidx(csv_file* csv, int idx) {
  const Field* f = field_at(csv, idx);
  const float fallback = csv ? csv->float_default : 0.0f;
  const char *b, *e;
  if (!f || !number_span(*f, &b, &e)) return fallback;
  return parse_real_slow(b, e, fallback);  // from_chars rounds to float once
}

}  // extern "C"
