// KX::SymbolTools and KX::StringUtil: small text helpers over NUL-terminated ASCII.
#include <string.h>

#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace KX {

int SymbolTools::extract_symbol(char* out, int max_len, unsigned char* exchange, const char* text) {
  if (!out || !text || max_len < 0) return -1;
  const char* dot = strchr(text, '.');
  int limit = max_len;
  if (dot && dot - text < max_len) limit = static_cast<int>(dot - text);
  StringUtil::copy_cut(out, text, limit);
  if (!dot) return 1;
  if (exchange) {
    const char* suffix = dot + 1;
    if (ql__is_digit(*suffix)) {
      unsigned char code = 0;  // the number's low 8 bits, however long it is
      for (const char* s = suffix; ql__is_digit(*s); ++s) {
        code = static_cast<unsigned char>(code * 10 + (*s - '0'));
      }
      *exchange = code;
    } else {
      *exchange = static_cast<unsigned char>(exchange_int(suffix));
    }
  }
  return 2;
}

bool StringUtil::endswith_c(const char* s, const char* suffix) {
  if (!s || !suffix) return false;
  const size_t n = strlen(s), m = strlen(suffix);
  return m <= n && memcmp(s + n - m, suffix, m) == 0;
}

bool StringUtil::iequals(const char* a, const char* b) {
  if (!a || !b) return false;
  const size_t n = strlen(a);
  return strlen(b) == n && ql__iequals_n(a, b, n);
}

void StringUtil::copy_cut(char* dst, const char* src, int max_len) {
  if (!dst || max_len < 0) return;
  const size_t n = src ? strnlen(src, static_cast<size_t>(max_len)) : 0;
  if (n > 0) memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace KX
