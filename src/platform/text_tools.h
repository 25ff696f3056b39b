// ASCII helpers shared by the CSV reader, the exchange table, the bar field names and
// KX::StringUtil. Locale-free on purpose: header names, exchange texts and field names are
// ASCII, and the C locale functions are slower and locale-dependent.
#ifndef QUOTELAB_PLATFORM_TEXT_TOOLS_H
#define QUOTELAB_PLATFORM_TEXT_TOOLS_H

#include <stddef.h>

static inline char ql__ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

static inline bool ql__is_blank(char c) {
  return c == ' ' || c == '\t';
}

static inline bool ql__is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when the n bytes at a and at b are equal ignoring ASCII case.
static inline bool ql__iequals_n(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (ql__ascii_lower(a[i]) != ql__ascii_lower(b[i])) return false;
  }
  return true;
}

constexpr size_t ql__text_length(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Narrows [*b, *e) so that it starts and ends with a non-blank character (or is empty).
static inline void ql__trim_blanks(const char** b, const char** e) {
  while (*b < *e && ql__is_blank(**b)) ++*b;
  while (*e > *b && ql__is_blank((*e)[-1])) --*e;
}

#endif  // QUOTELAB_PLATFORM_TEXT_TOOLS_H
