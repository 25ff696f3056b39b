// The CSV reader: the whole file is loaded into one block, and each csv_next splits one row in
// place (fields NUL-terminated, quoted fields unescaped where they stand), recording the
// fields in an array that is reused from row to row. Rows without quotes, the common case by
// far, are split by a word-at-a-time scan; a quote anywhere in a row hands the rest of that
// row to a byte-wise splitter that knows quoting.
#include <sys/stat.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace {

struct Field {
  char* text;  // NUL-terminated, inside the loaded block
  size_t len;
};

// Bytes behind the data: a '\n' that stops the scan of a last row without line end, then
// zeroes, so that the 8-byte loads of the word scan never leave the block.
constexpr size_t kTailPad = 16;
// Field slots taken at open; rows with more fields grow the array (doubling), once.
constexpr int kInitialFieldSlots = 64;

}  // namespace

struct csv_file {
  char* block = nullptr;  // malloc'ed: data + kTailPad
  char* pos = nullptr;    // start of the first line not yet read
  char* end = nullptr;    // end of the data; the sentinel '\n' stands here
  char delimiter = ',';

  Field* fields = nullptr;  // fields of the current row
  int field_count = 0;
  int field_slots = 0;

  Field* columns = nullptr;  // header names, trimmed, NUL-terminated inside the block
  int column_count = 0;

  long next_line = 1;  // 1-based number of the line at pos
  long row_line = 0;   // line of the current row, 0 when there is none
  bool at_end = false;

  float float_default = 0.0f;
  double double_default = 0.0;
  int32_t int32_default = 0;
  int64_t int64_default = 0;
};

namespace {

// ---- loading -------------------------------------------------------------------------------

// Reads the whole stream into a malloc'ed block with kTailPad spare bytes; NULL on failure.
char* read_stream(FILE* f, size_t* out_len) {
  size_t cap = 1 << 16;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    cap = static_cast<size_t>(st.st_size) + 1;  // +1: the read that meets the end needs no growth
  }
  char* data = static_cast<char*>(malloc(cap + kTailPad));
  size_t len = 0;
  while (data) {
    if (len == cap) {
      char* grown = static_cast<char*>(realloc(data, cap * 2 + kTailPad));
      if (!grown) break;
      data = grown;
      cap *= 2;
    }
    size_t n = fread(data + len, 1, cap - len, f);
    len += n;
    if (n == 0) {
      if (ferror(f)) break;
      *out_len = len;
      return data;
    }
  }
  free(data);
  return nullptr;
}

// ---- splitting rows ------------------------------------------------------------------------

bool reserve_field(csv_file* c) {
  if (c->field_count < c->field_slots) return true;
  int slots = c->field_slots ? c->field_slots * 2 : kInitialFieldSlots;
  if (slots <= c->field_slots) return false;  // int overflow: absurd row
  Field* grown = static_cast<Field*>(realloc(c->fields, sizeof(Field) * slots));
  if (!grown) return false;
  c->fields = grown;
  c->field_slots = slots;
  return true;
}

// Records field [text, text + len) and NUL-terminates it. False when out of memory.
inline bool push_field(csv_file* c, char* text, size_t len) {
  if (c->field_count == c->field_slots && !reserve_field(c)) return false;
  text[len] = '\0';
  c->fields[c->field_count++] = Field{text, len};
  return true;
}

inline uint64_t load_word(const char* p) {
  uint64_t w;
  memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap64(w);  // lowest address in the lowest byte, as ctz expects
#endif
  return w;
}

inline uint64_t broadcast(char c) {
  return 0x0101010101010101ull * static_cast<unsigned char>(c);
}

// High bit of each byte of w that equals the byte of `pattern`; exact (no carries between
// bytes), so every set bit is a real match.
inline uint64_t equal_bytes(uint64_t w, uint64_t pattern) {
  constexpr uint64_t k7f = 0x7f7f7f7f7f7f7f7full;
  uint64_t x = w ^ pattern;
  return ~(((x & k7f) + k7f) | x | k7f);
}

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
      if (p < end && *p == '\n' && out > tail && out[-1] == '\r') --out;
    } else {
      while (p < end && *p != delim && *p != '\n') ++p;
      out = p;
      if (p < end && *p == '\n' && out > start && out[-1] == '\r') --out;
    }
    const bool more = p < end && *p == delim;
    const bool line_end = p < end;  // read before push_field may overwrite *p
    if (!push_field(c, start, static_cast<size_t>(out - start))) return nullptr;
    if (more) {
      p += 1;
      continue;
    }
    return line_end ? p + 1 : end;
  }
}

// Splits the row that starts at p into c->fields. Returns the start of the next line, or
// NULL when out of memory.
char* split_row(csv_file* c, char* p) {
  c->field_count = 0;
  const char delim = c->delimiter;
  const uint64_t delims = broadcast(delim), newlines = broadcast('\n'), quotes = broadcast('"');
  char* field = p;
  for (char* word = p;; word += 8) {
    const uint64_t w = load_word(word);
    uint64_t hits = equal_bytes(w, delims) | equal_bytes(w, newlines) | equal_bytes(w, quotes);
    while (hits) {
      char* at = word + (__builtin_ctzll(hits) >> 3);
      hits &= hits - 1;
      if (*at == delim) {
        if (!push_field(c, field, static_cast<size_t>(at - field))) return nullptr;
        field = at + 1;
      } else if (*at == '\n') {
        size_t len = static_cast<size_t>(at - field);
        if (len > 0 && at[-1] == '\r') --len;
        if (!push_field(c, field, len)) return nullptr;
        return at < c->end ? at + 1 : c->end;
      } else {
        return split_quoted_rest(c, field);
      }
    }
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

// Reads the next row into c->fields. Returns false at the end (or out of memory).
bool read_row(csv_file* c) {
  c->field_count = 0;
  c->row_line = 0;
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
  return true;
}

bool delimiter_usable(char d) {
  return d != '"' && d != '\n' && d != '\r';
}

// Builds a handle over `data` (malloc'ed, len bytes of text, kTailPad spare); takes ownership.
csv_file* open_block(char* data, size_t len, char delimiter) {
  csv_file* c = new (std::nothrow) csv_file;
  if (!c) {
    free(data);
    return nullptr;
  }
  c->block = data;
  c->delimiter = delimiter;
  data[len] = '\n';
  memset(data + len + 1, 0, kTailPad - 1);
  c->pos = data;
  c->end = data + len;
  if (len >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) c->pos += 3;  // UTF-8 byte-order mark
  if (!reserve_field(c) || !read_row(c) || !adopt_header(c)) {
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

// Gives [*b, *e) the field's text without surrounding blanks; false when it is empty.
inline bool number_span(const Field* f, const char** b, const char** e) {
  if (!f || f->len == 0) return false;
  *b = f->text;
  *e = f->text + f->len;
  if (ql__is_blank(**b) || ql__is_blank((*e)[-1])) ql__trim_blanks(b, e);
  return *b < *e;
}

// A leading '+' (which from_chars refuses) is skipped when a digit (or, for reals, a '.')
// follows; any other text after it stays unparseable.
inline void skip_plus(const char** b, const char* e, bool real) {
  if (**b == '+' && *b + 1 < e && (ql__is_digit((*b)[1]) || (real && (*b)[1] == '.'))) ++*b;
}

template <class Int>
Int parse_integer(const csv_file* c, int idx, Int fallback) {
  const char *b, *e;
  if (!number_span(field_at(c, idx), &b, &e)) return fallback;
  skip_plus(&b, e, false);
  Int v;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc()) return fallback;  // not a number, or out of the type's range
  if (r.ptr == e) return v;
  if (*r.ptr != '.') return fallback;
  for (const char* s = r.ptr + 1; s < e; ++s) {  // a fraction is dropped
    if (!ql__is_digit(*s)) return fallback;
  }
  return v;
}

template <class Real>
Real parse_real(const csv_file* c, int idx, Real fallback) {
  const char *b, *e;
  if (!number_span(field_at(c, idx), &b, &e)) return fallback;
  skip_plus(&b, e, true);
  Real v;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e) return fallback;
  return v;
}

}  // namespace

// ---- public interface ----------------------------------------------------------------------

extern "C" {

csv_file* csv_open(const char* path, char delimiter, int flags) {
  if (!path || flags != 0 || !delimiter_usable(delimiter)) return nullptr;
  FILE* f = fopen(path, "rb");
  if (!f) return nullptr;
  size_t len = 0;
  char* data = read_stream(f, &len);
  fclose(f);
  return data ? open_block(data, len, delimiter) : nullptr;
}

csv_file* csv_open_mem(const char* data, size_t len, char delimiter, int flags) {
  if ((!data && len > 0) || flags != 0 || !delimiter_usable(delimiter)) return nullptr;
  if (len > SIZE_MAX - kTailPad) return nullptr;
  char* copy = static_cast<char*>(malloc(len + kTailPad));
  if (!copy) return nullptr;
  if (len > 0) memcpy(copy, data, len);
  return open_block(copy, len, delimiter);
}

void csv_close(csv_file* csv) {
  if (!csv) return;
  free(csv->columns);
  free(csv->fields);
  free(csv->block);
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
  return parse_integer<int32_t>(csv, idx, csv ? csv->int32_default : 0);
}

int64_t csv_get_int64_byidx(csv_file* csv, int idx) {
  return parse_integer<int64_t>(csv, idx, csv ? csv->int64_default : 0);
}

double csv_get_double_byidx(csv_file* csv, int idx) {
  return parse_real<double>(csv, idx, csv ? csv->double_default : 0.0);
}

float csv_get_float_byidx(csv_file* csv, int idx) {
  return parse_real<float>(csv, idx, csv ? csv->float_default : 0.0f);
}

}  // extern "C"
