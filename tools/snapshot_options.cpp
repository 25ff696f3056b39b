#include "snapshot_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "args.h"
#include "record_io.h"

namespace qltool {
namespace {

bool read_trade_counts(const std::string& path, std::vector<int32_t>* counts, std::string* error) {
  std::string text;
  if (!read_whole_file(path, &text, error)) return false;
  counts->clear();
  int line = 1;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\n') ++line;
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str() + i, &end, 10);
    const size_t used = static_cast<size_t>(end - (text.c_str() + i));
    const bool separated = i + used == text.size() || std::strchr(" \t,\r\n", text[i + used]);
    if (used == 0 || !separated || errno != 0 || value < 0 || value > INT32_MAX) {
      *error = "'" + path + "' line " + std::to_string(line) + ": not a trade count";
      return false;
    }
    if (!counts->empty() && value < counts->back()) {
      *error = "'" + path + "' line " + std::to_string(line) + ": trade count " +
               std::to_string(value) + " is below the one before it";
      return false;
    }
    counts->push_back(static_cast<int32_t>(value));
    i += used;
  }
  return true;
}

}  // namespace

bool parse_schedule(const std::string& text, SnapshotSchedule* schedule, std::string* error) {
  *schedule = SnapshotSchedule();
  if (text == "events") {
    schedule->kind = ORDERBOOK_SCHEDULE_EVENTS;
    return true;
  }
  if (text.compare(0, 5, "grid:") == 0) {
    char* end = nullptr;
    const long ms = std::strtol(text.c_str() + 5, &end, 10);
    if (text.size() == 5 || *end != '\0' || ms < 1 || ms > 24L * 3600 * 1000) {
      *error = "--schedule: '" + text + "': the grid needs milliseconds from 1 to 86400000";
      return false;
    }
    schedule->kind = ORDERBOOK_SCHEDULE_GRID;
    schedule->grid_ms = static_cast<int>(ms);
    return true;
  }
  if (text.compare(0, 7, "trades:") == 0 && text.size() > 7) {
    schedule->kind = ORDERBOOK_SCHEDULE_TRADES;
    if (!read_trade_counts(text.substr(7), &schedule->trade_counts, error)) {
      *error = "--schedule: " + *error;
      return false;
    }
    return true;
  }
  *error = "--schedule: '" + text + "' is none of events, grid:MS, trades:FILE";
  return false;
}

bool parse_snapshot_options(const Args& args, SnapshotSchedule* schedule, bool* exchange_view,
                            double* pre_close) {
  std::string error;
  if (args.has("--schedule") && !parse_schedule(args.get("--schedule"), schedule, &error)) {
    args.error("%s", error.c_str());
    return false;
  }
  if (args.has("--auction-view") &&
      !parse_auction_view(args.get("--auction-view"), exchange_view)) {
    args.error("--auction-view: '%s' is neither book nor exchange", args.get("--auction-view"));
    return false;
  }
  if (args.has("--pre-close")) {
    char* end = nullptr;
    *pre_close = std::strtod(args.get("--pre-close"), &end);
    if (*end != '\0' || !(*pre_close > 0 && *pre_close < 1e7)) {
      args.error("--pre-close: '%s' is not a price", args.get("--pre-close"));
      return false;
    }
  }
  return true;
}

bool apply_schedule(orderbook_builder* builder, const SnapshotSchedule& schedule) {
  return orderbook_builder_set_schedule(builder, schedule.kind, schedule.grid_ms,
                                        schedule.trade_counts.data(),
                                        static_cast<int32_t>(schedule.trade_counts.size())) == 0;
}

bool parse_auction_view(const std::string& text, bool* exchange_view) {
  if (text != "book" && text != "exchange") return false;
  *exchange_view = text == "exchange";
  return true;
}

}  // namespace qltool
