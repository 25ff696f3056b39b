// The layout reader (KX::LayoutReader) over any header and rows, detected or under a built-in
// layout or a profile. The first byte picks the set-up:
//   bits 0-3  built-in layout i+1 (1..count), else detected from the header
//   bit 4     ';' as the delimiter instead of ','
//   bit 5     a trading day given (for files whose rows carry no date)
//   bit 6     only the rows of instrument 600000
//   bit 7     profile text first: the bytes up to the first NUL are applied as a profile
// What was read must hold together: one line (and sequence) per record, a stream that names
// every record of a ticks file once, refusals counted in full and kept up to the limit, every
// record typed and its symbol terminated.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "quotelab/layout_reader.h"

namespace {

template <class Rec>
void check_records(const std::vector<Rec>& recs, const std::vector<uint32_t>& lines,
                   const std::vector<int64_t>* sequence, uint8_t type) {
  QLFUZZ_CHECK(lines.size() == recs.size());
  if (sequence != nullptr) QLFUZZ_CHECK(sequence->size() == recs.size());
  uint32_t last = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    QLFUZZ_CHECK(recs[i].type == type);
    QLFUZZ_CHECK(std::memchr(recs[i].symbol, '\0', sizeof recs[i].symbol) != nullptr);
    QLFUZZ_CHECK(lines[i] >= 2 && lines[i] >= last);  // after the header, in file order
    last = lines[i];
  }
}

void check_stream(const KX::LayoutReader& r) {
  const auto& stream = r.stream();
  if (r.content() != KX::LayoutContent::Ticks) {
    QLFUZZ_CHECK(stream.empty());
    return;
  }
  QLFUZZ_CHECK(stream.size() == r.orders().size() + r.trades().size());
  uint32_t next_order = 0, next_trade = 0;  // each kind in file order, each record once
  for (const KX::LayoutStreamEntry& e : stream) {
    if (e.type == QL_RECORD_L2ORDER) {
      QLFUZZ_CHECK(e.index == next_order++);
    } else {
      QLFUZZ_CHECK(e.type == QL_RECORD_L2TRADE && e.index == next_trade++);
    }
  }
}

void check_refusals(const KX::LayoutReader& r, int result) {
  size_t counted = 0;
  for (const KX::LayoutRefusalCount& c : r.refusal_counts()) {
    QLFUZZ_CHECK(c.count > 0 && !c.reason.empty());
    counted += c.count;
  }
  QLFUZZ_CHECK(counted == r.refused());
  QLFUZZ_CHECK(static_cast<size_t>(result) == r.refused());
  const size_t kept =
      r.refused() < KX::LayoutReader::kRefusalsKept ? r.refused() : KX::LayoutReader::kRefusalsKept;
  QLFUZZ_CHECK(r.refusals().size() == kept);
  for (const KX::LayoutRefusal& f : r.refusals()) {
    QLFUZZ_CHECK(f.line >= 2 && !f.reason.empty() && f.file == r.path());
  }
}

void check_read(const KX::LayoutReader& r, int result) {
  QLFUZZ_CHECK(result >= 0 || !r.error().empty());
  if (result < 0) return;
  check_records(r.orders(), r.order_lines(), &r.order_sequence(), QL_RECORD_L2ORDER);
  check_records(r.trades(), r.trade_lines(), &r.trade_sequence(), QL_RECORD_L2TRADE);
  check_records(r.snapshots(), r.snapshot_lines(), nullptr, QL_RECORD_L2SNAPSHOT);
  QLFUZZ_CHECK(r.snapshot_extras().size() == r.snapshots().size());
  check_stream(r);
  check_refusals(r, result);
  QLFUZZ_CHECK(r.rows_read() == r.orders().size() + r.trades().size() + r.snapshots().size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t rest = size - 1;
  KX::LayoutReader reader;
  if ((mode & 0x80) != 0) {
    const void* end = std::memchr(text, '\0', rest);
    if (end == nullptr) return 0;
    const std::string profile(text, static_cast<const char*>(end));
    if (reader.apply_profile_text(profile.c_str(), "fuzz") != 0) {
      QLFUZZ_CHECK(!reader.error().empty());
    }
    rest -= profile.size() + 1;
    text += profile.size() + 1;
  }
  const int layout = (mode & 0x0f) - 1;
  if (layout >= 0 && layout < KX::LayoutReader::builtin_layout_count()) {
    QLFUZZ_CHECK(reader.use_layout(KX::LayoutReader::builtin_layout_name(layout)) == 0);
  }
  if ((mode & 0x10) != 0) reader.set_delimiter(';');
  if ((mode & 0x20) != 0) reader.set_trading_day(20240102);
  if ((mode & 0x40) != 0) reader.set_symbol("600000");

  qlfuzz::MemFile file(reinterpret_cast<const uint8_t*>(text), rest);
  if (reader.open(file.path()) != 0) {
    QLFUZZ_CHECK(!reader.error().empty());
    return 0;
  }
  for (const KX::LayoutBinding& b : reader.bindings()) {
    QLFUZZ_CHECK(b.position >= -1 && b.position < static_cast<int>(reader.header().size()));
  }
  check_read(reader, reader.read());
  return 0;
}
