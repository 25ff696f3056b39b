// quotelab report, run as a process on a simulated day: the page is self-contained, its SVG holds
// the day's series, the check finds an altered snapshot, and a real browser draws the charts.
#include <cstdio>
#include <set>

#include "program_fixture.h"
#include "quotelab/orderbook.h"
#include "report_check.h"
#include "report_html.h"
#ifdef QL_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// One simulated day, rebuilt by `book` into ticks.dat and drawn by `report`, shared by the tests.
class ReportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/quotelab-report-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(run({"simulate", "--style", "sz", "--seed", "11", "--orders", "20000", "--orders-out",
                   path("orders.dat"), "--trades-out", path("trades.dat")}),
              0);
    ASSERT_EQ(run({"book", "--quiet", "--orders", path("orders.dat"), "--trades",
                   path("trades.dat"), "--out", path("ticks.dat")}),
              0);
    ASSERT_EQ(report(path("ticks.dat"), path("day.html")), 0);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static std::string path(const std::string& name) { return dir_ + "/" + name; }

  // Runs quotelab; standard output and error go to files of the test directory.
  static int run(const std::vector<std::string>& args) {
    std::string command = QL_TOOL_PATH;
    for (const std::string& a : args) command += " '" + a + "'";
    command += " >" + path("out.txt") + " 2>" + path("err.txt");
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static int report(const std::string& snapshots, const std::string& out) {
    return run({"report", "--quiet", "--orders", path("orders.dat"), "--trades", path("trades.dat"),
                "--snapshots", snapshots, "--out", out});
  }

  static std::vector<_L2Snapshot> ticks() { return read_records<_L2Snapshot>(path("ticks.dat")); }
  static void write(const std::string& name, const std::vector<_L2Snapshot>& snaps) {
    spit(path(name), std::string(reinterpret_cast<const char*>(snaps.data()),
                                 snaps.size() * sizeof(_L2Snapshot)));
  }

  static std::string dir_;
};
std::string ReportTest::dir_;

// The page stands alone (nothing loaded from elsewhere) and its charts hold the day's series.
TEST_F(ReportTest, PageIsSelfContainedAndChartsHoldTheSeriesOfTheDay) {
  const std::string page = slurp(path("day.html"));
  ASSERT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_LT(page.size(), 2u << 20);
  for (const char* outside : {"http:", "https:", "src=", "href=", "url(", "@import", "<link",
                              "<script", "<img", "<iframe", "<object"}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(page.find("prefers-color-scheme:dark"), std::string::npos);
  for (const char* id : {"price", "spread", "depth", "volume"}) {
    EXPECT_NE(page.find(std::string("<svg id=\"") + id + "\""), std::string::npos) << id;
  }
  for (const char* label : {">09:30<", ">10:00<", ">11:00<", ">13:00<", ">14:30<", ">ask 10<",
                            ">bid 10<", ">call auction 09:15-09:25<"}) {
    EXPECT_NE(page.find(label), std::string::npos) << label;
  }
  // The last price: one line per session, a point per 2 px at most.
  const std::string last_line = "<polyline class=\"last\" points=\"";
  size_t lines = 0, points = 0;
  for (size_t at = page.find(last_line); at != std::string::npos;
       at = page.find(last_line, at + 1)) {
    ++lines;
    const size_t begin = at + last_line.size();
    points += count_of(page.substr(begin, page.find('"', begin) - begin), ",");
  }
  EXPECT_EQ(lines, 2u);  // morning and afternoon: the lunch break is cut out
  EXPECT_GT(points, 300u);
  EXPECT_LE(points, 1112u / 2);

  // A bar for every minute in which the volume rose; the closing match at 15:00:00.000 counts
  // to the minute it closes.
  std::set<int> minutes;
  int64_t previous = 0;
  const std::vector<_L2Snapshot> snaps = ticks();
  for (const _L2Snapshot& s : snaps) {
    const int64_t volume = s.volume;
    if (volume > previous) minutes.insert(std::min(time2msec(s.time) / 60000, 15 * 60 - 1));
    previous = volume;
  }
  EXPECT_EQ(count_of(page, "<rect class=\"vol"), minutes.size());
  char close[64];
  std::snprintf(close, sizeof close, "last %.2f", static_cast<double>(snaps.back().last));
  EXPECT_NE(page.find(close), std::string::npos) << close;
}

TEST_F(ReportTest, CheckFindsTheOneAlteredSnapshot) {
  const std::string same = slurp(path("day.html"));
  EXPECT_EQ(count_of(same, "100.00%"), 4u);  // three phases and the day
  EXPECT_NE(same.find("Every snapshot of the file matches"), std::string::npos);

  std::vector<_L2Snapshot> snaps = ticks();
  const size_t altered = snaps.size() / 2;  // in continuous trading
  snaps[altered].ask_volume[2] += 100;
  write("altered.dat", snaps);
  ASSERT_EQ(report(path("altered.dat"), path("altered.html")), 0) << slurp(path("err.txt"));
  const std::string page = slurp(path("altered.html"));
  EXPECT_NE(page.find(">1 mismatch; the first 1:<"), std::string::npos);
  EXPECT_EQ(count_of(page, "<line class=\"bad\""), 1u);
  const std::string row =
      "<td rowspan=\"1\">" + std::to_string(altered + 1) + "</td><td class=\"l\">ask 3</td>";
  EXPECT_NE(page.find(row), std::string::npos) << row;
  const std::string summary = slurp(path("out.txt"));
  EXPECT_NE(summary.find(", check "), std::string::npos) << summary;
  EXPECT_NE(summary.find(" (99."), std::string::npos) << summary;

  snaps.resize(1);
  std::strcpy(snaps[0].symbol, "600000");
  write("other.dat", snaps);
  EXPECT_EQ(report(path("other.dat"), path("other.html")), 1);
  EXPECT_NE(slurp(path("err.txt")).find("holds no snapshots of 000001"), std::string::npos);
}

// A snapshot at time t whose book is told apart by its best ask volume v (0: an empty book).
_L2Snapshot book_at(int32_t t, int v) {
  _L2Snapshot s{};
  s.time = t;
  if (v > 0) {
    s.ask_price[0] = 10.01;
    s.ask_volume[0] = v;
    s.bid_price[0] = 10.0;
    s.bid_volume[0] = 100;
  }
  return s;
}

// verify's result as the page shows it: phases by name, each mismatch's time and line, its
// level differences against the nearest rebuilt state (an empty book when none is known).
TEST(DayCheckTest, VerifyResultGivesPhasesMismatchesAndLevelDiffs) {
  std::vector<qlverify::ReferenceSnapshot> refs(3);
  refs[0].snapshot = book_at(92500000, 1);
  refs[1].snapshot = book_at(100000000, 5);
  refs[1].snapshot.bid_price[9] = 9.91;
  refs[2].snapshot = book_at(145900000, 3);
  for (size_t i = 0; i < refs.size(); ++i) refs[i].line = static_cast<int64_t>(i) + 2;
  qlverify::VerifyReport report;
  report.coverage[qlverify::kContinuousTrading] = {4, 5};
  report.mismatch_count = 2;
  qlverify::Mismatch near{1, qlverify::kContinuousTrading, {}, true};
  near.rebuilt.ask_price[0] = 10.01;
  near.rebuilt.ask_volume[0] = 2;
  near.rebuilt.bid_price[0] = 10.0;
  near.rebuilt.bid_volume[0] = 100;
  report.mismatches = {near, {2, qlverify::kClosingAuction, {}, false}};
  report.closing = {{"volume", 100, 101, false}};

  const qltool::DayCheck check = qltool::day_check_of(report, refs, "ticks.csv", "line", 1);
  ASSERT_EQ(check.phases.size(), 3u);
  EXPECT_EQ(check.phases[1].name, "continuous trading");
  EXPECT_EQ(check.phases[1].matched, 4u);
  EXPECT_EQ(check.mismatch_times, (std::vector<int32_t>{100000000, 145900000}));
  EXPECT_EQ(check.mismatch_count, 2u);
  ASSERT_EQ(check.mismatches.size(), 1u);  // one detailed
  const qltool::CheckMismatch& m = check.mismatches[0];
  EXPECT_EQ(m.line, 3u);
  ASSERT_EQ(m.diffs.size(), 2u);
  EXPECT_EQ(m.diffs[0].side, 'A');
  EXPECT_EQ(m.diffs[0].level, 1);
  EXPECT_EQ(m.diffs[0].file_volume, 5);
  EXPECT_EQ(m.diffs[0].book_volume, 2);
  EXPECT_EQ(m.diffs[1].side, 'B');
  EXPECT_EQ(m.diffs[1].level, 10);
  ASSERT_EQ(check.closing.size(), 1u);
  EXPECT_FALSE(check.closing[0].equal);
}

// Days the charts must survive: none, one snapshot, a day without trades, times out of order.
TEST(ReportPageTest, OddDaysGiveAPageWithoutBrokenNumbers) {
  const std::vector<std::vector<_L2Snapshot>> days = {
      {},
      {book_at(93000000, 1)},
      {book_at(0, 0), book_at(-5, 0), book_at(235959999, 0)},
      {book_at(100000000, 1), book_at(93000000, 2), book_at(100000000, 3)},
  };
  for (size_t i = 0; i < days.size(); ++i) {
    qltool::DayCheck check;
    check.mismatch_times = {93000000, 0};
    check.mismatch_count = 2;
    const std::string page = qltool::render_report_html(days[i], {"t<&>", "s"}, &check);
    EXPECT_NE(page.find("<h1>t&lt;&amp;&gt;</h1>"), std::string::npos) << i;
    EXPECT_EQ(page.find("nan"), std::string::npos) << i;
    EXPECT_EQ(page.find("inf"), std::string::npos) << i;
    EXPECT_NE(page.find("</html>"), std::string::npos) << i;
  }
}

#ifdef QL_HAVE_ZLIB
// The RGB pixels of an 8-bit, non-interlaced RGB or RGBA PNG file (what Chromium writes).
bool decode_png(const std::string& png, std::vector<uint8_t>* rgb) {
  if (png.size() < 8 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
  uint32_t width = 0, height = 0, channels = 0;
  std::string idat;
  for (size_t pos = 8; pos + 12 <= png.size();) {
    const auto be32 = [&](size_t at) {
      return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
             uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    const uint32_t len = be32(pos);
    const std::string type = png.substr(pos + 4, 4);
    if (type == "IHDR") {
      width = be32(pos + 8);
      height = be32(pos + 12);
      if (png[pos + 16] != 8 || png[pos + 20] != 0) return false;
      channels = png[pos + 17] == 6 ? 4 : png[pos + 17] == 2 ? 3 : 0;
    } else if (type == "IDAT") {
      idat += png.substr(pos + 8, len);
    }
    pos += 12 + len;
  }
  if (channels == 0) return false;
  const size_t stride = width * channels;
  std::vector<uint8_t> raw(height * (stride + 1));
  uLongf raw_len = raw.size();
  if (uncompress(raw.data(), &raw_len, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) !=
          Z_OK ||
      raw_len != raw.size()) {
    return false;
  }
  std::vector<uint8_t> img(height * stride), zero(stride, 0);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* in = &raw[y * (stride + 1) + 1];
    uint8_t* row = &img[y * stride];
    const uint8_t* up = y > 0 ? &img[(y - 1) * stride] : zero.data();
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= channels ? row[i - channels] : 0, b = up[i],
                c = i >= channels ? up[i - channels] : 0;
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int predictor[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
      if (filter > 4) return false;
      row[i] = uint8_t(in[i] + predictor[filter]);
    }
  }
  rgb->clear();
  for (size_t i = 0; i < img.size(); i += channels) rgb->insert(rgb->end(), &img[i], &img[i] + 3);
  return true;
}

size_t pixels_of(const std::vector<uint8_t>& rgb, uint32_t colour) {
  size_t n = 0;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    n += (uint32_t(rgb[i]) << 16 | uint32_t(rgb[i + 1]) << 8 | rgb[i + 2]) == colour;
  }
  return n;
}

// Chromium headless, as a user would open the page: the DOM it builds holds every chart element
// of the file (nothing was dropped by a parse error), and the screenshot shows the colours of
// the volume bars, the full ask and bid shades of the heat map and the last price line.
TEST_F(ReportTest, BrowserDrawsThePage) {
  const char* browser = nullptr;
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (access(candidate, X_OK) == 0) browser = candidate;
  }
  if (browser == nullptr) GTEST_SKIP() << "no chromium installed: the page was not opened";
  const std::string flags =
      std::string("timeout 120 ") + browser +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir=" +
      path("profile") + " --window-size=1280,1600 ";
  const std::string url = "file://" + path("day.html");
  const int dumped = std::system(
      (flags + "--dump-dom " + url + " >" + path("dom.html") + " 2>" + path("chromium.txt"))
          .c_str());
  if (dumped != 0 || slurp(path("dom.html")).empty()) {
    GTEST_SKIP() << "chromium did not start: " << slurp(path("chromium.txt")).substr(0, 400);
  }
  const std::string page = slurp(path("day.html")), dom = slurp(path("dom.html"));
  for (const char* element : {"<svg", "<polyline", "<path", "<rect", "<text", "<line", "<tr>"}) {
    EXPECT_EQ(count_of(dom, element), count_of(page, element)) << element;
  }
  ASSERT_EQ(
      std::system(
          (flags + "--screenshot=" + path("shot.png") + " " + url + " >/dev/null 2>&1").c_str()),
      0);
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(decode_png(slurp(path("shot.png")), &rgb));
  EXPECT_EQ(rgb.size(), 1280u * 1600 * 3);
  for (uint32_t colour : {0x5f6b85u, 0xd9480fu, 0x2f9e44u, 0x1f5fbfu}) {
    EXPECT_GT(pixels_of(rgb, colour), 200u) << std::hex << colour;
  }
}
#else
TEST_F(ReportTest, BrowserDrawsThePage) {
  GTEST_SKIP() << "built without zlib: the browser's screenshot cannot be read";
}
#endif

}  // namespace
