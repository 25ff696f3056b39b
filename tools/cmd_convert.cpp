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

// What the options ask for.
struct ConvertOptions {
  std::string in, out;
  FileFormat in_format = FileFormat::Csv, out_format = FileFormat::Csv;
  char delimiter = ',';
  RecordKind kind = RecordKind::Tick;
  bool kind_given = false;
};

// The kind of records to convert: --kind, checked against a binary input's first record (an
// empty binary file needs --kind for the output's header). Returns kExitOk, or the exit code
// of the refusal (message printed).
int settle_kind(const Args& args, ConvertOptions* o) {
  if (o->in_format != FileFormat::Binary) {
    if (o->kind_given) return kExitOk;
    args.error("--kind is needed to read '%s' (tick, bar, order or trade)", o->in.c_str());
    return kExitUsage;
  }
  RecordKind found;
  std::string error;
  if (kind_of_binary(o->in, &found, &error)) {
    if (o->kind_given && found != o->kind) {
      args.error("--kind %s: '%s' holds %s records", kind_name(o->kind), o->in.c_str(),
                 kind_name(found));
      return kExitUsage;
    }
    o->kind = found;
    return kExitOk;
  }
  if (!error.empty()) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  if (o->kind_given) return kExitOk;
  args.error("'%s' is empty: give --kind for the output's header", o->in.c_str());
  return kExitUsage;
}

// Reads and checks the options. Returns kExitOk, or the exit code of the refusal (message
// printed).
int check_options(const Args& args, ConvertOptions* o) {
  if (!args.has("--in") || !args.has("--out")) {
    args.error("give --in FILE and --out FILE");
    return kExitUsage;
  }
  o->in = args.get("--in");
  o->out = args.get("--out");
  if (!format_option(args, "--in-format", o->in, &o->in_format) ||
      !format_option(args, "--out-format", o->out, &o->out_format) ||
      !args.get_char("--delimiter", &o->delimiter)) {
    return kExitUsage;
  }
  o->kind_given = args.has("--kind");
  if (o->kind_given && !parse_kind(args.get("--kind"), &o->kind)) {
    args.error("--kind: '%s' is not tick, bar, order or trade", args.get("--kind"));
    return kExitUsage;
  }
  const int refused = settle_kind(args, o);
  if (refused != kExitOk) return refused;
  if (o->in_format == FileFormat::Csv &&
      !check_csv_input("convert", o->in, o->delimiter, args.has("--lenient"))) {
    return kExitFailure;
  }
  return kExitOk;
}

// Converts the file as records of the kind asked for. Returns false with *error set.
bool convert_kind(const ConvertOptions& o, size_t* count, std::string* error) {
  switch (o.kind) {
    case RecordKind::Tick:
      return convert<_L2Snapshot>(o.in, o.in_format, o.out, o.out_format, o.delimiter, count,
                                  error);
    case RecordKind::Bar:
      return convert<_BarData>(o.in, o.in_format, o.out, o.out_format, o.delimiter, count, error);
    case RecordKind::Order:
      return convert<_L2Order>(o.in, o.in_format, o.out, o.out_format, o.delimiter, count, error);
    case RecordKind::Trade:
      return convert<_L2Trade>(o.in, o.in_format, o.out, o.out_format, o.delimiter, count, error);
  }
  return false;
}

}  // namespace

int run_convert(int argc, char** argv) {
  Args args(kHelp, kOptions, std::size(kOptions));
  if (!args.parse(argc, argv)) return kExitUsage;
  if (args.help_requested()) return kExitOk;
  ConvertOptions o;
  const int refused = check_options(args, &o);
  if (refused != kExitOk) return refused;
  size_t count = 0;
  std::string error;
  if (!convert_kind(o, &count, &error)) {
    args.error("%s", error.c_str());
    return kExitFailure;
  }
  std::printf("converted %s %s records: %s (%s) -> %s (%s)\n", group_digits(count).c_str(),
              kind_name(o.kind), o.in.c_str(), format_name(o.in_format), o.out.c_str(),
              format_name(o.out_format));
  return kExitOk;
}

}  // namespace qltool
