// DataFileManager: the per-day layout, the day directory's creation, type texts, and paths
// that do not fit into the caller's buffer.
#include "quotelab/data_file_manager.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string root_;
};

TEST_F(DataPaths, TickAndBarFilesOfBothKinds) {
  DataFileManager m(root_.c_str());
  char path[1024];
  const std::string day = root_ + "/20230105";
  EXPECT_FALSE(exists(day));

  int n = m.get_tick_filepath(path, sizeof(path), 20230105, KX::BIN);
  EXPECT_EQ(std::string(path), day + "/tick.dat");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));
  EXPECT_TRUE(is_directory(day));

  n = m.get_tick_filepath(path, sizeof(path), 20230105, KX::CSV);
  EXPECT_EQ(std::string(path), day + "/tick.csv");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));

  n = m.get_bar_filepath(path, sizeof(path), 20230105, KX::BIN, 1);
  EXPECT_EQ(std::string(path), day + "/bar1m.dat");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));

  n = m.get_bar_filepath(path, sizeof(path), 20230105, KX::CSV, 15);
  EXPECT_EQ(std::string(path), day + "/bar15m.csv");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));
}

TEST_F(DataPaths, TypeTextsIgnoreCase) {
  DataFileManager m(root_.c_str());
  char upper[512], lower[512], mixed[512], bin[512];
  const int n = m.get_tick_filepath(upper, sizeof(upper), 20230105, "CSV");
  EXPECT_EQ(m.get_tick_filepath(lower, sizeof(lower), 20230105, "csv"), n);
  EXPECT_EQ(m.get_tick_filepath(mixed, sizeof(mixed), 20230105, "cSv"), n);
  EXPECT_STREQ(upper, lower);
  EXPECT_STREQ(upper, mixed);
  EXPECT_EQ(std::string(upper), root_ + "/20230105/tick.csv");
  EXPECT_GT(m.get_bar_filepath(bin, sizeof(bin), 20230105, "BIN", 5), 0);
  EXPECT_EQ(std::string(bin), root_ + "/20230105/bar5m.dat");
}

TEST_F(DataPaths, UnknownTypeTextWritesAndCreatesNothing) {
  DataFileManager m(root_.c_str());
  char path[256];
  memset(path, 'X', sizeof(path));
  EXPECT_EQ(m.get_tick_filepath(path, sizeof(path), 20230105, "dat"), 0);
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230105, "", 1), 0);
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230105, static_cast<const char*>(nullptr), 1),
            0);
  EXPECT_EQ(path[0], 'X');
  EXPECT_FALSE(exists(root_ + "/20230105"));
}

TEST_F(DataPaths, UnknownEnumerationGivesTheDayDirectory) {
  DataFileManager m(root_.c_str());
  char path[256];
  const int n = m.get_tick_filepath(path, sizeof(path), 20230106, static_cast<DataFileType>(7));
  EXPECT_EQ(std::string(path), root_ + "/20230106");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));
  EXPECT_TRUE(is_directory(path));
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230106, static_cast<DataFileType>(-1), 5), n);
}

TEST_F(DataPaths, SecondCallFindsTheDirectory) {
  DataFileManager m(root_.c_str());
  char first[256], second[256];
  const int n = m.get_bar_filepath(first, sizeof(first), 20230105, KX::CSV, 5);
  // A file in the day directory survives the second call (the directory is not re-made).
  const std::string marker = root_ + "/20230105/keep";
  FILE* f = fopen(marker.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(m.get_bar_filepath(second, sizeof(second), 20230105, KX::CSV, 5), n);
  EXPECT_STREQ(first, second);
  EXPECT_TRUE(exists(marker));
}

TEST_F(DataPaths, MissingRootStillGivesThePath) {
  const std::string root = root_ + "/absent/deeper";
  DataFileManager m(root.c_str());
  char path[512];
  const int n = m.get_tick_filepath(path, sizeof(path), 20230105, KX::BIN);
  EXPECT_EQ(std::string(path), root + "/20230105/tick.dat");
  EXPECT_EQ(n, static_cast<int>(strlen(path)));
  EXPECT_FALSE(exists(root)) << "only the last level is created";
}

// ---- default and long roots -------------------------------------------------------------------

class DefaultRoot : public DataPaths {
 protected:
  void SetUp() override {
    DataPaths::SetUp();
    ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
    ASSERT_EQ(chdir(root_.c_str()), 0);  // the default root is the working directory
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_), 0);
    DataPaths::TearDown();
  }
  char cwd_[PATH_MAX];
};

TEST_F(DefaultRoot, NullOrEmptyRootIsDotSlash) {
  DataFileManager null_root(nullptr);
  DataFileManager empty_root("");
  EXPECT_STREQ(null_root.root_dir(), "./");
  char path[64];
  EXPECT_EQ(null_root.get_tick_filepath(path, sizeof(path), 20230105, KX::BIN), 20);
  EXPECT_STREQ(path, ".//20230105/tick.dat");
  EXPECT_EQ(empty_root.get_bar_filepath(path, sizeof(path), 20230105, "csv", 30), 22);
  EXPECT_STREQ(path, ".//20230105/bar30m.csv");
  EXPECT_TRUE(is_directory(root_ + "/20230105"));
}

TEST(DataFileManagerRoot, LongRootIsCutAndCopiesAreIndependent) {
  const std::string long_root(1500, 'r');
  DataFileManager m(long_root.c_str());
  EXPECT_EQ(strlen(m.root_dir()), 999u);
  DataFileManager copy = m;
  EXPECT_STREQ(copy.root_dir(), m.root_dir());
  EXPECT_NE(copy.root_dir(), m.root_dir());
}

// ---- buffers too small ------------------------------------------------------------------------

class SmallBuffer : public DataPaths {
 protected:
  // Calls the path function into a `size`-byte window of a larger guarded buffer.
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
  char guarded_[2048];
};

TEST_F(SmallBuffer, ExactFitAndOneByteShort) {
  DataFileManager m(root_.c_str());
  const std::string full = root_ + "/20230105/tick.csv";
  const int len = static_cast<int>(full.size());

  EXPECT_EQ(tick_path(m, len + 1), len) << "the whole buffer is usable";
  EXPECT_EQ(std::string(guarded_), full);
  EXPECT_TRUE(untouched_from(len + 1));

  EXPECT_EQ(tick_path(m, len), len - 1);
  EXPECT_EQ(std::string(guarded_), full.substr(0, len - 1));
  EXPECT_TRUE(untouched_from(len));
}

TEST_F(SmallBuffer, CutFileNameStillCreatesTheDay) {
  DataFileManager m(root_.c_str());
  const std::string day = root_ + "/20230105";
  const int size = static_cast<int>(day.size()) + 4;  // room for "/ti" and the NUL
  EXPECT_EQ(tick_path(m, size), size - 1);
  EXPECT_EQ(std::string(guarded_), day + "/ti");
  EXPECT_TRUE(untouched_from(size));
  EXPECT_TRUE(is_directory(day));
}

TEST_F(SmallBuffer, CutDayDirectoryCreatesNothing) {
  DataFileManager m(root_.c_str());
  const int size = static_cast<int>(root_.size()) + 6;  // "<root>/2023" and the NUL
  EXPECT_EQ(tick_path(m, size), size - 1);
  EXPECT_EQ(std::string(guarded_), root_ + "/2023");
  EXPECT_TRUE(untouched_from(size));
  EXPECT_FALSE(exists(root_ + "/2023")) << "a cut day directory names another directory";
  EXPECT_FALSE(exists(root_ + "/20230105"));

  EXPECT_EQ(tick_path(m, 1), 0);
  EXPECT_EQ(guarded_[0], '\0');
  EXPECT_TRUE(untouched_from(1));
}

TEST_F(SmallBuffer, NoBufferAtAll) {
  DataFileManager m(root_.c_str());
  EXPECT_EQ(tick_path(m, 0), 0);
  EXPECT_TRUE(untouched_from(0));
  EXPECT_EQ(tick_path(m, -5), 0);
  EXPECT_TRUE(untouched_from(0));
  EXPECT_EQ(m.get_bar_filepath(nullptr, 100, 20230105, KX::BIN, 1), 0);
  EXPECT_EQ(m.get_bar_filepath(nullptr, 100, 20230105, "bin", 1), 0);
  EXPECT_FALSE(exists(root_ + "/20230105"));
}

TEST_F(SmallBuffer, LongestRootDoesNotOverflow) {
  // 999 characters of root: the day directory alone outgrows a 1000-byte buffer.
  std::string root = root_;
  while (root.size() < 999) root += "/d";
  root.resize(999);
  DataFileManager m(root.c_str());
  char path[1000];
  EXPECT_EQ(m.get_bar_filepath(path, sizeof(path), 20230105, KX::CSV, 240), 999);
  EXPECT_EQ(std::string(path), root);
}

}  // namespace
