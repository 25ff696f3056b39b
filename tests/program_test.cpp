// The quotelab program, run as a process: exit codes, outputs and messages of each subcommand.
#include "program_fixture.h"

namespace {

TEST_F(ProgramTest, EverySubcommandHasHelpAndValuesMayFollowAnEqualsSign) {
  for (const char* cmd :
       {"simulate", "book", "merge", "verify", "replay", "convert", "columns", "demo"}) {
    const Outcome r = quotelab({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_NE(r.out.find(std::string("usage: quotelab ") + cmd), std::string::npos) << cmd;
  }
  const Outcome r = quotelab({"simulate", "--orders=500", "--seed=3",
                              "--orders-out=" + path("o.dat"), "--trades-out", path("t.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("seed 3"), std::string::npos) << r.out;
}

// Bad arguments exit with 2, inputs that cannot be used with 1; the message names the problem.
TEST_F(ProgramTest, RefusalsNameTheProblem) {
  simulate("s");
  const std::string orders = slurp(path("s_orders.dat"));
  spit(path("cut.dat"), orders.substr(0, orders.size() - 5));
  spit(path("clash.txt"),
       "SZ 000001 20240102 s_orders.dat s_trades.dat\n"
       "SZ 000002 20240102 s_orders.dat s_trades.dat\n");
  spit(path("short.txt"), "SZ 000001 20240102 s_orders.dat\n");
  spit(path("down.txt"), "5\n4\n");
  const std::string d = dir_ + "/";
  // book of orders and trades of the test directory, with more options.
  const auto book_of = [&d](const Args& more, const std::string& orders = "s_orders.dat",
                            const std::string& trades = "s_trades.dat") {
    Args args = {"book", "--orders", d + orders, "--trades", d + trades, "--out", d + "x.dat"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const struct {
    Args args;
    int code;
    std::string message;
  } cases[] = {
      {{}, 2, "usage: quotelab <command>"},
      {{"rebuild"}, 2, "unknown command 'rebuild'"},
      {{"book", "--interval-ms", "abc"}, 2, "--interval-ms: 'abc' is not a whole number"},
      {{"simulate", "--bogus"}, 2, "unknown option '--bogus'"},
      {{"simulate", "--preopen-marketable", "1.5"}, 2, "'1.5' is not a share from 0 to 1"},
      {{"simulate", "--style", "sh", "--preopen-marketable", "0.5"},
       2,
       "only Shenzhen holds orders before the open"},
      {{"simulate", "--orders", "100", "--orders-out", d + "no/o.csv", "--trades-out", d + "t"},
       1,
       "cannot create '" + d + "no/o.csv'"},
      {book_of({}, "none.csv", "s_trades.csv"), 1, "cannot open '" + d + "none.csv'"},
      // Files in the wrong role: the type codes, the columns or the size say so.
      {book_of({}, "s_orders.dat", "s_orders.dat"), 1, "is not a file of trade records"},
      {book_of({}, "s_orders.csv", "s_orders.csv"), 1,
       "has no bid_seq_num column: it is not a file of trade records"},
      {book_of({}, "cut.dat"), 1, "is not a multiple of 68 bytes"},
      // Two jobs of one day under one root would write one file.
      {{"book", "--manifest", d + "clash.txt", "--root", dir_}, 2, "lines 1 and 2 both write"},
      {{"book", "--manifest", d + "short.txt", "--root", dir_},
       2,
       "short.txt line 1: expected EXCHANGE SYMBOL DATE ORDERS TRADES [OUT]"},
      {{"replay", "--kind", "mock", "--from", "20240230", "--to", "20240301"},
       2,
       "--from: '20240230' is not a date"},
      {{"replay", "--kind", "nosuch", "--days", "20240102"}, 1, "Unknown replay_name 'nosuch'"},
      // Schedules (the builder's tests check each against the true book).
      {book_of({"--schedule", "grid:0"}), 2, "the grid needs milliseconds"},
      {book_of({"--schedule", "hourly"}), 2, "none of events, grid:MS, trades:FILE"},
      {book_of({"--schedule", "trades:" + d + "down.txt"}), 2,
       "line 2: trade count 4 is below the one before it"},
      {book_of({"--auction-view", "vendor"}), 2, "'vendor' is neither book nor exchange"},
  };
  for (const auto& c : cases) {
    const Outcome r = quotelab(c.args);
    EXPECT_EQ(r.code, c.code) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << "\n" << r.err;
  }
}

TEST_F(ProgramTest, SimulateIsSeededAndWritesCsvHeadersTheReaderBinds) {
  simulate("a", {"--seed", "5", "--style", "sh"});
  simulate("b", {"--seed", "5", "--style", "sh"});
  simulate("c", {"--seed", "6", "--style", "sh"});
  EXPECT_EQ(slurp(path("a_orders.csv")), slurp(path("b_orders.csv")));
  EXPECT_EQ(slurp(path("a_trades.dat")), slurp(path("b_trades.dat")));
  EXPECT_NE(slurp(path("a_orders.dat")), slurp(path("c_orders.dat")));
  EXPECT_NE(slurp(path("a_orders.csv")).find("600000.SH,20240102,"), std::string::npos);
  const Outcome r = quotelab({"columns", "--file", path("a_trades.csv")});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("9 of 9 columns bound"), std::string::npos) << r.out;
}

// book from CSV or binary gives the same snapshots; options override what the records say.
TEST_F(ProgramTest, BookFromCsvOrBinaryGivesTheSameSnapshotsAndOptionsOverride) {
  simulate("s");
  const Outcome csv = book("s", ".csv", path("from_csv.dat"));
  ASSERT_EQ(csv.code, 0) << csv.err;
  // Without --quiet and with standard error a file, there is no progress bar either.
  const Outcome bin = quotelab({"book", "--orders", path("s_orders.dat"), "--trades",
                                path("s_trades.dat"), "--out", path("from_bin.dat")});
  ASSERT_EQ(bin.code, 0) << bin.err;
  EXPECT_EQ(bin.err, "");
  EXPECT_NE(bin.out.find("000001.SZ 20240102:"), std::string::npos) << bin.out;
  EXPECT_EQ(slurp(path("from_csv.dat")), slurp(path("from_bin.dat")));
  const auto ticks = read_records<_L2Snapshot>(path("from_bin.dat"));
  ASSERT_GT(ticks.size(), 100u);
  for (const _L2Snapshot& t : ticks) {
    ASSERT_EQ(field(t.trading_day), 20240102);  // so that the replays find the ticks under it
  }
  EXPECT_EQ(field(ticks.back().time), 150000000);
  const Outcome r = book("s", ".dat", path("d.dat"), {"--date", "20240105", "--exchange", "SH"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto moved = read_records<_L2Snapshot>(path("d.dat"));
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(field(moved.front().trading_day), 20240105);
  EXPECT_EQ(moved.front().exchange, 1);
  // A trade count schedule from a file separated by commas and line ends (refusals of bad
  // schedules: RefusalsNameTheProblem).
  spit(path("counts.txt"), "0\n5, 5\n40\n");
  ASSERT_EQ(
      book("s", ".dat", path("counts.dat"), {"--schedule", "trades:" + path("counts.txt")}).code,
      0);
  std::vector<int32_t> counts;
  for (const _L2Snapshot& s : read_records<_L2Snapshot>(path("counts.dat"))) {
    counts.push_back(field(s.num_trades));
  }
  EXPECT_EQ(counts, (std::vector<int32_t>{0, 5, 5, 40}));
}

TEST_F(ProgramTest, BookRootWritesTheDayLayoutInEitherFormat) {
  simulate("s");
  for (const char* format : {"csv", "bin"}) {
    const Outcome r =
        quotelab({"book", "--orders", path("s_orders.dat"), "--trades", path("s_trades.dat"),
                  "--root", dir_, "--out-format", format, "--interval-ms", "60000", "--quiet"});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const std::string ticks = slurp(path("20240102/tick.csv"));
  EXPECT_EQ(ticks.rfind("instrument,trading_day,action_day,time,", 0), 0u);
  // One snapshot a minute in continuous trading (4 hours), plus the auction and final ones.
  EXPECT_GT(count_lines(ticks), 240u);
  EXPECT_LT(count_lines(ticks), 400u);
  EXPECT_EQ(read_records<_L2Snapshot>(path("20240102/tick.dat")).size() + 1, count_lines(ticks));
}

TEST_F(ProgramTest, BookOfSeveralSymbolsNeedsAChoiceAndTheChoiceFilters) {
  simulate("a", {"--symbol", "000001"});
  simulate("b", {"--symbol", "000002", "--seed", "9"});
  spit(path("ab_orders.dat"), slurp(path("a_orders.dat")) + slurp(path("b_orders.dat")));
  spit(path("ab_trades.dat"), slurp(path("a_trades.dat")) + slurp(path("b_trades.dat")));
  Outcome r = book("ab", ".dat", path("ab.dat"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("several symbols (000001, 000002, ...)"), std::string::npos) << r.err;
  r = book("ab", ".dat", path("ab.dat"), {"--symbol", "000002"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(book("b", ".dat", path("b.dat")).code, 0);
  EXPECT_EQ(slurp(path("ab.dat")), slurp(path("b.dat")));
}

TEST_F(ProgramTest, ShanghaiSequenceIsCheckedAgainstTheFiles) {
  for (const std::string stem : {"sh", "other"}) {
    const Outcome r = quotelab(
        {"simulate", "--style", "sh", "--orders", "2000", "--seed", stem == "sh" ? "1" : "2",
         "--orders-out", path(stem + "_orders.dat"), "--trades-out", path(stem + "_trades.dat"),
         "--sequence-out", path(stem + "_seq.txt")});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  spit(path("junk_seq.txt"), "OOTX\n");
  const struct {
    const char* file;
    int code;
    std::string message;
  } cases[] = {{"sh_seq.txt", 0, "600000.SH"},
               {"other_seq.txt", 1, path("other_seq.txt")},
               {"junk_seq.txt", 1, "byte 3: expected O (order) or T (trade)"}};
  for (const auto& c : cases) {
    const Outcome r = book("sh", ".dat", path("sh.csv"), {"--sequence", path(c.file)});
    EXPECT_EQ(r.code, c.code) << c.file;
    EXPECT_NE((c.code == 0 ? r.out : r.err).find(c.message), std::string::npos) << r.out << r.err;
  }
}

// book's own snapshots are states of the day it rebuilt: verify finds them all. One altered
// snapshot is named by its record and fails a coverage of 100%, not the default 99.9%.
TEST_F(ProgramTest, VerifyFindsBooksSnapshotsAndNamesAnAlteredOne) {
  simulate("v");
  ASSERT_EQ(book("v", ".dat", path("ticks.dat")).code, 0);
  const Args verify = {"verify",         "--orders",           path("v_orders.csv"),
                       "--trades",       path("v_trades.csv"), "--snapshots",
                       path("ticks.dat")};
  Outcome r = quotelab(verify);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("closing statistics: equal"), std::string::npos) << r.out;
  for (const char* phase :
       {"\nopening auction: ", "\ncontinuous trading: ", "\nclosing auction: "}) {
    const size_t at = r.out.find(phase);
    ASSERT_NE(at, std::string::npos) << phase << r.out;
    EXPECT_NE(r.out.find("(100.00%)", at), std::string::npos) << r.out;
  }

  std::vector<_L2Snapshot> ticks = read_records<_L2Snapshot>(path("ticks.dat"));
  ASSERT_GT(ticks.size(), 1000u);
  ticks[998].bid_volume[0] += 1;  // record 999
  spit(path("ticks.dat"), std::string(reinterpret_cast<const char*>(ticks.data()),
                                      ticks.size() * sizeof(_L2Snapshot)));
  Args strict = verify;
  strict.insert(strict.end(), {"--min-coverage", "100"});
  r = quotelab(strict);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("line 999: continuous trading snapshot"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" is below 100.00%"), std::string::npos) << r.out;
  EXPECT_EQ(quotelab(verify).code, 0);  // one of some 2,400
}

class ProgramManifestTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    simulate("a", {"--symbol", "000001"});
    simulate("b", {"--symbol", "000002", "--seed", "4", "--date", "20240103"});
  }
};

TEST_F(ProgramManifestTest, ParallelJobsWriteWhatSingleRunsWrite) {
  // Relative paths are taken from the manifest's directory.
  spit(path("jobs.txt"),
       "# exchange symbol day orders trades out\n"
       "SZ 000001 20240102 a_orders.dat a_trades.dat m1.dat\n"
       "\n"
       "SZ,000002,20240103,b_orders.csv,b_trades.csv,m2.csv\n"
       "SZSE 000001 20240102 a_orders.csv a_trades.csv m3.csv  # the CSV copy\n");
  const Outcome r = quotelab({"book", "--manifest", path("jobs.txt"), "--jobs", "2", "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("manifest: 3 jobs on 2 threads, 0 failed"), std::string::npos) << r.out;
  ASSERT_EQ(book("a", ".dat", path("s1.dat")).code, 0);
  ASSERT_EQ(book("b", ".dat", path("s2.csv")).code, 0);
  ASSERT_EQ(book("a", ".csv", path("s3.csv")).code, 0);
  EXPECT_EQ(slurp(path("m1.dat")), slurp(path("s1.dat")));
  EXPECT_EQ(slurp(path("m2.csv")), slurp(path("s2.csv")));
  EXPECT_EQ(slurp(path("m3.csv")), slurp(path("s3.csv")));
}

TEST_F(ProgramManifestTest, AFailingJobIsCountedAndTheOthersFinishUnderTheRoot) {
  spit(path("jobs.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat\n"
       "SZ 000002 20240103 missing.dat b_trades.dat\n");
  const Outcome r = quotelab({"book", "--manifest", path("jobs.txt"), "--root", dir_});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("job 2 (manifest line 2) failed: cannot open"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("1 failed"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(path("20240102/tick.csv")));
}

TEST_F(ProgramTest, ReplayCountsEachDayAndWritesRecordsThatReadBack) {
  simulate("s");
  ASSERT_EQ(book("s", ".dat", path("ticks.csv"), {"--interval-ms", "60000"}).code, 0);
  ASSERT_EQ(book("s", ".dat", path("ticks.dat"), {"--interval-ms", "60000"}).code, 0);
  Outcome r = quotelab({"replay", "--kind", "csv", "--file", path("ticks.csv"), "--from",
                        "20240101", "--to", "20240102"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240101: 0 records"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("20240102: " +
                 std::to_string(read_records<_L2Snapshot>(path("ticks.dat")).size()) + " records"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("last:  15:00:00.000 000001.SZ"), std::string::npos) << r.out;
  // The binary replay consumes the record that ends a day (here the first one, asked for on
  // the day before); the program delivers it with its own day, so every record is written.
  r = quotelab({"replay", "--kind", "bin", "--file", path("ticks.dat"), "--days",
                "20240101,20240102", "--csv-out", path("out.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("out.csv")), slurp(path("ticks.csv")));
  r = quotelab({"replay", "--kind", "MOCK", "--freq", "5m", "--days", "20240102", "--csv-out",
                path("bars.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count_lines(slurp(path("bars.csv"))), 61u);

  // convert: ticks there and back.
  ASSERT_EQ(
      quotelab({"convert", "--in", path("ticks.csv"), "--kind", "tick", "--out", path("t.dat")})
          .code,
      0);
  ASSERT_EQ(quotelab({"convert", "--in", path("t.dat"), "--out", path("back.csv")}).code, 0);
  EXPECT_EQ(slurp(path("back.csv")), slurp(path("ticks.csv")));
}

// The vendor file's values are the reader's tests; here the bars go there and back.
TEST_F(ProgramTest, ConvertTakesVendorBarsToRecordsAndBack) {
  Outcome r = quotelab({"convert", "--in", QL_TEST_DATA_DIR "/files/vendor_bar.csv", "--kind",
                        "bar", "--out", path("bars.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(read_records<_BarData>(path("bars.dat")).size(), 2u);
  ASSERT_EQ(quotelab({"convert", "--in", path("bars.dat"), "--out", path("bars.csv")}).code, 0);
  r = quotelab({"convert", "--in", path("bars.csv"), "--kind", "bar", "--out", path("again.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("again.dat")), slurp(path("bars.dat")));
}

TEST_F(ProgramTest, ColumnsShowsBindingsAndWhatBindsNothing) {
  spit(path("v.csv"), "symbol,date,time,price,last_px,vol,foo\n600000.SH,2024-01-02,1,2,3,4,5\n");
  const Outcome r = quotelab({"columns", "--file", path("v.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  // "price" is one of last's names, but "last_px" comes first.
  for (const char* line :
       {"last_px                  -> last",
        "price                    (nothing: last is bound to column 4 'last_px')",
        "foo                      (nothing)", "5 of 7 columns bound"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
}

TEST_F(ProgramTest, DemoRunsWithoutDataAndSaysWhereTheSnapshotsWent) {
  Outcome r = quotelab({"demo", "--root", path("demo"), "--orders", "5000", "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find(path("demo") + "/20240102/tick.csv"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("match the trade file"), std::string::npos) << r.out;
  EXPECT_GT(count_lines(slurp(path("demo/20240102/tick.csv"))), 100u);
  // Without a root it uses a new directory under TMPDIR.
  std::string tmpdir = "TMPDIR=" + path("tmp");
  fs::create_directory(path("tmp"));
  char* env[] = {tmpdir.data(), nullptr};
  r = quotelab({"demo", "--orders", "2000"}, env);
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find(path("tmp") + "/quotelab-demo-"), std::string::npos) << r.out;
  const auto made = fs::directory_iterator(path("tmp"));
  ASSERT_NE(made, fs::directory_iterator());
  EXPECT_TRUE(fs::exists(made->path() / "20240102" / "tick.csv"));
  EXPECT_EQ(std::distance(fs::directory_iterator(path("tmp")), fs::directory_iterator()), 1);
}

}  // namespace
