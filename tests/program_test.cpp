// The quotelab program, run as a process: exit codes, outputs and messages of each subcommand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quotelab/records.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

template <class Rec>
std::vector<Rec> read_records(const std::string& path) {
  const std::string bytes = slurp(path);
  std::vector<Rec> out(bytes.size() / sizeof(Rec));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(Rec));
  return out;
}

// A copy of a field of a packed record: the assertion macros bind references, which must not
// point at a misaligned field.
template <class T>
T field(T value) {
  return value;
}

size_t count_lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// Each test gets a fresh directory; every path handed to the program is absolute.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quotelab-program-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs quotelab with args, standard output and error captured into files.
  Outcome quotelab(const std::vector<std::string>& args, char** env = environ) {
    std::vector<std::string> argv_text = {QL_TOOL_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = path(".stdout"), err_path = path(".stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    Outcome run;
    const int rc = posix_spawn(&pid, QL_TOOL_PATH, &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << QL_TOOL_PATH << ": " << std::strerror(rc);
      return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(out_path);
    run.err = slurp(err_path);
    return run;
  }

  // A small simulated day in both formats: orders/trades .csv and .dat.
  void simulate(const std::string& stem, const std::vector<std::string>& extra = {}) {
    for (const char* ext : {".csv", ".dat"}) {
      std::vector<std::string> args = {"simulate",
                                       "--orders",
                                       "3000",
                                       "--orders-out",
                                       path(stem + "_orders" + ext),
                                       "--trades-out",
                                       path(stem + "_trades" + ext)};
      args.insert(args.end(), extra.begin(), extra.end());
      const Outcome r = quotelab(args);
      ASSERT_EQ(r.code, 0) << r.err;
    }
  }

  Outcome book(const std::string& stem, const std::string& ext, const std::string& out,
               const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"book",
                                     "--orders",
                                     path(stem + "_orders" + ext),
                                     "--trades",
                                     path(stem + "_trades" + ext),
                                     "--out",
                                     out,
                                     "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return quotelab(args);
  }

  std::string dir_;
};

// ---- the program as a whole ------------------------------------------------------------------

TEST_F(ProgramTest, EverySubcommandHasHelpAndValuesMayFollowAnEqualsSign) {
  for (const char* cmd : {"simulate", "book", "replay", "convert", "columns", "demo"}) {
    const Outcome r = quotelab({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_NE(r.out.find(std::string("usage: quotelab ") + cmd), std::string::npos) << cmd;
    EXPECT_NE(r.out.find("example:"), std::string::npos) << cmd;
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
  spit(path("bad.csv"), "time,price,vol\n93000000,10,100\n");
  spit(path("clash.txt"),
       "SZ 000001 20240102 s_orders.dat s_trades.dat\nSZ 000002 20240102 s_orders.dat "
       "s_trades.dat\n");
  spit(path("short.txt"), "SZ 000001 20240102 s_orders.dat\n");
  const std::string d = dir_ + "/";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {{}, 2, "usage: quotelab <command>"},
      {{"rebuild"}, 2, "unknown command 'rebuild'"},
      {{"book", "--interval-ms", "abc"}, 2, "--interval-ms: 'abc' is not a whole number"},
      {{"book", "--interval-ms", "0"}, 2, "--interval-ms: 0 is out of range"},
      {{"book", "--quiet=yes"}, 2, "--quiet takes no value"},
      {{"book", "--date", "20240102", "--date", "20240103"}, 2, "--date is given twice"},
      {{"columns", "stray.csv"}, 2, "unexpected argument 'stray.csv'"},
      {{"simulate", "--bogus"}, 2, "unknown option '--bogus'"},
      {{"simulate", "--seed"}, 2, "--seed needs a value"},
      {{"simulate", "--style", "ny", "--orders-out", d + "o", "--trades-out", d + "t"},
       2,
       "--style: 'ny'"},
      {{"simulate", "--symbol", "000001.SZ", "--orders-out", d + "o", "--trades-out", d + "t"},
       2,
       "--symbol"},
      {{"simulate", "--orders-out", d + "o"}, 2, "--trades-out"},
      {{"simulate", "--orders", "100", "--orders-out", d + "no/dir/o.csv", "--trades-out",
        d + "t.csv"},
       1,
       "cannot create '" + d + "no/dir/o.csv'"},
      {{"book", "--orders", d + "none.csv", "--trades", d + "s_trades.csv", "--out", d + "x.csv"},
       1,
       "cannot open '" + d + "none.csv'"},
      // Files in the wrong role: the type codes, the columns or the size say so.
      {{"book", "--orders", d + "s_orders.dat", "--trades", d + "s_orders.dat", "--out",
        d + "x.csv"},
       1,
       "is not a file of trade records"},
      {{"book", "--orders", d + "s_orders.csv", "--trades", d + "s_orders.csv", "--out",
        d + "x.csv"},
       1,
       "has no bid_seq_num column: it is not a file of trade records"},
      {{"book", "--orders", d + "cut.dat", "--trades", d + "s_trades.dat", "--out", d + "x.csv"},
       1,
       "is not a multiple of 68 bytes"},
      {{"book", "--orders", d + "bad.csv", "--trades", d + "s_trades.csv", "--out", d + "x.csv"},
       1,
       "has no instrument column"},
      {{"book", "--orders", d + "s_orders.csv", "--trades", d + "s_trades.csv"},
       2,
       "--out FILE or --root DIR"},
      {{"book", "--orders", d + "s_orders.csv", "--trades", d + "s_trades.csv", "--exchange", "HK",
        "--out", d + "x.csv"},
       2,
       "--exchange: 'HK'"},
      // Two jobs of one day under one root would write one file.
      {{"book", "--manifest", d + "clash.txt", "--root", dir_}, 2, "lines 1 and 2 both write"},
      {{"book", "--manifest", d + "short.txt", "--root", dir_},
       2,
       "short.txt line 1: expected EXCHANGE SYMBOL DATE ORDERS TRADES [OUT]"},
      {{"book", "--manifest", d + "short.txt", "--root", dir_, "--symbol", "000001"},
       2,
       "--symbol belongs to a single job"},
      {{"replay", "--kind", "mock", "--from", "20240230", "--to", "20240301"},
       2,
       "--from: '20240230' is not a date"},
      {{"replay", "--kind", "nosuch", "--days", "20240102"}, 1, "Unknown replay_name 'nosuch'"},
      {{"replay", "--kind", "bin", "--days", "20240102"}, 2, "--file is needed for the bin kind"},
      {{"replay", "--kind", "csv", "--file", d + "none.csv", "--days", "20240102"},
       1,
       "cannot open '" + d + "none.csv'"},
      {{"replay", "--kind", "mock", "--freq", "daily", "--days", "20240102"},
       1,
       "next returned -1"},
      {{"replay", "--kind", "empty", "--from", "20240105", "--to", "20240101"},
       2,
       "--from 20240105 is after --to 20240101"},
      {{"convert", "--in", d + "s_orders.csv", "--out", d + "x.dat"}, 2, "--kind is needed"},
      {{"convert", "--in", d + "s_orders.dat", "--kind", "bar", "--out", d + "x.csv"},
       2,
       "holds order records"},
      {{"convert", "--in", d + "none.dat", "--out", d + "x.csv"},
       1,
       "cannot open '" + d + "none.dat'"},
      {{"columns", "--file", d + "none.csv"}, 1, "cannot open '" + d + "none.csv'"},
  };
  for (const auto& c : cases) {
    const Outcome r = quotelab(c.args);
    const std::string cmd = c.args.empty() ? "" : c.args[0] + " " + c.message;
    EXPECT_EQ(r.code, c.code) << cmd;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << cmd << "\n" << r.err;
  }
}

// ---- simulate --------------------------------------------------------------------------------

TEST_F(ProgramTest, SimulateIsSeededAndWritesCsvHeadersTheReaderBinds) {
  simulate("a", {"--seed", "5", "--style", "sh"});
  simulate("b", {"--seed", "5", "--style", "sh"});
  simulate("c", {"--seed", "6", "--style", "sh"});
  EXPECT_EQ(slurp(path("a_orders.csv")), slurp(path("b_orders.csv")));
  EXPECT_EQ(slurp(path("a_trades.dat")), slurp(path("b_trades.dat")));
  EXPECT_NE(slurp(path("a_orders.dat")), slurp(path("c_orders.dat")));
  const std::string orders = slurp(path("a_orders.csv"));
  EXPECT_EQ(orders.rfind("instrument,action_day,time,volume,price,seq_num,order_index,bs_flag,"
                         "order_type_sh\r\n",
                         0),
            0u);
  EXPECT_NE(orders.find("600000.SH,20240102,"), std::string::npos);
  const Outcome r = quotelab({"columns", "--file", path("a_trades.csv")});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("9 of 9 columns bound"), std::string::npos) << r.out;
}

// ---- book ------------------------------------------------------------------------------------

TEST_F(ProgramTest, BookFromCsvOrBinaryGivesTheSameSnapshotsOfTheRebuiltDay) {
  simulate("s");
  const Outcome csv = book("s", ".csv", path("from_csv.dat"));
  ASSERT_EQ(csv.code, 0) << csv.err;
  // Without --quiet and with standard error a file, there is no progress bar either.
  const Outcome bin = quotelab({"book", "--orders", path("s_orders.dat"), "--trades",
                                path("s_trades.dat"), "--out", path("from_bin.dat")});
  ASSERT_EQ(bin.code, 0) << bin.err;
  EXPECT_EQ(bin.err, "");
  EXPECT_NE(bin.out.find("000001.SZ 20240102:"), std::string::npos) << bin.out;
  EXPECT_NE(bin.out.find("snapshots in"), std::string::npos);
  EXPECT_EQ(slurp(path("from_csv.dat")), slurp(path("from_bin.dat")));
  const auto ticks = read_records<_L2Snapshot>(path("from_bin.dat"));
  ASSERT_GT(ticks.size(), 100u);
  for (const _L2Snapshot& t : ticks) {
    ASSERT_EQ(t.type, QL_RECORD_L2SNAPSHOT);
    ASSERT_EQ(field(t.trading_day), 20240102);  // so that the replays find the ticks under it
  }
  EXPECT_EQ(field(ticks.back().time), 150000000);

  // Options override what the records say and shape the snapshots.
  ASSERT_EQ(book("s", ".dat", path("i1000.dat"), {"--interval-ms", "1000"}).code, 0);
  // A sparse day: more snapshots at the shorter interval, not three times as many.
  EXPECT_GT(read_records<_L2Snapshot>(path("i1000.dat")).size(), ticks.size());
  const Outcome r = book("s", ".dat", path("d.dat"), {"--date", "20240105", "--exchange", "SH"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("000001.SH 20240105"), std::string::npos) << r.out;
  const auto moved = read_records<_L2Snapshot>(path("d.dat"));
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(field(moved.front().trading_day), 20240105);
  EXPECT_EQ(moved.front().exchange, 1);
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

// ---- book --manifest -------------------------------------------------------------------------

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

TEST_F(ProgramManifestTest, AFailingJobIsCountedAndTheOthersFinishAndRootsTakeTheLayout) {
  spit(path("jobs.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat m1.dat\n"
       "SZ 000002 20240103 missing.dat b_trades.dat m2.dat\n");
  Outcome r = quotelab({"book", "--manifest", path("jobs.txt"), "--jobs", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("job 2 (manifest line 2) failed: cannot open"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("1 failed"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(path("m1.dat")));

  spit(path("root.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat\n"
       "SZ 000002 20240103 b_orders.dat b_trades.dat\n");
  r = quotelab({"book", "--manifest", path("root.txt"), "--root", dir_, "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("20240102/tick.csv")));
  EXPECT_TRUE(fs::exists(path("20240103/tick.csv")));
}

// ---- replay and convert ------------------------------------------------------------------------

TEST_F(ProgramTest, ReplayCountsEachDayAndWritesRecordsThatReadBack) {
  simulate("s");
  ASSERT_EQ(book("s", ".dat", path("ticks.csv"), {"--interval-ms", "60000"}).code, 0);
  ASSERT_EQ(book("s", ".dat", path("ticks.dat"), {"--interval-ms", "60000"}).code, 0);
  const std::string day =
      "20240102: " + std::to_string(read_records<_L2Snapshot>(path("ticks.dat")).size()) +
      " records";
  Outcome r = quotelab({"replay", "--kind", "csv", "--file", path("ticks.csv"), "--from",
                        "20240101", "--to", "20240102"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240101: 0 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(day), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("first: 09:"), std::string::npos);
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
  EXPECT_EQ(slurp(path("bars.csv")).rfind("instrument,trading_day,action_day,time,open", 0), 0u);
  r = quotelab({"replay", "--kind", "empty", "--from", "20240228", "--to", "20240301"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240229: 0 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("20240301: 0 records"), std::string::npos) << r.out;

  // convert: ticks and orders there and back.
  r = quotelab({"convert", "--in", path("ticks.csv"), "--kind", "tick", "--out", path("t.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tick records"), std::string::npos);
  ASSERT_EQ(quotelab({"convert", "--in", path("t.dat"), "--out", path("back.csv")}).code, 0);
  EXPECT_EQ(slurp(path("back.csv")), slurp(path("ticks.csv")));
  ASSERT_EQ(quotelab({"convert", "--in", path("s_orders.dat"), "--out", path("o.csv")}).code, 0);
  ASSERT_EQ(
      quotelab({"convert", "--in", path("o.csv"), "--kind", "order", "--out", path("o.dat")}).code,
      0);
  EXPECT_EQ(slurp(path("o.dat")), slurp(path("s_orders.dat")));
}

TEST_F(ProgramTest, ConvertReadsVendorBarsAndTradesWithTheirValues) {
  Outcome r = quotelab({"convert", "--in", QL_TEST_DATA_DIR "/files/vendor_bar.csv", "--kind",
                        "bar", "--out", path("bars.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto bars = read_records<_BarData>(path("bars.dat"));
  ASSERT_EQ(bars.size(), 2u);
  EXPECT_EQ(bars[0].type, QL_RECORD_BAR);
  EXPECT_STREQ(bars[0].symbol, "600000");
  EXPECT_EQ(bars[0].exchange, 1);
  EXPECT_DOUBLE_EQ(field(bars[0].high), 10.8);
  EXPECT_EQ(field(bars[0].volume), 100);
  EXPECT_EQ(field(bars[1].trading_day), 20230106);
  ASSERT_EQ(quotelab({"convert", "--in", path("bars.dat"), "--out", path("bars.csv")}).code, 0);
  r = quotelab({"convert", "--in", path("bars.csv"), "--kind", "bar", "--out", path("again.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("again.dat")), slurp(path("bars.dat")));

  r = quotelab({"convert", "--in", QL_TEST_DATA_DIR "/files/vendor_trade.csv", "--kind", "trade",
                "--out", path("trades.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto trades = read_records<_L2Trade>(path("trades.dat"));
  ASSERT_GE(trades.size(), 4u);
  EXPECT_EQ(field(trades[0].bid_seq_num), 5000000000LL);
  EXPECT_EQ(trades[0].bs_flag, 'B');
  EXPECT_EQ(field(trades[0].action_day), 20230105);
  EXPECT_EQ(field(trades[3].ask_seq_num), 14);
}

// ---- columns and demo ------------------------------------------------------------------------

TEST_F(ProgramTest, ColumnsShowsBindingsAndWhatBindsNothing) {
  spit(path("v.csv"), "symbol,date,time,price,last_px,vol,foo\n600000.SH,2024-01-02,1,2,3,4,5\n");
  Outcome r = quotelab({"columns", "--file", path("v.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* line :
       {"symbol                   -> instrument", "date                     -> datetime",
        "last_px                  -> last",
        // "price" is one of last's names, but "last_px" comes first.
        "price                    (nothing: last is bound to column 4 'last_px')",
        "foo                      (nothing)", "5 of 7 columns bound"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  spit(path("n.csv"), "time;price\n1;2\n");
  r = quotelab({"columns", "--file", path("n.csv"), "--delimiter", ";"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("no instrument column"), std::string::npos) << r.out;
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
  size_t days = 0;
  for (const auto& entry : fs::directory_iterator(path("tmp"))) {
    EXPECT_EQ(entry.path().filename().string().rfind("quotelab-demo-", 0), 0u);
    EXPECT_TRUE(fs::exists(entry.path() / "20240102" / "tick.csv"));
    ++days;
  }
  EXPECT_EQ(days, 1u);
}

}  // namespace
