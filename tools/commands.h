// The quotelab program's subcommands. Each lives in a file of its own (cmd_<name>.cpp) and is
// listed once in the table of main.cpp.
#pragma once

namespace qltool {

struct Command {
  const char* name;
  const char* summary;
  // argv[0] is the subcommand's name; returns the process exit code.
  int (*run)(int argc, char** argv);
};

int run_simulate(int argc, char** argv);
int run_book(int argc, char** argv);
int run_merge(int argc, char** argv);
int run_verify(int argc, char** argv);
int run_replay(int argc, char** argv);
int run_convert(int argc, char** argv);
int run_columns(int argc, char** argv);
int run_demo(int argc, char** argv);
int run_report(int argc, char** argv);

}  // namespace qltool
