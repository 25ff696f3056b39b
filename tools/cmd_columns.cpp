// quotelab columns: which field each column of a CSV header binds to.
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "layout_columns.h"
#include "quotelab/csv_reader.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "columns",
    "--file FILE [--delimiter C] [--profile NAME|FILE] [--map F=COL,...] [--values CODES]\n"
    "       quotelab columns --profiles",
    "Shows, for each column of a CSV file's header, the market-data field DataCsvReader binds\n"
    "it to, and which columns bind nothing. A column whose name is one of a field's accepted\n"
    "names can still bind nothing when an earlier name of the same field is also present\n"
    "(\"last_px\" wins over \"price\"); the listing says so. Rows are decoded only when the\n"
    "instrument column is bound.\n"
    "\n"
    "A file in an exchange's or vendor's own layout (order, trade, tick-by-tick and snapshot\n"
    "files of Shanghai and Shenzhen) is shown under the layout detected from its header, or\n"
    "the one --profile, --map and --values describe; --profiles lists the built-in layouts in\n"
    "the profile form (key = value lines) that --profile reads.",
    "quotelab columns --file trades.csv",
};

const OptionDef kOptions[] = {
    {"--file", "FILE", "CSV file with a header row (required)"},
    {"--delimiter", "C", "field delimiter (default ',')"},
    {"--profile", "NAME|FILE", "a built-in layout by name, or a profile file"},
    {"--map", "F=COL,...", "bind layout fields to columns"},
    {"--values", "CODES", "value codes, e.g. side:1=B,2=S;type:10=D"},
    {"--profiles", nullptr, "list the built-in layouts as profiles"},
};

struct Binding {
  std::string field;
  unsigned char position;
};

// Every field of the column table with its bound position, in table order.
std::vector<Binding> bindings_of(const KX::_MDColumnIndexTable& c) {
  std::vector<Binding> out = {
      {"exchange", c.exchange},
      {"instrument", c.instrument},
      {"trading_day", c.trading_day},
      {"action_day", c.action_day},
      {"time", c.time},
      {"open", c.open},
      {"high", c.high},
      {"low", c.low},
      {"last", c.last},
      {"volume", c.volume},
      {"turnover", c.turnover},
      {"upper_limit", c.upper_limit},
      {"lower_limit", c.lower_limit},
      {"close", c.close},
      {"pre_close", c.pre_close},
      {"pre_settle", c.pre_settle},
      {"settle", c.settle},
      {"num_trades", c.num_trades},
      {"iopv", c.iopv},
      {"turn", c.turn},
      {"open_interest", c.open_interest},
      {"pre_open_interest", c.pre_open_interest},
  };
  const struct {
    const char* name;
    const unsigned char* levels;
  } kLevels[] = {{"ask_price", c.ask_price},
                 {"ask_volume", c.ask_volume},
                 {"bid_price", c.bid_price},
                 {"bid_volume", c.bid_volume}};
  for (const auto& l : kLevels) {
    for (int i = 0; i < KX::_MDColumnIndexTable::kLevels; ++i) {
      out.push_back({std::string(l.name) + "[" + std::to_string(i + 1) + "]", l.levels[i]});
    }
  }
  const std::vector<Binding> tail = {
      {"bs_flag", c.bs_flag},
      {"order_type_sh", c.order_type_sh},
      {"order_type_sz", c.order_type_sz},
      {"side", c.side},
      {"order_index", c.order_index},
      {"seq_num", c.seq_num},
      {"bid_seq_num", c.bid_seq_num},
      {"ask_seq_num", c.ask_seq_num},
      {"datetime", c.datetime},
  };
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// The field a header name would bind on its own, or "" for a name no field accepts. Asks the
// reader itself, through a one-column file, so the answer follows its own name lists.
std::string field_accepting(const char* name, char delimiter) {
  std::string pattern = temp_directory() + "/quotelab-columns-XXXXXX";
  char* path = pattern.data();
  const int fd = mkstemp(path);
  if (fd < 0) return "";
  std::string header = "\"";
  for (const char* p = name; *p != '\0'; ++p)
    header += *p == '"' ? std::string("\"\"") : std::string(1, *p);
  header += "\"\n";
  const bool written =
      write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
  close(fd);
  std::string field;
  if (written) {
    KX::DataCsvReader probe(path, delimiter);
    for (const Binding& b : bindings_of(probe.column_index)) {
      if (b.position == 0) {
        field = b.field;
        break;
      }
    }
  }
  unlink(path);
  return field;
}

// What a column of the file binds in DataCsvReader, or why it binds nothing.
std::string column_note(const KX::DataCsvReader& reader, const std::vector<Binding>& bindings,
                        int col, char delimiter) {
  std::string fields;
  for (const Binding& b : bindings) {
    if (b.position == col) fields += (fields.empty() ? "" : ", ") + b.field;
  }
  if (!fields.empty()) return "-> " + fields;
  if (col >= KX::_MDColumnIndexTable::kColumnAbsent) {
    return "(nothing: columns beyond 254 cannot be bound)";
  }
  const std::string wanted = field_accepting(csv_column_name(reader.csv_handle, col), delimiter);
  for (const Binding& b : bindings) {
    if (!wanted.empty() && b.field == wanted) {
      return "(nothing: " + wanted + " is bound to column " + std::to_string(b.position) + " '" +
             csv_column_name(reader.csv_handle, b.position) + "')";
    }
  }
  return "(nothing)";
}

// The file's columns as DataCsvReader binds them. Returns the exit code.
int print_reader_columns(const Args& args, const std::string& path, char delimiter) {
  KX::DataCsvReader reader(path.c_str(), delimiter);
  if (reader.csv_handle == nullptr) {
    args.error("cannot read '%s' as CSV (unreadable, or no header row)", path.c_str());
    return kExitFailure;
  }
  const std::vector<Binding> bindings = bindings_of(reader.column_index);
  const int columns = csv_column_count(reader.csv_handle);
  std::printf("%s: %d column%s\n", path.c_str(), columns, columns == 1 ? "" : "s");
  int bound_columns = 0;
  for (int col = 0; col < columns; ++col) {
    const std::string note = column_note(reader, bindings, col, delimiter);
    if (note.compare(0, 3, "-> ") == 0) ++bound_columns;
    std::printf("  %3d  %-24s %s\n", col, csv_column_name(reader.csv_handle, col), note.c_str());
  }
  std::printf("%d of %d columns bound", bound_columns, columns);
  if (reader.column_index.instrument == KX::_MDColumnIndexTable::kColumnAbsent) {
    std::printf("; no instrument column: no row can be decoded\n");
  } else {
    std::printf("; rows decode as ticks, bars, orders or trades\n");
  }
  return kExitOk;
}

}  // namespace

int run_columns(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  char delimiter = ',';
  if (!args.get_char("--delimiter", &delimiter)) return kExitUsage;
  if (args.has("--profiles")) return print_builtin_layouts();
  if (!args.has("--file")) {
    args.error("give --file FILE");
    return kExitUsage;
  }
  const std::string path = args.get("--file");
  if (access(path.c_str(), R_OK) != 0) {
    args.error("cannot open '%s': %s", path.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  // A vendor layout the file's header (or the profile given) names comes first; without
  // one, the columns DataCsvReader binds.
  InputSettings settings;
  settings.profile = args.get("--profile", "");
  settings.map = args.get("--map", "");
  settings.values = args.get("--values", "");
  std::string why;
  if (print_layout_columns(path, delimiter, settings, &why)) return kExitOk;
  if (!settings.profile.empty() || !settings.map.empty() || !settings.values.empty()) {
    args.error("%s", why.c_str());
    return kExitFailure;
  }
  return print_reader_columns(args, path, delimiter);
}

}  // namespace qltool
