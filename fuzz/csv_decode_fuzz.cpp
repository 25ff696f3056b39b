// DataCsvReader's column binding and record decoders over any file: every row is decoded as
// each record kind into a zero-filled record; a decoder never writes the type byte nor past the
// symbol's NUL, and the text helpers take every field.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "quotelab/csv_reader.h"

namespace {

template <class Rec>
void decode(KX::DataCsvReader& reader) {
  Rec rec;
  std::memset(&rec, 0, sizeof rec);
  if (reader.get(&rec)) {
    QLFUZZ_CHECK(rec.type == 0);
    QLFUZZ_CHECK(std::memchr(rec.symbol, '\0', sizeof rec.symbol) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char delimiter = (data[0] & 1) != 0 ? ';' : ',';
  qlfuzz::MemFile file(data + 1, size - 1);
  KX::DataCsvReader reader(file.path(), delimiter);
  if (reader.csv_handle == nullptr) return 0;
  int rows = 0;
  while (csv_next(reader.csv_handle) == 0 && ++rows <= 2000) {
    decode<_L2Snapshot>(reader);
    decode<_L2Trade>(reader);
    decode<_L2Order>(reader);
    decode<_BarData>(reader);
    int date = 0, time = 0;
    reader.get_date_time(&date, &time, nullptr);
    const int fields = csv_field_count(reader.csv_handle);
    for (int i = 0; i < fields; ++i) {
      const char* text = csv_get_byidx(reader.csv_handle, i);
      unsigned char exchange = 0;
      char symbol[32];
      std::memset(symbol, 0x7f, sizeof symbol);
      KX::DataCsvReader::smart_extract_symbol(text, &exchange, symbol, 29);
      QLFUZZ_CHECK(symbol[30] == 0x7f && symbol[31] == 0x7f);  // at most 29 + NUL written
      KX::DataCsvReader::smart_conv_datetime(text, &date, &time);
    }
  }
  return 0;
}
