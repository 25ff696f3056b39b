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

// What the options ask for.
struct ReplayOptions {
  std::string kind;
  std::string freq;
  const char* file = nullptr;
  int param = 0;
  std::vector<int> days;
  std::string csv_out;
};

// Reads and checks the options. Returns kExitOk, or the exit code of the refusal (its message
// printed).
int check_options(const Args& args, ReplayOptions* o) {
  if (!args.get_int("--param", INT32_MIN, INT32_MAX, &o->param) || !parse_days(args, &o->days)) {
    return kExitUsage;
  }
  if (!args.has("--kind")) {
    args.error("give --kind (bin, csv, mock, empty, vdb or a plug-in library path)");
    return kExitUsage;
  }
  o->kind = args.get("--kind");
  o->file = args.get("--file");
  o->freq = args.get("--freq", "tick");
  o->csv_out = args.get("--csv-out", "");
  const bool csv_kind = KX::StringUtil::iequals(o->kind.c_str(), "csv");
  const bool file_kind = csv_kind || KX::StringUtil::iequals(o->kind.c_str(), "bin");
  if (file_kind && o->file == nullptr) {
    args.error("--file is needed for the %s kind", o->kind.c_str());
    return kExitUsage;
  }
  if (file_kind && access(o->file, R_OK) != 0) {
    args.error("--file: cannot open '%s': %s", o->file, std::strerror(errno));
    return kExitFailure;
  }
  if (csv_kind && !check_csv_input("replay", o->file, ',', args.has("--lenient"))) {
    return kExitFailure;
  }
  return kExitOk;
}

// What one day delivered.
struct DayRecords {
  size_t count = 0;
  Record first, last;
};

// Drives a replay day by day as a back-test does. A binary replay consumes the record that
// ends a day; it is held here and delivered with the day it belongs to. Not thread-safe.
class DayDriver {
 public:
  DayDriver(const Args& args, KX::IDataReplay* replay, CsvOut* csv)
      : args_(args),
        replay_(replay),
        csv_(csv),
        consumes_day_end_(KX::StringUtil::iequals(replay->get_name(), "bin")) {}

  // Opens a day and delivers the record held for it, if any. Returns false when the replay
  // refuses the day (message printed).
  bool begin_day(int day, DayRecords* out) {
    const int init_rc = replay_->init(day);
    if (init_rc == QL_NO_MORE_RECORDS) ended_ = true;
    if (init_rc < 0 && init_rc != QL_NO_MORE_RECORDS) {
      args_.error("day %d: init returned %d (%s)", day, init_rc, ql_result_str(init_rc));
      return false;
    }
    replay_->start();
    day_open_ = take_held(day, out) && !ended_;
    return true;
  }
  // Delivers the rest of the day. Returns false on a failure (its message printed, or in
  // error()).
  bool read_day(int day, DayRecords* out) {
    while (day_open_ && ok_) day_open_ = pull(day, out);
    return ok_;
  }
  // The data ended, with no record held for a later day.
  bool finished() const { return ended_ && !have_held_; }
  const std::string& error() const { return error_; }

 private:
  void deliver(const Record& r, DayRecords* out) {
    if (out->count == 0) out->first = r;
    out->last = r;
    ++out->count;
    if (csv_->enabled() && !csv_->write(r, &error_)) ok_ = false;
  }

  // Delivers the record held from an earlier day when it is this day's. Returns whether the
  // day may have more records.
  bool take_held(int day, DayRecords* out) {
    if (!have_held_) return true;
    const int held_day = trading_day_of(held_);
    if (held_day > day) return false;  // the next record belongs to a later day
    if (held_day == day) deliver(held_, out);
    have_held_ = false;  // delivered, or of a day not asked for
    return true;
  }

  // Takes the next record. Returns whether the day may have more.
  bool pull(int day, DayRecords* out) {
    std::memset(record_.bytes, 0, sizeof(_L2Snapshot));
    unsigned char type = 0;
    const int rc = replay_->next(record_.bytes, kRecordBuffer, &type);
    if (rc > 0) {
      record_.size = rc;
      if (type != 0) record_.bytes[0] = type;
      deliver(record_, out);
      return true;
    }
    if (rc == QL_BAR_SKIPPED) return true;  // an earlier bar passed over
    if (rc == QL_OTHER_DAY) {
      hold_day_end();
    } else if (rc == 0 || rc == QL_NO_MORE_RECORDS) {
      ended_ = true;
    } else {
      args_.error("day %d: next returned %d (%s)", day, rc, ql_result_str(rc));
      ok_ = false;
    }
    return false;
  }

  void hold_day_end() {
    if (!consumes_day_end_ || record_.bytes[0] == 0) return;
    record_.size = static_cast<int>(
        kind_record_size(record_.bytes[0] == QL_RECORD_BAR ? RecordKind::Bar : RecordKind::Tick));
    held_ = record_;
    have_held_ = true;
  }

  const Args& args_;
  KX::IDataReplay* replay_;
  CsvOut* csv_;
  const bool consumes_day_end_;
  Record record_, held_;
  bool have_held_ = false;
  bool day_open_ = false;
  bool ended_ = false;
  bool ok_ = true;
  std::string error_;
};

void print_day(int day, const DayRecords& d) {
  std::printf("%d: %s record%s\n", day, group_digits(d.count).c_str(), d.count == 1 ? "" : "s");
  if (d.count > 0) {
    std::printf("  first: %s\n", describe(d.first).c_str());
    if (d.count > 1) std::printf("  last:  %s\n", describe(d.last).c_str());
  }
}

// Runs the days in order until the data ends. Returns false on a failure (message printed).
bool replay_days(const Args& args, KX::IDataReplay* replay, const ReplayOptions& o, CsvOut* csv,
                 size_t* total) {
  DayDriver driver(args, replay, csv);
  bool ok = true;
  for (size_t di = 0; di < o.days.size() && ok; ++di) {
    DayRecords day;
    if (!driver.begin_day(o.days[di], &day)) {
      ok = false;
      break;
    }
    ok = driver.read_day(o.days[di], &day);
    *total += day.count;
    if (!csv->enabled()) print_day(o.days[di], day);
    if (ok && driver.finished()) {
      if (di + 1 < o.days.size()) std::printf("end of data after %d\n", o.days[di]);
      break;
    }
  }
  std::string error = driver.error();
  if (csv->enabled() && !csv->close(&error)) ok = false;
  if (!ok && !error.empty()) args.error("%s", error.c_str());
  return ok;
}

void report(const ReplayOptions& o, size_t total, const CsvOut& csv) {
  std::printf("replay %s (%s): %s records", o.kind.c_str(), o.freq.c_str(),
              group_digits(total).c_str());
  if (csv.enabled()) {
    std::printf(" -> %s (%s written", o.csv_out.c_str(), group_digits(csv.written()).c_str());
    if (csv.skipped() > 0) {
      std::printf(", %s of another kind left out", group_digits(csv.skipped()).c_str());
    }
    std::printf(")");
  }
  std::printf("\n");
}

}  // namespace

int run_replay(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  ReplayOptions o;
  const int refused = check_options(args, &o);
  if (refused != kExitOk) return refused;
  KX::IDataReplay* replay = KX::IDataReplay::create_data_replay(
      o.kind.c_str(), o.freq.c_str(), args.get("--market", ""), o.file, o.param);
  if (replay == nullptr) {
    args.error("--kind: no replay '%s' (see the message above)", o.kind.c_str());
    return kExitFailure;
  }
  CsvOut csv(o.csv_out);
  size_t total = 0;
  const bool ok = replay_days(args, replay, o, &csv, &total);
  replay->release();
  if (!ok) return kExitFailure;
  report(o, total, csv);
  return kExitOk;
}

}  // namespace qltool
