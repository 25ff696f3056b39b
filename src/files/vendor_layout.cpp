#include "files/vendor_layout.h"

#include <cstring>

#include "platform/text_tools.h"
#include "quotelab/utilcore.h"

namespace KX {
namespace detail {
namespace {

const char* const kFieldNames[kFieldCount] = {
    "symbol", "date",    "time",     "type",       "side",         "price",    "volume", "order_no",
    "buy_no", "sell_no", "trade_no", "sequence",   "pre_close",    "open",     "high",   "low",
    "last",   "close",   "phase",    "num_trades", "total_volume", "turnover", "iopv"};
const char* const kLevelNames[kLevelCount] = {"ask_price",  "ask_volume", "bid_price",
                                              "bid_volume", "bid_orders", "ask_orders"};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(sep, start);
    out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

std::string trim(const std::string& s) {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e && (ql__is_blank(*b) || *b == '\r')) ++b;
  while (e > b && (ql__is_blank(e[-1]) || e[-1] == '\r')) --e;
  return std::string(b, e);
}

bool iequal(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ql__iequals_n(a.data(), b.data(), a.size());
}

Layout make(const char* name, const char* description, LayoutContent content, uint8_t exchange,
            const char* header, std::initializer_list<std::pair<int, const char*>> columns,
            std::vector<ValueCode> side, std::vector<ValueCode> type) {
  Layout l;
  l.name = name;
  l.description = description;
  l.content = content;
  l.exchange = exchange;
  l.header = split(header, ',');
  for (const auto& c : columns) l.columns[c.first] = c.second;
  l.side_values = std::move(side);
  l.type_values = std::move(type);
  return l;
}

std::string snapshot_header() {
  std::string h =
      "UpdateTime,SecurityID,ImageStatus,PreCloPrice,OpenPrice,HighPrice,LowPrice,LastPrice,"
      "ClosePrice,InstruStatus,TradNumber,TradVolume,Turnover,TotalBidVol,WAvgBidPri,"
      "AltWAvgBidPri,TotalAskVol,WAvgAskPri,AltWAvgAskPri,EtfBuyNumber,EtfBuyVolume,EtfBuyMoney,"
      "EtfSellNumber,EtfSellVolume,ETFSellMoney,YieldToMatu,TotWarExNum,WarLowerPri,WarUpperPri,"
      "WiDBuyNum,WiDBuyVol,WiDBuyMon,WiDSellNum,WiDSellVol,WiDSellMon,TotBidNum,TotSellNum,"
      "MaxBidDur,MaxSellDur,BidNum,SellNum,IOPV";
  for (const char* side : {"Ask", "Bid"}) {
    for (int i = 1; i <= QL_SNAPSHOT_LEVELS; ++i) {
      h += std::string(",") + side + "Price" + std::to_string(i) + "," + side + "Volume" +
           std::to_string(i);
    }
  }
  for (const char* side : {"B", "S"}) {
    for (int i = 1; i <= QL_SNAPSHOT_LEVELS; ++i)
      h += ",NumOrders" + std::string(side) + std::to_string(i);
  }
  return h + ",LocalTime,SeqNo";
}

std::vector<Layout> make_builtins() {
  const std::vector<ValueCode> bs = {{"B", 'B'}, {"S", 'S'}};
  const std::vector<ValueCode> bsn = {{"B", 'B'}, {"S", 'S'}, {"N", 'N'}};
  std::vector<Layout> v;
  v.push_back(make("sh-a-orders", "Shanghai orders, vendor layout A (one stock per file)",
                   LayoutContent::Orders, 1,
                   "DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,"
                   "OrderPrice,Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo",
                   {{kSymbol, "SecurityID"},
                    {kTime, "OrderTime"},
                    {kType, "OrderType"},
                    {kOrderNo, "OrderNO"},
                    {kPrice, "OrderPrice"},
                    {kVolume, "Balance"},
                    {kSide, "OrderBSFlag"},
                    {kSequence, "BizIndex"}},
                   bs, {{"A", 'A'}, {"D", 'D'}}));
  v.push_back(make("sh-a-trades", "Shanghai trades, vendor layout A (one stock per file)",
                   LayoutContent::Trades, 1,
                   "DataStatus,TradeIndex,TradeChan,SecurityID,TradTime,TradPrice,TradVolume,"
                   "TradeMoney,TradeBuyNo,TradeSellNo,TradeBSFlag,BizIndex,LocalTime,SeqNo",
                   {{kSymbol, "SecurityID"},
                    {kTime, "TradTime"},
                    {kPrice, "TradPrice"},
                    {kVolume, "TradVolume"},
                    {kBuyNo, "TradeBuyNo"},
                    {kSellNo, "TradeSellNo"},
                    {kSide, "TradeBSFlag"},
                    {kTradeNo, "TradeIndex"},
                    {kSequence, "BizIndex"}},
                   bsn, {}));
  Layout snap = make("sh-a-snapshots", "Shanghai 3-second exchange snapshots, vendor layout A",
                     LayoutContent::Snapshots, 1, snapshot_header().c_str(),
                     {{kTime, "UpdateTime"},
                      {kSymbol, "SecurityID"},
                      {kPreClose, "PreCloPrice"},
                      {kOpen, "OpenPrice"},
                      {kHigh, "HighPrice"},
                      {kLow, "LowPrice"},
                      {kLast, "LastPrice"},
                      {kClose, "ClosePrice"},
                      {kPhase, "InstruStatus"},
                      {kNumTrades, "TradNumber"},
                      {kTotalVolume, "TradVolume"},
                      {kTurnover, "Turnover"},
                      {kIopv, "IOPV"}},
                     {}, {});
  snap.levels[kAskPrice] = "AskPrice#";
  snap.levels[kAskVolume] = "AskVolume#";
  snap.levels[kBidPrice] = "BidPrice#";
  snap.levels[kBidVolume] = "BidVolume#";
  snap.levels[kBidOrders] = "NumOrdersB#";
  snap.levels[kAskOrders] = "NumOrdersS#";
  v.push_back(std::move(snap));
  v.push_back(make("sh-b-orders", "Shanghai orders, vendor layout B (several stocks per file)",
                   LayoutContent::Orders, 1,
                   "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,"
                   "ReceiveDateTime,OrderIndex,OrderType,OrderPrice,OrderQty,OrderBSFlag,ChannelNo,"
                   "ApplSeqNum,OrderNO,SecurityID",
                   {{kSymbol, "SecurityID"},
                    {kDate, "MDDate"},
                    {kTime, "MDTime"},
                    {kType, "OrderType"},
                    {kPrice, "OrderPrice"},
                    {kVolume, "OrderQty"},
                    {kSide, "OrderBSFlag"},
                    {kOrderNo, "OrderNO"},
                    {kSequence, "ApplSeqNum"}},
                   {{"1", 'B'}, {"2", 'S'}}, {{"2", 'A'}, {"10", 'D'}}));
  v.push_back(make("sh-b-trades", "Shanghai trades, vendor layout B (several stocks per file)",
                   LayoutContent::Trades, 1,
                   "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,"
                   "TradingPhaseCode,TradeIndex,TradeBuyNo,TradeSellNo,TradeType,TradeBSFlag,"
                   "TradePrice,TradeQty,TradeMoney,ReceiveDateTime,NumTrades,ChannelNo,ApplSeqNum,"
                   "SecurityID",
                   {{kSymbol, "SecurityID"},
                    {kDate, "MDDate"},
                    {kTime, "MDTime"},
                    {kTradeNo, "TradeIndex"},
                    {kBuyNo, "TradeBuyNo"},
                    {kSellNo, "TradeSellNo"},
                    {kSide, "TradeBSFlag"},
                    {kPrice, "TradePrice"},
                    {kVolume, "TradeQty"},
                    {kSequence, "ApplSeqNum"}},
                   {{"1", 'B'}, {"2", 'S'}, {"0", 'N'}}, {}));
  Layout ticks = make(
      "sh-ticks", "Shanghai tick-by-tick, the exchange's merged orders, cancellations and trades",
      LayoutContent::Ticks, 1,
      "BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,Price,Qty,"
      "TradeMoney,TickBSFlag",
      {{kSequence, "BizIndex"},
       {kSymbol, "SecurityID"},
       {kTime, "TickTime"},
       {kType, "Type"},
       {kBuyNo, "BuyOrderNO"},
       {kSellNo, "SellOrderNO"},
       {kPrice, "Price"},
       {kVolume, "Qty"},
       {kSide, "TickBSFlag"}},
      bsn, {{"A", 'A'}, {"D", 'D'}, {"T", 'T'}, {"S", 'S'}});
  ticks.time_hundredths = true;  // TickTime: HHMMSSss
  v.push_back(std::move(ticks));
  v.push_back(
      make("sz-orders", "Shenzhen orders under the exchange's field names", LayoutContent::Orders,
           2, "SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType",
           {{kSymbol, "SecurityID"},
            {kTime, "TransactTime"},
            {kSequence, "ApplSeqNum"},
            {kOrderNo, "ApplSeqNum"},
            {kPrice, "Price"},
            {kVolume, "OrderQty"},
            {kSide, "Side"},
            {kType, "OrdType"}},
           {{"1", 'B'}, {"2", 'S'}, {"G", 'X'}, {"F", 'X'}}, {{"1", 'M'}, {"2", 'A'}, {"U", 'U'}}));
  v.push_back(make("sz-trades", "Shenzhen trades and cancellations under the exchange's names",
                   LayoutContent::Trades, 2,
                   "SecurityID,TransactTime,ApplSeqNum,ChannelNo,BidApplSeqNum,OfferApplSeqNum,"
                   "LastPx,LastQty,ExecType",
                   {{kSymbol, "SecurityID"},
                    {kTime, "TransactTime"},
                    {kSequence, "ApplSeqNum"},
                    {kTradeNo, "ApplSeqNum"},
                    {kBuyNo, "BidApplSeqNum"},
                    {kSellNo, "OfferApplSeqNum"},
                    {kPrice, "LastPx"},
                    {kVolume, "LastQty"},
                    {kType, "ExecType"}},
                   {}, {{"F", 'T'}, {"4", 'C'}}));
  return v;
}

int field_of(const std::string& name) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (name == kFieldNames[f]) return f;
  }
  return -1;
}

int level_of(const std::string& name) {
  for (int l = 0; l < kLevelCount; ++l) {
    if (name == kLevelNames[l]) return l;
  }
  return -1;
}

bool parse_content(const std::string& text, LayoutContent* out) {
  for (LayoutContent c : {LayoutContent::Orders, LayoutContent::Trades, LayoutContent::Ticks,
                          LayoutContent::Snapshots}) {
    if (iequal(text, content_name(c))) {
      *out = c;
      return true;
    }
  }
  return false;
}

bool meaning_allowed(const std::string& map, char meaning) {
  return std::strchr(map == "side" ? "BSNX" : "AMUDTCS", meaning) != nullptr;
}

// Binds one field (or level) to a column. False for an unknown field.
bool bind(Layout* layout, const std::string& field, const std::string& column) {
  const int f = field_of(field);
  if (f >= 0) {
    layout->columns[f] = column;
    return true;
  }
  const int l = level_of(field);
  if (l < 0) return false;
  layout->levels[l] = column;
  return true;
}

std::string fields_list() {
  std::string out;
  for (const char* f : kFieldNames) out += std::string(out.empty() ? "" : " ") + f;
  for (const char* l : kLevelNames) out += std::string(" ") + l;
  return out;
}

}  // namespace

const char* field_name(int field) {
  return field >= 0 && field < kFieldCount ? kFieldNames[field] : "";
}

const char* level_name(int level) {
  return level >= 0 && level < kLevelCount ? kLevelNames[level] : "";
}

const char* content_name(LayoutContent content) {
  switch (content) {
    case LayoutContent::Orders:
      return "orders";
    case LayoutContent::Trades:
      return "trades";
    case LayoutContent::Ticks:
      return "ticks";
    case LayoutContent::Snapshots:
      return "snapshots";
  }
  return "";
}

const std::vector<Layout>& builtin_layouts() {
  static const std::vector<Layout> layouts = make_builtins();
  return layouts;
}

const Layout* find_builtin(const std::string& name) {
  for (const Layout& l : builtin_layouts()) {
    if (iequal(l.name, name)) return &l;
  }
  return nullptr;
}

std::vector<int> required_fields(const Layout& layout) {
  switch (layout.content) {
    case LayoutContent::Orders:
      return {kSymbol, kTime, kType, kSide, kPrice, kVolume, kOrderNo};
    case LayoutContent::Trades:
      return {kSymbol, kTime, kPrice, kVolume, kBuyNo, kSellNo};
    case LayoutContent::Ticks:
      return {kSymbol, kTime, kType, kSide, kPrice, kVolume, kBuyNo, kSellNo};
    case LayoutContent::Snapshots:
      return {kSymbol, kTime};
  }
  return {};
}

std::string level_column(const std::string& pattern, int level) {
  const size_t at = pattern.find('#');
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + std::to_string(level) + pattern.substr(at + 1);
}

int header_position(const std::vector<std::string>& header, const std::string& name) {
  if (name.empty()) return -1;
  for (size_t i = 0; i < header.size(); ++i) {
    if (iequal(header[i], name)) return static_cast<int>(i);
  }
  return -1;
}

const Layout* detect_layout(const std::vector<std::string>& header, std::string* error) {
  const Layout* best = nullptr;
  const Layout* tie = nullptr;
  int best_score = 0;
  for (const Layout& l : builtin_layouts()) {
    bool complete = true;
    for (int f = 0; f < kFieldCount && complete; ++f) {
      complete = l.columns[f].empty() || header_position(header, l.columns[f]) >= 0;
    }
    if (!complete) continue;
    int score = 0;
    for (const std::string& name : l.header) score += header_position(header, name) >= 0;
    if (score > best_score) {
      best = &l;
      tie = nullptr;
      best_score = score;
    } else if (score == best_score) {
      tie = &l;
    }
  }
  if (best != nullptr && tie != nullptr) {
    *error = "the header binds two layouts equally (" + best->name + " and " + tie->name +
             "): choose one with --profile";
    return nullptr;
  }
  if (best == nullptr) {
    *error =
        "the header matches no known layout (see 'quotelab columns --profiles'): describe it "
        "with --profile FILE or --map field=Column,...";
  }
  return best;
}

bool apply_map_text(const std::string& request, const std::string& origin, Layout* layout,
                    std::string* error) {
  for (const std::string& item : split(request, ',')) {
    const std::string entry = trim(item);
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    const std::string field = eq == std::string::npos ? entry : trim(entry.substr(0, eq));
    const std::string column = eq == std::string::npos ? "" : trim(entry.substr(eq + 1));
    if (eq == std::string::npos || column.empty()) {
      *error = origin + ": '" + entry + "' is not field=Column";
      return false;
    }
    if (!bind(layout, field, column)) {
      *error = origin + ": unknown field '" + field + "' (fields: " + fields_list() + ")";
      return false;
    }
  }
  return true;
}

bool apply_values_text(const std::string& request, const std::string& origin, Layout* layout,
                       std::string* error) {
  for (const std::string& group : split(request, ';')) {
    const std::string g = trim(group);
    if (g.empty()) continue;
    const size_t colon = g.find(':');
    const std::string map = colon == std::string::npos ? "" : trim(g.substr(0, colon));
    if (map != "side" && map != "type") {
      *error = origin + ": '" + g + "' is not side:CODE=MEANING,... or type:CODE=MEANING,...";
      return false;
    }
    std::vector<ValueCode>& values = map == "side" ? layout->side_values : layout->type_values;
    std::vector<ValueCode> given;
    for (const std::string& item : split(g.substr(colon + 1), ',')) {
      const std::string entry = trim(item);
      if (entry.empty()) continue;
      const size_t eq = entry.find('=');
      const std::string code = eq == std::string::npos ? "" : trim(entry.substr(0, eq));
      const std::string meaning = eq == std::string::npos ? "" : trim(entry.substr(eq + 1));
      if (code.empty() || meaning.size() != 1 || !meaning_allowed(map, meaning[0])) {
        *error = origin + ": '" + entry + "' is not CODE=MEANING (" + map +
                 " meanings: " + (map == "side" ? "B S N X" : "A M U D T C S") + ")";
        return false;
      }
      given.push_back({code, meaning[0]});
    }
    values = given;  // a map given replaces the layout's: codes it leaves out are unknown
  }
  return true;
}

bool apply_profile(const std::string& text, const std::string& origin, Layout* layout, bool* based,
                   std::string* error) {
  int line_no = 0;
  for (const std::string& raw : split(text, '\n')) {
    ++line_no;
    // '#' at the start or after a blank starts a comment; inside a name (AskPrice#) it is the
    // level number.
    std::string line = raw;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '#' && (i == 0 || ql__is_blank(line[i - 1]))) {
        line.resize(i);
        break;
      }
    }
    line = trim(line);
    const size_t eq = line.find('=');
    if (line.empty()) continue;
    const std::string where = origin + " line " + std::to_string(line_no);
    if (eq == std::string::npos) {
      *error = where + ": expected key = value";
      return false;
    }
    const std::string key = trim(line.substr(0, line.find('=')));
    const std::string value = trim(line.substr(line.find('=') + 1));
    if (key == "layout") {
      const Layout* base = find_builtin(value);
      if (base == nullptr) {
        *error = where + ": no built-in layout '" + value + "'";
        return false;
      }
      *layout = *base;
      *based = true;
    } else if (key == "name") {
      layout->name = value;
    } else if (key == "content") {
      if (!parse_content(value, &layout->content)) {
        *error = where + ": content '" + value + "' is not orders, trades, ticks or snapshots";
        return false;
      }
      layout->content_given = true;
    } else if (key == "exchange") {
      const int ex = exchange_int(value.c_str());
      if (ex == 0) {
        *error = where + ": exchange '" + value + "' is unknown (SH, SZ, ...)";
        return false;
      }
      layout->exchange = static_cast<uint8_t>(ex);
    } else if (key == "time_digits") {
      if (!iequal(value, "HHMMSSss") && !iequal(value, "HHMMSSmmm")) {
        *error = where + ": time_digits '" + value + "' is not HHMMSSss or HHMMSSmmm";
        return false;
      }
      layout->time_hundredths = iequal(value, "HHMMSSss");
    } else if (key == "map") {
      if (!apply_map_text(value, where, layout, error)) return false;
    } else if (key == "values") {
      if (!apply_values_text(value, where, layout, error)) return false;
    } else if (!bind(layout, key, value)) {
      *error =
          where + ": unknown key '" + key +
          "' (layout name content exchange time_digits map values, or a field: " + fields_list() +
          ")";
      return false;
    }
  }
  return true;
}

std::string layout_profile_text(const Layout& l) {
  std::string out = "name = " + l.name + "\n";
  if (!l.description.empty()) out = "# " + l.description + "\n" + out;
  out += std::string("content = ") + content_name(l.content) + "\n";
  if (l.exchange != 0) out += std::string("exchange = ") + exchange_str(l.exchange) + "\n";
  if (l.time_hundredths) out += "time_digits = HHMMSSss\n";
  for (int f = 0; f < kFieldCount; ++f) {
    if (!l.columns[f].empty()) out += std::string(kFieldNames[f]) + " = " + l.columns[f] + "\n";
  }
  for (int v = 0; v < kLevelCount; ++v) {
    if (!l.levels[v].empty()) out += std::string(kLevelNames[v]) + " = " + l.levels[v] + "\n";
  }
  std::string values;
  for (const auto* map : {&l.side_values, &l.type_values}) {
    if (map->empty()) continue;
    values += std::string(values.empty() ? "" : ";") + (map == &l.side_values ? "side:" : "type:");
    for (size_t i = 0; i < map->size(); ++i) {
      values += (i ? "," : "") + (*map)[i].code + "=" + (*map)[i].meaning;
    }
  }
  if (!values.empty()) out += "values = " + values + "\n";
  return out;
}

}  // namespace detail
}  // namespace KX
