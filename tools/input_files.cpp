#include "input_files.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "args.h"
#include "quotelab/csv_reader.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

constexpr size_t kKept = KX::LayoutReader::kRefusalsKept;

bool is_builtin(const std::string& name) {
  for (int i = 0; i < KX::LayoutReader::builtin_layout_count(); ++i) {
    if (name == KX::LayoutReader::builtin_layout_name(i)) return true;
  }
  return false;
}

// Applies the settings to a reader. False with *error set.
bool configure(const InputSettings& in, const DayFileRequest& request, KX::LayoutReader* r,
               std::string* error) {
  r->set_delimiter(request.delimiter);
  r->set_trading_day(request.date);
  r->set_symbol(request.symbol.c_str());
  int rc = 0;
  if (!in.profile.empty()) {
    rc = is_builtin(in.profile) ? r->use_layout(in.profile.c_str())
                                : r->load_profile(in.profile.c_str());
  }
  if (rc == 0 && !in.map.empty()) rc = r->apply_map(in.map.c_str());
  if (rc == 0 && !in.values.empty()) rc = r->apply_values(in.values.c_str());
  if (rc != 0) *error = r->error();
  return rc == 0;
}

bool customised(const InputSettings& in) {
  return !in.profile.empty() || !in.map.empty() || !in.values.empty();
}

// Whether quotelab's own CSV reader finds an instrument column in the file's header: the file
// is then taken for one of quotelab's own.
bool own_csv_header(const std::string& path, char delimiter) {
  KX::DataCsvReader probe(path.c_str(), delimiter);
  return probe.csv_handle != nullptr &&
         probe.column_index.instrument != KX::_MDColumnIndexTable::kColumnAbsent;
}

// The program's record arrays as a reader's output: the rows go straight into the arrays the
// rebuild uses. An array the file has no records for is never asked for room.
class ArraysOf final : public KX::LayoutRecordArrays {
 public:
  ArraysOf(RecordArray<_L2Order>* orders, RecordArray<_L2Trade>* trades)
      : orders_(orders), trades_(trades) {}
  _L2Order* order_room(size_t kept, size_t n) override { return room(orders_, kept, n); }
  _L2Trade* trade_room(size_t kept, size_t n) override { return room(trades_, kept, n); }

 private:
  template <class Rec>
  static Rec* room(RecordArray<Rec>* a, size_t kept, size_t n) {
    if (a == nullptr || !a->resize(kept) || !a->reserve(n)) return nullptr;
    return a->data();
  }
  RecordArray<_L2Order>* orders_;
  RecordArray<_L2Trade>* trades_;
};

// Reads one CSV input: through a layout when one settles, else as quotelab's own CSV.
template <class Rec>
bool read_csv_input(const DayFileRequest& request, const std::string& path, RecordArray<Rec>* out,
                    RecordArray<_L2Trade>* merged_trades, DayInputs* files, std::string* error) {
  const bool is_orders = RecordTraits<Rec>::kKind == RecordKind::Order;
  auto fits = [&](const KX::LayoutReader& r) {
    const KX::LayoutContent c = r.content();
    return is_orders ? c == KX::LayoutContent::Orders || c == KX::LayoutContent::Ticks
                     : c == KX::LayoutContent::Trades;
  };
  auto open_with = [&](const InputSettings& in, std::string* why) {
    auto r = std::make_unique<KX::LayoutReader>();
    if (!configure(in, request, r.get(), why)) return std::unique_ptr<KX::LayoutReader>();
    if (r->open(path.c_str()) != 0) {
      *why = r->error();
      return std::unique_ptr<KX::LayoutReader>();
    }
    if (!fits(*r)) {
      *why = "'" + path + "' reads as " + r->layout_name() + ", not as " +
             (is_orders ? "orders" : "trades");
      return std::unique_ptr<KX::LayoutReader>();
    }
    return r;
  };
  std::string why;
  std::unique_ptr<KX::LayoutReader> opened = open_with(request.input, &why);
  if (opened == nullptr && customised(request.input)) {
    // A job's profile is often made for one of its two files: the other may still be in a
    // built-in layout.
    std::string ignored;
    opened = open_with(InputSettings(), &ignored);
  }
  if (opened == nullptr) {
    if (customised(request.input) || !own_csv_header(path, request.delimiter)) {
      *error = why;
      return false;
    }
    // quotelab's own CSV (its reader says what a file lacks); the tokenizer's faults are
    // refusals too.
    if (!scan_csv_rows(path, request.delimiter, &files->refusals, error)) return false;
    return read_csv_records(path, request.delimiter, out, error);
  }
  KX::LayoutReader& reader = *opened;
  const bool merged = is_orders && reader.content() == KX::LayoutContent::Ticks;
  RecordArray<_L2Order>* orders = nullptr;
  RecordArray<_L2Trade>* trades = merged ? merged_trades : nullptr;
  if constexpr (std::is_same<Rec, _L2Order>::value) {
    orders = out;
  } else {
    trades = out;
  }
  ArraysOf arrays(orders, trades);
  if (reader.read(&arrays) < 0) {
    *error = reader.error();
    return false;
  }
  if (orders != nullptr) orders->resize(reader.order_count());
  if (trades != nullptr) trades->resize(reader.trade_count());
  files->refusals.add_reader(reader);
  (is_orders ? files->orders_layout : files->trades_layout) = reader.layout_name();
  files->merged = files->merged || merged;
  (is_orders ? files->order_file : files->trade_file) = std::move(opened);
  return true;
}

template <class Rec>
bool read_input(const DayFileRequest& request, const std::string& path, RecordArray<Rec>* out,
                RecordArray<_L2Trade>* merged_trades, DayInputs* files, std::string* error) {
  const FileFormat format = request.format_given ? request.format : format_of_path(path);
  if (format == FileFormat::Binary) return read_binary_records(path, out, error);
  return read_csv_input(request, path, out, merged_trades, files, error);
}

// The indices of a file's records in the order of their sequence numbers; empty when the file
// is in that order already (the rule), which then needs no index.
std::vector<uint32_t> by_sequence(const std::vector<int64_t>& seq) {
  std::vector<uint32_t> idx;
  if (std::is_sorted(seq.begin(), seq.end())) return idx;
  idx.resize(seq.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint32_t>(i);
  std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return seq[a] < seq[b]; });
  return idx;
}

std::string time_text(int32_t t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t / 10000000, t / 100000 % 100,
                t / 1000 % 100, t % 1000);
  return buf;
}

}  // namespace

// ---- the day's inputs ---------------------------------------------------------------------------

namespace {
template <class T>
const std::vector<T>& none() {
  static const std::vector<T> empty;
  return empty;
}
}  // namespace

const std::vector<int64_t>& DayInputs::order_seq() const {
  return order_file && order_file->has_sequence() ? order_file->order_sequence() : none<int64_t>();
}
const std::vector<int64_t>& DayInputs::trade_seq() const {
  return trade_file && trade_file->has_sequence() ? trade_file->trade_sequence() : none<int64_t>();
}
const std::vector<uint32_t>& DayInputs::order_lines() const {
  return order_file ? order_file->order_lines() : none<uint32_t>();
}
const std::vector<uint32_t>& DayInputs::trade_lines() const {
  const KX::LayoutReader* r = merged ? order_file.get() : trade_file.get();
  return r ? r->trade_lines() : none<uint32_t>();
}
const std::vector<KX::LayoutStreamEntry>& DayInputs::stream() const {
  return merged ? order_file->stream() : none<KX::LayoutStreamEntry>();
}

// ---- refusals ----------------------------------------------------------------------------------

void RefusalReport::count(const std::string& reason, size_t n) {
  total_ += n;
  for (auto& c : counts_) {
    if (c.reason == reason) {
      c.count += n;
      return;
    }
  }
  counts_.push_back({reason, n});
}

void RefusalReport::add(const std::string& file, long line, const std::string& reason,
                        const std::string& detail) {
  count(reason, 1);
  if (kept_.size() < kKept) kept_.push_back({file, line, reason, detail});
}

void RefusalReport::add_reader(const KX::LayoutReader& reader) {
  for (const auto& r : reader.refusals()) {
    if (kept_.size() < kKept) kept_.push_back(r);
  }
  for (const auto& c : reader.refusal_counts()) count(c.reason, c.count);
}

std::vector<std::string> RefusalReport::lines() const {
  std::vector<std::string> out;
  for (const auto& r : kept_) {
    out.push_back("'" + r.file + "'" + (r.line > 0 ? " line " + std::to_string(r.line) : "") +
                  ": " + r.reason + (r.detail.empty() ? "" : ": " + r.detail));
  }
  if (total_ > 0) {
    std::string sum = group_digits(total_) + (total_ == 1 ? " row" : " rows") + " refused:";
    for (size_t i = 0; i < counts_.size(); ++i) {
      sum += (i ? ", " : " ") + group_digits(counts_[i].count) + " " + counts_[i].reason;
    }
    out.push_back(sum);
  }
  return out;
}

bool scan_csv_rows(const std::string& path, char delimiter, RefusalReport* report,
                   std::string* error) {
  csv_file* csv = csv_open(path.c_str(), delimiter, 0);
  if (csv == nullptr) {
    *error = "cannot read '" + path + "' as CSV (unreadable, or no header row)";
    return false;
  }
  const int columns = csv_column_count(csv);
  while (csv_next(csv) == 0) {
    const int faults = csv_row_faults(csv);
    const long line = csv_line_number(csv);
    if (faults & QL_CSV_FAULT_UNTERMINATED_QUOTE) {
      report->add(path, line, "unterminated quote",
                  "a quote opened on this line runs to the end of the file");
    } else if (faults & QL_CSV_FAULT_NUL) {
      report->add(path, line, "NUL inside a field", "");
    } else if (csv_field_count(csv) < columns) {
      report->add(
          path, line,
          (faults & QL_CSV_FAULT_NO_LINE_END) ? "row cut off at the end of the file" : "short row",
          std::to_string(csv_field_count(csv)) + " of " + std::to_string(columns) + " fields");
    }
  }
  csv_close(csv);
  return true;
}

bool check_csv_input(const char* command, const std::string& path, char delimiter, bool lenient) {
  RefusalReport refusals;
  std::string error;
  if (!scan_csv_rows(path, delimiter, &refusals, &error)) {
    report(command, "%s", error.c_str());
    return false;
  }
  for (const std::string& line : refusals.lines()) report(command, "%s", line.c_str());
  if (refusals.total() == 0 || lenient) return true;
  report(command, "'%s' has rows that cannot be read: fix the file, or give --lenient",
         path.c_str());
  return false;
}

// ---- the day's files
// -----------------------------------------------------------------------------

bool read_day_files(const DayFileRequest& request, RecordArray<_L2Order>* orders,
                    RecordArray<_L2Trade>* trades, DayInputs* files, std::string* error) {
  *files = DayInputs();
  trades->clear();
  if (!read_input(request, request.orders_path, orders, trades, files, error)) return false;
  if (files->merged) {
    if (!request.trades_path.empty()) {
      *error = "'" + request.orders_path + "' already holds the day's trades (" +
               files->orders_layout + "): give no --trades";
      return false;
    }
    return true;
  }
  if (request.trades_path.empty()) {
    *error = "give --trades FILE: '" + request.orders_path + "' holds orders only";
    return false;
  }
  if (!read_input(request, request.trades_path, trades, trades, files, error)) return false;
  if (orders->empty() && !trades->empty()) {
    *error = "'" + request.orders_path + "' holds no orders while '" + request.trades_path +
             "' holds " + group_digits(trades->size()) + " trades: the order file is incomplete";
    return false;
  }
  return true;
}

bool sequence_from_letters(const std::string& sequence_path, const std::string& orders_path,
                           const std::string& trades_path, const RecordArray<_L2Order>& orders,
                           const RecordArray<_L2Trade>& trades, const std::string& symbol,
                           std::vector<const void*>* sequence, std::string* error) {
  std::string text;
  if (!read_whole_file(sequence_path, &text, error)) return false;
  const PaddedSymbol padded(symbol);
  size_t o = 0, t = 0;
  sequence->clear();
  sequence->reserve(orders.size() + trades.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == 'O' || c == 'T') {
      const bool is_order = c == 'O';
      if (is_order ? o >= orders.size() : t >= trades.size()) {
        *error = "'" + sequence_path + "' names more " + (is_order ? "orders" : "trades") +
                 " than '" + (is_order ? orders_path : trades_path) + "' holds (" +
                 std::to_string(is_order ? orders.size() : trades.size()) + ")";
        return false;
      }
      const char* rec_symbol = is_order ? orders[o].symbol : trades[t].symbol;
      const void* rec = is_order ? static_cast<const void*>(&orders[o++])
                                 : static_cast<const void*>(&trades[t++]);
      if (symbol.empty() || same_symbol(rec_symbol, padded, symbol)) {
        sequence->push_back(rec);
      }
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      *error =
          "'" + sequence_path + "' byte " + std::to_string(i) + ": expected O (order) or T (trade)";
      return false;
    }
  }
  if (o != orders.size() || t != trades.size()) {
    *error = "'" + sequence_path + "' names " + std::to_string(o) + " orders and " +
             std::to_string(t) + " trades, but the files hold " + std::to_string(orders.size()) +
             " and " + std::to_string(trades.size());
    return false;
  }
  return true;
}

std::string layouts_note(const DayInputs& files) {
  const std::string& o = files.orders_layout;
  const std::string& t = files.trades_layout;
  return o.empty() && t.empty() ? "" : files.merged ? o : o + " + " + t;
}

std::string refused_rows_error(size_t refused) {
  return group_digits(refused) +
         " rows could not be read (see above): fix the files, or give --lenient to rebuild "
         "without them";
}

bool sequence_from_columns(const DayInputs& files, const RecordArray<_L2Order>& orders,
                           const RecordArray<_L2Trade>& trades,
                           std::vector<const void*>* sequence) {
  sequence->clear();
  if (files.merged) {
    sequence->reserve(files.stream().size());
    advise_huge_pages(sequence->data(), sequence->capacity() * sizeof(const void*));
    for (const KX::LayoutStreamEntry& e : files.stream()) {
      sequence->push_back(e.type == QL_RECORD_L2ORDER ? static_cast<const void*>(&orders[e.index])
                                                      : static_cast<const void*>(&trades[e.index]));
    }
    return true;
  }
  const std::vector<int64_t>& os = files.order_seq();
  const std::vector<int64_t>& ts = files.trade_seq();
  if ((os.empty() && !orders.empty()) || (ts.empty() && !trades.empty()) ||
      os.size() != orders.size() || ts.size() != trades.size()) {
    return false;
  }
  const std::vector<uint32_t> oi = by_sequence(os);
  const std::vector<uint32_t> ti = by_sequence(ts);
  auto order_at = [&](size_t k) { return oi.empty() ? k : oi[k]; };
  auto trade_at = [&](size_t k) { return ti.empty() ? k : ti[k]; };
  sequence->reserve(os.size() + ts.size());
  advise_huge_pages(sequence->data(), sequence->capacity() * sizeof(const void*));
  size_t i = 0, j = 0;
  while (i < os.size() || j < ts.size()) {
    if (j >= ts.size() || (i < os.size() && os[order_at(i)] < ts[trade_at(j)])) {
      sequence->push_back(&orders[order_at(i++)]);
    } else {
      sequence->push_back(&trades[trade_at(j++)]);
    }
  }
  return true;
}

std::string record_place(const std::string& orders_path, const std::string& trades_path,
                         const DayInputs& files, bool is_order, size_t index) {
  const std::string& path = is_order || files.merged ? orders_path : trades_path;
  const auto& lines = is_order ? files.order_lines() : files.trade_lines();
  return "'" + path + "' " +
         (index < lines.size() ? "line " + std::to_string(lines[index])
                               : "record " + std::to_string(index + 1));
}

size_t check_times(const DayFileRequest& request, const DayInputs& files,
                   RecordArray<_L2Order>* orders, RecordArray<_L2Trade>* trades,
                   std::vector<const void*>* sequence, bool fix, std::vector<std::string>* notes) {
  size_t back = 0;
  auto note = [&](bool is_order, size_t index, int32_t t, int32_t prev) {
    if (++back <= kKept) {
      notes->push_back(
          record_place(request.orders_path, request.trades_path, files, is_order, index) +
          ": time " + time_text(t) + " goes back (the record before is at " + time_text(prev) +
          ")");
    }
  };
  if (!sequence->empty()) {
    int32_t prev = 0;
    for (const void* rec : *sequence) {
      const bool is_order = *static_cast<const uint8_t*>(rec) == QL_RECORD_L2ORDER;
      const int32_t t = is_order ? static_cast<const _L2Order*>(rec)->time
                                 : static_cast<const _L2Trade*>(rec)->time;
      if (t < prev) {
        const size_t index = is_order ? static_cast<const _L2Order*>(rec) - orders->data()
                                      : static_cast<const _L2Trade*>(rec) - trades->data();
        note(is_order, index, t, prev);
      } else {
        prev = t;
      }
    }
    if (back > 0 && fix) {
      std::stable_sort(sequence->begin(), sequence->end(), [](const void* a, const void* b) {
        auto time_of = [](const void* r) {
          return *static_cast<const uint8_t*>(r) == QL_RECORD_L2ORDER
                     ? static_cast<const _L2Order*>(r)->time
                     : static_cast<const _L2Trade*>(r)->time;
        };
        return time_of(a) < time_of(b);
      });
    }
  } else {
    auto check = [&](auto* records, bool is_order) {
      int32_t prev = 0;
      size_t found = 0;
      for (size_t i = 0; i < records->size(); ++i) {
        const int32_t t = (*records)[i].time;
        if (t < prev) {
          note(is_order, i, t, prev);
          ++found;
        } else {
          prev = t;
        }
      }
      if (found > 0 && fix) {
        std::stable_sort(records->begin(), records->end(),
                         [](const auto& a, const auto& b) { return a.time < b.time; });
      }
    };
    check(orders, true);
    check(trades, false);
  }
  if (back > kKept) notes->push_back(group_digits(back) + " records go back in time in all");
  return back;
}

}  // namespace qltool
