// DataFileManager: the per-day layout, the day directory's creation, type texts, and paths
// that do not fit into the caller's buffer.
#include "quotelab/data_file_manager.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

using KX::DataFileManager;
using KX::DataFileType;

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// A private data root, removed with the day directories the test creates.
class DataPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ql_data_root_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // Calls the tick path function into a `size`-byte window of a larger guarded buffer.
  int tick_path(const DataFileManager& m, int size) {
    memset(guarded_, '#', sizeof(guarded_));
    return m.get_tick_filepath(guarded_, size, 20230105, KX::CSV);
  }
  bool untouched_from(int size) const {
    for (size_t i = static_cast<size_t>(size); i < sizeof(guarded_); ++i) {
      if (guarded_[i] != '#') return false;
    }
    return true;
  }

  std::string root_;
  char guarded_[2048];
};

// Both type forms (texts in any case), created day directory, repeated calls.
TEST_F(DataPaths, TickAndBarFilesOfBothKinds) {
  DataFileManager m(root_.c_str());
  const std::string day = root_ + "/20230105";
  EXPECT_FALSE(exists(day));
  char p[1024];
  // The path written, checking the result is its length.
  auto path = [&p](int n) {
    EXPECT_EQ(n, (int)strlen(p));
    return std::string(p);
  };
  EXPECT_EQ(path(m.get_tick_filepath(p, sizeof p, 20230105, KX::BIN)), day + "/tick.dat");
  EXPECT_EQ(path(m.get_tick_filepath(p, sizeof p, 20230105, KX::CSV)), day + "/tick.csv");
  EXPECT_EQ(path(m.get_tick_filepath(p, sizeof p, 20230105, "cSv")), day + "/tick.csv");
  EXPECT_EQ(path(m.get_bar_filepath(p, sizeof p, 20230105, KX::BIN, 1)), day + "/bar1m.dat");
  EXPECT_EQ(path(m.get_bar_filepath(p, sizeof p, 20230105, "BIN", 5)), day + "/bar5m.dat");
  EXPECT_EQ(path(m.get_bar_filepath(p, sizeof p, 20230105, KX::CSV, 15)), day + "/bar15m.csv");
  EXPECT_TRUE(is_directory(day));
}

TEST_F(DataPaths, UnknownTypes) {
  DataFileManager m(root_.c_str());
  char path[256];
  memset(path, 'X', sizeof(path));
  // An unknown text writes and creates nothing.
  EXPECT_EQ(m.get_tick_filepath(path, sizeof(path), 20230105, "dat"), 0);
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230105, "", 1), 0);
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230105, static_cast<const char*>(nullptr), 1),
            0);
  EXPECT_EQ(path[0], 'X');
  EXPECT_FALSE(exists(root_ + "/20230105"));
  // An unknown enumeration gives the day directory.
  const int n = m.get_tick_filepath(path, sizeof(path), 20230106, static_cast<DataFileType>(7));
  EXPECT_EQ(std::string(path), root_ + "/20230106");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));
  EXPECT_TRUE(is_directory(path));
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230106, static_cast<DataFileType>(-1), 5), n);
}

TEST_F(DataPaths, RootsMissingDefaultAndLong) {
  const std::string missing = root_ + "/absent/deeper";
  char path[512];
  EXPECT_EQ(
      DataFileManager(missing.c_str()).get_tick_filepath(path, sizeof(path), 20230105, KX::BIN),
      static_cast<int>(missing.size() + 18));
  EXPECT_EQ(std::string(path), missing + "/20230105/tick.dat");
  EXPECT_FALSE(exists(missing)) << "only the last level is created";

  // The default root is the working directory.
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  DataFileManager null_root(nullptr);
  DataFileManager empty_root("");
  EXPECT_STREQ(null_root.root_dir(), "./");
  EXPECT_EQ(null_root.get_tick_filepath(path, sizeof(path), 20230105, KX::BIN), 20);
  EXPECT_STREQ(path, ".//20230105/tick.dat");
  EXPECT_EQ(empty_root.get_bar_filepath(path, sizeof(path), 20230105, "csv", 30), 22);
  EXPECT_STREQ(path, ".//20230105/bar30m.csv");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(is_directory(root_ + "/20230105"));

  const std::string long_root(1500, 'r');
  DataFileManager m(long_root.c_str());
  EXPECT_EQ(strlen(m.root_dir()), 999u);
  DataFileManager copy = m;
  EXPECT_STREQ(copy.root_dir(), m.root_dir());
  EXPECT_NE(copy.root_dir(), m.root_dir());
}

// A path that does not fit: a NUL-terminated prefix, nothing past `size`, the length written;
// the day directory is made only when its whole name fitted.
TEST_F(DataPaths, PathsThatDoNotFit) {
  DataFileManager m(root_.c_str());
  const std::string day = root_ + "/20230105";
  const std::string full = day + "/tick.csv";
  const int len = static_cast<int>(full.size());
  const struct {
    int size;
    std::string expected;
    bool day_made;
  } cases[] = {
      {-5, "", false},
      {0, "", false},
      {1, "", false},
      {static_cast<int>(root_.size()) + 6, root_ + "/2023", false},
      {static_cast<int>(day.size()) + 4, day + "/ti", true},
      {len, full.substr(0, len - 1), true},
      {len + 1, full, true},
  };
  EXPECT_EQ(m.get_bar_filepath(nullptr, 100, 20230105, KX::BIN, 1), 0);
  EXPECT_EQ(m.get_bar_filepath(nullptr, 100, 20230105, "bin", 1), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(tick_path(m, c.size), static_cast<int>(c.expected.size()));
    EXPECT_TRUE(untouched_from(c.size > 0 ? c.size : 0));
    if (c.size > 0) {
      EXPECT_EQ(std::string(guarded_), c.expected);
    }
    EXPECT_EQ(is_directory(day), c.day_made);
    EXPECT_FALSE(exists(root_ + "/2023")) << "a cut day directory names another directory";
  }

  // 999 characters of root: the day directory alone outgrows a 1000-byte buffer.
  std::string root = root_;
  while (root.size() < 999) root += "/d";
  root.resize(999);
  char path[1000];
  EXPECT_EQ(
      DataFileManager(root.c_str()).get_bar_filepath(path, sizeof(path), 20230105, KX::CSV, 240),
      999);
  EXPECT_EQ(std::string(path), root);
}

}  // namespace
