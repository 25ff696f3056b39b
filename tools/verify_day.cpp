#include "verify_day.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qlverify {
namespace {

constexpr int32_t kOpeningAuctionStart = 91500000;
constexpr int32_t kOpeningMatch = 92500000;
constexpr int32_t kClosingAuctionStart = 145700000;
constexpr int32_t kClosingMatch = 150000000;
// How far past its stamp an auction snapshot is looked for: the exchange's next snapshot comes
// three seconds later, and a snapshot shows events up to about half a second after its stamp.
constexpr int32_t kAuctionSearchMs = 3000;

int64_t px_of(double price) {
  return std::llround(price * 1000.0);
}

void copy_levels(const _L2Snapshot& s, LevelView* v) {
  v->time = s.time;
  v->num_trades = s.num_trades;
  std::memcpy(v->bid_price, s.bid_price, sizeof v->bid_price);
  std::memcpy(v->ask_price, s.ask_price, sizeof v->ask_price);
  std::memcpy(v->bid_volume, s.bid_volume, sizeof v->bid_volume);
  std::memcpy(v->ask_volume, s.ask_volume, sizeof v->ask_volume);
}

// The order counts of the book's ten best levels a side.
void copy_order_counts(orderbook* book, LevelView* v) {
  v->has_order_counts = true;
  orderbook_queue* bid = orderbook_at(book, -1);
  orderbook_queue* ask = orderbook_at(book, 1);
  for (int i = 0; i < kLevels; ++i) {
    v->bid_orders[i] = bid != nullptr ? orderbook_queue_num_orders(bid) : 0;
    v->ask_orders[i] = ask != nullptr ? orderbook_queue_num_orders(ask) : 0;
    bid = orderbook_queue_next(bid);
    ask = orderbook_queue_next(ask);
  }
}

bool same_levels(const double* price, const int32_t* volume, const double* ref_price,
                 const int32_t* ref_volume) {
  for (int i = 0; i < kLevels; ++i) {
    if (volume[i] != ref_volume[i] || px_of(price[i]) != px_of(ref_price[i])) return false;
  }
  return true;
}

bool same_prices_and_volumes(const double* bid_price, const int32_t* bid_volume,
                             const double* ask_price, const int32_t* ask_volume,
                             const _L2Snapshot& ref) {
  return same_levels(bid_price, bid_volume, ref.bid_price, ref.bid_volume) &&
         same_levels(ask_price, ask_volume, ref.ask_price, ref.ask_volume);
}

bool same_order_counts(const LevelView& v, const ReferenceSnapshot& ref) {
  if (!ref.has_order_counts || !v.has_order_counts) return true;
  return std::equal(v.bid_orders, v.bid_orders + kLevels, ref.bid_orders) &&
         std::equal(v.ask_orders, v.ask_orders + kLevels, ref.ask_orders);
}

bool equal_view(const LevelView& v, const ReferenceSnapshot& ref) {
  return same_prices_and_volumes(v.bid_price, v.bid_volume, v.ask_price, v.ask_volume,
                                 ref.snapshot) &&
         same_order_counts(v, ref);
}

// A digest of a view's levels (and order counts, when with_counts): auction states are kept as
// digests, since an auction has many states and the search looks at each several times.
uint64_t digest(const LevelView& v, bool with_counts) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the level numbers
  auto mix = [&h](int64_t x) {
    for (int i = 0; i < 8; ++i, x >>= 8) {
      h ^= static_cast<uint64_t>(x & 0xff);
      h *= 1099511628211ull;
    }
  };
  for (int i = 0; i < kLevels; ++i) {
    mix(px_of(v.bid_price[i]) << 32 | static_cast<uint32_t>(v.bid_volume[i]));
    mix(px_of(v.ask_price[i]) << 32 | static_cast<uint32_t>(v.ask_volume[i]));
    if (with_counts) mix(static_cast<int64_t>(v.bid_orders[i]) << 32 | v.ask_orders[i]);
  }
  return h;
}

LevelView view_of_reference(const ReferenceSnapshot& r) {
  LevelView v;
  copy_levels(r.snapshot, &v);
  v.has_order_counts = r.has_order_counts;
  std::memcpy(v.bid_orders, r.bid_orders, sizeof v.bid_orders);
  std::memcpy(v.ask_orders, r.ask_orders, sizeof v.ask_orders);
  return v;
}

struct AuctionState {
  int32_t ms;
  uint64_t levels;       // digest of the levels
  uint64_t with_counts;  // and of the order counts, when the book's are kept
};

// The book states of one call auction, and the reference snapshots checked against them.
struct AuctionStates {
  bool wanted = false;
  int32_t from_ms = 0, to_ms = 0;  // states timed in [from, to) are kept
  std::vector<AuctionState> states;
  std::vector<size_t> references;
  // Per reference: the last state timed at or before its stamp, shown when it is missed.
  std::vector<LevelView> at_stamp;
  std::vector<bool> at_stamp_known;
  size_t stamps_passed = 0;
  LevelView last;  // the latest state kept
  bool last_known = false;
  LevelView before;  // the latest state before from_ms: where the search starts
  bool before_known = false;
};

// Receives every book state of the replay and checks the reference snapshots against them.
class DayChecker {
 public:
  DayChecker(const std::vector<ReferenceSnapshot>& refs, const VerifyOptions& options,
             VerifyReport* report)
      : refs_(refs), options_(options), report_(report), pre_close_(options.pre_close) {
    for (const ReferenceSnapshot& r : refs) {
      with_counts_ = with_counts_ || r.has_order_counts;
      if (pre_close_ == 0) pre_close_ = r.snapshot.pre_close;
    }
    auctions_[0].from_ms = 0;
    auctions_[0].to_ms = time2msec(kOpeningMatch) + kAuctionSearchMs;
    auctions_[1].from_ms = time2msec(kClosingAuctionStart);
    auctions_[1].to_ms = time2msec(kClosingMatch) + kAuctionSearchMs;
    for (size_t i = 0; i < refs.size(); ++i) {
      const Phase p = phase_of(refs[i].snapshot.time);
      ++report->coverage[p].total;
      if (p == kContinuousTrading) {
        continuous_.push_back(i);
      } else {
        AuctionStates& a = auctions_[p == kOpeningAuction ? 0 : 1];
        a.wanted = true;
        a.references.push_back(i);
      }
    }
    for (AuctionStates& a : auctions_) {
      a.at_stamp.resize(a.references.size());
      a.at_stamp_known.resize(a.references.size());
    }
    // The opening search may start at the empty book, before the first event.
    if (auctions_[0].wanted) {
      auctions_[0].states.push_back(
          AuctionState{0, digest(LevelView(), false), digest(LevelView(), true)});
      auctions_[0].last_known = true;
    }
  }

  void on_state(orderbook* book, const _L2Snapshot& s) {
    ++report_->events;
    const int32_t ms = time2msec(s.time);
    for (AuctionStates& a : auctions_) {
      if (!a.wanted) continue;
      if (ms < a.from_ms) {
        copy_levels(s, &a.before);  // levels only: compared without order counts
        a.before_known = true;
      } else if (ms < a.to_ms) {
        keep_auction_state(book, s, ms, &a);
      }
    }
    check_continuous(book, s);
  }

  void finish(orderbook* book) {
    close_group(INT32_MAX);
    for (AuctionStates& a : auctions_) {
      pass_stamps(&a, INT32_MAX);
      check_auction(a);
    }
    std::sort(report_->mismatches.begin(), report_->mismatches.end(),
              [](const Mismatch& x, const Mismatch& y) { return x.reference < y.reference; });
    if (report_->mismatches.size() > options_.mismatches_kept) {
      report_->mismatches.resize(options_.mismatches_kept);
    }
    if (!refs_.empty()) check_closing(*orderbook_snapshot(book), refs_.back().snapshot);
  }

 private:
  void keep_auction_state(orderbook* book, const _L2Snapshot& s, int32_t ms, AuctionStates* a) {
    if (a->states.empty() && a->before_known) {
      pass_stamps(a, time2msec(a->before.time));
      a->last = a->before;
      a->last_known = true;
      a->states.push_back(AuctionState{time2msec(a->before.time), digest(a->before, false), 0});
    }
    pass_stamps(a, ms);
    LevelView& v = a->last;
    if (options_.exchange_auction_view && in_call_auction(s.time)) {
      _L2Snapshot shown = s;
      exchange_auction_view(book, &shown, pre_close_);
      copy_levels(shown, &v);
      v.has_order_counts = false;
    } else {
      copy_levels(s, &v);
      if (with_counts_) copy_order_counts(book, &v);
    }
    a->last_known = true;
    a->states.push_back(
        AuctionState{ms, digest(v, false), v.has_order_counts ? digest(v, true) : 0});
  }

  // Before a state timed ms: the state kept last is the one at the stamp of every reference
  // stamped before ms.
  void pass_stamps(AuctionStates* a, int32_t ms) const {
    while (a->stamps_passed < a->references.size() &&
           time2msec(refs_[a->references[a->stamps_passed]].snapshot.time) < ms) {
      a->at_stamp[a->stamps_passed] = a->last;
      a->at_stamp_known[a->stamps_passed] = a->last_known;
      ++a->stamps_passed;
    }
  }

  LevelView view_of(orderbook* book, const _L2Snapshot& s) const {
    LevelView v;
    copy_levels(s, &v);
    if (with_counts_) copy_order_counts(book, &v);
    return v;
  }

  // Outside the auctions the snapshots showing N trades are looked for, in order, among the
  // states between trade N and trade N+1 (a group): each from the state that matched the one
  // before; one found nowhere is missed and takes no state with it. The group's states are kept
  // until the count moves on, so that the snapshots after a missed one can still be placed.
  void check_continuous(orderbook* book, const _L2Snapshot& s) {
    if (s.num_trades != group_count_) close_group(s.num_trades);
    if (next_ >= continuous_.size() || due().num_trades != s.num_trades) return;
    group_.push_back(view_of(book, s));
    while (next_ < continuous_.size() && due().num_trades == s.num_trades &&
           equal_view(group_.back(), refs_[continuous_[next_]])) {
      ++report_->coverage[kContinuousTrading].matched;
      group_pos_ = group_.size() - 1;
      ++next_;
    }
  }

  const _L2Snapshot& due() const { return refs_[continuous_[next_]].snapshot; }

  // Ends the group of the current count: the snapshot due was tried against all its states; the
  // ones after it with the same count are placed in the kept states. Then refs with counts
  // below the new one are missed (no state had their count).
  void close_group(int32_t new_count) {
    bool due_tried = true;
    while (next_ < continuous_.size() && due().num_trades == group_count_) {
      const ReferenceSnapshot& ref = refs_[continuous_[next_]];
      size_t found = group_.size();
      if (!due_tried) {
        for (size_t i = group_pos_; i < group_.size(); ++i) {
          if (equal_view(group_[i], ref)) {
            found = i;
            break;
          }
        }
      }
      due_tried = false;
      if (found < group_.size()) {
        ++report_->coverage[kContinuousTrading].matched;
        group_pos_ = found;
      } else {
        const size_t nearest = nearest_state(ref);
        add_mismatch(continuous_[next_], kContinuousTrading,
                     nearest < group_.size() ? group_[nearest] : LevelView(),
                     nearest < group_.size());
      }
      ++next_;
    }
    while (next_ < continuous_.size() && due().num_trades < new_count) {
      add_mismatch(continuous_[next_], kContinuousTrading, LevelView(), false);
      ++next_;
    }
    group_.clear();
    group_pos_ = 0;
    group_count_ = new_count;
  }

  // The kept state (from the search start) with the fewest levels unlike the snapshot's.
  size_t nearest_state(const ReferenceSnapshot& ref) const {
    size_t best = group_.size();
    int fewest = 2 * kLevels + 1;
    for (size_t i = group_pos_; i < group_.size(); ++i) {
      const LevelView& v = group_[i];
      int unlike = 0;
      for (int k = 0; k < kLevels; ++k) {
        unlike += v.bid_volume[k] != ref.snapshot.bid_volume[k] ||
                  px_of(v.bid_price[k]) != px_of(ref.snapshot.bid_price[k]);
        unlike += v.ask_volume[k] != ref.snapshot.ask_volume[k] ||
                  px_of(v.ask_price[k]) != px_of(ref.snapshot.ask_price[k]);
      }
      if (unlike < fewest) {
        fewest = unlike;
        best = i;
      }
    }
    return best;
  }

  void add_mismatch(size_t reference, Phase phase, const LevelView& nearest, bool known) {
    ++report_->mismatch_count;
    // The first of each phase; put in file order and cut to the first few overall at the end.
    if (kept_[phase] < options_.mismatches_kept) {
      ++kept_[phase];
      report_->mismatches.push_back(Mismatch{reference, phase, nearest, known});
    }
  }

  void check_auction(const AuctionStates& a) {
    size_t start = 0;
    const std::vector<AuctionState>& st = a.states;
    for (size_t k = 0; k < a.references.size(); ++k) {
      const ReferenceSnapshot& ref = refs_[a.references[k]];
      const LevelView wanted = view_of_reference(ref);
      const bool counts = ref.has_order_counts;
      const uint64_t want = digest(wanted, counts);
      const uint64_t want_levels = digest(wanted, false);
      const int32_t stamp_ms = time2msec(ref.snapshot.time);
      bool found = false;
      for (size_t i = start; i < st.size() && st[i].ms < stamp_ms + kAuctionSearchMs; ++i) {
        const bool both_counted = counts && st[i].with_counts != 0;
        if (both_counted ? st[i].with_counts == want : st[i].levels == want_levels) {
          start = i;
          found = true;
          break;
        }
      }
      const Phase phase = phase_of(ref.snapshot.time);
      if (found) {
        ++report_->coverage[phase].matched;
        continue;
      }
      // Go on from the last state timed at or before the snapshot.
      const auto after =
          std::upper_bound(st.begin(), st.end(), stamp_ms,
                           [](int32_t ms, const AuctionState& state) { return ms < state.ms; });
      const size_t at = static_cast<size_t>(after - st.begin());
      if (at > 0) start = std::max(start, at - 1);
      add_mismatch(a.references[k], phase, a.at_stamp[k], a.at_stamp_known[k]);
    }
  }

  void check_closing(const _L2Snapshot& ours, const _L2Snapshot& ref) {
    auto add = [&](const char* name, double rebuilt, double reference, bool equal) {
      report_->closing.push_back(Statistic{name, rebuilt, reference, equal});
      report_->closing_equal = report_->closing_equal && equal;
    };
    add("trades", ours.num_trades, ref.num_trades, ours.num_trades == ref.num_trades);
    add("volume", static_cast<double>(ours.volume), static_cast<double>(ref.volume),
        ours.volume == ref.volume);
    // Turnover is a sum of products: equal to the cent.
    add("turnover", ours.turnover, ref.turnover,
        std::fabs(ours.turnover - ref.turnover) < 0.005 + 1e-12 * std::fabs(ref.turnover));
    const struct {
      const char* name;
      double ours, ref;
    } prices[] = {{"open", ours.open, ref.open},
                  {"high", ours.high, ref.high},
                  {"low", ours.low, ref.low},
                  {"last", ours.last, ref.last}};
    for (const auto& p : prices) add(p.name, p.ours, p.ref, px_of(p.ours) == px_of(p.ref));
  }

  const std::vector<ReferenceSnapshot>& refs_;
  const VerifyOptions& options_;
  VerifyReport* report_;
  bool with_counts_ = false;
  double pre_close_;                // of the auction view
  size_t kept_[kPhases] = {};       // mismatches kept per phase
  std::vector<size_t> continuous_;  // reference indices checked by trade count, in file order
  size_t next_ = 0;                 // index into continuous_ of the snapshot due
  int32_t group_count_ = 0;         // trade count of the states in group_
  std::vector<LevelView> group_;    // states of that count, while a snapshot of it is due
  size_t group_pos_ = 0;            // the state that matched the last snapshot placed
  AuctionStates auctions_[2];
};

struct RunContext {
  DayChecker* checker;
};

int on_state(orderbook_builder* builder, const _L2Snapshot* snapshot, void* user_data) {
  static_cast<RunContext*>(user_data)->checker->on_state(orderbook_builder_get(builder), *snapshot);
  return 0;
}

std::string level_text(double price, int32_t volume, bool counts, int32_t orders) {
  if (price == 0 && volume == 0) return "-";
  char buf[64];
  if (counts) {
    std::snprintf(buf, sizeof buf, "%.3f x %d (%d)", price, volume, orders);
  } else {
    std::snprintf(buf, sizeof buf, "%.3f x %d", price, volume);
  }
  return buf;
}

std::string time_text(int32_t t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t / 10000000, t / 100000 % 100,
                t / 1000 % 100, t % 1000);
  return buf;
}

void append_diff(std::string* out, const Mismatch& m, const ReferenceSnapshot& ref) {
  char buf[256];
  const _L2Snapshot& r = ref.snapshot;
  std::snprintf(buf, sizeof buf, "line %lld: %s snapshot at %s with %d trades\n",
                static_cast<long long>(ref.line), phase_name(m.phase), time_text(r.time).c_str(),
                r.num_trades);
  *out += buf;
  if (!m.rebuilt_known) {
    *out += "  no rebuilt state to compare (the book never reached that point)\n";
    return;
  }
  const LevelView& v = m.rebuilt;
  std::snprintf(buf, sizeof buf, "  nearest rebuilt state at %s with %d trades\n",
                time_text(v.time).c_str(), v.num_trades);
  *out += buf;
  std::snprintf(buf, sizeof buf, "  %-7s %-28s %s\n", "", "reference", "rebuilt");
  *out += buf;
  for (int row = 0; row < 2 * kLevels; ++row) {
    const bool ask = row < kLevels;
    const int i = ask ? kLevels - 1 - row : row - kLevels;
    const std::string theirs =
        ask ? level_text(r.ask_price[i], r.ask_volume[i], ref.has_order_counts, ref.ask_orders[i])
            : level_text(r.bid_price[i], r.bid_volume[i], ref.has_order_counts, ref.bid_orders[i]);
    const bool counts = ref.has_order_counts && v.has_order_counts;
    const std::string ours =
        ask ? level_text(v.ask_price[i], v.ask_volume[i], counts, v.ask_orders[i])
            : level_text(v.bid_price[i], v.bid_volume[i], counts, v.bid_orders[i]);
    if (theirs == "-" && ours == "-") continue;
    std::snprintf(buf, sizeof buf, "  %s %-3d %-28s %s%s\n", ask ? "ask" : "bid", i + 1,
                  theirs.c_str(), ours.c_str(), theirs == ours ? "" : " *");
    *out += buf;
  }
}

}  // namespace

const char* phase_name(int phase) {
  switch (phase) {
    case kOpeningAuction:
      return "opening auction";
    case kClosingAuction:
      return "closing auction";
    default:
      return "continuous trading";
  }
}

Phase phase_of(int32_t time) {
  if (time < kOpeningMatch) return kOpeningAuction;
  if (time >= kClosingAuctionStart && time < kClosingMatch) return kClosingAuction;
  return kContinuousTrading;
}

bool in_call_auction(int32_t time) {
  return (time >= kOpeningAuctionStart && time < kOpeningMatch) ||
         (time >= kClosingAuctionStart && time < kClosingMatch);
}

void exchange_auction_view(orderbook* book, _L2Snapshot* s, double pre_close) {
  if (!in_call_auction(s->time)) return;
  orderbook_auction match;
  const double reference = s->last > 0 ? s->last : pre_close;
  if (orderbook_auction_indicative(book, reference, &match) != 0) return;
  std::memset(s->ask_price, 0, sizeof s->ask_price);
  std::memset(s->ask_volume, 0, sizeof s->ask_volume);
  std::memset(s->bid_price, 0, sizeof s->bid_price);
  std::memset(s->bid_volume, 0, sizeof s->bid_volume);
  if (match.matched <= 0) return;
  s->bid_price[0] = s->ask_price[0] = match.price;
  s->bid_volume[0] = s->ask_volume[0] = static_cast<int32_t>(match.matched);
  if (match.unmatched > 0) {
    (match.unmatched_side == 'B' ? s->bid_volume : s->ask_volume)[1] =
        static_cast<int32_t>(match.unmatched);
  }
}

double Coverage::percent() const {
  if (total == 0) return 100.0;
  return std::floor(static_cast<double>(matched) * 10000.0 / static_cast<double>(total)) / 100.0;
}

bool verify_day(const DayInput& day, const std::vector<ReferenceSnapshot>& references,
                const VerifyOptions& options, VerifyReport* report, std::string* error) {
  *report = VerifyReport();
  orderbook_builder* builder =
      orderbook_builder_create(day.exchange.c_str(), day.symbol.c_str(), 0);
  if (builder == nullptr || orderbook_builder_get(builder) == nullptr) {
    orderbook_builder_release(builder);
    *error = "cannot create an order book builder for " + day.symbol + "." + day.exchange;
    return false;
  }
  DayChecker checker(references, options, report);
  RunContext context{&checker};
  orderbook_builder_set_schedule(builder, ORDERBOOK_SCHEDULE_EVENTS, 0, nullptr, 0);
  orderbook_builder_set_callback(builder, on_state, &context);
  const int32_t emitted =
      day.sequence != nullptr
          ? orderbook_builder_run3(builder, day.date, day.sequence, day.sequence_count)
          : orderbook_builder_run2(builder, day.date, day.orders, day.order_count, day.trades,
                                   day.trade_count);
  if (emitted < 0) {
    orderbook_builder_release(builder);
    *error = "the order book builder refused the day (result " + std::to_string(emitted) + ")";
    return false;
  }
  checker.finish(orderbook_builder_get(builder));
  orderbook_builder_release(builder);
  return true;
}

std::string format_report(const VerifyReport& report,
                          const std::vector<ReferenceSnapshot>& references) {
  std::string out;
  char buf[256];
  for (int p : {kOpeningAuction, kContinuousTrading, kClosingAuction}) {
    const Coverage& c = report.coverage[p];
    std::snprintf(buf, sizeof buf, "%s: %zu/%zu (%.2f%%)\n", phase_name(p), c.matched, c.total,
                  c.percent());
    out += buf;
  }
  if (report.mismatch_count > 0) {
    std::snprintf(
        buf, sizeof buf, "\n%zu snapshot%s not found in the rebuilt day; the first %zu:\n",
        report.mismatch_count, report.mismatch_count == 1 ? "" : "s", report.mismatches.size());
    out += buf;
    for (const Mismatch& m : report.mismatches) {
      if (m.reference >= references.size()) continue;
      out += "\n";
      append_diff(&out, m, references[m.reference]);
    }
  }
  if (!report.closing.empty()) {
    out +=
        report.closing_equal ? "\nclosing statistics: equal\n" : "\nclosing statistics: differ\n";
    std::snprintf(buf, sizeof buf, "  %-9s %-20s %s\n", "", "reference", "rebuilt");
    out += buf;
    for (const Statistic& s : report.closing) {
      const bool whole = std::strcmp(s.name, "trades") == 0 || std::strcmp(s.name, "volume") == 0;
      const int decimals = whole ? 0 : std::strcmp(s.name, "turnover") == 0 ? 2 : 3;
      std::snprintf(buf, sizeof buf, "  %-9s %-20.*f %.*f%s\n", s.name, decimals, s.reference,
                    decimals, s.rebuilt, s.equal ? "" : " *");
      out += buf;
    }
  }
  return out;
}

}  // namespace qlverify
