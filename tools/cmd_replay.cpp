// quotelab replay: drive any replay kind day by day and show what it delivers.
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "input_files.h"
#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"
#include "record_io.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "replay",
    "--kind NAME (--from YYYYMMDD --to YYYYMMDD | --days LIST) [options]",
    "Creates a replay by name (bin, csv, mock, empty, vdb, or the path of a plug-in library)\n"
    "and drives it as a back-test does, one trading day at a time: init(day), start(), then\n"
    "next() until the day's data ends. Prints each day's record count with its first and\n"
    "last record, or writes every record to --csv-out (with the header row of its kind).\n"
    "Days run from --from to --to through every calendar day, or over a --days list.\n"
    "A binary replay consumes the record that ends a day; it is kept here and delivered\n"
    "with the day it belongs to, so no record is lost between days.",
    "quotelab replay --kind csv --file 20240102/tick.csv --freq tick --from 20240102 --to "
    "20240103",
};

const OptionDef kOptions[] = {
    {"--kind", "NAME", "bin, csv, mock, empty, vdb, or a plug-in library path (required)"},
    {"--file", "FILE", "data file of the bin and csv kinds (and of plug-ins that take one)"},
    {"--lenient", nullptr, "replay a CSV file whose rows are not all sound (still reported)"},
    {"--freq", "FREQ", "frequency: tick, tick2, minute, 1m, 5m, ... (default tick)"},
    {"--market", "TEXT", "data market passed to the replay (default empty)"},
    {"--param", "N", "plug-in parameter (default 0)"},
    {"--from", "YYYYMMDD", "first trading day"},
    {"--to", "YYYYMMDD", "last trading day (inclusive)"},
    {"--days", "LIST", "comma-separated trading days instead of --from/--to"},
    {"--csv-out", "FILE", "write the records as CSV instead of listing them"},
};

// Big enough for any record a replay delivers (the largest, a snapshot, is 464 bytes).
constexpr int kRecordBuffer = 1024;

struct Record {
  alignas(8) unsigned char bytes[kRecordBuffer];
  int size = 0;
};

std::string clock_text(int hhmmssmmm) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", hhmmssmmm / 10000000,
                hhmmssmmm / 100000 % 100, hhmmssmmm / 1000 % 100, hhmmssmmm % 1000);
  return buf;
}

std::string instrument_text(const char* symbol, size_t capacity, uint8_t exchange) {
  std::string s(symbol, strnlen(symbol, capacity));
  const char* ex = exchange_str(exchange);
  if (ex != nullptr) return s + "." + ex;
  return exchange != 0 ? s + "." + std::to_string(exchange) : s;
}

std::string describe(const Record& r) {
  char buf[256];
  switch (r.bytes[0]) {
    case QL_RECORD_L2SNAPSHOT: {
      _L2Snapshot s;
      std::memcpy(&s, r.bytes, sizeof s);
      std::snprintf(buf, sizeof buf,
                    "%s %s day %d last %.3f volume %lld bid %.3f x %d ask %.3f x %d",
                    clock_text(s.time).c_str(),
                    instrument_text(s.symbol, sizeof s.symbol, s.exchange).c_str(), s.trading_day,
                    s.last, static_cast<long long>(s.volume), s.bid_price[0], s.bid_volume[0],
                    s.ask_price[0], s.ask_volume[0]);
      return buf;
    }
    case QL_RECORD_BAR: {
      _BarData b;
      std::memcpy(&b, r.bytes, sizeof b);
      std::snprintf(buf, sizeof buf,
                    "%s %s day %d open %.3f high %.3f low %.3f close %.3f volume %lld",
                    clock_text(b.time).c_str(),
                    instrument_text(b.symbol, sizeof b.symbol, b.exchange).c_str(), b.trading_day,
                    b.open, b.high, b.low, b.close, static_cast<long long>(b.volume));
      return buf;
    }
    case QL_RECORD_L2TRADE: {
      _L2Trade t;
      std::memcpy(&t, r.bytes, sizeof t);
      std::snprintf(
          buf, sizeof buf, "%s %s trade %u @ %.3f bid #%lld ask #%lld", clock_text(t.time).c_str(),
          instrument_text(t.symbol, sizeof t.symbol, t.exchange).c_str(), t.volume, t.price,
          static_cast<long long>(t.bid_seq_num), static_cast<long long>(t.ask_seq_num));
      return buf;
    }
    case QL_RECORD_L2ORDER: {
      _L2Order o;
      std::memcpy(&o, r.bytes, sizeof o);
      std::snprintf(buf, sizeof buf, "%s %s order #%lld %c %u @ %.3f type %c",
                    clock_text(o.time).c_str(),
                    instrument_text(o.symbol, sizeof o.symbol, o.exchange).c_str(),
                    static_cast<long long>(o.seq_num), o.bs_flag ? o.bs_flag : '?', o.volume,
                    o.price, o.order_type ? o.order_type : '?');
      return buf;
    }
    default:
      std::snprintf(buf, sizeof buf, "record of type %d, %d bytes", r.bytes[0], r.size);
      return buf;
  }
}

// The trading day a tick or bar carries (0 for other records).
int trading_day_of(const Record& r) {
  int32_t day = 0;
  if (r.bytes[0] == QL_RECORD_L2SNAPSHOT) {
    std::memcpy(&day, r.bytes + offsetof(_L2Snapshot, trading_day), sizeof day);
  } else if (r.bytes[0] == QL_RECORD_BAR) {
    std::memcpy(&day, r.bytes + offsetof(_BarData, trading_day), sizeof day);
  }
  return day;
}

bool parse_days(const Args& args, std::vector<int>* days) {
  if (args.has("--days")) {
    if (args.has("--from") || args.has("--to")) {
      args.error("give --days or --from/--to, not both");
      return false;
    }
    std::string list = args.get("--days");
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t comma = list.find(',', pos);
      if (comma == std::string::npos) comma = list.size();
      const std::string item = list.substr(pos, comma - pos);
      char* end = nullptr;
      const long d = std::strtol(item.c_str(), &end, 10);
      if (item.empty() || *end != '\0' || !is_valid_date(d)) {
        args.error("--days: '%s' is not a date YYYYMMDD", item.c_str());
        return false;
      }
      days->push_back(static_cast<int>(d));
      pos = comma + 1;
    }
    return true;
  }
  int from = 0, to = 0;
  if (!args.get_date("--from", &from) || !args.get_date("--to", &to)) return false;
  if (from == 0 || to == 0) {
    args.error("give --from and --to (or --days)");
    return false;
  }
  if (from > to) {
    args.error("--from %d is after --to %d", from, to);
    return false;
  }
  for (int d = from; d <= to; d = next_calendar_day(d)) days->push_back(d);
  return true;
}

// Writes delivered records as CSV; the first record's kind names the file's header.
class CsvOut {
 public:
  explicit CsvOut(std::string path) : path_(std::move(path)) {}
  bool enabled() const { return !path_.empty(); }
  bool write(const Record& r, std::string* error) {
    RecordKind kind;
    if (!kind_of_type_code(r.bytes[0], &kind)) {
      ++skipped_;
      return true;
    }
    if (!opened_) {
      if (!writer_.open(path_, kind, FileFormat::Csv, ',', error)) return false;
      opened_ = true;
      kind_ = kind;
    }
    if (kind != kind_) {
      ++skipped_;
      return true;
    }
    writer_.write(r.bytes);
    return true;
  }
  bool close(std::string* error) {
    if (!opened_) {
      // No record: leave an empty file rather than none, so the run's output always exists.
      FILE* f = std::fopen(path_.c_str(), "wb");
      if (f == nullptr || std::fclose(f) != 0) {
        *error = "cannot create '" + path_ + "'";
        return false;
      }
      return true;
    }
    return writer_.close(error);
  }
  size_t written() const { return writer_.written(); }
  size_t skipped() const { return skipped_; }

 private:
  std::string path_;
  RecordWriter writer_;
  RecordKind kind_ = RecordKind::Tick;
  bool opened_ = false;
  size_t skipped_ = 0;
};

}  // namespace

int run_replay(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  int param = 0;
  std::vector<int> days;
  if (!args.get_int("--param", INT32_MIN, INT32_MAX, &param) || !parse_days(args, &days)) {
    return kExitUsage;
  }
  if (!args.has("--kind")) {
    args.error("give --kind (bin, csv, mock, empty, vdb or a plug-in library path)");
    return kExitUsage;
  }
  const std::string kind = args.get("--kind");
  const char* file = args.get("--file");
  const bool file_kind =
      KX::StringUtil::iequals(kind.c_str(), "bin") || KX::StringUtil::iequals(kind.c_str(), "csv");
  if (file_kind && file == nullptr) {
    args.error("--file is needed for the %s kind", kind.c_str());
    return kExitUsage;
  }
  if (file_kind && access(file, R_OK) != 0) {
    args.error("--file: cannot open '%s': %s", file, std::strerror(errno));
    return kExitFailure;
  }
  if (KX::StringUtil::iequals(kind.c_str(), "csv") &&
      !check_csv_input("replay", file, ',', args.has("--lenient"))) {
    return kExitFailure;
  }
  const std::string freq = args.get("--freq", "tick");
  KX::IDataReplay* replay = KX::IDataReplay::create_data_replay(
      kind.c_str(), freq.c_str(), args.get("--market", ""), file, param);
  if (replay == nullptr) {
    args.error("--kind: no replay '%s' (see the message above)", kind.c_str());
    return kExitFailure;
  }
  const bool consumes_day_end = KX::StringUtil::iequals(replay->get_name(), "bin");

  CsvOut csv(args.get("--csv-out", ""));
  Record record, first, last, held;
  bool have_held = false, ended = false;
  size_t total = 0;
  int status = kExitOk;
  std::string error;
  for (size_t di = 0; di < days.size() && status == kExitOk; ++di) {
    const int day = days[di];
    size_t count = 0;
    auto deliver = [&](const Record& r) {
      if (count == 0) first = r;
      last = r;
      ++count;
      if (csv.enabled() && !csv.write(r, &error)) status = kExitFailure;
    };
    const int init_rc = replay->init(day);
    if (init_rc == QL_NO_MORE_RECORDS) ended = true;
    if (init_rc < 0 && init_rc != QL_NO_MORE_RECORDS) {
      args.error("day %d: init returned %d (%s)", day, init_rc, ql_result_str(init_rc));
      status = kExitFailure;
      break;
    }
    replay->start();
    bool day_open = !ended;
    if (have_held) {
      const int held_day = trading_day_of(held);
      if (held_day == day) {
        deliver(held);
        have_held = false;
      } else if (held_day > day) {
        day_open = false;  // the next record belongs to a later day
      } else {
        have_held = false;  // a record of a day not asked for
      }
    }
    while (day_open && status == kExitOk) {
      std::memset(record.bytes, 0, sizeof(_L2Snapshot));
      unsigned char type = 0;
      const int rc = replay->next(record.bytes, kRecordBuffer, &type);
      if (rc > 0) {
        record.size = rc;
        if (type != 0) record.bytes[0] = type;
        deliver(record);
      } else if (rc == QL_OTHER_DAY) {
        if (consumes_day_end && record.bytes[0] != 0) {
          record.size = static_cast<int>(kind_record_size(
              record.bytes[0] == QL_RECORD_BAR ? RecordKind::Bar : RecordKind::Tick));
          held = record;
          have_held = true;
        }
        day_open = false;
      } else if (rc == 0 || rc == QL_NO_MORE_RECORDS) {
        ended = true;
        day_open = false;
      } else if (rc == QL_BAR_SKIPPED) {
        continue;  // an earlier bar passed over
      } else {
        args.error("day %d: next returned %d (%s)", day, rc, ql_result_str(rc));
        status = kExitFailure;
      }
    }
    total += count;
    if (!csv.enabled()) {
      std::printf("%d: %s record%s\n", day, group_digits(count).c_str(), count == 1 ? "" : "s");
      if (count > 0) {
        std::printf("  first: %s\n", describe(first).c_str());
        if (count > 1) std::printf("  last:  %s\n", describe(last).c_str());
      }
    }
    if (ended && !have_held) {
      if (di + 1 < days.size()) std::printf("end of data after %d\n", day);
      break;
    }
  }
  replay->release();
  if (csv.enabled() && !csv.close(&error)) status = kExitFailure;
  if (status != kExitOk) {
    if (!error.empty()) args.error("%s", error.c_str());
    return status;
  }
  std::printf("replay %s (%s): %s records", kind.c_str(), freq.c_str(),
              group_digits(total).c_str());
  if (csv.enabled()) {
    std::printf(" -> %s (%s written", args.get("--csv-out"), group_digits(csv.written()).c_str());
    if (csv.skipped() > 0) {
      std::printf(", %s of another kind left out", group_digits(csv.skipped()).c_str());
    }
    std::printf(")");
  }
  std::printf("\n");
  return kExitOk;
}

}  // namespace qltool
