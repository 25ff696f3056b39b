#include "args.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace qltool {
namespace {

void vreport(const char* command, const char* format, va_list ap) {
  std::fprintf(stderr, "quotelab %s: ", command);
  std::vfprintf(stderr, format, ap);
  std::fputc('\n', stderr);
}

// Parses a whole decimal integer (optional sign). Returns false for anything else.
bool parse_int(const char* text, int64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

void report(const char* command, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vreport(command, format, ap);
  va_end(ap);
}

void Args::error(const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  vreport(help_.name, format, ap);
  va_end(ap);
}

const OptionDef* Args::def_of(const std::string& name) const {
  for (size_t i = 0; i < def_count_; ++i) {
    if (name == defs_[i].name) return &defs_[i];
  }
  return nullptr;
}

bool Args::parse(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help_requested_ = true;
      print_help(stdout);
      return true;
    }
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      error("unexpected argument '%s' (options start with --; see 'quotelab %s --help')",
            arg.c_str(), help_.name);
      return false;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionDef* def = def_of(name);
    if (def == nullptr) {
      error("unknown option '%s' (see 'quotelab %s --help')", name.c_str(), help_.name);
      return false;
    }
    if (find(name.c_str()) != nullptr) {
      error("%s is given twice", name.c_str());
      return false;
    }
    std::string value;
    if (def->placeholder == nullptr) {
      if (eq != std::string::npos) {
        error("%s takes no value", name.c_str());
        return false;
      }
    } else if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error("%s needs a value (%s)", name.c_str(), def->placeholder);
      return false;
    }
    given_.push_back(Given{def, value});
  }
  return true;
}

const Args::Given* Args::find(const char* name) const {
  for (const Given& g : given_) {
    if (std::strcmp(g.def->name, name) == 0) return &g;
  }
  return nullptr;
}

const char* Args::get(const char* name, const char* fallback) const {
  const Given* g = find(name);
  return g != nullptr ? g->value.c_str() : fallback;
}

bool Args::get_int(const char* name, int64_t lo, int64_t hi, int64_t* out) const {
  const Given* g = find(name);
  if (g == nullptr) return true;
  int64_t v = 0;
  if (!parse_int(g->value.c_str(), &v)) {
    error("%s: '%s' is not a whole number", name, g->value.c_str());
    return false;
  }
  if (v < lo || v > hi) {
    error("%s: %lld is out of range (%lld to %lld)", name, static_cast<long long>(v),
          static_cast<long long>(lo), static_cast<long long>(hi));
    return false;
  }
  *out = v;
  return true;
}

bool Args::get_int(const char* name, int lo, int hi, int* out) const {
  int64_t v = *out;
  if (!get_int(name, int64_t{lo}, int64_t{hi}, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

bool Args::get_date(const char* name, int* out) const {
  const Given* g = find(name);
  if (g == nullptr) return true;
  int64_t v = 0;
  if (!parse_int(g->value.c_str(), &v) || !is_valid_date(v)) {
    error("%s: '%s' is not a date YYYYMMDD", name, g->value.c_str());
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

bool Args::get_char(const char* name, char* out) const {
  const Given* g = find(name);
  if (g == nullptr) return true;
  if (g->value == "tab" || g->value == "\\t") {
    *out = '\t';
    return true;
  }
  if (g->value.size() != 1) {
    error("%s: '%s' is not one character", name, g->value.c_str());
    return false;
  }
  *out = g->value[0];
  return true;
}

void Args::print_help(FILE* out) const {
  std::fprintf(out, "usage: quotelab %s %s\n\n%s\n\noptions:\n", help_.name, help_.synopsis,
               help_.about);
  for (size_t i = 0; i < def_count_; ++i) {
    std::string left = defs_[i].name;
    if (defs_[i].placeholder != nullptr) left += std::string(" ") + defs_[i].placeholder;
    std::fprintf(out, "  %-22s %s\n", left.c_str(), defs_[i].help);
  }
  std::fprintf(out, "  %-22s %s\n\nexample:\n  %s\n", "--help", "show this text", help_.example);
}

bool is_valid_date(int64_t d) {
  if (d < 19000101 || d > 29991231) return false;
  const int year = static_cast<int>(d / 10000), month = static_cast<int>(d / 100 % 100),
            day = static_cast<int>(d % 100);
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= last;
}

int next_calendar_day(int d) {
  if (is_valid_date(d + 1)) return d + 1;
  const int year = d / 10000, month = d / 100 % 100;
  return month == 12 ? (year + 1) * 10000 + 101 : year * 10000 + (month + 1) * 100 + 1;
}

std::string temp_directory() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string group_digits(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace qltool

namespace qltool {

std::string rate_text(double events, double seconds) {
  if (!(seconds > 0)) return "-";
  const double rate = events / seconds;
  if (rate < 1e6) return group_digits(static_cast<uint64_t>(rate)) + " events/s";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f M events/s", rate / 1e6);
  return buf;
}

}  // namespace qltool
