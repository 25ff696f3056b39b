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
using ProgramCommandLineTest = ProgramTest;

TEST_F(ProgramCommandLineTest, NoArgumentsPrintsUsageAndFails) {
  const Outcome r = quotelab({});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("usage: quotelab <command>"), std::string::npos);
}

TEST_F(ProgramCommandLineTest, UnknownCommandIsNamed) {
  const Outcome r = quotelab({"rebuild"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unknown command 'rebuild'"), std::string::npos);
}

TEST_F(ProgramCommandLineTest, EverySubcommandHasHelp) {
  for (const char* cmd : {"simulate", "book", "replay", "convert", "columns", "demo"}) {
    const Outcome r = quotelab({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_NE(r.out.find(std::string("usage: quotelab ") + cmd), std::string::npos) << cmd;
    EXPECT_NE(r.out.find("example:"), std::string::npos) << cmd;
  }
}

TEST_F(ProgramCommandLineTest, OptionErrorsNameTheOption) {
  Outcome r = quotelab({"book", "--interval-ms", "abc"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--interval-ms: 'abc' is not a whole number"), std::string::npos) << r.err;
  r = quotelab({"book", "--interval-ms", "0"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--interval-ms: 0 is out of range"), std::string::npos) << r.err;
  r = quotelab({"simulate", "--bogus"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unknown option '--bogus'"), std::string::npos) << r.err;
  r = quotelab({"simulate", "--seed"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--seed needs a value"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "mock", "--from", "20240230", "--to", "20240301"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--from: '20240230' is not a date"), std::string::npos) << r.err;
}

TEST_F(ProgramCommandLineTest, ValuesMayFollowAnEqualsSignAndOptionsComeOnce) {
  Outcome r = quotelab({"simulate", "--orders=500", "--seed=3", "--orders-out=" + path("o.dat"),
                        "--trades-out", path("t.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("seed 3"), std::string::npos) << r.out;
  r = quotelab({"book", "--quiet=yes"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--quiet takes no value"), std::string::npos) << r.err;
  r = quotelab({"book", "--date", "20240102", "--date", "20240103"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--date is given twice"), std::string::npos) << r.err;
  r = quotelab({"columns", "stray.csv"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("unexpected argument 'stray.csv'"), std::string::npos) << r.err;
}

// ---- simulate --------------------------------------------------------------------------------
using ProgramSimulateTest = ProgramTest;

TEST_F(ProgramSimulateTest, SameSeedSameFilesOtherSeedOtherFiles) {
  simulate("a", {"--seed", "5"});
  simulate("b", {"--seed", "5"});
  simulate("c", {"--seed", "6"});
  EXPECT_EQ(slurp(path("a_orders.csv")), slurp(path("b_orders.csv")));
  EXPECT_EQ(slurp(path("a_trades.dat")), slurp(path("b_trades.dat")));
  EXPECT_NE(slurp(path("a_orders.dat")), slurp(path("c_orders.dat")));
}

TEST_F(ProgramSimulateTest, CsvFilesHaveHeadersTheReaderBinds) {
  simulate("d", {"--style", "sh"});
  const std::string orders = slurp(path("d_orders.csv"));
  EXPECT_EQ(orders.rfind("instrument,action_day,time,volume,price,seq_num,order_index,bs_flag,"
                         "order_type_sh\r\n",
                         0),
            0u);
  EXPECT_NE(orders.find("600000.SH,20240102,"), std::string::npos);
  const Outcome r = quotelab({"columns", "--file", path("d_trades.csv")});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("9 of 9 columns bound"), std::string::npos) << r.out;
}

TEST_F(ProgramSimulateTest, BadArgumentsAndUnwritableOutput) {
  Outcome r =
      quotelab({"simulate", "--style", "ny", "--orders-out", path("o"), "--trades-out", path("t")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--style: 'ny'"), std::string::npos);
  r = quotelab(
      {"simulate", "--symbol", "000001.SZ", "--orders-out", path("o"), "--trades-out", path("t")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--symbol"), std::string::npos);
  r = quotelab({"simulate", "--orders-out", path("o")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--trades-out"), std::string::npos);
  r = quotelab({"simulate", "--orders", "100", "--orders-out", path("no/such/dir/o.csv"),
                "--trades-out", path("t.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot create '" + path("no/such/dir/o.csv") + "'"), std::string::npos)
      << r.err;
}

// ---- book ------------------------------------------------------------------------------------
using ProgramBookTest = ProgramTest;

TEST_F(ProgramBookTest, CsvAndBinaryInputsGiveTheSameSnapshots) {
  simulate("s");
  const Outcome csv = book("s", ".csv", path("from_csv.dat"));
  const Outcome bin = book("s", ".dat", path("from_bin.dat"));
  ASSERT_EQ(csv.code, 0) << csv.err;
  ASSERT_EQ(bin.code, 0) << bin.err;
  EXPECT_NE(bin.out.find("000001.SZ 20240102:"), std::string::npos) << bin.out;
  EXPECT_NE(bin.out.find("snapshots in"), std::string::npos);
  EXPECT_EQ(slurp(path("from_csv.dat")), slurp(path("from_bin.dat")));
  const auto ticks = read_records<_L2Snapshot>(path("from_bin.dat"));
  ASSERT_GT(ticks.size(), 100u);
  for (const _L2Snapshot& t : ticks) {
    ASSERT_EQ(t.type, QL_RECORD_L2SNAPSHOT);
    // The day rebuilt, so that the replays find the ticks under it.
    ASSERT_EQ(field(t.trading_day), 20240102);
  }
  EXPECT_EQ(field(ticks.back().time), 150000000);
}

TEST_F(ProgramBookTest, RootWritesTheDayLayoutAndCsvHasItsHeader) {
  simulate("s");
  const Outcome r =
      quotelab({"book", "--orders", path("s_orders.dat"), "--trades", path("s_trades.dat"),
                "--root", dir_, "--interval-ms", "60000", "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string ticks = slurp(path("20240102/tick.csv"));
  EXPECT_EQ(ticks.rfind("instrument,trading_day,action_day,time,", 0), 0u);
  // One snapshot a minute in continuous trading (4 hours), plus the auction and final ones.
  EXPECT_GT(count_lines(ticks), 240u);
  EXPECT_LT(count_lines(ticks), 400u);
  const Outcome bin =
      quotelab({"book", "--orders", path("s_orders.dat"), "--trades", path("s_trades.dat"),
                "--root", dir_, "--out-format", "bin", "--interval-ms", "60000", "--quiet"});
  ASSERT_EQ(bin.code, 0) << bin.err;
  EXPECT_EQ(read_records<_L2Snapshot>(path("20240102/tick.dat")).size() + 1, count_lines(ticks));
}

TEST_F(ProgramBookTest, MissingAndWrongFilesAreNamed) {
  simulate("s");
  Outcome r = quotelab({"book", "--orders", path("none.csv"), "--trades", path("s_trades.csv"),
                        "--out", path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot open '" + path("none.csv") + "'"), std::string::npos) << r.err;
  // Orders where trades belong: the type codes say so.
  r = quotelab({"book", "--orders", path("s_orders.dat"), "--trades", path("s_orders.dat"), "--out",
                path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is not a file of trade records"), std::string::npos) << r.err;
  // The same mistake with CSV files: their columns say so.
  r = quotelab({"book", "--orders", path("s_orders.csv"), "--trades", path("s_orders.csv"), "--out",
                path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("has no bid_seq_num column: it is not a file of trade records"),
            std::string::npos)
      << r.err;
  // A cut file: not a whole number of records.
  const std::string orders = slurp(path("s_orders.dat"));
  spit(path("cut.dat"), orders.substr(0, orders.size() - 5));
  r = quotelab({"book", "--orders", path("cut.dat"), "--trades", path("s_trades.dat"), "--out",
                path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is not a multiple of 68 bytes"), std::string::npos) << r.err;
  // A CSV file without an instrument column.
  spit(path("bad.csv"), "time,price,vol\n93000000,10,100\n");
  r = quotelab({"book", "--orders", path("bad.csv"), "--trades", path("s_trades.csv"), "--out",
                path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("has no instrument column"), std::string::npos) << r.err;
  r = quotelab({"book", "--orders", path("s_orders.csv"), "--trades", path("s_trades.csv")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--out FILE or --root DIR"), std::string::npos) << r.err;
  r = quotelab({"book", "--orders", path("s_orders.csv"), "--trades", path("s_trades.csv"),
                "--exchange", "HK", "--out", path("x.csv")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--exchange: 'HK'"), std::string::npos) << r.err;
}

TEST_F(ProgramBookTest, SeveralSymbolsNeedAChoiceAndTheChoiceFilters) {
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

TEST_F(ProgramBookTest, ShanghaiSequenceIsCheckedAgainstTheFiles) {
  for (const char* stem : {"sh", "other"}) {
    const Outcome r = quotelab({"simulate", "--style", "sh", "--orders", "2000", "--seed",
                                std::string(stem) == "sh" ? "1" : "2", "--orders-out",
                                path(std::string(stem) + "_orders.dat"), "--trades-out",
                                path(std::string(stem) + "_trades.dat"), "--sequence-out",
                                path(std::string(stem) + "_seq.txt")});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  Outcome r = book("sh", ".dat", path("sh.csv"), {"--sequence", path("sh_seq.txt")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("600000.SH"), std::string::npos);
  r = book("sh", ".dat", path("sh.csv"), {"--sequence", path("other_seq.txt")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(path("other_seq.txt")), std::string::npos) << r.err;
  spit(path("junk_seq.txt"), "OOTX\n");
  r = book("sh", ".dat", path("sh.csv"), {"--sequence", path("junk_seq.txt")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("byte 3: expected O (order) or T (trade)"), std::string::npos) << r.err;
}

TEST_F(ProgramBookTest, OptionsOverrideTheRecordsAndShapeTheSnapshots) {
  simulate("s");
  ASSERT_EQ(book("s", ".dat", path("i3000.dat")).code, 0);
  ASSERT_EQ(book("s", ".dat", path("i1000.dat"), {"--interval-ms", "1000"}).code, 0);
  // A sparse day: more snapshots at the shorter interval, not three times as many.
  EXPECT_GT(read_records<_L2Snapshot>(path("i1000.dat")).size(),
            read_records<_L2Snapshot>(path("i3000.dat")).size());
  const Outcome r = book("s", ".dat", path("d.dat"), {"--date", "20240105", "--exchange", "SH"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("000001.SH 20240105"), std::string::npos) << r.out;
  const auto ticks = read_records<_L2Snapshot>(path("d.dat"));
  ASSERT_FALSE(ticks.empty());
  EXPECT_EQ(field(ticks.front().trading_day), 20240105);
  EXPECT_EQ(ticks.front().exchange, 1);
}

TEST_F(ProgramBookTest, TheProgressBarStaysOffWhenStandardErrorIsAFile) {
  simulate("s");
  const Outcome r = quotelab({"book", "--orders", path("s_orders.dat"), "--trades",
                              path("s_trades.dat"), "--out", path("x.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
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

TEST_F(ProgramManifestTest, AFailingJobIsCountedAndTheOthersFinish) {
  spit(path("jobs.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat m1.dat\n"
       "SZ 000002 20240103 missing.dat b_trades.dat m2.dat\n");
  const Outcome r = quotelab({"book", "--manifest", path("jobs.txt"), "--jobs", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("job 2 (manifest line 2) failed: cannot open"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("1 failed"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(path("m1.dat")));
}

TEST_F(ProgramManifestTest, RootLayoutAndRefusedManifests) {
  spit(path("root.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat\n"
       "SZ 000002 20240103 b_orders.dat b_trades.dat\n");
  Outcome r = quotelab({"book", "--manifest", path("root.txt"), "--root", dir_, "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("20240102/tick.csv")));
  EXPECT_TRUE(fs::exists(path("20240103/tick.csv")));
  // Two jobs of one day under one root would write one file.
  spit(path("clash.txt"),
       "SZ 000001 20240102 a_orders.dat a_trades.dat\n"
       "SZ 000002 20240102 b_orders.dat b_trades.dat\n");
  r = quotelab({"book", "--manifest", path("clash.txt"), "--root", dir_});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("lines 1 and 2 both write"), std::string::npos) << r.err;
  spit(path("short.txt"), "SZ 000001 20240102 a_orders.dat\n");
  r = quotelab({"book", "--manifest", path("short.txt"), "--root", dir_});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("short.txt line 1: expected EXCHANGE SYMBOL DATE ORDERS TRADES [OUT]"),
            std::string::npos)
      << r.err;
  r = quotelab({"book", "--manifest", path("root.txt"), "--root", dir_, "--symbol", "000001"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--symbol belongs to a single job"), std::string::npos) << r.err;
}

// ---- replay ----------------------------------------------------------------------------------
class ProgramReplayTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    simulate("s");
    ASSERT_EQ(book("s", ".dat", path("ticks.csv"), {"--interval-ms", "60000"}).code, 0);
    ASSERT_EQ(book("s", ".dat", path("ticks.dat"), {"--interval-ms", "60000"}).code, 0);
    ticks_ = read_records<_L2Snapshot>(path("ticks.dat")).size();
  }
  size_t ticks_ = 0;
};

TEST_F(ProgramReplayTest, CsvReplayCountsEachDay) {
  const Outcome r = quotelab({"replay", "--kind", "csv", "--file", path("ticks.csv"), "--from",
                              "20240101", "--to", "20240102"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240101: 0 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("20240102: " + std::to_string(ticks_) + " records"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("first: 09:"), std::string::npos);
  EXPECT_NE(r.out.find("last:  15:00:00.000 000001.SZ"), std::string::npos) << r.out;
}

TEST_F(ProgramReplayTest, BinaryReplayLosesNoRecordBetweenDays) {
  // The binary replay consumes the record that ends a day (here the first one, asked for on
  // the day before); the program delivers it with its own day.
  const Outcome r = quotelab(
      {"replay", "--kind", "bin", "--file", path("ticks.dat"), "--days", "20240101,20240102"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240102: " + std::to_string(ticks_) + " records"), std::string::npos)
      << r.out;
}

TEST_F(ProgramReplayTest, CsvOutWritesRecordsThatReadBack) {
  Outcome r = quotelab({"replay", "--kind", "bin", "--file", path("ticks.dat"), "--days",
                        "20240102", "--csv-out", path("out.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("out.csv")), slurp(path("ticks.csv")));
  r = quotelab({"replay", "--kind", "MOCK", "--freq", "5m", "--days", "20240102", "--csv-out",
                path("bars.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count_lines(slurp(path("bars.csv"))), 61u);
  EXPECT_EQ(slurp(path("bars.csv")).rfind("instrument,trading_day,action_day,time,open", 0), 0u);
}

TEST_F(ProgramReplayTest, BadKindsAndMissingFiles) {
  Outcome r = quotelab({"replay", "--kind", "nosuch", "--days", "20240102"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Unknown replay_name 'nosuch'"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "bin", "--days", "20240102"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--file is needed for the bin kind"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "csv", "--file", path("none.csv"), "--days", "20240102"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot open '" + path("none.csv") + "'"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "mock", "--freq", "daily", "--days", "20240102"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("next returned -1"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "empty", "--from", "20240105", "--to", "20240101"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--from 20240105 is after --to 20240101"), std::string::npos) << r.err;
  r = quotelab({"replay", "--kind", "empty", "--from", "20240228", "--to", "20240301"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("20240229: 0 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("20240301: 0 records"), std::string::npos) << r.out;
}

// ---- convert ---------------------------------------------------------------------------------
using ProgramConvertTest = ProgramTest;

TEST_F(ProgramConvertTest, TicksAndOrdersRoundTrip) {
  simulate("s");
  ASSERT_EQ(book("s", ".dat", path("ticks.csv")).code, 0);
  Outcome r = quotelab(
      {"convert", "--in", path("ticks.csv"), "--kind", "tick", "--out", path("ticks.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tick records"), std::string::npos);
  r = quotelab({"convert", "--in", path("ticks.dat"), "--out", path("back.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("back.csv")), slurp(path("ticks.csv")));
  r = quotelab({"convert", "--in", path("s_orders.dat"), "--out", path("orders.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  r = quotelab(
      {"convert", "--in", path("orders.csv"), "--kind", "order", "--out", path("orders.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("orders.dat")), slurp(path("s_orders.dat")));
}

TEST_F(ProgramConvertTest, VendorBarsBecomeBinaryAndComeBackWithTheirValues) {
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
  r = quotelab({"convert", "--in", path("bars.dat"), "--out", path("bars.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  r = quotelab({"convert", "--in", path("bars.csv"), "--kind", "bar", "--out", path("again.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(path("again.dat")), slurp(path("bars.dat")));
}

TEST_F(ProgramConvertTest, VendorTradesKeepTheirSequenceNumbersAndFlags) {
  const Outcome r = quotelab({"convert", "--in", QL_TEST_DATA_DIR "/files/vendor_trade.csv",
                              "--kind", "trade", "--out", path("trades.dat")});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto trades = read_records<_L2Trade>(path("trades.dat"));
  ASSERT_GE(trades.size(), 4u);
  EXPECT_EQ(field(trades[0].bid_seq_num), 5000000000LL);
  EXPECT_EQ(trades[0].bs_flag, 'B');
  EXPECT_EQ(field(trades[0].action_day), 20230105);
  EXPECT_EQ(field(trades[3].ask_seq_num), 14);
}

TEST_F(ProgramConvertTest, KindIsNeededForCsvAndCheckedForBinary) {
  simulate("s");
  Outcome r = quotelab({"convert", "--in", path("s_orders.csv"), "--out", path("x.dat")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--kind is needed"), std::string::npos) << r.err;
  r = quotelab({"convert", "--in", path("s_orders.dat"), "--kind", "bar", "--out", path("x.csv")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("holds order records"), std::string::npos) << r.err;
  r = quotelab({"convert", "--in", path("none.dat"), "--out", path("x.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot open '" + path("none.dat") + "'"), std::string::npos) << r.err;
}

// ---- columns ---------------------------------------------------------------------------------
using ProgramColumnsTest = ProgramTest;

TEST_F(ProgramColumnsTest, ShowsBindingsAndWhatBindsNothing) {
  spit(path("v.csv"), "symbol,date,time,price,last_px,vol,foo\n600000.SH,2024-01-02,1,2,3,4,5\n");
  const Outcome r = quotelab({"columns", "--file", path("v.csv")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("symbol                   -> instrument"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("date                     -> datetime"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("last_px                  -> last"), std::string::npos) << r.out;
  // "price" is one of last's names, but "last_px" comes first in its list.
  EXPECT_NE(r.out.find("price                    (nothing: last is bound to column 4 'last_px')"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("foo                      (nothing)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("5 of 7 columns bound"), std::string::npos) << r.out;
}

TEST_F(ProgramColumnsTest, NoInstrumentAndMissingFile) {
  spit(path("n.csv"), "time;price\n1;2\n");
  Outcome r = quotelab({"columns", "--file", path("n.csv"), "--delimiter", ";"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("no instrument column"), std::string::npos) << r.out;
  r = quotelab({"columns", "--file", path("none.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot open '" + path("none.csv") + "'"), std::string::npos) << r.err;
}

// ---- demo ------------------------------------------------------------------------------------
using ProgramDemoTest = ProgramTest;

TEST_F(ProgramDemoTest, RunsWithoutDataAndSaysWhereTheSnapshotsWent) {
  const Outcome r = quotelab({"demo", "--root", path("demo"), "--orders", "5000", "--quiet"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find(path("demo") + "/20240102/tick.csv"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("match the trade file"), std::string::npos) << r.out;
  EXPECT_GT(count_lines(slurp(path("demo/20240102/tick.csv"))), 100u);
}

TEST_F(ProgramDemoTest, WithoutRootItUsesANewDirectoryUnderTmpdir) {
  std::string tmpdir = "TMPDIR=" + dir_;
  char* env[] = {tmpdir.data(), nullptr};
  const Outcome r = quotelab({"demo", "--orders", "2000"}, env);
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find(dir_ + "/quotelab-demo-"), std::string::npos) << r.out;
  size_t days = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().filename().string().rfind("quotelab-demo-", 0) == 0) {
      EXPECT_TRUE(fs::exists(entry.path() / "20240102" / "tick.csv"));
      ++days;
    }
  }
  EXPECT_EQ(days, 1u);
}

}  // namespace
