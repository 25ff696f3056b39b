// The whole market's day in one pass (`book --market`, `merge`, market manifest lines,
// `simulate --symbols`): per-symbol snapshots as one-symbol runs give them, one day file in
// time order, the same bytes however the day is split.
#include <map>
#include <set>

#include "program_fixture.h"
#include "quotelab/data_replay.h"

namespace {

constexpr int kDate = 20240102;

std::string symbol_of(const _L2Snapshot& s) {
  return std::string(s.symbol, strnlen(s.symbol, sizeof s.symbol));
}

// A market day of six symbols of both styles (000001, 000002, 300001, 300002 Shenzhen;
// 600000, 600001 Shanghai) interleaved in one pair of binary files, with their sequence.
class MarketDayTest : public ProgramTest {
 protected:
  static constexpr const char* kSymbols[] = {"000001", "000002", "300001",
                                             "300002", "600000", "600001"};

  void SetUp() override {
    ProgramTest::SetUp();
    const Outcome r =
        quotelab({"simulate", "--symbols", "6", "--events", "60000", "--seed", "5", "--orders-out",
                  path("o.dat"), "--trades-out", path("t.dat"), "--sequence-out", path("s.txt")});
    ASSERT_EQ(r.code, 0) << r.err;
  }

  // book --market over the day's files into ROOT = dir/<root>; extra options appended.
  Outcome market(const std::string& root, const Args& extra = {}, bool sequence = true) {
    fs::create_directories(path(root));
    Args args = {"book",        "--market", "--orders", path("o.dat"), "--trades",
                 path("t.dat"), "--root",   path(root), "--quiet"};
    if (sequence) args.insert(args.end(), {"--sequence", path("s.txt")});
    args.insert(args.end(), extra.begin(), extra.end());
    return quotelab(args);
  }

  std::string day_file(const std::string& root, const char* ext = "csv") {
    return path(root + "/" + std::to_string(kDate) + "/tick." + ext);
  }
};

TEST_F(MarketDayTest, EachSymbolGetsTheSnapshotsOfItsOwnOneSymbolRun) {
  const Outcome r = market("m", {"--out-format", "bin", "--summary", path("summary.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("market 20240102: 6 symbols"), std::string::npos) << r.out;
  const std::vector<_L2Snapshot> day = read_records<_L2Snapshot>(day_file("m", "dat"));
  ASSERT_FALSE(day.empty());
  // The root holds the day's directory and nothing else.
  EXPECT_EQ(std::distance(fs::directory_iterator(path("m")), fs::directory_iterator()), 1);

  std::map<std::string, std::vector<_L2Snapshot>> by_symbol;
  for (const _L2Snapshot& s : day) by_symbol[symbol_of(s)].push_back(s);
  ASSERT_EQ(by_symbol.size(), 6u);
  const std::string summary = slurp(path("summary.csv"));
  for (const char* symbol : kSymbols) {
    // Named as the summaries name it: CODE.EXCHANGE.
    const std::string named = std::string(symbol) + (symbol[0] == '6' ? ".SH" : ".SZ");
    const Outcome one = quotelab({"book", "--orders", path("o.dat"), "--trades", path("t.dat"),
                                  "--sequence", path("s.txt"), "--symbol", named, "--out",
                                  path(std::string(symbol) + ".dat"), "--quiet"});
    ASSERT_EQ(one.code, 0) << one.err;
    const std::string alone = slurp(path(std::string(symbol) + ".dat"));
    const std::vector<_L2Snapshot>& mine = by_symbol[symbol];
    ASSERT_EQ(alone.size(), mine.size() * sizeof(_L2Snapshot)) << symbol;
    EXPECT_EQ(std::memcmp(alone.data(), mine.data(), alone.size()), 0) << symbol;
    EXPECT_NE(summary.find(std::string(symbol[0] == '6' ? "SH," : "SZ,") + symbol + ","),
              std::string::npos)
        << summary;
  }
  EXPECT_EQ(field(by_symbol["600000"][0].exchange), 1);
  EXPECT_EQ(field(by_symbol["000001"][0].exchange), 2);
  const Outcome other =
      quotelab({"book", "--orders", path("o.dat"), "--trades", path("t.dat"), "--sequence",
                path("s.txt"), "--symbol", "600000.SZ", "--out", path("none.dat"), "--quiet"});
  EXPECT_EQ(other.code, 1);
  EXPECT_NE(other.err.find("hold no records of 600000.SZ (those of 600000 are of SH)"),
            std::string::npos)
      << other.err;
}

TEST_F(MarketDayTest, ASnapshotScheduleAppliesToEverySymbolAsToOneSymbolRuns) {
  ASSERT_EQ(market("grid", {"--out-format", "bin", "--schedule", "grid:60000"}).code, 0);
  const Outcome one = quotelab({"book", "--orders", path("o.dat"), "--trades", path("t.dat"),
                                "--sequence", path("s.txt"), "--symbol", "600001", "--schedule",
                                "grid:60000", "--out", path("one.dat"), "--quiet"});
  ASSERT_EQ(one.code, 0) << one.err;
  std::string mine;
  for (const _L2Snapshot& s : read_records<_L2Snapshot>(day_file("grid", "dat"))) {
    if (symbol_of(s) == "600001") mine.append(reinterpret_cast<const char*>(&s), sizeof s);
  }
  EXPECT_EQ(mine, slurp(path("one.dat")));
  EXPECT_LT(mine.size() / sizeof(_L2Snapshot), 400u);  // one a minute at most
}

TEST_F(MarketDayTest, TheDayFileReplaysInTimeOrderWithEverySnapshotOnce) {
  ASSERT_EQ(market("m", {"--out-format", "bin"}).code, 0);
  const std::vector<_L2Snapshot> written = read_records<_L2Snapshot>(day_file("m", "dat"));
  KX::IDataReplay* replay =
      KX::IDataReplay::create_data_replay("bin", "tick", "", day_file("m", "dat").c_str(), 0);
  ASSERT_NE(replay, nullptr);
  ASSERT_EQ(replay->init(kDate), 0);
  ASSERT_EQ(replay->start(), 0);
  std::vector<_L2Snapshot> got;
  _L2Snapshot s;
  unsigned char type = 0;
  while (replay->next(&s, sizeof s, &type) == static_cast<int>(sizeof s)) got.push_back(s);
  replay->release();

  ASSERT_EQ(got.size(), written.size());
  std::set<std::pair<std::string, int>> seen;  // (symbol, time) of the final snapshots aside
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::memcmp(&got[i], &written[i], sizeof s), 0) << i;
    EXPECT_EQ(field(got[i].trading_day), kDate);
    if (i == 0) continue;
    const auto key = std::make_pair(field(got[i].time), symbol_of(got[i]));
    const auto prev = std::make_pair(field(got[i - 1].time), symbol_of(got[i - 1]));
    EXPECT_LE(prev, key) << "snapshot " << i;
  }
}

TEST_F(MarketDayTest, ThreadsShardsAndTheirMergeWriteTheSameDayFile) {
  ASSERT_EQ(market("one").code, 0);
  const std::string expected = slurp(day_file("one"));
  ASSERT_GT(count_lines(expected), 1000u);

  ASSERT_EQ(market("threads", {"--jobs", "3"}).code, 0);
  EXPECT_EQ(slurp(day_file("threads")), expected);
  // Snapshots put aside in many small runs merge back into the same file.
  ASSERT_EQ(market("held", {"--jobs", "2", "--hold", "97"}).code, 0);
  EXPECT_EQ(slurp(day_file("held")), expected);
  // Without the sequence file the records' own numbers put the day in order.
  ASSERT_EQ(market("numbers", {"--jobs", "2"}, false).code, 0);
  EXPECT_EQ(slurp(day_file("numbers")), expected);

  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    const Outcome r = market("shards", {"--shard", shard, "--jobs", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  EXPECT_FALSE(fs::exists(day_file("shards")));
  const Outcome merged = quotelab({"merge", "--root", path("shards"), "--date", "20240102"});
  ASSERT_EQ(merged.code, 0) << merged.err;
  EXPECT_EQ(slurp(day_file("shards")), expected);

  for (const char* shard : {"1/2", "2/2"})
    ASSERT_EQ(market("bin", {"--shard", shard, "--out-format", "bin"}).code, 0);
  ASSERT_EQ(market("bin1", {"--out-format", "bin"}).code, 0);
  ASSERT_EQ(quotelab({"merge", "--root", path("bin"), "--date", "20240102", "--remove-parts"}).code,
            0);
  EXPECT_EQ(slurp(day_file("bin", "dat")), slurp(day_file("bin1", "dat")));
  // Threads write a binary day file in spans of their own.
  ASSERT_EQ(market("binj", {"--out-format", "bin", "--jobs", "3"}).code, 0);
  EXPECT_EQ(slurp(day_file("binj", "dat")), slurp(day_file("bin1", "dat")));
  ASSERT_EQ(market("binh", {"--out-format", "bin", "--hold", "1000", "--jobs", "3"}).code, 0);
  EXPECT_EQ(slurp(day_file("binh", "dat")), slurp(day_file("bin1", "dat")));
  EXPECT_FALSE(fs::exists(path("bin/20240102/tick.part-1-of-2.dat")));
}

TEST_F(MarketDayTest, SymbolsAndManifestLinesChooseWhatIsRebuilt) {
  spit(path("symbols.txt"), "# two of six\n600001\n000002.SZ\n");
  const Outcome r = market("some", {"--symbols", path("symbols.txt")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(": 2 symbols"), std::string::npos) << r.out;
  std::set<std::string> instruments;
  std::istringstream rows(slurp(day_file("some")));
  std::string row;
  std::getline(rows, row);  // header
  while (std::getline(rows, row)) instruments.insert(row.substr(0, row.find(',')));
  EXPECT_EQ(instruments, (std::set<std::string>{"000002.SZ", "600001.SH"}));

  ASSERT_EQ(market("whole").code, 0);
  fs::create_directories(path("mf"));
  spit(path("jobs.txt"),
       "* * 20240102 o.dat t.dat sequence=s.txt\n"
       "SZ 000001 20240102 o.dat t.dat one.csv sequence=s.txt\n");
  const Outcome m = quotelab(
      {"book", "--manifest", path("jobs.txt"), "--root", path("mf"), "--jobs", "2", "--quiet"});
  ASSERT_EQ(m.code, 0) << m.err;
  EXPECT_EQ(slurp(day_file("mf")), slurp(day_file("whole")));
  EXPECT_NE(slurp(path("one.csv")).find("000001.SZ"), std::string::npos);
}

// A vendor's files of several stocks each (Shanghai layout B, the sequence in ApplSeqNum):
// read with no options, each stock rebuilt as its own file rebuilds alone; a refused row
// fails the day by file and line unless lenient.
TEST_F(MarketDayTest, VendorFilesOfSeveralStocksRebuildAsEachStockAlone) {
  std::string orders, trades;
  const std::pair<const char*, const char*> stocks[] = {{"600000", "3"}, {"600001", "4"}};
  for (const auto& [symbol, seed] : stocks) {
    const std::string o = path(std::string("o") + symbol + ".csv");
    const std::string t = path(std::string("t") + symbol + ".csv");
    ASSERT_EQ(
        quotelab({"simulate", "--style", "sh", "--layout", "sh-b", "--symbol", symbol, "--orders",
                  "1500", "--seed", symbol + 5, "--orders-out", o, "--trades-out", t})
            .code,
        0);
    ASSERT_EQ(quotelab({"book", "--orders", o, "--trades", t, "--out",
                        path(std::string(symbol) + ".dat"), "--quiet"})
                  .code,
              0);
    // One header, then both stocks' rows.
    const std::string ot = slurp(o), tt = slurp(t);
    orders += orders.empty() ? ot : ot.substr(ot.find('\n') + 1);
    trades += trades.empty() ? tt : tt.substr(tt.find('\n') + 1);
  }
  spit(path("o.csv"), orders);
  spit(path("t.csv"), trades);
  fs::create_directories(path("v"));
  const Args args = {"book",   "--market", "--orders",     path("o.csv"), "--trades", path("t.csv"),
                     "--root", path("v"),  "--out-format", "bin",         "--quiet"};
  const Outcome r = quotelab(args);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("(sh-b-orders + sh-b-trades, merged by the sequence column): 2 symbols"),
            std::string::npos)
      << r.out;
  std::map<std::string, std::string> by_symbol;
  for (const _L2Snapshot& s : read_records<_L2Snapshot>(day_file("v", "dat"))) {
    by_symbol[symbol_of(s)].append(reinterpret_cast<const char*>(&s), sizeof s);
  }
  for (const char* symbol : {"600000", "600001"}) {
    EXPECT_EQ(by_symbol[symbol], slurp(path(std::string(symbol) + ".dat"))) << symbol;
  }

  // Row 3's side code becomes one the layout does not know.
  std::string broken = orders;
  size_t at = 0;
  for (int row = 0; row < 3; ++row) at = broken.find('\n', at) + 1;
  const size_t side = broken.find(",2,1,", at);  // OrderBSFlag,ChannelNo of a sell
  ASSERT_NE(side, std::string::npos);
  broken[side + 1] = '7';
  spit(path("o.csv"), broken);
  const Outcome refused = quotelab(args);
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("o.csv' line"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("give --lenient"), std::string::npos) << refused.err;
  Args lenient = args;
  lenient.push_back("--lenient");
  const Outcome kept = quotelab(lenient);
  EXPECT_EQ(kept.code, 0);
  EXPECT_NE(kept.out.find(" 1 refused,"), std::string::npos) << kept.out;
}

// Shenzhen own-side-best orders carry no price: each enters at its side's best as the book
// stands, as a one-symbol run prices it; one whose side is empty is refused.
TEST_F(MarketDayTest, OwnSideBestOrdersArePricedAsInOneSymbolRuns) {
  std::string bytes = slurp(path("o.dat"));
  std::vector<_L2Order> orders(bytes.size() / sizeof(_L2Order));
  std::memcpy(orders.data(), bytes.data(), bytes.size());
  int seen = 0;
  bool first = true;
  for (_L2Order& o : orders) {
    if (std::string(o.symbol, strnlen(o.symbol, sizeof o.symbol)) != "000001") continue;
    // The very first order meets an empty book; later ones every 500th.
    if (first || ++seen % 500 == 0) o.order_type = 'U';
    first = false;
  }
  std::memcpy(&bytes[0], orders.data(), bytes.size());
  spit(path("o.dat"), bytes);
  const Outcome strict = market("u");
  EXPECT_EQ(strict.code, 1);
  EXPECT_NE(strict.err.find("1 own-side best orders found their side of the book empty"),
            std::string::npos)
      << strict.err;
  ASSERT_EQ(market("u", {"--out-format", "bin", "--lenient"}).code, 0);
  const Outcome one = quotelab({"book", "--orders", path("o.dat"), "--trades", path("t.dat"),
                                "--sequence", path("s.txt"), "--symbol", "000001.SZ", "--out",
                                path("u1.dat"), "--lenient", "--quiet"});
  ASSERT_EQ(one.code, 0) << one.err;
  std::string mine;
  for (const _L2Snapshot& s : read_records<_L2Snapshot>(day_file("u", "dat"))) {
    if (symbol_of(s) == "000001") mine.append(reinterpret_cast<const char*>(&s), sizeof s);
  }
  EXPECT_EQ(mine, slurp(path("u1.dat")));
}

TEST_F(MarketDayTest, BrokenInputsAndSplitsAreRefusedByName) {
  spit(path("short.txt"), "OOT\n");
  spit(path("bad.txt"), "OOX\n");
  spit(path("o_shuffled.dat"), [&] {
    std::string bytes = slurp(path("o.dat"));
    std::swap_ranges(bytes.begin(), bytes.begin() + sizeof(_L2Order),
                     bytes.begin() + 5000 * sizeof(_L2Order));
    return bytes;
  }());
  fs::create_directories(path("r"));
  fs::create_directories(path("r/20240102"));
  spit(path("r/20240102/tick.part-1-of-3.csv"), "");
  spit(path("r/20240102/tick.part-3-of-3.csv"), "");
  struct Case {
    Args args;
    int code;
    std::string message;
  } cases[] = {
      {{"--sequence", path("short.txt")}, 1, "names 2 orders and 1 trades, but the files hold"},
      {{"--sequence", path("bad.txt")}, 1, "byte 2: expected O (order) or T (trade)"},
      {{"--shard", "4/3"}, 2, "--shard: '4/3' is not K/N"},
      {{"--symbol", "000001"}, 2, "--symbol belongs to a one-symbol run"},
      {{"--auction-view", "exchange"}, 2, "--market takes --schedule events or grid:MS"},
  };
  for (const Case& c : cases) {
    const Outcome r = market("x", c.args, false);
    EXPECT_EQ(r.code, c.code) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  const Outcome shuffled = quotelab({"book", "--market", "--orders", path("o_shuffled.dat"),
                                     "--trades", path("t.dat"), "--root", path("x"), "--quiet"});
  EXPECT_EQ(shuffled.code, 1);
  EXPECT_NE(shuffled.err.find("is out of order by time, symbol and sequence number"),
            std::string::npos)
      << shuffled.err;
  const Outcome merge = quotelab({"merge", "--root", path("r"), "--date", "20240102"});
  EXPECT_EQ(merge.code, 1);
  EXPECT_NE(merge.err.find("part 2 of 3 is missing"), std::string::npos) << merge.err;
  // Both exchanges' orders cannot share quotelab's order CSV: refused before a byte is written.
  const Outcome csv = quotelab({"simulate", "--symbols", "6", "--orders-out", path("m.csv"),
                                "--trades-out", path("mt.csv")});
  EXPECT_EQ(csv.code, 2);
  EXPECT_NE(csv.err.find("write binary files"), std::string::npos) << csv.err;
  EXPECT_FALSE(fs::exists(path("m.csv")));
}

}  // namespace
