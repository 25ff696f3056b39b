// quotelab: the command-line face of the library.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "commands.h"
#include "quotelab/export.h"

namespace {

// Subcommands, in the order `quotelab --help` lists them.
const qltool::Command kCommands[] = {
    {"demo", "simulate a day and rebuild its order book (no data needed)", qltool::run_demo},
    {"simulate", "write a simulated day of one stock as order and trade files",
     qltool::run_simulate},
    {"book", "rebuild a day's order book from order and trade files into snapshots",
     qltool::run_book},
    {"merge", "join a day's part files from several machines into the day file", qltool::run_merge},
    {"verify", "check a rebuilt day against the exchange's own snapshots of it",
     qltool::run_verify},
    {"report", "draw a rebuilt day as an HTML page of charts", qltool::run_report},
    {"replay", "replay stored, generated or plug-in data day by day", qltool::run_replay},
    {"convert", "convert tick, bar, order and trade files between CSV and binary",
     qltool::run_convert},
    {"columns", "show which field each column of a CSV header binds to", qltool::run_columns},
    {"version", "print the version",
     [](int, char**) {
       std::printf("quotelab %s\n", QUOTELAB_VERSION_STRING);
       return 0;
     }},
};

void print_usage(FILE* out) {
  std::fprintf(
      out,
      "quotelab %s: Level-2 order books, market-data files and replay for Chinese markets\n"
      "\n"
      "usage: quotelab <command> [options]\n"
      "       quotelab <command> --help\n"
      "\n"
      "commands:\n",
      QUOTELAB_VERSION_STRING);
  for (const auto& cmd : kCommands) std::fprintf(out, "  %-10s %s\n", cmd.name, cmd.summary);
  std::fprintf(out, "\noptions:\n  --help     show this text\n  --version  print the version\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 2;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
      std::strcmp(name, "help") == 0) {
    print_usage(stdout);
    return 0;
  }
  if (std::strcmp(name, "--version") == 0) name = "version";
  for (const auto& cmd : kCommands) {
    if (std::strcmp(cmd.name, name) == 0) return cmd.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "quotelab: unknown command '%s' (see 'quotelab --help')\n", name);
  return 2;
}
