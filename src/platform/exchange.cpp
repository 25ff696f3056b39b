// The exchange code table. exchange_int runs once per decoded CSV row (the symbol suffix), so
// a text is packed into one 64-bit word and compared against aliases packed at compile time:
// no string compares, no allocation.
#include <stdint.h>
#include <string.h>

#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace {

struct ExchangeAlias {
  const char* text;
  int code;
};

// The first alias of each code is its text (exchange_str).
constexpr ExchangeAlias kAliases[] = {
    {"SH", 1},   {"SSE", 1},   {"SHA", 1},  {"XSHG", 1},  {"SZ", 2},    {"SZSE", 2}, {"SZA", 2},
    {"XSHE", 2}, {"HK", 3},    {"CFE", 8},  {"CFFEX", 8}, {"SHF", 9},   {"SHFE", 9}, {"DCE", 10},
    {"CZC", 11}, {"CZCE", 11}, {"INE", 12}, {"GFE", 13},  {"GFEX", 13}, {"BJ", 15},  {"BSE", 15},
};
constexpr int kAliasCount = sizeof(kAliases) / sizeof(kAliases[0]);
constexpr size_t kMaxPackedLen = 8;  // one 64-bit word

// Packs the n upper-cased characters at s into a word; 0 when n is 0 or above 8.
constexpr uint64_t pack_upper(const char* s, size_t n) {
  if (n == 0 || n > kMaxPackedLen) return 0;
  uint64_t key = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    key |= static_cast<uint64_t>(static_cast<unsigned char>(c)) << (8 * i);
  }
  return key;
}

struct PackedAliases {
  uint64_t keys[kAliasCount]{};
  constexpr PackedAliases() {
    for (int i = 0; i < kAliasCount; ++i) {
      keys[i] = pack_upper(kAliases[i].text, ql__text_length(kAliases[i].text));
    }
  }
};
constexpr PackedAliases kPacked;

}  // namespace

extern "C" {

int exchange_int(const char* text) {
  if (!text) return 0;
  const char* b = text;
  const char* e = text + strlen(text);
  ql__trim_blanks(&b, &e);  // "SH " from a padded CSV field still names Shanghai
  const uint64_t key = pack_upper(b, static_cast<size_t>(e - b));
  if (key == 0) return 0;
  for (int i = 0; i < kAliasCount; ++i) {
    if (kPacked.keys[i] == key) return kAliases[i].code;
  }
  return 0;
}

const char* exchange_str(int code) {
  for (const ExchangeAlias& alias : kAliases) {
    if (alias.code == code) return alias.text;
  }
  return nullptr;
}

}  // extern "C"
