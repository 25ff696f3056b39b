// quotelab merge: join the part files that `book --market --shard K/N` wrote for a day into
// the day file, the same byte for byte as a one-machine run would have written.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <vector>

#include "args.h"
#include "commands.h"
#include "market_day.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"
#include "span_writer.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "merge",
    "--root DIR --date YYYYMMDD [options]",
    "Joins a day's part files, ROOT/YYYYMMDD/tick.part-K-of-N.csv (or .dat) as 'quotelab book\n"
    "--market --shard K/N' writes them on each machine, into the day file ROOT/YYYYMMDD/tick.csv\n"
    "(tick.dat): snapshots in time order across symbols, ties in symbol order, the same byte for\n"
    "byte as one run over the whole market. Every part of the split must be there.",
    "quotelab merge --root data --date 20240102",
};

const OptionDef kOptions[] = {
    {"--root", "DIR", "data root holding the day's directory"},
    {"--date", "YYYYMMDD", "the trading day"},
    {"--delimiter", "C", "CSV field delimiter of the parts (default ',')"},
    {"--remove-parts", nullptr, "delete the part files once the day file is written"},
};

// Where a snapshot goes in the day: time, then symbol and exchange.
struct DayKey {
  int32_t time = 0;
  std::string symbol;
  int exchange = 0;

  bool operator<(const DayKey& o) const {
    if (time != o.time) return time < o.time;
    if (symbol != o.symbol) return symbol < o.symbol;
    return exchange < o.exchange;
  }
};

// One part file, a snapshot at a time. Not thread-safe.
class PartReader {
 public:
  virtual ~PartReader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool open(const std::string& path, std::string* error) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
      *error = "cannot open '" + path + "': " + std::strerror(errno);
      return false;
    }
    return true;
  }
  // Steps to the next snapshot; false at the end or on failure (error() set).
  virtual bool next() = 0;
  virtual bool write(SpanWriter& out) const = 0;
  const DayKey& key() const { return key_; }
  const std::string& error() const { return error_; }

 protected:
  // The key of the snapshot just read; a part out of order is no part of a market day.
  bool take(DayKey key) {
    if (read_ > 0 && key < key_) {
      error_ = "'" + path_ + "' snapshot " + std::to_string(read_ + 1) +
               " is earlier than the one before: not a part file of 'book --market'";
      return false;
    }
    key_ = std::move(key);
    ++read_;
    return true;
  }

  std::string path_;
  FILE* file_ = nullptr;
  DayKey key_;
  size_t read_ = 0;
  std::string error_;
};

class BinaryPart : public PartReader {
 public:
  bool next() override {
    const size_t got = std::fread(&rec_, 1, sizeof rec_, file_);
    if (got == 0) return false;
    if (got != sizeof rec_ || rec_.type != QL_RECORD_L2SNAPSHOT) {
      error_ = "'" + path_ + "' is not a file of tick records (snapshot " +
               std::to_string(read_ + 1) + ")";
      return false;
    }
    return take(DayKey{rec_.time,
                       std::string(rec_.symbol, strnlen(rec_.symbol, sizeof rec_.symbol)),
                       rec_.exchange});
  }
  bool write(SpanWriter& out) const override { return out.write(&rec_, sizeof rec_); }

 private:
  _L2Snapshot rec_{};
};

// Splits a CSV row at the delimiter; quoted fields lose their quotes.
std::vector<std::string> csv_fields(const char* line, size_t n, char delimiter) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < n; ++i) {
    const char c = line[i];
    if (c == '"') {
      if (quoted && i + 1 < n && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == delimiter && !quoted) {
      fields.emplace_back();
    } else if (c != '\r' && c != '\n') {
      fields.back() += c;
    }
  }
  return fields;
}

class CsvPart : public PartReader {
 public:
  explicit CsvPart(char delimiter) : delimiter_(delimiter) {}
  ~CsvPart() override { std::free(line_); }

  // Reads the header row; a part without one holds no snapshot. Returns false on a header
  // without the instrument and time columns.
  bool read_header() {
    const ssize_t n = getline(&line_, &capacity_, file_);
    if (n <= 0) return true;
    header_.assign(line_, static_cast<size_t>(n));
    const std::vector<std::string> names = csv_fields(line_, static_cast<size_t>(n), delimiter_);
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == "instrument") instrument_col_ = i;
      if (names[i] == "time") time_col_ = i;
    }
    if (instrument_col_ == kNone || time_col_ == kNone) {
      error_ = "'" + path_ + "' has no instrument and time columns: not a tick file";
      return false;
    }
    return true;
  }
  const std::string& header() const { return header_; }

  bool next() override {
    if (header_.empty()) return false;
    length_ = getline(&line_, &capacity_, file_);
    if (length_ <= 0) return false;
    const std::vector<std::string> f = csv_fields(line_, static_cast<size_t>(length_), delimiter_);
    if (f.size() <= instrument_col_ || f.size() <= time_col_) {
      error_ = "'" + path_ + "' row " + std::to_string(read_ + 2) + " is cut short";
      return false;
    }
    DayKey key;
    key.time = static_cast<int32_t>(std::strtol(f[time_col_].c_str(), nullptr, 10));
    const std::string& instrument = f[instrument_col_];
    const size_t dot = instrument.rfind('.');
    key.symbol = instrument.substr(0, dot);
    key.exchange = dot == std::string::npos ? 0 : exchange_int(instrument.c_str() + dot + 1);
    return take(std::move(key));
  }
  bool write(SpanWriter& out) const override {
    return out.write(line_, static_cast<size_t>(length_));
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  char delimiter_;
  char* line_ = nullptr;
  size_t capacity_ = 0;
  ssize_t length_ = 0;
  std::string header_;
  size_t instrument_col_ = kNone, time_col_ = kNone;
};

struct PartName {
  int k = 0, n = 0;
  std::string extension;  // "csv" or "dat"
};

// "tick.part-3-of-8.csv" -> 3, 8, "csv"; false for any other name.
bool parse_part_name(const std::string& name, PartName* out) {
  int k = 0, n = 0, used = 0;
  char ext[4] = {};
  if (std::sscanf(name.c_str(), "tick.part-%d-of-%d.%3s%n", &k, &n, ext, &used) != 3 ||
      static_cast<size_t>(used) != name.size() || k < 1 || k > n) {
    return false;
  }
  out->k = k;
  out->n = n;
  out->extension = ext;
  return out->extension == "csv" || out->extension == "dat";
}

// The one split of the day's parts, every part of it present.
bool find_parts(const std::string& dir, PartName* split, std::string* error) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    *error = "cannot open the day directory '" + dir + "': " + std::strerror(errno);
    return false;
  }
  std::map<std::pair<std::string, int>, std::set<int>> splits;
  while (const dirent* e = readdir(d)) {
    PartName p;
    if (parse_part_name(e->d_name, &p)) splits[{p.extension, p.n}].insert(p.k);
  }
  closedir(d);
  if (splits.empty()) {
    *error = "'" + dir + "' holds no part files (tick.part-K-of-N.csv or .dat)";
    return false;
  }
  if (splits.size() > 1) {
    *error = "'" + dir + "' holds parts of several splits (";
    for (const auto& s : splits) {
      *error += (s.first == splits.begin()->first ? "" : ", ") + std::string("of ") +
                std::to_string(s.first.second) + " ." + s.first.first;
    }
    *error += "): keep the parts of one";
    return false;
  }
  const auto& only = *splits.begin();
  split->extension = only.first.first;
  split->n = only.first.second;
  for (int k = 1; k <= split->n; ++k) {
    if (only.second.count(k) == 0) {
      *error = "part " + std::to_string(k) + " of " + std::to_string(split->n) + " is missing: '" +
               dir + "/tick.part-" + std::to_string(k) + "-of-" + std::to_string(split->n) + "." +
               split->extension + "'";
      return false;
    }
  }
  return true;
}

std::string part_path(const std::string& dir, const PartName& split, int k) {
  return dir + "/tick.part-" + std::to_string(k) + "-of-" + std::to_string(split.n) + "." +
         split.extension;
}

// Opens every part and, for CSV, checks that they share one header.
bool open_parts(const std::string& dir, const PartName& split, char delimiter,
                std::vector<std::unique_ptr<PartReader>>* parts, std::string* header,
                std::string* error) {
  for (int k = 1; k <= split.n; ++k) {
    const std::string path = part_path(dir, split, k);
    if (split.extension == "dat") {
      parts->push_back(std::make_unique<BinaryPart>());
      if (!parts->back()->open(path, error)) return false;
      continue;
    }
    auto part = std::make_unique<CsvPart>(delimiter);
    if (!part->open(path, error)) return false;
    if (!part->read_header()) {
      *error = part->error();
      return false;
    }
    if (!part->header().empty()) {
      if (header->empty()) {
        *header = part->header();
      } else if (*header != part->header()) {
        *error = "'" + path + "' has another header row than the parts before it";
        return false;
      }
    }
    parts->push_back(std::move(part));
  }
  return true;
}

// Merges the parts by their keys (a symbol lives in one part; equal keys keep part order).
// False when a part fails (error set) or a write does (the writer keeps its reason).
bool merge_parts(std::vector<std::unique_ptr<PartReader>>& parts, SpanWriter& out, size_t* written,
                 std::string* error) {
  auto later = [&](size_t a, size_t b) {
    const DayKey& ka = parts[a]->key();
    const DayKey& kb = parts[b]->key();
    if (kb < ka) return true;
    if (ka < kb) return false;
    return a > b;
  };
  std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
  auto advance = [&](size_t i) {
    if (parts[i]->next()) {
      heads.push(i);
      return true;
    }
    *error = parts[i]->error();
    return error->empty();
  };
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!advance(i)) return false;
  }
  while (!heads.empty()) {
    const size_t i = heads.top();
    heads.pop();
    if (!parts[i]->write(out)) return false;  // the writer keeps the reason
    ++*written;
    if (!advance(i)) return false;
  }
  return true;
}

}  // namespace

bool merge_day_parts(const std::string& root, int date, char delimiter, bool remove_parts,
                     std::string* out_path, size_t* written, std::string* error) {
  const std::string dir = root + "/" + std::to_string(date);
  PartName split;
  if (!find_parts(dir, &split, error)) return false;
  std::vector<std::unique_ptr<PartReader>> parts;
  std::string header;
  if (!open_parts(dir, split, delimiter, &parts, &header, error)) return false;

  *out_path = dir + "/tick." + split.extension;
  // Written around the page cache, as the market pass writes its day files.
  SpanFile file;
  if (!file.create(*out_path, error)) return false;
  *written = 0;
  bool merged;
  std::string failure;  // a write's reason
  {
    SpanWriter out(file, 0);
    merged = out.write(header.data(), header.size()) && merge_parts(parts, out, written, error);
    if (!out.finish()) failure = std::strerror(out.failure());
  }
  if (!close_day_file(&file, *out_path, failure, error) || !merged) {
    if (error->find(*out_path) == std::string::npos) *error += " (writing '" + *out_path + "')";
    std::remove(out_path->c_str());
    return false;
  }
  if (remove_parts) {
    for (int k = 1; k <= split.n; ++k) std::remove(part_path(dir, split, k).c_str());
  }
  return true;
}

int run_merge(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  int date = 0;
  char delimiter = ',';
  if (!args.get_date("--date", &date) || !args.get_char("--delimiter", &delimiter)) {
    return kExitUsage;
  }
  if (!args.has("--root") || date == 0) {
    args.error("give --root DIR and --date YYYYMMDD");
    return kExitUsage;
  }
  std::string out_path, error;
  size_t written = 0;
  if (!merge_day_parts(args.get("--root"), date, delimiter, args.has("--remove-parts"), &out_path,
                       &written, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  std::printf("merged %s snapshots -> %s\n", group_digits(written).c_str(), out_path.c_str());
  return kExitOk;
}

}  // namespace qltool
