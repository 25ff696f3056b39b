// The logger: what a sink receives, the level threshold, the default line on standard error,
// long messages and messages from several threads.
#include "quotelab/tracelog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Message {
  int level;
  std::string func;
  std::string file;
  int line;
  std::string text;
};

// Collects the messages a sink receives; thread-safe.
struct Collector {
  std::mutex mutex;
  std::vector<Message> messages;

  static void sink(void* user, int level, const char* func, const char* file, int line,
                   const char* text) {
    auto* self = static_cast<Collector*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->messages.push_back({level, func, file, line, text});
  }
};

class TracelogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = tl_log_get_level(nullptr);
    tl_log_set_sink(nullptr, &Collector::sink, &collector_);
  }
  void TearDown() override {
    tl_log_set_sink(nullptr, nullptr, nullptr);
    tl_log_set_level(nullptr, saved_level_);
  }

  int saved_level_ = 3;
  Collector collector_;
};

void log_through_vlog(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  tl_vlog(nullptr, "vfunc", "vsrc", 7, 2, fmt, args);
  va_end(args);
}

TEST_F(TracelogTest, SinkReceivesEveryPartAndNullsAreAccepted) {
  tl_log(tl_log_get_global(), "KX::MDataCache::update_set_tick", "mdata_cache", 366, 1,
         "empty table_node_value for tick symbol=%s", "600000");
  tl_log(nullptr, nullptr, nullptr, 0, 1, nullptr);  // the global logger, empty texts
  log_through_vlog("%d-%s-%.1f", 5, "x", 2.5);
  ASSERT_EQ(collector_.messages.size(), 3u);
  const Message& m = collector_.messages[0];
  EXPECT_EQ(m.level, 1);
  EXPECT_EQ(m.func, "KX::MDataCache::update_set_tick");
  EXPECT_EQ(m.file, "mdata_cache");
  EXPECT_EQ(m.line, 366);
  EXPECT_EQ(m.text, "empty table_node_value for tick symbol=600000");
  EXPECT_EQ(collector_.messages[1].func + collector_.messages[1].file, "");
  EXPECT_EQ(collector_.messages[1].text, "");
  EXPECT_EQ(collector_.messages[2].text, "5-x-2.5");
  EXPECT_EQ(tl_log_get_level(nullptr), tl_log_get_level(tl_log_get_global()));
}

TEST_F(TracelogTest, ThresholdFilters) {
  EXPECT_EQ(saved_level_, 3);  // the process default
  tl_log(nullptr, "f", "src", 1, 3, "notice");
  tl_log(nullptr, "f", "src", 2, 4, "information");
  ASSERT_EQ(collector_.messages.size(), 1u);
  EXPECT_EQ(collector_.messages[0].level, 3);

  EXPECT_EQ(tl_log_set_level(nullptr, 4), 3);
  EXPECT_EQ(tl_log_get_level(nullptr), 4);
  tl_log(nullptr, "f", "src", 3, 4, "information");
  tl_log(nullptr, "f", "src", 4, 5, "debug");
  ASSERT_EQ(collector_.messages.size(), 2u);
  EXPECT_EQ(collector_.messages[1].level, 4);

  EXPECT_EQ(tl_log_set_level(nullptr, 0), 4);
  tl_log(nullptr, "f", "src", 5, 1, "failure");
  EXPECT_EQ(collector_.messages.size(), 2u);
}

// A long message is cut, and never inside a UTF-8 character: two-byte characters at either
// offset parity, whatever the cut, end on a whole character.
TEST_F(TracelogTest, LongMessageIsCutOnACharacter) {
  const std::string long_text(5000, 'x');
  tl_log(nullptr, "f", "src", 1, 1, "%s", long_text.c_str());
  for (const std::string lead : {"", "a"}) {
    std::string text = lead;
    while (text.size() < 4000) text += "\xC3\xA9";  // é
    tl_log(nullptr, "f", "src", 1, 1, "%s", text.c_str());
  }
  ASSERT_EQ(collector_.messages.size(), 3u);
  const std::string& cut = collector_.messages[0].text;
  EXPECT_GT(cut.size(), 500u);
  EXPECT_LT(cut.size(), long_text.size());
  EXPECT_EQ(cut, long_text.substr(0, cut.size()));
  for (size_t i = 1; i < 3; ++i) {
    const std::string& text = collector_.messages[i].text;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(static_cast<unsigned char>(text.back()), 0xA9) << text.size();
  }
}

TEST_F(TracelogTest, MessagesFromSeveralThreadsArriveWhole) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i)
        tl_log(nullptr, "f", "src", t, 1, "thread %d message %d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(collector_.messages.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (const Message& m : collector_.messages) {
    // Each thread's messages arrive in its own order and intact.
    ASSERT_GE(m.line, 0);
    ASSERT_LT(m.line, kThreads);
    EXPECT_EQ(m.text,
              "thread " + std::to_string(m.line) + " message " + std::to_string(next[m.line]));
    ++next[m.line];
  }
}

TEST_F(TracelogTest, DefaultLineOnStandardError) {
  tl_log_set_sink(nullptr, nullptr, nullptr);
  ::testing::internal::CaptureStderr();
  tl_log(nullptr, "KX::MDPublishLib::Run", "md_publish_lib", 205, 1, "mdpublish thread stopped.");
  const std::string out = ::testing::internal::GetCapturedStderr();
  // "YYYY-MM-DD hh:mm:ss.mmm " then the level, function, source location and text.
  std::string masked = out;
  for (size_t i = 0; i < 23 && i < masked.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(masked[i]))) masked[i] = '0';
  }
  EXPECT_EQ(masked,
            "0000-00-00 00:00:00.000 L1 KX::MDPublishLib::Run (md_publish_lib:205) mdpublish "
            "thread stopped.\n");
}

// A sink that logs itself must not deadlock; its own message goes to standard error.
void reentrant_sink(void* user, int, const char*, const char*, int, const char* text) {
  static_cast<Collector*>(user)->messages.push_back({1, "", "", 0, text});
  tl_log(nullptr, "sink", "tracelog_test", 1, 1, "from inside the sink");
}

TEST_F(TracelogTest, SinkMayLogItself) {
  tl_log_set_sink(nullptr, &reentrant_sink, &collector_);
  ::testing::internal::CaptureStderr();
  tl_log(nullptr, "f", "src", 1, 1, "outer");
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(collector_.messages.size(), 1u);
  EXPECT_EQ(collector_.messages[0].text, "outer");
  EXPECT_NE(err.find("from inside the sink"), std::string::npos);
}

}  // namespace
