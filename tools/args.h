// Option parsing and messages shared by the subcommands.
//
// Every subcommand takes GNU-style long options ("--seed 7" or "--seed=7", flags without a
// value) and prints its help from the same table it parses with, so the two cannot drift
// apart. Messages name the subcommand and the option or file at fault:
//   quotelab book: --interval-ms: 'abc' is not a whole number
// Exit codes: 0 success, 1 the work failed, 2 the command line was wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qltool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct OptionDef {
  const char* name;         // "--seed"
  const char* placeholder;  // value placeholder shown in the help ("N"); nullptr for a flag
  const char* help;
};

struct CommandHelp {
  const char* name;      // "book"
  const char* synopsis;  // "--orders FILE --trades FILE (--out FILE | --root DIR) [options]"
  const char* about;     // a paragraph on what the command does
  const char* example;   // one copy-paste command line
};

// The options of one command line, checked against the command's table. Not thread-safe.
class Args {
 public:
  Args(const CommandHelp& help, const OptionDef* defs, size_t def_count)
      : help_(help), defs_(defs), def_count_(def_count) {}

  // Parses argv[1..argc) (argv[0] is the subcommand's name). Positional arguments are
  // refused. Returns false after printing what is wrong (unknown option, missing value,
  // repeated option).
  bool parse(int argc, char** argv);

  // True when --help was given (help has been printed to standard output by then).
  bool help_requested() const { return help_requested_; }

  bool has(const char* name) const { return find(name) != nullptr; }
  // The option's value, or fallback when it was not given.
  const char* get(const char* name, const char* fallback = nullptr) const;

  // Typed reads. When the option is absent they leave *out as it is and succeed; a value that
  // does not parse or lies outside [lo, hi] is reported and gives false.
  bool get_int(const char* name, int64_t lo, int64_t hi, int64_t* out) const;
  bool get_int(const char* name, int lo, int hi, int* out) const;
  bool get_date(const char* name, int* out) const;  // YYYYMMDD, a real calendar day
  // A one-character value, or "tab" / "\t" for a tab.
  bool get_char(const char* name, char* out) const;

  // Prints "quotelab <command>: <message>" to standard error.
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // Prints the help text to out.
  void print_help(FILE* out) const;
  const char* command() const { return help_.name; }

 private:
  struct Given {
    const OptionDef* def;
    std::string value;
  };
  const Given* find(const char* name) const;
  const OptionDef* def_of(const std::string& name) const;

  const CommandHelp& help_;
  const OptionDef* defs_;
  size_t def_count_;
  std::vector<Given> given_;
  bool help_requested_ = false;
};

// Prints "quotelab <command>: <message>" to standard error.
void report(const char* command, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Calendar helpers on YYYYMMDD dates.
bool is_valid_date(int64_t yyyymmdd);
int next_calendar_day(int yyyymmdd);

// The directory for temporary files: $TMPDIR, or /tmp.
std::string temp_directory();

// "12,345,678": large counts in summaries.
std::string group_digits(uint64_t n);
// "12.3 M events/s", or "45,678 events/s" below a million; "-" without a time.
std::string rate_text(double events, double seconds);

}  // namespace qltool
