// The CSV tokenizer over any bytes: the first byte picks the delimiter, the rest is the file.
// Every field text must have the length reported and no getter may read outside the row.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "quotelab/utilcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char kDelimiters[] = {',', ';', '|', '\t', ' ', 'x'};
  const char delimiter = kDelimiters[data[0] % sizeof kDelimiters];
  csv_file* csv = csv_open_mem(reinterpret_cast<const char*>(data + 1), size - 1, delimiter, 0);
  if (csv == nullptr) return 0;
  const bool has_nul = std::memchr(data + 1, '\0', size - 1) != nullptr;
  const int columns = csv_column_count(csv);
  for (int c = 0; c < columns; ++c) {
    const char* name = csv_column_name(csv, c);
    QLFUZZ_CHECK(name != nullptr);
    // The first column of that name (a name holding a NUL byte is cut short as a C text and
    // may name another column).
    const int found = csv_find_idx(csv, name);
    QLFUZZ_CHECK(has_nul || (found >= 0 && found <= c));
  }
  QLFUZZ_CHECK(csv_column_name(csv, columns) == nullptr);
  long last_line = 0;
  while (csv_next(csv) == 0) {
    const long line = csv_line_number(csv);
    QLFUZZ_CHECK(line > last_line);
    last_line = line;
    const int fields = csv_field_count(csv);
    for (int i = -1; i <= fields; ++i) {
      int len = -1;
      const char* text = csv_get_field(csv, i, &len);
      if (i < 0 || i >= fields) {
        QLFUZZ_CHECK(text == nullptr);
        continue;
      }
      QLFUZZ_CHECK(text != nullptr && len >= 0 && std::strlen(text) <= static_cast<size_t>(len));
      (void)csv_get_int32_byidx(csv, i);
      (void)csv_get_int64_byidx(csv, i);
      (void)csv_get_double_byidx(csv, i);
      (void)csv_get_float_byidx(csv, i);
    }
  }
  QLFUZZ_CHECK(csv_eof(csv) != 0 && csv_next(csv) == -1);
  csv_close(csv);
  return 0;
}
