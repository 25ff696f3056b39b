// The quotelab program run as a process, for the tests of its subcommands: a fixture with a
// fresh directory per test, a runner that captures exit code and outputs, and small file
// helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quotelab/records.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

template <class Rec>
std::vector<Rec> read_records(const std::string& path) {
  const std::string bytes = slurp(path);
  std::vector<Rec> out(bytes.size() / sizeof(Rec));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(Rec));
  return out;
}

// A copy of a field of a packed record: the assertion macros bind references, which must not
// point at a misaligned field.
template <class T>
T field(T value) {
  return value;
}

[[maybe_unused]] size_t count_lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Each test gets a fresh directory; every path handed to the program is absolute.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quotelab-program-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs quotelab with args, standard output and error captured into files.
  Outcome quotelab(Args args, char** env = environ) {
    args.insert(args.begin(), QL_TOOL_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = path(".stdout"), err_path = path(".stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {1, 2}) {
      posix_spawn_file_actions_addopen(&actions, fd, (fd == 1 ? out_path : err_path).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = 0;
    Outcome run;
    const int rc = posix_spawn(&pid, QL_TOOL_PATH, &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << QL_TOOL_PATH << ": " << std::strerror(rc);
      return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(out_path);
    run.err = slurp(err_path);
    return run;
  }

  // A small simulated day in both formats: <stem>_orders/_trades .csv and .dat.
  void simulate(const std::string& stem, const Args& extra = {}) {
    for (const char* ext : {".csv", ".dat"}) {
      Args args = {"simulate",
                   "--orders",
                   "3000",
                   "--orders-out",
                   path(stem + "_orders" + ext),
                   "--trades-out",
                   path(stem + "_trades" + ext)};
      args.insert(args.end(), extra.begin(), extra.end());
      const Outcome r = quotelab(args);
      ASSERT_EQ(r.code, 0) << r.err;
    }
  }

  Outcome book(const std::string& stem, const std::string& ext, const std::string& out,
               const Args& extra = {}) {
    Args args = {"book",
                 "--orders",
                 path(stem + "_orders" + ext),
                 "--trades",
                 path(stem + "_trades" + ext),
                 "--out",
                 out,
                 "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return quotelab(args);
  }

  std::string dir_;
};

}  // namespace
