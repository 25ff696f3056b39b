// The program's input layer, run as `quotelab book`: every layout rebuilds the day that
// quotelab's own files give, bad rows and times going back fail loudly unless --lenient, and a
// manifest names profiles and sequences.
#include "program_fixture.h"

namespace {

class InputFilesTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    fs::create_directory(path("20240102"));
  }

  // quotelab with the words of a command line (no word holds a blank).
  Outcome run(const std::string& line) {
    Args args;
    std::istringstream words(line);
    for (std::string w; words >> w;) args.push_back(w);
    return quotelab(args);
  }

  // A simulated day in a layout (sh-a, sh-b, sh-ticks, sz) under DIR/20240102/.
  void simulate_layout(const std::string& layout, const std::string& stem) {
    const Outcome r = run("simulate --orders 3000 --seed 5 --layout " + layout + " --orders-out " +
                          path("20240102/" + stem + "_o.csv") + " --trades-out " +
                          path("20240102/" + stem + "_t.csv"));
    ASSERT_EQ(r.code, 0) << r.err;
  }
};

TEST_F(InputFilesTest, EveryLayoutRebuildsTheDayOfQuotelabsOwnFiles) {
  for (const char* style : {"sh", "sz"}) {
    const std::string s = style;
    const Outcome own =
        run("simulate --orders 3000 --seed 5 --style " + s + " --orders-out " + path(s + "_o.csv") +
            " --trades-out " + path(s + "_t.csv") + " --sequence-out " + path(s + "_seq.txt"));
    ASSERT_EQ(own.code, 0) << own.err;
    const Outcome b =
        run("book --quiet --orders " + path(s + "_o.csv") + " --trades " + path(s + "_t.csv") +
            " --sequence " + path(s + "_seq.txt") + " --out " + path(s + "_own.csv"));
    ASSERT_EQ(b.code, 0) << b.err;
  }
  const struct {
    const char* layout;
    const char* style;
    const char* chosen;
  } cases[] = {{"sh-a", "sh", "sh-a-orders + sh-a-trades"},
               {"sh-b", "sh", "sh-b-orders + sh-b-trades"},
               {"sh-ticks", "sh", "sh-ticks"},
               {"sz", "sz", "sz-orders + sz-trades"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    simulate_layout(c.layout, c.layout);
    const std::string trades =
        std::string(c.layout) == "sh-ticks"
            ? ""
            : " --trades " + path(std::string("20240102/") + c.layout + "_t.csv");
    const Outcome r =
        run("book --quiet --orders " + path(std::string("20240102/") + c.layout + "_o.csv") +
            trades + " --out " + path(std::string(c.layout) + ".csv"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(c.chosen), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(path(std::string(c.layout) + ".csv")),
              slurp(path(std::string(c.style) + "_own.csv")));
  }
}

TEST_F(InputFilesTest, RefusedRowsFailUnlessLenientAndAreReportedEitherWay) {
  simulate_layout("sh-a", "a");
  std::string orders = slurp(path("20240102/a_o.csv"));
  const size_t third_line = orders.find('\n', orders.find('\n') + 1) + 1;
  orders.replace(orders.find(",B,", third_line) < orders.find('\n', third_line)
                     ? orders.find(",B,", third_line)
                     : orders.find(",S,", third_line),
                 3, ",1,");
  spit(path("20240102/a_o.csv"), orders);
  const std::string args = "book --quiet --orders " + path("20240102/a_o.csv") + " --trades " +
                           path("20240102/a_t.csv") + " --out " + path("a.csv");
  Outcome r = run(args);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("a_o.csv' line 3: unknown side code: OrderBSFlag '1'"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("1 row refused: 1 unknown side code"), std::string::npos) << r.err;
  r = run(args + " --lenient");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("unknown side code"), std::string::npos);
}

TEST_F(InputFilesTest, TimesGoingBackAreNamedAndLenientKeepsEverySnapshot) {
  const Outcome s = run("simulate --orders 3000 --seed 5 --style sz --orders-out " + path("o.csv") +
                        " --trades-out " + path("t.csv"));
  ASSERT_EQ(s.code, 0) << s.err;
  // Swap two order rows far apart in time.
  std::vector<std::string> lines;
  std::istringstream in(slurp(path("o.csv")));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::swap(lines[100], lines[2000]);
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  spit(path("o.csv"), text);
  const std::string args = "book --quiet --orders " + path("o.csv") + " --trades " + path("t.csv") +
                           " --out " + path("x.csv");
  Outcome r = run(args);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("goes back"), std::string::npos) << r.err;
  r = run(args + " --lenient");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;  // the builder never stopped
}

// A Shenzhen own-side-best order takes its side's best price as it enters; with its side empty
// it is a refused row like any other: named with its line, and failing the job unless lenient.
TEST_F(InputFilesTest, OwnSideBestOrdersArePricedOrRefusedWithTheirLine) {
  spit(path("o.csv"),
       "SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType\n"
       "000001,20230711093000120,1,2011,10.00,100,1,2\n"
       "000001,20230711093000130,2,2011,0,200,1,U\n"
       "000001,20230711093000140,3,2011,0,300,2,U\n");
  spit(path("t.csv"),
       "SecurityID,TransactTime,ApplSeqNum,ChannelNo,BidApplSeqNum,OfferApplSeqNum,LastPx,"
       "LastQty,ExecType\n");
  const std::string args = "book --quiet --orders " + path("o.csv") + " --trades " + path("t.csv") +
                           " --out " + path("x.csv");
  Outcome r = run(args);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("o.csv' line 4: own-side best order with its side empty: order 3 (sell)"),
            std::string::npos)
      << r.err;
  r = run(args + " --lenient");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("2 orders"), std::string::npos) << r.out;
  // The last snapshot: bid 10.00 for 300 (the limit order and the own-side best one beside it).
  const std::string ticks = slurp(path("x.csv"));
  const std::string last = ticks.substr(ticks.rfind('\n', ticks.size() - 2) + 1);
  EXPECT_NE(last.find(",10,"), std::string::npos) << last;
  EXPECT_NE(last.find(",300,"), std::string::npos) << last;
}

TEST_F(InputFilesTest, ShanghaiWithoutSequenceWarnsAndEmptyOrdersAreRefused) {
  const Outcome s = run("simulate --orders 2000 --style sh --orders-out " + path("o.csv") +
                        " --trades-out " + path("t.csv"));
  ASSERT_EQ(s.code, 0) << s.err;
  Outcome r = run("book --quiet --orders " + path("o.csv") + " --trades " + path("t.csv") +
                  " --out " + path("x.csv"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: Shanghai orders and trades without the exchange's sequence"),
            std::string::npos)
      << r.err;
  spit(path("empty.csv"), slurp(path("o.csv")).substr(0, slurp(path("o.csv")).find('\n') + 1));
  r = run("book --quiet --orders " + path("empty.csv") + " --trades " + path("t.csv") + " --out " +
          path("x.csv"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("empty.csv' holds no orders"), std::string::npos) << r.err;
}

TEST_F(InputFilesTest, FilesOfDifferentSymbolsNameTheFileAtFault) {
  for (const char* sym : {"000001", "000002"}) {
    const Outcome r = run(std::string("simulate --orders 500 --symbol ") + sym + " --orders-out " +
                          path(std::string(sym) + "_o.csv") + " --trades-out " +
                          path(std::string(sym) + "_t.csv"));
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const Outcome r = run("book --quiet --orders " + path("000001_o.csv") + " --trades " +
                        path("000002_t.csv") + " --out " + path("x.csv"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(
      r.err.find("000002_t.csv' holds 000002 but '" + path("000001_o.csv") + "' holds 000001"),
      std::string::npos)
      << r.err;
}

TEST_F(InputFilesTest, ManifestLinesNameProfilesAndSequences) {
  simulate_layout("sh-b", "b");
  // Layout B with two renamed columns, read through a profile file.
  std::string orders = slurp(path("20240102/b_o.csv"));
  orders.replace(0, orders.find('\n'),
                 "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,"
                 "ReceiveDateTime,OrderIndex,Kind,Px,OrderQty,OrderBSFlag,ChannelNo,ApplSeqNum,"
                 "OrderNO,SecurityID");
  spit(path("20240102/b_o.csv"), orders);
  spit(path("vendor.profile"), "layout = sh-b-orders\ntype = Kind\nprice = Px\n");
  const Outcome own =
      run("simulate --orders 3000 --seed 5 --style sh --orders-out " + path("o.csv") +
          " --trades-out " + path("t.csv") + " --sequence-out " + path("seq.txt"));
  ASSERT_EQ(own.code, 0);
  spit(path("jobs.txt"),
       "SH 600000 20240102 o.csv t.csv own.csv sequence=seq.txt\n"
       "SH 600000 20240102 20240102/b_o.csv 20240102/b_t.csv b.csv profile=vendor.profile\n");
  const Outcome r = run("book --quiet --manifest " + path("jobs.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("sh-b-orders + sh-b-trades"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(path("b.csv")), slurp(path("own.csv")));
}

}  // namespace
