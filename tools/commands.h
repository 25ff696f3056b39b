// The quotelab program's subcommands. Each lives in a file of its own and is listed once in
// the table of main.cpp.
#pragma once

namespace qltool {

struct Command {
  const char* name;
  const char* summary;
  // argv[0] is the subcommand's name; returns the process exit code.
  int (*run)(int argc, char** argv);
};

}  // namespace qltool
