#include "manifest.h"

#include <cstdlib>

#include "args.h"
#include "quotelab/layout_reader.h"
#include "quotelab/utilcore.h"

namespace qltool {
namespace {

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string relative_to(const std::string& dir, const std::string& path) {
  return path.empty() || path[0] == '/' ? path : dir + path;
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

// One line's fields into mj; *error says what is wrong (without the line's name).
bool parse_line(std::vector<std::string> f, const std::string& dir, ManifestJob* mj,
                std::string* error) {
  // key=value fields may come anywhere after the five positional ones.
  std::vector<std::string> positional;
  for (const std::string& field : f) {
    const size_t eq = field.find('=');
    if (eq == std::string::npos) {
      positional.push_back(field);
      continue;
    }
    const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
    if (key == "sequence" && !value.empty()) {
      mj->job.sequence_path = relative_to(dir, value);
    } else if (key == "profile" && !value.empty()) {
      // A built-in layout name stays a name; anything else is a file beside the manifest.
      KX::LayoutReader probe;
      mj->profile = probe.use_layout(value.c_str()) == 0 ? value : relative_to(dir, value);
      mj->job.input.profile = mj->profile;
    } else {
      *error = "'" + field + "' is neither sequence=FILE nor profile=NAME";
      return false;
    }
  }
  if (positional.size() != 5 && positional.size() != 6) {
    *error = "expected EXCHANGE SYMBOL DATE ORDERS TRADES [OUT], found " +
             std::to_string(positional.size()) + " fields";
    return false;
  }
  mj->market = positional[1] == "*";
  if (mj->market != (positional[0] == "*")) {
    *error = "a whole-market day gives '*' for both exchange and symbol";
    return false;
  }
  char* date_end = nullptr;
  const long date = std::strtol(positional[2].c_str(), &date_end, 10);
  if (*date_end != '\0' || !is_valid_date(date)) {
    *error = "'" + positional[2] + "' is not a date YYYYMMDD";
    return false;
  }
  mj->job.date = static_cast<int>(date);
  if (!mj->market) {
    const int ex = exchange_int(positional[0].c_str());
    if (ex != 1 && ex != 2) {
      *error = "'" + positional[0] + "' is not Shanghai (SH) or Shenzhen (SZ)";
      return false;
    }
    mj->job.exchange = positional[0];
    mj->job.symbol = positional[1];
  }
  mj->job.orders_path = relative_to(dir, positional[3]);
  // '-' for the trades of a merged tick-by-tick file, which holds both.
  mj->job.trades_path = positional[4] == "-" ? "" : relative_to(dir, positional[4]);
  if (positional.size() == 6) mj->job.out_path = relative_to(dir, positional[5]);
  return true;
}

}  // namespace

bool read_manifest(const std::string& path, const BookJob& base, std::vector<ManifestJob>* jobs,
                   std::string* error) {
  std::string text;
  if (!read_whole_file(path, &text, error)) return false;
  const std::string dir = directory_of(path);
  size_t pos = 0;
  for (int line_no = 1; pos < text.size(); ++line_no) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    const std::vector<std::string> f = split_fields(line);
    if (f.empty()) continue;
    ManifestJob mj;
    mj.line = line_no;
    mj.job = base;
    std::string why;
    FileFormat format;
    std::string out;
    if (!parse_line(f, dir, &mj, &why) ||
        !resolve_book_output(mj.job, mj.job.date, &out, &format, &why)) {
      *error = path + " line " + std::to_string(line_no) + ": " + why;
      return false;
    }
    mj.job.out_path = out;
    mj.job.output_format_given = true;
    mj.job.output_format = format;
    for (const ManifestJob& other : *jobs) {
      if (other.job.out_path == out) {
        *error = path + " lines " + std::to_string(other.line) + " and " + std::to_string(line_no) +
                 " both write '" + out +
                 "' (give each job its own OUT, or one whole-market line for the day)";
        return false;
      }
    }
    jobs->push_back(mj);
  }
  if (jobs->empty()) {
    *error = "'" + path + "' lists no jobs";
    return false;
  }
  return true;
}

}  // namespace qltool
