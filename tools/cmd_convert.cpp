// quotelab convert: tick, bar, order and trade files between CSV and binary.
#include <cstring>
#include <iterator>

#include "args.h"
#include "commands.h"
#include "input_files.h"
#include "record_io.h"

namespace qltool {
namespace {

const CommandHelp kHelp = {
    "convert",
    "--in FILE --out FILE [--kind tick|bar|order|trade] [options]",
    "Converts a file of ticks (_L2Snapshot), bars (_BarData), orders or trades between CSV\n"
    "and binary records. CSV is read through DataCsvReader's column detection, so any vendor\n"
    "header it binds will do, and written with a header row that it binds again. A .csv\n"
    "name means CSV, any other binary (or say so with --in-format / --out-format). The kind\n"
    "of a binary input is its records' type code; a CSV input needs --kind.",
    "quotelab convert --in 20240102/tick.csv --out 20240102/tick.dat",
};

const OptionDef kOptions[] = {
    {"--in", "FILE", "file to read (required)"},
    {"--out", "FILE", "file to write (required)"},
    {"--kind", "KIND", "tick, bar, order or trade (needed for CSV input)"},
    {"--in-format", "csv|bin", "format of --in (default: by its name)"},
    {"--out-format", "csv|bin", "format of --out (default: by its name)"},
    {"--delimiter", "C", "CSV field delimiter (default ',')"},
    {"--lenient", nullptr, "convert a CSV input whose rows are not all sound (still reported)"},
};

bool format_option(const Args& args, const char* name, const std::string& path, FileFormat* out) {
  *out = format_of_path(path);
  if (args.has(name) && !parse_format(args.get(name), out)) {
    args.error("%s: '%s' is neither csv nor bin", name, args.get(name));
    return false;
  }
  return true;
}

// The kind of a binary file: its first record's type code. An empty file has none (false
// with *error empty).
bool kind_of_binary(const std::string& path, RecordKind* kind, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  const int c = std::fgetc(f);
  std::fclose(f);
  if (c == EOF) return false;
  if (!kind_of_type_code(static_cast<uint8_t>(c), kind)) {
    *error = "'" + path + "' does not start with a tick, bar, order or trade record (type code " +
             std::to_string(c) + ")";
    return false;
  }
  return true;
}

template <class Rec>
bool convert(const std::string& in, FileFormat in_format, const std::string& out,
             FileFormat out_format, char delimiter, size_t* count, std::string* error) {
  RecordArray<Rec> records;
  if (!read_records(in, in_format, delimiter, &records, error)) return false;
  RecordWriter writer;
  if (!writer.open(out, RecordTraits<Rec>::kKind, out_format, delimiter, error)) return false;
  for (const Rec& r : records) writer.write(&r);
  *count = records.size();
  return writer.close(error);
}

}  // namespace

int run_convert(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  if (!args.has("--in") || !args.has("--out")) {
    args.error("give --in FILE and --out FILE");
    return kExitUsage;
  }
  const std::string in = args.get("--in"), out = args.get("--out");
  FileFormat in_format, out_format;
  char delimiter = ',';
  if (!format_option(args, "--in-format", in, &in_format) ||
      !format_option(args, "--out-format", out, &out_format) ||
      !args.get_char("--delimiter", &delimiter)) {
    return kExitUsage;
  }
  RecordKind kind = RecordKind::Tick;
  const bool kind_given = args.has("--kind");
  if (kind_given && !parse_kind(args.get("--kind"), &kind)) {
    args.error("--kind: '%s' is not tick, bar, order or trade", args.get("--kind"));
    return kExitUsage;
  }
  if (in_format == FileFormat::Binary) {
    RecordKind found;
    std::string error;
    if (kind_of_binary(in, &found, &error)) {
      if (kind_given && found != kind) {
        args.error("--kind %s: '%s' holds %s records", kind_name(kind), in.c_str(),
                   kind_name(found));
        return kExitUsage;
      }
      kind = found;
    } else if (!error.empty()) {
      args.error("%s", error.c_str());
      return kExitFailure;
    } else if (!kind_given) {
      args.error("'%s' is empty: give --kind for the output's header", in.c_str());
      return kExitUsage;
    }
  } else if (!kind_given) {
    args.error("--kind is needed to read '%s' (tick, bar, order or trade)", in.c_str());
    return kExitUsage;
  }

  if (in_format == FileFormat::Csv &&
      !check_csv_input("convert", in, delimiter, args.has("--lenient"))) {
    return kExitFailure;
  }
  size_t count = 0;
  std::string error;
  bool ok = false;
  switch (kind) {
    case RecordKind::Tick:
      ok = convert<_L2Snapshot>(in, in_format, out, out_format, delimiter, &count, &error);
      break;
    case RecordKind::Bar:
      ok = convert<_BarData>(in, in_format, out, out_format, delimiter, &count, &error);
      break;
    case RecordKind::Order:
      ok = convert<_L2Order>(in, in_format, out, out_format, delimiter, &count, &error);
      break;
    case RecordKind::Trade:
      ok = convert<_L2Trade>(in, in_format, out, out_format, delimiter, &count, &error);
      break;
  }
  if (!ok) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  std::printf("converted %s %s records: %s (%s) -> %s (%s)\n", group_digits(count).c_str(),
              kind_name(kind), in.c_str(), format_name(in_format), out.c_str(),
              format_name(out_format));
  return kExitOk;
}

}  // namespace qltool
