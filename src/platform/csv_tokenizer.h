// The CSV tokenizer's row access for the library's own decoders: the field spans the row
// splitter found in a handle's current row, and the number readers behind the csv_get_*
// getters. A decoder that reads a dozen fields per row takes the row once and parses each
// field where it stands, instead of a getter call per field that looks the field up and checks
// it again.
//
// The number readers rely on what the splitter guarantees of every field: its text is
// NUL-terminated inside the loaded block, and 8 bytes from any position up to and including
// that NUL can be read (the block's tail padding). They read whole 8-byte words and never use
// the bytes past the field.
#ifndef QUOTELAB_PLATFORM_CSV_TOKENIZER_H
#define QUOTELAB_PLATFORM_CSV_TOKENIZER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <limits>

#include "quotelab/utilcore.h"

namespace KX {
namespace detail {

struct CsvField {
  char* text;  // NUL-terminated, inside the loaded block
  size_t len;
};

// The fields of a handle's current row and the values its typed getters give for a missing,
// empty or unreadable field. Valid until the next csv_next or csv_close.
struct CsvRow {
  const CsvField* fields;
  int count;
  double double_default;
  int32_t int32_default;
  int64_t int64_default;
};

// The current row of csv (no fields for NULL or when no row is current).
CsvRow csv_current_row(const csv_file* csv);

// The readers for every text the unsigned fast paths below leave: signs, blanks around the
// number, long numbers, exponents, "nan", "inf", integers with a fraction, no number at all.
double parse_double_general(const CsvField& f, double fallback);
int32_t parse_int32_general(const CsvField& f, int32_t fallback);
int64_t parse_int64_general(const CsvField& f, int64_t fallback);

// ---- short decimals, eight characters at a time ----------------------------------------------

// Eight characters as a word, the first character in the lowest byte.
inline uint64_t load_word(const char* p) {
  uint64_t w;
  memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap64(w);
#endif
  return w;
}

// Characters XOR '0': digits become their values 0 to 9 and nothing else does. Unlike a
// subtraction this borrows nothing from one byte into the next.
constexpr uint64_t kZeros = 0x3030303030303030ull;
constexpr uint64_t kPointValue = '.' ^ '0';

// The n (1 to 8) characters at p as digit values in the word's top bytes, zeros below: the
// number they spell with leading zero digits.
inline uint64_t tail_values(const char* p, int n) {
  return (load_word(p) ^ kZeros) << (8 * (8 - n));
}

// Bits set in every byte of `values` that is no digit: a high nibble, or a low nibble above 9
// (+6 carries into bit 4; a low nibble plus 6 never carries into the next byte).
inline uint64_t non_digits(uint64_t values) {
  return (values & 0xf0f0f0f0f0f0f0f0ull) |
         (((values & 0x0f0f0f0f0f0f0f0full) + 0x0606060606060606ull) & 0x1010101010101010ull);
}

// The number spelled by eight digit values, byte 0 the most significant.
inline uint64_t value_of_8(uint64_t v) {
  v = (v * 10) + (v >> 8);  // pairs
  return (((v & 0x000000ff000000ffull) * (100 + (1000000ull << 32))) +
          (((v >> 16) & 0x000000ff000000ffull) * (1 + (10000ull << 32)))) >>
         32;
}

// For a word whose non-digit bytes are `bad` (non-zero): when the only one is a '.', removes
// it (the digits before it move up one byte, a zero digit takes byte 0) and gives the number
// of digits after it; otherwise gives -1.
inline int drop_point(uint64_t* values, uint64_t bad) {
  const int at = __builtin_ctzll(bad) >> 3;
  const int shift = 8 * at;
  if (((bad >> shift) >> 8) != 0 || ((*values >> shift) & 0xff) != kPointValue) return -1;
  const uint64_t below = (uint64_t{1} << shift) - 1;
  *values = (*values & (~below << 8)) | ((*values & below) << 8);
  return 7 - at;
}

// Texts of at most this many characters take the word-wise path (two words).
constexpr size_t kShortNumberChars = 16;

// A text of digits with at most one '.' among them, as an integer mantissa and the number of
// digits after the point (-1 without a point).
struct ShortDecimal {
  uint64_t mantissa;
  int fraction;
};

// Reads [p, p + len) with at most two word loads. False unless 1 <= len <= 16 and the text is
// digits with at most one '.' and at least one digit.
inline bool read_short_decimal(const char* p, size_t len, ShortDecimal* out) {
  if (len - 1 >= kShortNumberChars) return false;
  const int n = static_cast<int>(len);
  out->fraction = -1;
  if (n <= 8) {
    uint64_t v = tail_values(p, n);
    if (const uint64_t bad = non_digits(v)) {
      out->fraction = drop_point(&v, bad);
      if (out->fraction < 0 || n == 1) return false;
    }
    out->mantissa = value_of_8(v);
    return true;
  }
  // The last eight characters, and the n - 8 before them.
  uint64_t hi = tail_values(p, n - 8);
  uint64_t lo = load_word(p + n - 8) ^ kZeros;
  const uint64_t bad_hi = non_digits(hi), bad_lo = non_digits(lo);
  uint64_t lo_scale = 100000000;
  if (bad_hi | bad_lo) {
    if (bad_hi && bad_lo) return false;
    if (bad_lo) {
      out->fraction = drop_point(&lo, bad_lo);
      lo_scale = 10000000;
    } else {
      const int in_hi = drop_point(&hi, bad_hi);
      out->fraction = in_hi < 0 ? -1 : in_hi + 8;
    }
    if (out->fraction < 0) return false;
  }
  out->mantissa = value_of_8(hi) * lo_scale + value_of_8(lo);
  return true;
}

// ---- the readers ------------------------------------------------------------------------------

// A mantissa of at most 2^53 is exact as a double, and so is 10^k for k <= 22: one IEEE
// division of the two is then correctly rounded, the double that from_chars gives.
constexpr uint64_t kExactMantissaMax = uint64_t{1} << 53;
constexpr double kExactPowersOf10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The double of a short decimal, when it is exact that way.
inline bool short_decimal_double(const ShortDecimal& d, double* out) {
  if (d.mantissa > kExactMantissaMax) return false;
  *out = static_cast<double>(d.mantissa);
  if (d.fraction > 0) *out /= kExactPowersOf10[d.fraction];
  return true;
}

// The field as a double (blanks around it ignored), or fallback when it is empty or no number.
inline double parse_double(const CsvField& f, double fallback) {
  ShortDecimal d;
  double v;
  if (read_short_decimal(f.text, f.len, &d) && short_decimal_double(d, &v)) return v;
  return parse_double_general(f, fallback);
}

// The field as an integer of type Int (blanks around it and a fraction after it ignored), or
// fallback when it is empty, no number, or out of Int's range.
inline int32_t parse_int32(const CsvField& f, int32_t fallback) {
  ShortDecimal d;
  if (read_short_decimal(f.text, f.len, &d) && d.fraction < 0 && d.mantissa <= INT32_MAX) {
    return static_cast<int32_t>(d.mantissa);
  }
  return parse_int32_general(f, fallback);
}
inline int64_t parse_int64(const CsvField& f, int64_t fallback) {
  ShortDecimal d;  // 16 digits are always within int64
  if (read_short_decimal(f.text, f.len, &d) && d.fraction < 0) {
    return static_cast<int64_t>(d.mantissa);
  }
  return parse_int64_general(f, fallback);
}

}  // namespace detail
}  // namespace KX

#endif  // QUOTELAB_PLATFORM_CSV_TOKENIZER_H
