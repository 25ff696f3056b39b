// The replay interface's shared fields and the factory: built-in names in any case, plug-in
// libraries by path, and the failures it reports.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>

#include "quotelab/data_replay.h"
#include "quotelab/utilcore.h"

namespace {

constexpr int kDay = 20240105;
const std::string kTestPlugin = QL_PLUGIN_DIR "/replay_test_plugin.so";
const std::string kNoEntryPlugin = QL_PLUGIN_DIR "/replay_no_entry.so";
const std::string kExamplePlugin = QL_PLUGIN_DIR "/example_replay.so";

// Ends a replay the way its owner must: through release().
struct Releaser {
  void operator()(KX::IDataReplay* r) const {
    if (r != nullptr) r->release();
  }
};
using ReplayPtr = std::unique_ptr<KX::IDataReplay, Releaser>;

// Releases a plug-in's replay, then the load of its library the replay held.
void release_with_library(ReplayPtr& replay) {
  void* lib = replay->get_hlib();
  replay.reset();
  dynlib_close(lib);
}

// ---- the shared fields -----------------------------------------------------------------------

static_assert(!std::is_copy_constructible<KX::DataReplayBin>::value &&
                  !std::is_copy_assignable<KX::DataReplayBin>::value,
              "Bin owns its file");
static_assert(!std::is_copy_constructible<KX::DataReplayCsv>::value &&
                  !std::is_copy_assignable<KX::DataReplayCsv>::value,
              "Csv owns its reader");

// Defaults, texts cut to 15 characters, and a null frequency stored empty (no record kind).
TEST(ReplayInterfaceTest, DefaultsAndCutTexts) {
  KX::DataReplayMock mock("tick", nullptr);
  EXPECT_STREQ(mock.get_data_market(), "");
  EXPECT_EQ(mock.get_start_time(), -1);
  EXPECT_EQ(mock.get_end_time(), -1);
  EXPECT_EQ(mock.start(), 0);
  EXPECT_EQ(mock.subscribe(nullptr, 3, 0), QL_NOT_SUPPORTED);
  KX::DataReplayEmpty replay("abcdefghijklmnopqrst", "0123456789ABCDEFGHIJ", nullptr);
  EXPECT_STREQ(replay.get_frequency(), "abcdefghijklmno");
  EXPECT_STREQ(replay.get_data_market(), "0123456789ABCDE");

  testing::internal::CaptureStderr();
  KX::DataReplayArray array(nullptr, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "KX::DataReplayArray::DataReplayArray: unknown frequency=''\n");
  KX::DataReplayMock unnamed(nullptr, nullptr);
  EXPECT_STREQ(unnamed.get_frequency(), "");
  unnamed.init(kDay);
  unsigned char buf[464];
  EXPECT_EQ(unnamed.next(buf, sizeof buf, nullptr), QL_ERROR);
}

TEST(ReplayInterfaceTest, ConvertFilterDtGivesNanosecondsOfChinaTime) {
  // 2024-01-05 09:30:00 in China is 01:30:00 UTC.
  EXPECT_EQ(KX::IDataReplay::convert_filter_dt(kDay, 93000500), 1704418200500000000LL);
  EXPECT_EQ(KX::IDataReplay::convert_filter_dt(19700101, 80000000), 0);
  EXPECT_EQ(KX::IDataReplay::convert_filter_dt(INT_MAX, 0), INT64_MAX);
  EXPECT_EQ(KX::IDataReplay::convert_filter_dt(INT_MIN, 0), INT64_MIN);
}

// ---- the factory -----------------------------------------------------------------------------

class ReplayFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ql_replay_factory_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // Makes a replay and returns it with what the factory printed to standard error.
  ReplayPtr make(const char* name, const char* file = nullptr, int param = 0,
                 const char* frequency = "tick") {
    testing::internal::CaptureStderr();
    ReplayPtr replay(KX::IDataReplay::create_data_replay(name, frequency, "SHFE", file, param));
    err_ = testing::internal::GetCapturedStderr();
    return replay;
  }
  static std::string unknown_name(const std::string& name) {
    return "KX::IDataReplay::create_data_replay: Unknown replay_name '" + name +
           "', must be in ['vdb', 'bin', 'csv', 'mock']\n";
  }

  std::string dir_, err_;
  unsigned char buf_[464];
  unsigned char type_ = 0;
};

// A file replay is made even without its file (what it then gives: ReplayFilesTest).
TEST_F(ReplayFactoryTest, BuiltInNamesInAnyCase) {
  const struct {
    const char* name;
    const char* kind;
  } cases[] = {{"bin", "bin"},     {"BIN", "bin"},     {"Csv", "csv"},  {"csv", "csv"},
               {"empty", "empty"}, {"eMpTy", "empty"}, {"MOCK", "mock"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplayPtr replay = make(c.name);
    ASSERT_NE(replay, nullptr);
    EXPECT_STREQ(replay->get_name(), c.kind);
    EXPECT_STREQ(replay->get_data_market(), "SHFE");
    EXPECT_EQ(replay->get_hlib(), nullptr);
  }
}

TEST_F(ReplayFactoryTest, UnknownNameThatIsNoFileIsReported) {
  EXPECT_EQ(make(nullptr), nullptr);
  EXPECT_EQ(err_, "");
  // Only the lower-case names select the default plug-in.
  for (const char* name : {"bogus", "", "VDB", "Default"}) {
    EXPECT_EQ(make(name), nullptr);
    EXPECT_EQ(err_, unknown_name(name));
  }
  ASSERT_NE(access("vdb_replayer.dll", F_OK), 0)
      << "the test needs no such file in " << std::filesystem::current_path();
  for (const char* name : {"vdb", "default"}) {
    EXPECT_EQ(make(name), nullptr);
    EXPECT_EQ(err_, unknown_name("vdb_replayer.dll"));
  }
}

TEST_F(ReplayFactoryTest, PluginReplayIsMadeByItsEntryPointAndCarriesTheLibrary) {
  ReplayPtr replay = make(kTestPlugin.c_str(), "ignored", 3, "tick");
  ASSERT_NE(replay, nullptr) << err_;
  EXPECT_EQ(err_, "");
  EXPECT_STREQ(replay->get_name(), "testgen");
  EXPECT_STREQ(replay->get_frequency(), "tick");
  EXPECT_STREQ(replay->get_data_market(), "SHFE");
  void* lib = replay->get_hlib();
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(dynlib_sym(lib, "create_data_replay"), nullptr);

  ASSERT_EQ(replay->init(kDay), 0);
  for (int i = 0; i < 3; ++i) {
    _L2Snapshot t;
    ASSERT_EQ(replay->next(&t, sizeof t, &type_), 464);
    EXPECT_EQ(t.trading_day, kDay);
    EXPECT_EQ(t.last, 10.0 + i);
  }
  EXPECT_EQ(replay->next(buf_, sizeof buf_, &type_), QL_NO_MORE_RECORDS);
  char* symbols[] = {const_cast<char*>("a"), const_cast<char*>("b")};
  EXPECT_EQ(replay->subscribe(symbols, 2, 0), 2);  // the plug-in's own override

  // A second replay from the same library shares its handle.
  ReplayPtr second = make(kTestPlugin.c_str(), nullptr, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->next(buf_, sizeof buf_, &type_), QL_NO_MORE_RECORDS);
  EXPECT_EQ(second->get_hlib(), lib);
  // Each replay made holds one load of the library.
  release_with_library(second);
  release_with_library(replay);
}

TEST_F(ReplayFactoryTest, LibraryWithoutAWorkingEntryPointGivesNull) {
  EXPECT_EQ(make(kTestPlugin.c_str(), nullptr, -1), nullptr);  // the entry returns NULL
  EXPECT_EQ(err_, "");

  const std::string prefix = "KX::IDataReplay::create_data_replay: dll load replay_name='";
  const std::string suffix = "' failed get 'create_data_replay' func entry, hlib=";
  EXPECT_EQ(make(kNoEntryPlugin.c_str()), nullptr);
  EXPECT_EQ(err_.rfind(prefix + kNoEntryPlugin + suffix, 0), 0u) << err_;
  EXPECT_EQ(err_.find("hlib=(nil)"), std::string::npos);  // the library did load

  const std::string path = dir_ + "/not_a_library.so";
  std::ofstream(path) << "plain text\n";
  EXPECT_EQ(make(path.c_str()), nullptr);
  EXPECT_EQ(err_, prefix + path + suffix + "(nil)\n");
}

TEST_F(ReplayFactoryTest, BareNameIsLoadedFromTheCurrentDirectory) {
  std::filesystem::copy_file(kTestPlugin, dir_ + "/my_replayer.so");
  const std::string before = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  ReplayPtr replay = make("my_replayer.so", nullptr, 1);
  ASSERT_EQ(chdir(before.c_str()), 0);
  ASSERT_NE(replay, nullptr) << err_;
  EXPECT_STREQ(replay->get_name(), "testgen");
  release_with_library(replay);
}

// The sample plug-in of examples/: a binary tick replay filtered by subscribe().
TEST_F(ReplayFactoryTest, ExamplePluginDeliversSubscribedSymbolsOnly) {
  const std::string path = dir_ + "/tick.dat";
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < 4; ++i) {
    _L2Snapshot t{};
    t.type = QL_RECORD_L2SNAPSHOT;
    strcpy(t.symbol, i % 2 == 0 ? "600000" : "000001");
    t.trading_day = i < 3 ? kDay : kDay + 1;
    t.time = i;
    out.write(reinterpret_cast<const char*>(&t), sizeof t);
  }
  out.close();
  ReplayPtr replay = make(kExamplePlugin.c_str(), path.c_str(), 0, "tick");
  ASSERT_NE(replay, nullptr) << err_;
  char* wanted[] = {const_cast<char*>("600000")};
  EXPECT_EQ(replay->subscribe(wanted, 1, 0), 1);
  ASSERT_EQ(replay->init(kDay), 0);
  _L2Snapshot t;
  ASSERT_EQ(replay->next(&t, sizeof t, &type_), 464);
  EXPECT_EQ(t.time, 0);
  ASSERT_EQ(replay->next(&t, sizeof t, &type_), 464);
  EXPECT_EQ(t.time, 2);
  EXPECT_EQ(replay->next(&t, sizeof t, &type_), QL_OTHER_DAY);
  replay->init(kDay + 1);
  EXPECT_EQ(replay->next(&t, sizeof t, &type_), QL_NO_MORE_RECORDS);  // the last one is 000001
  release_with_library(replay);
}

}  // namespace
