#include "layout_writer.h"

#include <cstdio>
#include <cstring>

namespace qlsim {
namespace {

// A Shanghai stock's name as layout B carries it, in UTF-8.
const char kChineseName[] = "\xe8\xb4\xb5\xe5\xb7\x9e\xe8\x8c\x85\xe5\x8f\xb0";

std::string symbol_of(const char* s) {
  return std::string(s, strnlen(s, sizeof(_L2Order::symbol)));
}

// 09:15:00.020
std::string colon_time(int t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t / 10000000, t / 100000 % 100,
                t / 1000 % 100, t % 1000);
  return buf;
}

// 2023.07.11
std::string dotted_date(int d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d.%02d.%02d", d / 10000, d / 100 % 100, d % 100);
  return buf;
}

// Prices as some vendors write them: the double's decimal expansion cut at 14 places
// (1801.01 -> 1801.00999999999999).
std::string noisy_price(double p) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.14f", p);
  return buf;
}

std::string plain_price(double p) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.4f", p);
  return buf;
}

char side_letter(char bs) {
  return bs == 'B' || bs == 'S' ? bs : 'N';
}

void sh_a(const Day& day, std::string* orders, std::string* trades) {
  *orders =
      "DataStatus,OrderIndex,OrderChannel,SecurityID,OrderTime,OrderType,OrderNO,OrderPrice,"
      "Balance,OrderBSFlag,BizIndex,LocalTime,SeqNo\r\n";
  long row = 0;
  for (const _L2Order& o : day.orders) {
    ++row;
    *orders += "0," + std::to_string(row) + ",1," + symbol_of(o.symbol) + "," + colon_time(o.time) +
               "," + (o.order_type == 'D' ? "D" : "A") + "," + std::to_string(o.seq_num) + "," +
               noisy_price(o.price) + "," + std::to_string(o.volume) + "," + o.bs_flag + "," +
               std::to_string(o.order_index) + "," + colon_time(o.time + 3) + "," +
               std::to_string(row) + "\r\n";
  }
  *trades =
      "DataStatus,TradeIndex,TradeChan,SecurityID,TradTime,TradPrice,TradVolume,TradeMoney,"
      "TradeBuyNo,TradeSellNo,TradeBSFlag,BizIndex,LocalTime,SeqNo\r\n";
  row = 0;
  for (const _L2Trade& t : day.trades) {
    ++row;
    *trades += "0," + std::to_string(t.seq_num) + ",1," + symbol_of(t.symbol) + "," +
               colon_time(t.time) + "," + noisy_price(t.price) + "," + std::to_string(t.volume) +
               "," + plain_price(t.price * t.volume) + "," + std::to_string(t.bid_seq_num) + "," +
               std::to_string(t.ask_seq_num) + "," + side_letter(t.bs_flag) + "," +
               std::to_string(t.aux_no) + "," + colon_time(t.time + 3) + "," + std::to_string(row) +
               "\r\n";
  }
}

void sh_b(const Day& day, std::string* orders, std::string* trades) {
  const std::string date = dotted_date(day.config.date);
  *orders =
      "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,ReceiveDateTime,"
      "OrderIndex,OrderType,OrderPrice,OrderQty,OrderBSFlag,ChannelNo,ApplSeqNum,OrderNO,"
      "SecurityID\n";
  long row = 0;
  for (const _L2Order& o : day.orders) {
    *orders += date + "," + colon_time(o.time) + ",2,,102," + kChineseName + "," + date + "T" +
               colon_time(o.time + 5) + "," + std::to_string(++row) + "," +
               (o.order_type == 'D' ? "10" : "2") + "," + plain_price(o.price) + "," +
               std::to_string(o.volume) + "," + (o.bs_flag == 'B' ? "1" : "2") + ",1," +
               std::to_string(o.order_index) + "," + std::to_string(o.seq_num) + "," +
               symbol_of(o.symbol) + ".SH\n";
  }
  *trades =
      "MDDate,MDTime,SecurityType,SecuritySubType,SecurityIDSource,Symbol,TradingPhaseCode,"
      "TradeIndex,TradeBuyNo,TradeSellNo,TradeType,TradeBSFlag,TradePrice,TradeQty,TradeMoney,"
      "ReceiveDateTime,NumTrades,ChannelNo,ApplSeqNum,SecurityID\n";
  row = 0;
  for (const _L2Trade& t : day.trades) {
    const char* flag = t.bs_flag == 'B' ? "1" : t.bs_flag == 'S' ? "2" : "0";
    *trades += date + "," + colon_time(t.time) + ",2,,102," + kChineseName + ",T111," +
               std::to_string(t.seq_num) + "," + std::to_string(t.bid_seq_num) + "," +
               std::to_string(t.ask_seq_num) + ",0," + flag + "," + plain_price(t.price) + "," +
               std::to_string(t.volume) + "," + plain_price(t.price * t.volume) + "," + date + "T" +
               colon_time(t.time + 5) + "," + std::to_string(++row) + ",1," +
               std::to_string(t.aux_no) + "," + symbol_of(t.symbol) + ".SH\n";
  }
}

std::string sh_ticks(const Day& day) {
  std::string out =
      "BizIndex,Channel,SecurityID,TickTime,Type,BuyOrderNO,SellOrderNO,Price,Qty,TradeMoney,"
      "TickBSFlag\n";
  const std::string symbol = symbol_of(day.config.symbol.c_str());
  out += "0,1," + symbol + ",09:15:00.000,S,0,0,0,0,0,START\n";
  for (const void* rec : day.sequence) {
    if (*static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER) {
      const auto& o = *static_cast<const _L2Order*>(rec);
      const std::string no = std::to_string(o.seq_num);
      out += std::to_string(o.order_index) + ",1," + symbol + "," + colon_time(o.time) + "," +
             (o.order_type == 'D' ? "D," : "A,") +
             (o.bs_flag == 'B' ? no + ",0," : "0," + no + ",") + plain_price(o.price) + "," +
             std::to_string(o.volume) + ",0," + o.bs_flag + "\n";
    } else {
      const auto& t = *static_cast<const _L2Trade*>(rec);
      out += std::to_string(t.aux_no) + ",1," + symbol + "," + colon_time(t.time) + ",T," +
             std::to_string(t.bid_seq_num) + "," + std::to_string(t.ask_seq_num) + "," +
             plain_price(t.price) + "," + std::to_string(t.volume) + "," +
             plain_price(t.price * t.volume) + "," + side_letter(t.bs_flag) + "\n";
    }
  }
  return out;
}

// 20230711093000120
std::string transact_time(int date, int t) {
  return std::to_string(date) + (t < 100000000 ? "0" : "") + std::to_string(t);
}

void sz(const Day& day, std::string* orders, std::string* trades) {
  *orders = "SecurityID,TransactTime,ApplSeqNum,ChannelNo,Price,OrderQty,Side,OrdType\n";
  for (const _L2Order& o : day.orders) {
    *orders += symbol_of(o.symbol) + "," + transact_time(o.action_day, o.time) + "," +
               std::to_string(o.seq_num) + ",2011," + plain_price(o.price) + "," +
               std::to_string(o.volume) + "," + (o.bs_flag == 'B' ? "1" : "2") + "," +
               o.order_type + "\n";
  }
  *trades =
      "SecurityID,TransactTime,ApplSeqNum,ChannelNo,BidApplSeqNum,OfferApplSeqNum,LastPx,LastQty,"
      "ExecType\n";
  for (const _L2Trade& t : day.trades) {
    *trades += symbol_of(t.symbol) + "," + transact_time(t.action_day, t.time) + "," +
               std::to_string(t.seq_num) + ",2011," + std::to_string(t.bid_seq_num) + "," +
               std::to_string(t.ask_seq_num) + "," + plain_price(t.price) + "," +
               std::to_string(t.volume) + "," + (t.trade_flag == '4' ? "4" : "F") + "\n";
  }
}

void write_both(const Day& day, FileLayout layout, std::string* orders, std::string* trades) {
  switch (layout) {
    case FileLayout::ShanghaiA:
      sh_a(day, orders, trades);
      return;
    case FileLayout::ShanghaiB:
      sh_b(day, orders, trades);
      return;
    case FileLayout::ShanghaiTicks:
      *orders = sh_ticks(day);
      trades->clear();
      return;
    case FileLayout::Shenzhen:
      sz(day, orders, trades);
      return;
  }
}

}  // namespace

std::string layout_orders_text(const Day& day, FileLayout layout) {
  std::string orders, trades;
  write_both(day, layout, &orders, &trades);
  return orders;
}

std::string layout_trades_text(const Day& day, FileLayout layout) {
  std::string orders, trades;
  write_both(day, layout, &orders, &trades);
  return trades;
}

}  // namespace qlsim
