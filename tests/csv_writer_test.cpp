// DataCsvWriter: golden rows, trade/order rows against printf, the flush schedule seen from
// outside, failures, and the round trip through DataCsvReader.
#include "quotelab/csv_writer.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quotelab/csv_reader.h"
#include "quotelab/utilcore.h"

namespace {

using KX::DataCsvReader;
using KX::DataCsvWriter;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// A writer whose stream buffer the test chooses: with a buffer larger than everything a test
// writes, the file grows only when the writer flushes.
class BufferedWriter : public DataCsvWriter {
 public:
  BufferedWriter(const std::string& path, std::vector<char>* buffer, int mode = _IOFBF)
      : DataCsvWriter(path.c_str(), "w", ',') {
    if (stream)
      setvbuf(stream, buffer ? buffer->data() : nullptr, mode, buffer ? buffer->size() : 0);
  }
};

class CsvWriterFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ql_csv_writer_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) { return dir_ + "/" + name; }
  std::string dir_;
};

// The golden files hold exactly these records.
_L2Snapshot make_snapshot(int i) {
  _L2Snapshot s{};
  s.type = QL_RECORD_L2SNAPSHOT;
  s.exchange = i % 3 == 0 ? 1 : i % 3 == 1 ? 2 : 0;
  snprintf(s.symbol, sizeof(s.symbol), "%06d", 600000 + i);
  s.action_day = s.trading_day = 20230105;
  s.time = 93000000 + (i % 1000) * 1000;
  s.open = 10.01 + i * 0.01;
  s.high = s.open + 0.5, s.low = s.open - 0.25, s.last = s.open + 0.13;
  s.volume = 1000000000000LL + i;
  s.turnover = 123456789.125 + i;
  s.pre_close = 10.0, s.pre_settle = 9.875, s.settle = 0.1 + i, s.iopv = 1.0 / 3.0;
  s.num_trades = 1000 + i, s.open_interest = 2000 + i, s.pre_open_interest = 3000 + i;
  for (int l = 0; l < 10; ++l) {
    s.ask_price[l] = s.last + 0.01 * (l + 1), s.bid_price[l] = s.last - 0.01 * (l + 1);
    s.ask_volume[l] = 100 * (l + 1) + i, s.bid_volume[l] = 200 * (l + 1) + i;
  }
  return s;
}

_BarData make_bar(int i) {
  _BarData b{};
  b.type = QL_RECORD_BAR;
  b.exchange = i % 2 ? 9 : 1;
  snprintf(b.symbol, sizeof(b.symbol), i % 2 ? "rb%04d" : "%06d", 2305 + i);
  b.action_day = 20230105, b.time = 93100 + i * 100, b.trading_day = 20230106;
  b.open = 4000.5 + i, b.high = 4010.25 + i, b.low = 3990.125 + i, b.close = 4005.1 + i;
  b.turnover = 8000000.07 * (i + 1), b.volume = 5000000000LL + i, b.pre_close = 3999.9;
  b.open_interest = 150000 + i, b.num_trades = 40 + i, b.iopv = 1.25, b.turn = 0.0123 * (i + 1);
  return b;
}

_MDIndex make_index(int i) {
  _MDIndex x{};
  x.type = QL_RECORD_MDINDEX;
  x.exchange = 1;
  snprintf(x.symbol, sizeof(x.symbol), "%06d", i);
  x.action_day = x.trading_day = 20230105;
  x.time = 93000000 + i * 3000;
  x.pre_close = 3000.5, x.open = 3001.25, x.high = 3010.125, x.low = 2990.0625, x.last = 3005.1;
  x.volume = 123456789012LL, x.turnover = 987654321.5;
  return x;
}

void expect_golden(const std::string& written, const char* golden) {
  const std::string expected = read_file(std::string(QL_TEST_DATA_DIR) + "/files/" + golden);
  ASSERT_FALSE(expected.empty()) << golden;
  EXPECT_EQ(read_file(written), expected) << "differs from " << golden;
}

// Trade and order rows are checked against printf below.
TEST_F(CsvWriterFiles, GoldenSnapshotBarAndIndexRows) {
  const std::string snap = path("snapshot.csv"), bar = path("bar.csv"), index = path("index.csv");
  {
    DataCsvWriter ws(snap.c_str(), "w", ',');
    DataCsvWriter wb(bar.c_str(), "w", ',');
    DataCsvWriter wi(index.c_str(), "w", '\t');
    for (int i = 0; i < 4; ++i) {
      _L2Snapshot s = make_snapshot(i);
      _BarData b = make_bar(i);
      _MDIndex x = make_index(i);
      EXPECT_EQ(ws.write(&s) + wb.write(&b) + wi.write(&x), 3);
    }
  }
  expect_golden(snap, "golden_snapshot.csv");
  expect_golden(bar, "golden_bar.csv");
  expect_golden(index, "golden_index.csv");
}

// The row as printf would build it: delimiter before every field, "%.3lf" prices ("0" for a
// zero of either sign), the numbers and flags that follow (a blank for a flag of 0), CR LF.
template <typename Rec>
std::string printf_row(const Rec& r, char d, std::initializer_list<long long> numbers,
                       std::initializer_list<char> flags) {
  const char* ex = exchange_str(r.exchange);
  char px[400] = "0", head[1000];
  if (r.price != 0.0) snprintf(px, sizeof(px), "%.3lf", static_cast<double>(r.price));
  snprintf(head, sizeof(head), "%c%s%c%.*s%c%d%c%d%c%d%c%u%c%s", d, ex ? ex : "", d,
           static_cast<int>(strnlen(r.symbol, sizeof(r.symbol))), r.symbol, d, r.action_day, d,
           r.time, d, r.aux_no, d, r.volume, d, px);
  std::string row = head;
  for (long long n : numbers) row += d + std::to_string(n);
  for (char c : flags) row += std::string(1, d) + (c ? c : ' ');
  return row + "\r\n";
}

// Prices that stress "%.3lf" rounding: ticks, values on and a hair off a half-thousandth,
// exact binary ties, large and tiny magnitudes, negatives, infinities and NaN.
double stress_price(std::mt19937_64& rng, int i) {
  std::uniform_int_distribution<int64_t> ticks(0, 100000000);
  std::uniform_real_distribution<double> real(-1e7, 1e7);
  const double half = (static_cast<double>(ticks(rng)) + 0.5) / 1000.0;
  const double specials[] = {INFINITY, -INFINITY, NAN,    DBL_TRUE_MIN, DBL_MAX,
                             -0.0005,  0.0625,    2.5e-4, 0.0,          -0.0};
  const double kinds[] = {
      static_cast<double>(ticks(rng)) / 100.0,
      half,
      std::nextafter(half, 1e300),
      static_cast<double>(ticks(rng) % 100000) + (ticks(rng) % 16) / 16.0 + 1.0 / 32,
      real(rng),
      std::ldexp(real(rng), -static_cast<int>(ticks(rng) % 60)),
      std::ldexp(1.0, static_cast<int>(ticks(rng) % 120)),
      specials[ticks(rng) % 10]};
  return kinds[i % 8];
}

// Random fields, unknown exchange codes, 1- to 10-character symbols (10 leave no NUL).
TEST_F(CsvWriterFiles, TradeAndOrderRowsMatchPrintf) {
  const std::string trades_file = path("trades.csv"), orders_file = path("orders.csv");
  std::string expected_trades, expected_orders;
  std::mt19937_64 rng(20230105);
  std::uniform_int_distribution<int64_t> any64(std::numeric_limits<int64_t>::min(),
                                               std::numeric_limits<int64_t>::max());
  const char* symbols[] = {"600000", "A", "IF2301", "ABCDEFGHIJ"};
  {
    DataCsvWriter wt(trades_file.c_str(), "w", ',');
    DataCsvWriter wo(orders_file.c_str(), "w", '|');
    for (int i = 0; i < 20000; ++i) {
      _L2Trade t{};
      _L2Order o{};
      t.exchange = o.exchange = static_cast<uint8_t>(i % 17 == 16 ? 99 : i % 17);
      memcpy(t.symbol, symbols[i % 4], strlen(symbols[i % 4]));
      memcpy(o.symbol, symbols[(i + 1) % 4], strlen(symbols[(i + 1) % 4]));
      t.action_day = o.action_day = static_cast<int32_t>(any64(rng));
      t.time = o.time = static_cast<int32_t>(any64(rng));
      t.aux_no = o.aux_no = static_cast<int32_t>(any64(rng));
      t.volume = o.volume = static_cast<uint32_t>(any64(rng));
      t.seq_num = i % 1000 ? any64(rng) : std::numeric_limits<int64_t>::min();
      t.bid_seq_num = any64(rng), t.ask_seq_num = any64(rng);
      t.price = stress_price(rng, i);
      t.bs_flag = "BS\0"[i % 3], t.trade_flag = "\0F4"[i % 3];
      ASSERT_EQ(wt.write(&t), 1);
      expected_trades +=
          printf_row(t, ',', {t.seq_num, t.bid_seq_num, t.ask_seq_num}, {t.trade_flag, t.bs_flag});

      o.order_index = any64(rng), o.seq_num = any64(rng);
      o.price = stress_price(rng, i + 3);
      o.bs_flag = "SB\0"[i % 3], o.order_type = "12D\0"[i % 4];
      ASSERT_EQ(wo.write(&o), 1);
      expected_orders += printf_row(o, '|', {o.seq_num, o.order_index}, {o.bs_flag, o.order_type});
    }
    EXPECT_EQ(wt.write_count() + wo.write_count(), 0u) << "trade and order rows are not counted";
  }
  EXPECT_TRUE(read_file(trades_file) == expected_trades) << "trade rows differ from printf";
  EXPECT_TRUE(read_file(orders_file) == expected_orders) << "order rows differ from printf";
}

// Snapshot, index and bar rows share one count and every 16384th flushes; trade and order
// rows neither count nor flush, not even at the close. Snapshot and index rows flush at once
// in the close windows; a bar flushes when its time differs from the last bar's and at the
// closes. With a stream buffer larger than the test writes, only flushes reach the file.
TEST_F(CsvWriterFiles, FlushSchedule) {
  std::vector<char> buffer(64 << 20);
  const std::string file = path("flush.csv");
  BufferedWriter w(file, &buffer);
  ASSERT_TRUE(w.is_open());
  auto flushed_by = [&](auto rec) {
    const long before = file_size(file);
    EXPECT_EQ(w.write(&rec), 1);
    return file_size(file) > before;
  };
  _L2Trade t{};
  _L2Order o{};
  t.time = o.time = 150000000;
  for (int i = 0; i < 20000; ++i) ASSERT_FALSE(flushed_by(t) || flushed_by(o));

  const _L2Snapshot s = make_snapshot(1);
  const _MDIndex x = make_index(1);
  EXPECT_TRUE(flushed_by(make_bar(0))) << "a new bar time flushes";
  for (uint32_t n = 2; n < 16384; ++n) ASSERT_FALSE(n % 2 ? flushed_by(s) : flushed_by(x)) << n;
  EXPECT_TRUE(flushed_by(x)) << "row 16384";
  EXPECT_FALSE(flushed_by(s)) << "row 16385";

  const struct {
    int32_t time;
    bool flushed;
  } ticks[] = {{145959999, false}, {150000000, true},  {93000000, false},  {153059999, true},
               {153099999, true},  {153100000, false}, {149999999, false}, {151500000, true}},
    bars[] = {{93100, false}, {93200, true},  {93200, false}, {150000, true}, {150000, true},
              {151500, true}, {151500, true}, {93200, true},  {0, true},      {0, false}};
  for (const auto& c : ticks) {
    _L2Snapshot ts = s;
    _MDIndex tx = x;
    ts.time = tx.time = c.time;
    EXPECT_EQ(flushed_by(ts), c.flushed) << "snapshot time " << c.time;
    EXPECT_EQ(flushed_by(tx), c.flushed) << "index time " << c.time;
  }
  for (const auto& c : bars) {
    _BarData b = make_bar(3);
    b.time = c.time;
    EXPECT_EQ(flushed_by(b), c.flushed) << "bar time " << c.time;
  }
}

TEST_F(CsvWriterFiles, FailuresAreReported) {
  const std::string bad = dir_ + "/no_such_dir/x.csv";
  ::testing::internal::CaptureStderr();
  DataCsvWriter w(bad.c_str(), "w", ',');
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "KX::CsvWriter::open_csv: csv_file='" + bad + "', mode=w open failed:2\n");
  ::testing::internal::CaptureStderr();
  DataCsvWriter nameless(nullptr, "w", ',');
  ::testing::internal::GetCapturedStderr();
  DataCsvWriter good(path("null.csv").c_str(), "w", ',');
  _L2Snapshot s = make_snapshot(0);
  _MDIndex x = make_index(0);
  _BarData b = make_bar(0);
  _L2Trade t{};
  _L2Order o{};
  EXPECT_EQ(w.write(&s) + w.write(&x) + w.write(&b) + w.write(&t) + w.write(&o), -5);
  EXPECT_EQ(nameless.write(&s) + nameless.write(&t), -2);
  EXPECT_EQ(
      good.write(static_cast<_L2Snapshot*>(nullptr)) + good.write(static_cast<_MDIndex*>(nullptr)) +
          good.write(static_cast<_BarData*>(nullptr)) +
          good.write(static_cast<_L2Trade*>(nullptr)) + good.write(static_cast<_L2Order*>(nullptr)),
      -5);
  EXPECT_EQ(w.write_count() + good.write_count(), 0u);

  // A failed write gives 0 and still counts.
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  BufferedWriter full("/dev/full", nullptr, _IONBF);  // unbuffered: every fwrite fails now
  ASSERT_TRUE(full.is_open());
  EXPECT_EQ((std::vector<int>{full.write(&s), full.write(&b), full.write(&t)}),
            (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(full.write_count(), 2u);
  EXPECT_EQ(full.last_bar_time(), +b.time) << "the bar flush rule still applies";
}

// What the decoder gives back: the record without the fields it never reads.
_L2Snapshot decodable(_L2Snapshot s) {
  s.type = 0;
  s.upper_limit = s.lower_limit = 0.0;
  return s;
}
_BarData decodable(_BarData b) {
  b.type = 0;
  b.extension = 0;
  return b;
}

// Writes the header twin, then appends the rows with the writer ("a" mode), and reads them back.
template <typename Rec>
void expect_round_trip(const std::string& file, int (*header)(char*, int, char),
                       const std::vector<Rec>& records, char delimiter) {
  char line[8192];
  const int n = header(line, sizeof(line), delimiter);
  ASSERT_GT(n, 0);
  std::ofstream(file, std::ios::binary) << std::string(line, static_cast<size_t>(n));
  {
    DataCsvWriter w(file.c_str(), "a", delimiter);
    for (Rec rec : records) ASSERT_EQ(w.write(&rec), 1);
  }
  DataCsvReader reader(file.c_str(), delimiter);
  ASSERT_NE(reader.csv_handle, nullptr);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(csv_next(reader.csv_handle), 0) << "row " << i;
    Rec rec;
    memset(&rec, 0, sizeof(rec));
    ASSERT_TRUE(reader.get(&rec)) << "row " << i;
    const Rec expected = decodable(records[i]);
    EXPECT_EQ(memcmp(&rec, &expected, sizeof(rec)), 0) << "row " << i << " differs";
  }
  EXPECT_NE(csv_next(reader.csv_handle), 0);
}

TEST_F(CsvWriterFiles, RoundTripOfSnapshotsAndBars) {
  std::vector<_L2Snapshot> snapshots;
  for (int i = 0; i < 50; ++i) snapshots.push_back(make_snapshot(i));
  snapshots[3].ask_price[9] = 0.0;  // empty levels
  snapshots[3].bid_volume[9] = 0;
  strcpy(snapshots[4].symbol, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012");  // 29 characters
  snapshots[5].volume = std::numeric_limits<int64_t>::max();
  snapshots[6].num_trades = std::numeric_limits<int32_t>::min();
  snapshots[7].last = 1e-300;
  snapshots[8].turnover = 1.7976931348623157e308;
  expect_round_trip(path("snapshots.csv"), l2snapshot_csv_header, snapshots, ';');

  std::vector<_BarData> bars;
  for (int i = 0; i < 50; ++i) bars.push_back(make_bar(i));
  bars[2].exchange = 0;  // symbol without suffix
  bars[3].exchange = 13;
  bars[4].volume = -1;
  bars[5].turn = 0.1 + 0.2;
  expect_round_trip(path("bars.csv"), bar_csv_header, bars, ',');
}

}  // namespace
