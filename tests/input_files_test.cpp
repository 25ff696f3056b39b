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

  // A simulated day into <stem>_o.csv and <stem>_t.csv (stem relative to the test directory).
  void sim(const std::string& options, const std::string& stem) {
    const Outcome r = run("simulate " + options + " --orders-out " + path(stem + "_o.csv") +
                          " --trades-out " + path(stem + "_t.csv"));
    ASSERT_EQ(r.code, 0) << r.err;
  }

  // The book command line for orders and trades (relative paths; no trades for "") into out.
  std::string book_line(const std::string& orders, const std::string& trades,
                        const std::string& out) {
    return "book --quiet --orders " + path(orders) +
           (trades.empty() ? "" : " --trades " + path(trades)) + " --out " + path(out);
  }

  // The book command fails naming each of `messages`, and with --lenient passes.
  Outcome refused_unless_lenient(const std::string& line, const Args& messages) {
    const Outcome r = run(line);
    EXPECT_EQ(r.code, 1);
    for (const std::string& m : messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    const Outcome lenient = run(line + " --lenient");
    EXPECT_EQ(lenient.code, 0) << lenient.err;
    return lenient;
  }
};

TEST_F(InputFilesTest, EveryLayoutRebuildsTheDayOfQuotelabsOwnFiles) {
  for (const std::string s : {"sh", "sz"}) {
    sim("--orders 3000 --seed 5 --style " + s + " --sequence-out " + path(s + "_seq.txt"), s);
    const Outcome b = run(book_line(s + "_o.csv", s + "_t.csv", s + "_own.csv") + " --sequence " +
                          path(s + "_seq.txt"));
    ASSERT_EQ(b.code, 0) << b.err;
  }
  const struct {
    std::string layout, style, chosen;
  } cases[] = {{"sh-a", "sh", "sh-a-orders + sh-a-trades"},
               {"sh-b", "sh", "sh-b-orders + sh-b-trades"},
               {"sh-ticks", "sh", "sh-ticks"},
               {"sz", "sz", "sz-orders + sz-trades"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    const std::string stem = "20240102/" + c.layout;
    sim("--orders 3000 --seed 5 --layout " + c.layout, stem);
    const Outcome r = run(book_line(stem + "_o.csv", c.layout == "sh-ticks" ? "" : stem + "_t.csv",
                                    c.layout + ".csv"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(c.chosen), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(path(c.layout + ".csv")), slurp(path(c.style + "_own.csv")));
  }
}

TEST_F(InputFilesTest, RefusedRowsFailUnlessLenientAndAreReportedEitherWay) {
  sim("--orders 3000 --seed 5 --layout sh-a", "20240102/a");
  std::string orders = slurp(path("20240102/a_o.csv"));
  const size_t third_line = orders.find('\n', orders.find('\n') + 1) + 1;
  orders.replace(orders.find(",B,", third_line) < orders.find('\n', third_line)
                     ? orders.find(",B,", third_line)
                     : orders.find(",S,", third_line),
                 3, ",1,");
  spit(path("20240102/a_o.csv"), orders);
  const std::string line = book_line("20240102/a_o.csv", "20240102/a_t.csv", "a.csv");
  const Outcome r =
      refused_unless_lenient(line, {"a_o.csv' line 3: unknown side code: OrderBSFlag '1'",
                                    "1 row refused: 1 unknown side code"});
  EXPECT_NE(r.err.find("unknown side code"), std::string::npos);
}

TEST_F(InputFilesTest, TimesGoingBackAreNamedAndLenientKeepsEverySnapshot) {
  sim("--orders 3000 --seed 5 --style sz", "s");
  // Swap two order rows far apart in time.
  std::vector<std::string> lines;
  std::istringstream in(slurp(path("s_o.csv")));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::swap(lines[100], lines[2000]);
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  spit(path("s_o.csv"), text);
  const Outcome r = refused_unless_lenient(book_line("s_o.csv", "s_t.csv", "x.csv"), {"goes back"});
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
  const Outcome r = refused_unless_lenient(
      book_line("o.csv", "t.csv", "x.csv"),
      {"o.csv' line 4: own-side best order with its side empty: order 3 (sell)"});
  EXPECT_NE(r.out.find("2 orders"), std::string::npos) << r.out;
  // The last snapshot: bid 10.00 for 300 (the limit order and the own-side best one beside it).
  const std::string ticks = slurp(path("x.csv"));
  const std::string last = ticks.substr(ticks.rfind('\n', ticks.size() - 2) + 1);
  EXPECT_NE(last.find(",10,"), std::string::npos) << last;
  EXPECT_NE(last.find(",300,"), std::string::npos) << last;
}

TEST_F(InputFilesTest, ShanghaiWithoutSequenceWarnsAndEmptyOrdersAreRefused) {
  sim("--orders 2000 --style sh", "s");
  Outcome r = run(book_line("s_o.csv", "s_t.csv", "x.csv"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: Shanghai orders and trades without the exchange's sequence"),
            std::string::npos)
      << r.err;
  const std::string orders = slurp(path("s_o.csv"));
  spit(path("empty.csv"), orders.substr(0, orders.find('\n') + 1));
  r = run(book_line("empty.csv", "s_t.csv", "x.csv"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("empty.csv' holds no orders"), std::string::npos) << r.err;
}

TEST_F(InputFilesTest, FilesOfDifferentSymbolsNameTheFileAtFault) {
  for (const std::string sym : {"000001", "000002"}) sim("--orders 500 --symbol " + sym, sym);
  const Outcome r = run(book_line("000001_o.csv", "000002_t.csv", "x.csv"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(
      r.err.find("000002_t.csv' holds 000002 but '" + path("000001_o.csv") + "' holds 000001"),
      std::string::npos)
      << r.err;
}

TEST_F(InputFilesTest, ManifestLinesNameProfilesAndSequences) {
  sim("--orders 3000 --seed 5 --layout sh-b", "20240102/b");
  // Layout B with two renamed columns, read through a profile file.
  std::string orders = slurp(path("20240102/b_o.csv"));
  orders.replace(0, orders.find('\n'),
                 "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,"
                 "ReceiveDateTime,OrderIndex,Kind,Px,OrderQty,OrderBSFlag,ChannelNo,ApplSeqNum,"
                 "OrderNO,SecurityID");
  spit(path("20240102/b_o.csv"), orders);
  spit(path("vendor.profile"), "layout = sh-b-orders\ntype = Kind\nprice = Px\n");
  sim("--orders 3000 --seed 5 --style sh --sequence-out " + path("seq.txt"), "s");
  spit(path("jobs.txt"),
       "SH 600000 20240102 s_o.csv s_t.csv own.csv sequence=seq.txt\n"
       "SH 600000 20240102 20240102/b_o.csv 20240102/b_t.csv b.csv profile=vendor.profile\n");
  const Outcome r = run("book --quiet --manifest " + path("jobs.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("sh-b-orders + sh-b-trades"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(path("b.csv")), slurp(path("own.csv")));
}

}  // namespace
