// quotelab verify's engine: simulated days checked against reference snapshots made from the
// simulator's true book the way the exchange cuts them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "verify_day.h"

namespace {

using qlsim::BookTruth;
using qlsim::Style;
using qlverify::ReferenceSnapshot;

// The exchange's view of a call-auction book: the simulator's own auction price rule.
void auction_view(const qlsim::Day& day, const BookTruth& truth, _L2Snapshot* s) {
  std::vector<qlsim::AuctionLevel> bids, asks;
  for (const auto& l : truth.bids) bids.push_back({static_cast<int32_t>(l.px / 10), l.quantity});
  for (const auto& l : truth.asks) asks.push_back({static_cast<int32_t>(l.px / 10), l.quantity});
  const double reference = truth.num_trades > 0 ? truth.last : day.config.pre_close;
  const qlsim::AuctionMatch m = qlsim::call_auction_price(
      bids, asks, day.config.style, static_cast<int32_t>(reference * 100 + 0.5));
  if (m.volume <= 0) return;
  int64_t buy = 0, sell = 0;
  for (const auto& b : bids) buy += b.ticks >= m.ticks ? b.quantity : 0;
  for (const auto& a : asks) sell += a.ticks <= m.ticks ? a.quantity : 0;
  s->bid_price[0] = s->ask_price[0] = m.ticks / 100.0;
  s->bid_volume[0] = s->ask_volume[0] = static_cast<int32_t>(m.volume);
  if (buy != sell) (buy > sell ? s->bid_volume : s->ask_volume)[1] = int32_t(std::abs(buy - sell));
}

ReferenceSnapshot reference_of(const qlsim::Day& day, const BookTruth& truth, int32_t stamp,
                               bool exchange_view) {
  ReferenceSnapshot r;
  _L2Snapshot& s = r.snapshot;
  s.time = stamp;
  s.num_trades = truth.num_trades;
  s.volume = truth.volume;
  s.turnover = truth.turnover;
  s.open = truth.open;
  s.high = truth.high;
  s.low = truth.low;
  s.last = truth.last;
  s.pre_close = day.config.pre_close;  // Shenzhen's opening auction view ties to it
  if (exchange_view && qlverify::in_call_auction(stamp)) {
    auction_view(day, truth, &s);
    return r;
  }
  r.has_order_counts = true;
  for (size_t i = 0; i < 10; ++i) {
    if (i < truth.bids.size()) {
      s.bid_price[i] = truth.bids[i].price;
      s.bid_volume[i] = static_cast<int32_t>(truth.bids[i].quantity);
      r.bid_orders[i] = truth.bids[i].orders;
    }
    if (i < truth.asks.size()) {
      s.ask_price[i] = truth.asks[i].price;
      s.ask_volume[i] = static_cast<int32_t>(truth.asks[i].quantity);
      r.ask_orders[i] = truth.asks[i].orders;
    }
  }
  return r;
}

int32_t add_ms(int32_t t, int32_t ms) {
  return msec2time(time2msec(t) + ms);
}

// Snapshots every 3 s from 09:15 to 15:00 and the closing one: each the true book as of its
// stamp plus `late` ms (auction snapshots only), numbered as lines of a file.
std::vector<ReferenceSnapshot> exchange_snapshots(const qlsim::Day& day, bool exchange_view,
                                                  int32_t late = 0) {
  std::vector<ReferenceSnapshot> refs;
  size_t g = 0;
  for (int32_t ms = time2msec(91500000); ms <= time2msec(150000000); ms += 3000) {
    const int32_t stamp = msec2time(ms);
    if (stamp > 113000000 && stamp < 130000000) continue;
    const int32_t cut = qlverify::in_call_auction(stamp) ? add_ms(stamp, late) : stamp;
    while (g + 1 < day.truths.size() && day.truths[g + 1].time <= cut) ++g;
    if (day.truths[g].time > cut) continue;  // before the first event
    refs.push_back(reference_of(day, day.truths[g], stamp, exchange_view));
    refs.back().line = static_cast<int64_t>(refs.size()) + 1;
  }
  return refs;
}

qlverify::DayInput input_of(const qlsim::Day& day) {
  qlverify::DayInput in;
  in.exchange = day.config.style == Style::Shanghai ? "SSE" : "SZSE";
  in.symbol = day.config.symbol;
  in.date = day.config.date;
  in.sequence = day.sequence.data();
  in.sequence_count = static_cast<int32_t>(day.sequence.size());
  return in;
}

class VerifyTest : public testing::TestWithParam<Style> {
 protected:
  void SetUp() override {
    qlsim::Config config;
    config.style = GetParam();
    config.seed = 5;
    config.orders = 8000;
    config.record_truth = true;
    day_ = qlsim::simulate_day(config);
  }
  qlverify::VerifyReport verify(const std::vector<ReferenceSnapshot>& refs, bool exchange_view) {
    qlverify::VerifyOptions options;
    options.exchange_auction_view = exchange_view;
    qlverify::VerifyReport report;
    std::string error;
    EXPECT_TRUE(qlverify::verify_day(input_of(day_), refs, options, &report, &error)) << error;
    return report;
  }
  static std::string coverage(const qlverify::VerifyReport& r) {
    const std::string text = qlverify::format_report(r, {});
    return text.substr(0, text.find("\n\n"));
  }
  qlsim::Day day_;
};

INSTANTIATE_TEST_SUITE_P(ShenzhenThenShanghai, VerifyTest,
                         testing::Values(Style::Shenzhen, Style::Shanghai));

// The exchange stamps an auction snapshot up to about half a second before the last event it
// shows: the search finds them all.
TEST_P(VerifyTest, EveryPhaseIsCoveredInFullWithEitherAuctionViewAndLateAuctionStamps) {
  const struct {
    bool exchange_view;
    int32_t late;
  } cases[] = {{false, 0}, {true, 0}, {true, 150}, {true, 400}, {true, 700}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.late);
    const auto refs = exchange_snapshots(day_, c.exchange_view, c.late);
    const qlverify::VerifyReport r = verify(refs, c.exchange_view);
    size_t counts[3] = {};
    for (const auto& ref : refs) ++counts[qlverify::phase_of(ref.snapshot.time)];
    ASSERT_GT(counts[0] * counts[1] * counts[2], 0u);
    EXPECT_EQ(coverage(r), "opening auction: " + std::to_string(counts[0]) + "/" +
                               std::to_string(counts[0]) + " (100.00%)\ncontinuous trading: " +
                               std::to_string(counts[1]) + "/" + std::to_string(counts[1]) +
                               " (100.00%)\nclosing auction: " + std::to_string(counts[2]) + "/" +
                               std::to_string(counts[2]) + " (100.00%)");
    EXPECT_TRUE(r.closing_equal);
    EXPECT_EQ(r.mismatch_count, 0u) << qlverify::format_report(r, refs);
  }
}

// One altered snapshot is missed alone and shown level by level; an altered statistic fails
// the closing check.
TEST_P(VerifyTest, OneAlteredRecordIsReportedWithItsLineAndLevels) {
  auto refs = exchange_snapshots(day_, false);
  size_t k = refs.size() / 2;
  while (refs[k].snapshot.bid_volume[2] == 0) ++k;
  refs[k].snapshot.bid_volume[2] += 100;
  refs.back().snapshot.high += 0.01;
  const qlverify::VerifyReport r = verify(refs, false);
  EXPECT_EQ(r.coverage[qlverify::kContinuousTrading].matched + 1,
            r.coverage[qlverify::kContinuousTrading].total);
  EXPECT_EQ(r.mismatch_count, 1u);
  EXPECT_FALSE(r.closing_equal);
  const std::string text = qlverify::format_report(r, refs);
  const std::string line = "line " + std::to_string(refs[k].line) + ": continuous trading";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  const std::string diff = text.substr(text.find(line));
  // Only bid 3 differs; the order counts are shown beside each level.
  EXPECT_EQ(std::count(diff.begin(), diff.end(), '*'), 2) << diff;  // bid 3, high
  EXPECT_NE(diff.find("bid 3"), std::string::npos);
  EXPECT_NE(text.find("closing statistics: differ"), std::string::npos);
  EXPECT_NE(text.find("(99."), std::string::npos) << text;
}

}  // namespace
