// The publisher: sender loading, init, the type filter, direct and thread mode, the queue's
// capacity, stop and destruction, the thread's wake-up, and totals under contention.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quotelab/md_publish_lib.h"
#include "quotelab/msg_sender.h"
#include "quotelab/tracelog.h"
#include "quotelab/utilcore.h"

#if defined(__SANITIZE_THREAD__)
#define QL_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QL_UNDER_TSAN 1
#endif
#endif

namespace KX {
namespace detail {
// Holds a producer between the two steps of its push, as a preempted thread would be.
struct BlockQueueProbe {
  static bool claim(BlockQueue& q, uint32_t* pos) { return q.claim(pos); }
  static void store(BlockQueue& q, uint32_t pos, msg_item_s* item) { q.store(pos, item); }
};
}  // namespace detail
}  // namespace KX

namespace {

using KX::BlockQueue;
using KX::MDPublishLib;

const std::string kRecordPath = QL_PLUGIN_DIR "/sender_record.so";
const std::string kLoadPath = QL_PLUGIN_DIR "/sender_load.so";
const std::string kNoPublishPath = QL_PLUGIN_DIR "/sender_nopublish.so";
const std::string kBinFilePath = QL_PLUGIN_DIR "/bin_file_sender.so";

// Long enough for a loaded machine, well short of the thread's 1000 ms idle sleep.
constexpr int kDeliveryTimeoutMs = 500;
constexpr int kBulkTimeoutMs = 120000;

bool is_loaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h != nullptr) dlclose(h);
  return h != nullptr;
}

// A 16-byte payload: record type code, then a tag at bytes 8..15 that the test sender records.
msg_item_s* make_item(unsigned char type, int64_t tag) {
  unsigned char buf[16] = {0};
  buf[0] = type;
  std::memcpy(buf + 8, &tag, sizeof tag);
  return msg_item_alloc(buf, sizeof buf);
}

msg_sender_s empty_table() {
  msg_sender_s t;
  std::memset(&t, 0, sizeof t);
  return t;
}

bool matches(const std::string& text, const char* pattern) {
  return testing::internal::RE::FullMatch(text, testing::internal::RE(pattern));
}

// One captured log message.
struct LogLine {
  int level;
  std::string func, file, text;
  int line;
};

struct LogCapture {
  std::mutex mutex;
  std::vector<LogLine> lines;

  static void sink(void* user, int level, const char* func, const char* file, int line,
                   const char* text) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.push_back({level, func, file, text, line});
  }
  // The first message whose text starts with `prefix`, or a line with level -1.
  LogLine find(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const LogLine& l : lines)
      if (l.text.compare(0, prefix.size(), prefix) == 0) return l;
    return {-1, "", "", "", 0};
  }
  // Checks the whole message that starts with `prefix`, where it came from and its level.
  void expect(const std::string& prefix, const std::string& text, int level, const char* func,
              int line) {
    const LogLine l = find(prefix);
    EXPECT_EQ(l.text, text);
    EXPECT_EQ(l.level, level) << text;
    EXPECT_EQ(l.func, func) << text;
    EXPECT_EQ(l.file, "md_publish_lib") << text;
    EXPECT_EQ(l.line, line) << text;
  }
};

// The test sender's record, read through its extra exports.
struct RecordApi {
  void* lib = nullptr;
  int (*live)() = nullptr;
  int (*batches)(void*) = nullptr;
  int (*batch)(void*, int, int*) = nullptr;
  int (*entries)(void*) = nullptr;
  void (*entry)(void*, int, msg_sender_data_s*, int64_t*, int*) = nullptr;
  int (*wait)(void*, int, int) = nullptr;
  int (*debug)(void*) = nullptr;
  const char* (*create_arg)(void*, int, long long*) = nullptr;

  template <typename Fn>
  void bind(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dynlib_sym(lib, name));
    ASSERT_NE(fn, nullptr) << name;
  }
  void open() {
    lib = dynlib_open(kRecordPath.c_str());
    ASSERT_NE(lib, nullptr) << dynlib_error();
    bind(live, "sender_record_live");
    bind(batches, "sender_record_batches");
    bind(batch, "sender_record_batch");
    bind(entries, "sender_record_entries");
    bind(entry, "sender_record_entry");
    bind(wait, "sender_record_wait");
    bind(debug, "sender_record_debug");
    bind(create_arg, "sender_record_create_arg");
  }
  std::vector<int> batch_sizes(void* inst) {
    std::vector<int> sizes;
    for (int i = 0; i < batches(inst); ++i) sizes.push_back(batch(inst, i, nullptr));
    return sizes;
  }
  std::vector<int64_t> tags(void* inst) {
    std::vector<int64_t> out;
    for (int i = 0; i < entries(inst); ++i) {
      msg_sender_data_s d;
      int64_t tag;
      int refcount;
      entry(inst, i, &d, &tag, &refcount);
      out.push_back(tag);
    }
    return out;
  }
};

// Holds the test sender library open, captures the log, and checks at the end that every
// item and every sender instance made during the test is gone again.
class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    items_at_start_ = msg_item_live_count();
    ASSERT_NO_FATAL_FAILURE(rec_.open());
    senders_at_start_ = rec_.live();
    tl_log_set_sink(tl_log_get_global(), &LogCapture::sink, &log_);
    log_level_ = tl_log_set_level(tl_log_get_global(), 5);
  }
  void TearDown() override {
    for (msg_item_s* item : held_) msg_item_decref_release(item);
    tl_log_set_sink(tl_log_get_global(), nullptr, nullptr);
    tl_log_set_level(tl_log_get_global(), log_level_);
    EXPECT_EQ(msg_item_live_count(), items_at_start_) << "items leaked or lost";
    EXPECT_EQ(rec_.live(), senders_at_start_) << "sender instances leaked or released twice";
    dynlib_close(rec_.lib);
  }

  // A new item the test holds one reference on until TearDown.
  msg_item_s* item(unsigned char type, int64_t tag) {
    held_.push_back(make_item(type, tag));
    return held_.back();
  }
  // `n` items of type 2 tagged 0 .. n-1, each posted (and accepted).
  std::vector<msg_item_s*> post_n(MDPublishLib& pub, int n) {
    std::vector<msg_item_s*> posted;
    for (int i = 0; i < n; ++i) {
      posted.push_back(item(2, i));
      EXPECT_EQ(pub.post_msg(posted.back()), 0) << i;
    }
    return posted;
  }
  // Loads the test sender into a table and initialises `pub` with it; returns the instance.
  void* init_record(MDPublishLib& pub, const char* params = "") {
    msg_sender_s table = empty_table();
    EXPECT_EQ(MDPublishLib::msg_sender_load(&table, kRecordPath.c_str()), 0);
    EXPECT_EQ(pub.init(&table, params, "arg2", "arg3", 42), 0);
    return table.instance;
  }

  RecordApi rec_;
  LogCapture log_;
  std::vector<msg_item_s*> held_;
  int64_t items_at_start_ = 0;
  int senders_at_start_ = 0;
  int log_level_ = 3;
};

// ---- loading senders and init ---------------------------------------------------------------

using PublishInitTest = PublishTest;

TEST_F(PublishInitTest, LoadLooksUpExportsOrLetsThePluginFillTheTable) {
  msg_sender_s t = empty_table();
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kRecordPath.c_str()), 0);
  ASSERT_NE(t.sender_name, nullptr);
  EXPECT_STREQ(t.sender_name, "");
  EXPECT_EQ(t.instance, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(t.create), dynlib_sym(t.module, "msg_sender_create"));
  EXPECT_TRUE(t.release && t.publish && t.set_debug && t.set_param);
  dynlib_close(t.module);  // never handed to a publisher: still the caller's

  t = empty_table();
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kLoadPath.c_str()), 0);
  EXPECT_STREQ(t.sender_name, "sender_load");
  EXPECT_EQ(t.set_debug, nullptr);
  auto published = reinterpret_cast<int (*)(void*)>(dynlib_sym(t.module, "sender_load_published"));
  ASSERT_NE(published, nullptr);
  MDPublishLib pub;
  pub.set_thread_mode(0);
  pub.set_debug(3);  // no set_debug entry: nothing may be called through NULL
  ASSERT_EQ(pub.init(&t, "", nullptr, nullptr, 0), 0);
  EXPECT_STREQ(pub.get_sender_name(), "sender_load");
  post_n(pub, 3);
  EXPECT_EQ(published(t.instance), 3);
}

TEST_F(PublishInitTest, MissingPublishGivesMinus17AndUnloadsTheLibrary) {
  msg_sender_s t = empty_table();
  EXPECT_EQ(MDPublishLib::msg_sender_load(&t, kNoPublishPath.c_str()), -17);
  // Nothing that points into the unloaded library is left behind.
  EXPECT_TRUE(t.module == nullptr && t.create == nullptr && t.release == nullptr);
  ASSERT_NE(t.sender_name, nullptr);
  EXPECT_STREQ(t.sender_name, "");
  EXPECT_FALSE(is_loaded(kNoPublishPath));

  MDPublishLib pub;
  EXPECT_EQ(pub.init(kNoPublishPath.c_str(), "p", nullptr, nullptr, 0), -17);
  EXPECT_FALSE(is_loaded(kNoPublishPath));
  EXPECT_EQ(pub.get_sender_name(), nullptr);
  log_.expect("mdpublish load", "mdpublish load libpath='" + kNoPublishPath + "' failed rv=-17", 1,
              "KX::MDPublishLib::init", 59);

  const std::string missing = QL_PLUGIN_DIR "/no_such_sender.so";
  EXPECT_EQ(MDPublishLib::msg_sender_load(&t, missing.c_str()), -1);
  EXPECT_EQ(MDPublishLib::msg_sender_load(nullptr, kRecordPath.c_str()), -1);
  EXPECT_EQ(MDPublishLib::msg_sender_load(&t, nullptr), -1);
  EXPECT_EQ(pub.init(static_cast<const char*>(nullptr), "", nullptr, nullptr, 0), -1);
}

TEST_F(PublishInitTest, CreateGetsTheArgumentsAndTheDebugLevelSetBefore) {
  MDPublishLib pub;
  EXPECT_EQ(pub.get_sender_name(), nullptr);
  pub.set_debug(2);
  void* inst = init_record(pub, "p1");
  ASSERT_NE(inst, nullptr);
  long long arg4 = 0;
  EXPECT_STREQ(rec_.create_arg(inst, 1, &arg4), "p1");
  EXPECT_STREQ(rec_.create_arg(inst, 2, nullptr), "arg2");
  EXPECT_STREQ(rec_.create_arg(inst, 3, nullptr), "arg3");
  EXPECT_EQ(arg4, 42);
  EXPECT_EQ(rec_.debug(inst), 2);
  EXPECT_STREQ(pub.get_sender_name(), "");
  char expected[128];
  std::snprintf(expected, sizeof expected, "mdpublish create instance=%p with params=p1", inst);
  log_.expect(expected, expected, 3, "KX::MDPublishLib::init", 78);
}

TEST_F(PublishInitTest, FailedCreateLeavesThePublisherUninitialisedAndNothingLoaded) {
  MDPublishLib pub;
  msg_sender_s t = empty_table();
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kRecordPath.c_str()), 0);
  EXPECT_EQ(pub.init(&t, "null", nullptr, nullptr, 0), -1);
  EXPECT_EQ(t.instance, nullptr);
  log_.expect("mdpublish msg_sender_create", "mdpublish msg_sender_create(null) failed", 1,
              "KX::MDPublishLib::init", 71);
  EXPECT_EQ(pub.get_sender_name(), nullptr);
  EXPECT_EQ(pub.start(), -1);
  dynlib_close(t.module);  // refused: the table stays the caller's

  EXPECT_EQ(pub.init(kLoadPath.c_str(), "null", nullptr, nullptr, 0), -1);
  EXPECT_FALSE(is_loaded(kLoadPath)) << "a failed init left its library loaded";
  EXPECT_EQ(pub.init(kRecordPath.c_str(), "", nullptr, nullptr, 0), 0);  // good ones still work
  EXPECT_EQ(rec_.live(), senders_at_start_ + 1);
}

TEST_F(PublishInitTest, SecondInitIsRefusedAndTheFirstSenderIsReleasedOnce) {
  MDPublishLib pub;
  pub.set_thread_mode(0);
  void* first = init_record(pub);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(rec_.debug(first), -1);  // debug 0: set_debug is not called
  // Table form: refused before create is called; the caller keeps its module.
  msg_sender_s t = empty_table();
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kRecordPath.c_str()), 0);
  EXPECT_EQ(pub.init(&t, "", nullptr, nullptr, 0), -1);
  EXPECT_EQ(t.instance, nullptr);
  dynlib_close(t.module);
  // Path form: refused before anything is loaded.
  EXPECT_EQ(pub.init(kLoadPath.c_str(), "", nullptr, nullptr, 0), -1);
  EXPECT_FALSE(is_loaded(kLoadPath));
  EXPECT_EQ(rec_.live(), senders_at_start_ + 1);
  EXPECT_EQ(pub.post_msg(item(2, 7)), 0);  // the first sender still serves
  EXPECT_EQ(rec_.entries(first), 1);
  // TearDown checks that the one instance is released exactly once.
}

TEST_F(PublishInitTest, NothingWorksBeforeInit) {
  for (int mode : {1, 0}) {
    MDPublishLib pub;
    pub.set_thread_mode(mode);
    msg_item_s* it = item(2, 1);
    EXPECT_EQ(pub.start(), -1);
    EXPECT_FALSE(pub.IsThreadStarted());
    EXPECT_EQ(pub.post_msg(it), -1);
    EXPECT_EQ(msg_item_refcount(it), 1);
    EXPECT_EQ(pub.queue_count(), 0);
    msg_sender_data_s d;
    std::memset(&d, 0, sizeof d);
    EXPECT_EQ(pub.do_send_datas(&d, 1), -1);
    EXPECT_EQ(pub.stop(), 0);
  }
  // A table the caller fills needs create and publish: without publish nothing is called.
  static int creates = 0;
  msg_sender_s t = empty_table();
  t.create = [](const char*, const char*, const char*, long long) -> void* { return &++creates; };
  MDPublishLib pub;
  EXPECT_EQ(pub.init(&t, "", nullptr, nullptr, 0), -17);
  EXPECT_EQ(pub.init(static_cast<msg_sender_s*>(nullptr), "", nullptr, nullptr, 0), -1);
  EXPECT_EQ(creates, 0);
  t.publish = [](void*, msg_sender_data_s*, int n, int) { return n; };
  ASSERT_EQ(pub.init(&t, "", nullptr, nullptr, 0), 0);
  EXPECT_STREQ(pub.get_sender_name(), "");  // left NULL: named ""
}

// ---- the type filter and bad items ----------------------------------------------------------

using PublishFilterTest = PublishTest;

TEST_F(PublishFilterTest, SwitchedOffTypesAreRefusedAndNothingQueued) {
  MDPublishLib pub;
  init_record(pub);
  EXPECT_EQ(pub.set_quote_type(2, false), 0);
  EXPECT_FALSE(pub.can_send(2));
  EXPECT_TRUE(pub.can_send(3));
  msg_item_s* tick = item(2, 1);
  EXPECT_EQ(pub.post_msg(tick), -150);
  EXPECT_EQ(pub.queue_count(), 0);
  EXPECT_EQ(msg_item_refcount(tick), 1);
  EXPECT_EQ(pub.post_msg(item(3, 2)), 0);
  EXPECT_EQ(pub.queue_count(), 1);
  pub.set_thread_mode(0);
  EXPECT_EQ(pub.post_msg(tick), -150);

  // A flag array indexed by type code; bad counts change nothing.
  unsigned char flags[257] = {0};
  EXPECT_EQ(pub.set_quote_types(flags, 257), -1);
  EXPECT_EQ(pub.set_quote_types(flags, -1), -1);
  EXPECT_EQ(pub.set_quote_types(nullptr, 3), -1);
  EXPECT_TRUE(pub.can_send(0));
  EXPECT_EQ(pub.set_quote_types(flags, 3), 0);
  EXPECT_FALSE(pub.can_send(0) || pub.can_send(1) || pub.can_send(2));
  EXPECT_TRUE(pub.can_send(3) && pub.can_send(255));
  EXPECT_EQ(pub.set_quote_types(flags, 256), 0);
  EXPECT_FALSE(pub.can_send(255));
  EXPECT_EQ(pub.set_quote_types(nullptr, 0), 0);
}

TEST_F(PublishFilterTest, EmptyPayloadAndNullItemAreRefused) {
  for (int mode : {1, 0}) {
    MDPublishLib pub;
    pub.set_thread_mode(mode);
    void* inst = init_record(pub);
    msg_item_s* empty = msg_item_alloc(nullptr, 0);
    ASSERT_NE(empty, nullptr);
    held_.push_back(empty);
    EXPECT_EQ(pub.post_msg(empty), -1);
    EXPECT_EQ(pub.post_msg(nullptr), -1);
    EXPECT_EQ(msg_item_refcount(empty), 1);
    EXPECT_EQ(pub.queue_count(), 0);
    EXPECT_EQ(rec_.entries(inst), 0);
  }
}

// ---- direct mode ----------------------------------------------------------------------------

TEST_F(PublishTest, DirectModeCallsTheSenderAtOnceAndTakesNoReference) {
  MDPublishLib pub;
  pub.set_thread_mode(0);
  pub.set_debug(4);
  void* inst = init_record(pub, "fail=-5");
  EXPECT_EQ(pub.start(), 0);
  EXPECT_FALSE(pub.IsThreadStarted());
  msg_item_s* it = item(0xF0, 77);
  EXPECT_EQ(pub.post_msg(it), -5);  // the sender's result
  EXPECT_EQ(msg_item_refcount(it), 1);
  EXPECT_EQ(pub.queue_count(), 0);
  ASSERT_EQ(rec_.entries(inst), 1);
  msg_sender_data_s d;
  int64_t tag;
  int refcount;
  rec_.entry(inst, 0, &d, &tag, &refcount);
  EXPECT_EQ(d.msg_type, 0xF0);  // the header's 16-bit type, widened without sign
  EXPECT_EQ(d.data_len, 16);
  EXPECT_EQ(d.item, nullptr);
  EXPECT_EQ(d.reserved, 0);
  EXPECT_EQ(tag, 77);

  // do_send_datas passes a caller's batch through, with debug 0 like post_msg.
  unsigned char rec[16] = {3};
  msg_sender_data_s two[2];
  std::memset(two, 0, sizeof two);
  for (auto& e : two) e = {3, 16, rec, nullptr, 0};
  EXPECT_EQ(pub.do_send_datas(two, 2), -5);
  EXPECT_EQ(pub.do_send_datas(two, -1), -1);
  EXPECT_EQ(pub.do_send_datas(nullptr, 1), -1);
  ASSERT_EQ(rec_.batches(inst), 2);
  for (int b = 0; b < 2; ++b) {
    int debug = -1;
    EXPECT_EQ(rec_.batch(inst, b, &debug), b + 1);
    EXPECT_EQ(debug, 0);
  }
  EXPECT_EQ(pub.stop(), 0);
}

// ---- thread mode ----------------------------------------------------------------------------

using PublishThreadModeTest = PublishTest;

TEST_F(PublishThreadModeTest, QueuedItemsGoOutInBatchesOf128InPostingOrder) {
  MDPublishLib pub;
  pub.set_debug(1);
  void* inst = init_record(pub);
  std::vector<msg_item_s*> posted;
  for (int i = 0; i < 300; ++i) {
    posted.push_back(item(i == 5 ? 0xF0 : 2, i));
    ASSERT_EQ(pub.post_msg(posted.back()), 0);
    ASSERT_EQ(msg_item_refcount(posted.back()), 2);
  }
  EXPECT_EQ(pub.queue_count(), 300);
  ASSERT_EQ(pub.start(), 0);
  ASSERT_EQ(rec_.wait(inst, 300, kBulkTimeoutMs), 1);
  EXPECT_EQ(pub.stop(), 0);

  EXPECT_EQ(rec_.batch_sizes(inst), (std::vector<int>{128, 128, 44}));
  int debug = -1;
  rec_.batch(inst, 2, &debug);
  EXPECT_EQ(debug, 1);  // the level the thread started with
  log_.expect("mdpublish[", "mdpublish[] thread running=1, debug=1...", 4, "KX::MDPublishLib::Run",
              162);
  log_.expect("mdpublish thread", "mdpublish thread stopped.", 4, "KX::MDPublishLib::Run", 205);
  for (int i = 0; i < 300; ++i) {
    msg_sender_data_s d;
    int64_t tag;
    int refcount;
    rec_.entry(inst, i, &d, &tag, &refcount);
    EXPECT_EQ(tag, i);
    EXPECT_EQ(d.item, posted[i]);
    EXPECT_EQ(d.msg_type, i == 5 ? -16 : 2);  // first byte read as a signed byte
    EXPECT_EQ(d.data_len, 16);
    EXPECT_EQ(d.reserved, 0);
    EXPECT_EQ(refcount, 2);  // the publisher holds its reference during the call
    EXPECT_EQ(msg_item_refcount(posted[i]), 1);  // and has released it since
  }
  EXPECT_EQ(pub.queue_count(), 0);
}

TEST_F(PublishThreadModeTest, TrickleIsDeliveredWithoutWaitingOutTheIdleSleep) {
  // Each item must arrive long before the thread's 1000 ms sleep would end on its own: an
  // item stored while the thread is on its way to sleep must wake it.
  MDPublishLib pub;
  void* inst = init_record(pub);
  ASSERT_EQ(pub.start(), 0);
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(pub.post_msg(item(2, i)), 0);
    ASSERT_EQ(rec_.wait(inst, i + 1, kDeliveryTimeoutMs), 1) << "item " << i << " waited";
    // Land the next post anywhere in the thread's way from its last batch to its sleep.
    const int pause = static_cast<int>(rng() % 60);
    if (pause > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause));
  }
  pub.stop();
  std::vector<int64_t> tags = rec_.tags(inst);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(tags[i], i);
}

TEST_F(PublishThreadModeTest, StartStopAndRestart) {
  MDPublishLib pub;
  void* inst = init_record(pub);
  // stop releases, unsent, what is queued; twice is harmless.
  std::vector<msg_item_s*> posted = post_n(pub, 10);
  EXPECT_EQ(pub.stop(), 0);
  EXPECT_EQ(pub.stop(), 0);
  EXPECT_EQ(pub.queue_count(), 0);
  for (msg_item_s* it : posted) EXPECT_EQ(msg_item_refcount(it), 1);
  EXPECT_EQ(rec_.entries(inst), 0);

  EXPECT_EQ(pub.start(), 0);
  EXPECT_EQ(pub.start(), 1);
  EXPECT_EQ(pub.stop(), 0);
  EXPECT_FALSE(pub.IsThreadStarted());
  // Posted after stop: waits for the next start.
  msg_item_s* it = item(2, 5);
  ASSERT_EQ(pub.post_msg(it), 0);
  EXPECT_EQ(msg_item_refcount(it), 2);
  ASSERT_EQ(pub.start(), 0);
  EXPECT_EQ(rec_.wait(inst, 1, kBulkTimeoutMs), 1);
  // A thread started in thread mode is stopped even after a switch to direct mode.
  pub.set_thread_mode(0);
  EXPECT_EQ(pub.stop(), 0);
  EXPECT_FALSE(pub.IsThreadStarted());
  EXPECT_EQ(msg_item_refcount(it), 1);
}

// What the thread prints on standard output, by debug level and the sender's result (the
// queue count is a snapshot: stop's mark may already be in the queue).
struct PrintCase {
  int debug;
  const char* params;
  const char* output;  // a regular expression
};

void PrintTo(const PrintCase& c, std::ostream* os) {
  *os << "debug " << c.debug << " params '" << c.params << "'";
}

class PublishPrintTest : public PublishTest, public ::testing::WithParamInterface<PrintCase> {};

TEST_P(PublishPrintTest, FailedBatchesPrintOnceWithDebugAndAreReleasedAllTheSame) {
  const PrintCase& c = GetParam();
  MDPublishLib pub;
  pub.set_debug(c.debug);
  void* inst = init_record(pub, c.params);
  std::vector<msg_item_s*> posted = post_n(pub, 3);
  testing::internal::CaptureStdout();
  ASSERT_EQ(pub.start(), 0);
  ASSERT_EQ(rec_.wait(inst, 3, kBulkTimeoutMs), 1);
  pub.stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(matches(out, c.output)) << out;
  EXPECT_EQ(rec_.batches(inst), 1);  // not retried
  for (msg_item_s* it : posted) EXPECT_EQ(msg_item_refcount(it), 1);
}

INSTANTIATE_TEST_SUITE_P(
    ByLevel, PublishPrintTest,
    ::testing::Values(
        PrintCase{1, "fail=-5",
                  "MDPublishLib: call msg_sender_publish rv=-5 by num_msg=3, queue_count=[01]\n"},
        PrintCase{0, "fail=-5", ""}, PrintCase{2, "", ""},
        PrintCase{3, "fail=-2",
                  "MDPublishLib: poped num_msg=3 from queue, now count queue=0, pubed=0\n"
                  "MDPublishLib: call msg_sender_publish rv=-2 by num_msg=3, queue_count=[01]\n"}),
    [](const ::testing::TestParamInfo<PrintCase>& info) {
      return "debug" + std::to_string(info.param.debug) + (*info.param.params ? "_failing" : "");
    });

TEST_F(PublishThreadModeTest, PostingDuringStopAndDestructionLosesAndLeaksNothing) {
  // Items posted while stop runs may land behind its stop mark; destruction releases them.
  std::atomic<bool> go{true};
  std::atomic<int> accepted{0};
  {
    MDPublishLib pub(256);
    void* inst = init_record(pub);
    auto producer = [&](int id) {
      for (int k = 0; go.load(std::memory_order_relaxed); ++k) {
        msg_item_s* it = make_item(2, id * 10000000 + k);
        if (pub.post_msg(it) == 0) accepted.fetch_add(1, std::memory_order_relaxed);
        msg_item_decref_release(it);
      }
    };
    std::thread a(producer, 1), b(producer, 2);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(pub.start(), 0);
      std::this_thread::yield();
      pub.stop();
    }
    go.store(false);
    a.join();
    b.join();
    EXPECT_LE(rec_.entries(inst), accepted.load());
  }
  // TearDown checks that every accepted item was released.
}

#if defined(QL_UNDER_TSAN)
constexpr int kStressItems = 100000;  // ThreadSanitizer runs an order of magnitude slower
#else
constexpr int kStressItems = 1000000;
#endif

TEST_F(PublishThreadModeTest, FourProducersEveryItemDeliveredExactlyOnce) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = kStressItems / kProducers;
  MDPublishLib pub;
  void* inst = init_record(pub);
  ASSERT_EQ(pub.start(), 0);
  auto producer = [&](int id) {
    for (int k = 0; k < kPerProducer; ++k) {
      msg_item_s* it = make_item(2, static_cast<int64_t>(id) * kPerProducer + k);
      int rv;
      while ((rv = pub.post_msg(it)) == -149) {
        EXPECT_EQ(msg_item_refcount(it), 1);
        std::this_thread::yield();
      }
      EXPECT_EQ(rv, 0);
      msg_item_decref_release(it);  // the publisher's reference keeps it alive
    }
  };
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) threads.emplace_back(producer, p);
  for (auto& t : threads) t.join();
  ASSERT_EQ(rec_.wait(inst, kStressItems, kBulkTimeoutMs), 1);
  pub.stop();
  EXPECT_EQ(pub.queue_count(), 0);

  std::vector<int64_t> tags = rec_.tags(inst);
  ASSERT_EQ(static_cast<int>(tags.size()), kStressItems);
  std::vector<unsigned char> seen(kStressItems, 0);
  std::vector<int64_t> last(kProducers, -1);
  for (int64_t tag : tags) {
    ASSERT_TRUE(tag >= 0 && tag < kStressItems) << tag;
    ASSERT_EQ(seen[tag]++, 0) << "tag " << tag << " delivered twice";
    const int p = static_cast<int>(tag / kPerProducer);
    ASSERT_GT(tag, last[p]) << "producer " << p << " out of order";
    last[p] = tag;
  }
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(last[p], (p + 1) * int64_t{kPerProducer} - 1);
  for (int b = 0; b < rec_.batches(inst); ++b) ASSERT_LE(rec_.batch(inst, b, nullptr), 128);
  // TearDown: msg_item_live_count() is back where it started.
}

// ---- the queue's capacity -------------------------------------------------------------------

TEST(PublishCapacityTest, RequestsRiseToThePowerOfTwo) {
  const std::pair<int, uint32_t> cases[] = {{65536, 65536}, {1000, 1024}, {1025, 2048}, {3, 4},
                                            {2, 2},         {1, 1},       {0, 0},       {-5, 0}};
  for (const auto& c : cases) EXPECT_EQ(BlockQueue::round_capacity(c.first), c.second) << c.first;
  EXPECT_EQ(MDPublishLib().queue_capacity(), 65536u);
  EXPECT_EQ(MDPublishLib(1000).queue_capacity(), 1024u);
  // Beyond what a queue may hold: refuses everything rather than failing later.
  EXPECT_EQ(MDPublishLib(0x7fffffff).queue_capacity(), 0u);
}

using PublishCapacityFullTest = PublishTest;

TEST_F(PublishCapacityFullTest, FullQueueRefusesWithCountsRestored) {
  struct Case {
    int requested, holds;
  };
  for (const Case c : {Case{1000, 1024}, Case{1, 1}, Case{0, 0}}) {
    MDPublishLib pub(c.requested);
    init_record(pub);
    post_n(pub, c.holds);
    msg_item_s* extra = item(2, c.holds);
    EXPECT_EQ(pub.post_msg(extra), -149) << c.requested;
    EXPECT_EQ(msg_item_refcount(extra), 1);
    EXPECT_EQ(pub.queue_count(), c.holds);
    EXPECT_EQ(pub.start(), 0);
    EXPECT_EQ(pub.stop(), 0);  // no room for a stop mark: the thread is woken all the same
  }
  for (msg_item_s* it : held_) EXPECT_EQ(msg_item_refcount(it), 1);
}

// ---- the queue on its own -------------------------------------------------------------------

class PublishBlockQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { items_at_start_ = msg_item_live_count(); }
  void TearDown() override { EXPECT_EQ(msg_item_live_count(), items_at_start_); }
  int64_t items_at_start_ = 0;
};

TEST_F(PublishBlockQueueTest, NothingIsTakenBeforeItIsStoredOnAnyPass) {
  // Capacity 1 reuses its one cell at every position; 4 wraps with a partly filled ring.
  for (int capacity : {1, 4}) {
    BlockQueue q(capacity);
    msg_item_s* it = make_item(2, 0);
    msg_item_s* out[4];
    bool mark = true;
    EXPECT_EQ(q.pop_batch(out, 4, &mark), 0);  // position 0, never stored
    EXPECT_FALSE(mark);
    for (int lap = 0; lap < 50; ++lap) {
      for (int i = 0; i < capacity; ++i) ASSERT_TRUE(q.push(it));
      ASSERT_FALSE(q.push(it)) << "lap " << lap;
      ASSERT_EQ(q.get_count(), capacity);
      ASSERT_EQ(q.pop_batch(out, capacity - 1, &mark), capacity - 1);
      ASSERT_EQ(q.push(it), capacity > 1);
      ASSERT_EQ(q.pop_batch(out, 4, &mark), capacity > 1 ? 2 : 1);
      ASSERT_EQ(q.pop_batch(out, 4, &mark), 0);  // the cells still hold the last pass's items
      ASSERT_TRUE(q.empty());
    }
    msg_item_decref_release(it);  // the queue held copies of this pointer, no references
  }
}

TEST_F(PublishBlockQueueTest, StopMarkEndsABatchAndDestructionReleasesItemsBehindIt) {
  msg_item_s* items[3];
  for (int i = 0; i < 3; ++i) items[i] = make_item(2, i);
  {
    BlockQueue q(8);
    for (msg_item_s* it : {items[0], static_cast<msg_item_s*>(nullptr), items[1],
                           static_cast<msg_item_s*>(nullptr), items[2]}) {
      if (it != nullptr) msg_item_addref(it, 1);  // the queue's reference
      ASSERT_TRUE(q.push(it));
    }
    EXPECT_EQ(q.drain(false), 1);  // items[0], then the first mark
    EXPECT_EQ(msg_item_refcount(items[0]), 1);
    EXPECT_EQ(q.get_count(), 3);
    msg_item_s* out[8];
    bool mark = false;
    EXPECT_EQ(q.pop_batch(out, 8, &mark), 1);  // items[1], then the second mark ends the batch
    EXPECT_TRUE(mark);
    EXPECT_EQ(out[0], items[1]);
    msg_item_decref_release(items[1]);
  }
  EXPECT_EQ(msg_item_refcount(items[2]), 1);  // released by the queue's destructor
  for (msg_item_s* it : items) msg_item_decref_release(it);
}

TEST_F(PublishBlockQueueTest, ConsumerNeverSleepsOnAClaimedCell) {
  // Producer A claims position 0 and stalls; producer B stores position 1 and wakes the
  // consumer, who can take nothing (position 0 is not stored). A consumer that went back to
  // sleep on that, signalled only when an item arrives in an empty queue, would miss A's
  // store (the queue was not empty then) and wait out its full idle sleep.
  msg_item_s* a = make_item(2, 1);
  msg_item_s* b = make_item(2, 2);
  BlockQueue q(8);
  std::atomic<bool> stop{false};
  std::atomic<int> taken{0};
  std::vector<msg_item_s*> got;  // the consumer's until it is joined
  std::thread consumer([&] {     // the publishing thread's loop
    msg_item_s* out[MDPublishLib::kMaxBatch];
    while (!stop.load()) {
      bool mark = false;
      const int n = q.pop_batch(out, MDPublishLib::kMaxBatch, &mark);
      got.insert(got.end(), out, out + n);
      taken.fetch_add(n);
      if (n == 0 && !mark) q.wait(MDPublishLib::kIdleWaitMs);
    }
  });
  uint32_t pos_a = 0;
  ASSERT_TRUE(KX::detail::BlockQueueProbe::claim(q, &pos_a));
  ASSERT_TRUE(q.push(b));
  // Give the consumer time to wake, find nothing takeable and reach its idle wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto stored_at = std::chrono::steady_clock::now();
  KX::detail::BlockQueueProbe::store(q, pos_a, a);
  while (taken.load() < 2 && std::chrono::steady_clock::now() - stored_at <
                                 std::chrono::milliseconds(kDeliveryTimeoutMs))
    std::this_thread::yield();
  EXPECT_EQ(taken.load(), 2) << "the consumer slept on a store";
  stop.store(true);
  q.wake();
  consumer.join();
  EXPECT_EQ(got, (std::vector<msg_item_s*>{a, b}));
  msg_item_decref_release(a);
  msg_item_decref_release(b);
}

// ---- the example sender ---------------------------------------------------------------------

using PublishBinFileSenderTest = PublishTest;

TEST_F(PublishBinFileSenderTest, PublishedTicksReadBackByteForByte) {
  const std::string path = testing::TempDir() + "publish_test_ticks.bin";
  std::remove(path.c_str());
  std::string expected;
  {
    MDPublishLib pub;
    unsigned char only_ticks[256] = {0};
    only_ticks[QL_RECORD_L2SNAPSHOT] = 1;
    ASSERT_EQ(pub.set_quote_types(only_ticks, 256), 0);
    ASSERT_EQ(pub.init(kBinFilePath.c_str(), path.c_str(), nullptr, nullptr, 0), 0);
    ASSERT_EQ(pub.start(), 0);
    for (int i = 0; i < 500; ++i) {
      _L2Snapshot tick;
      std::memset(&tick, 0, sizeof tick);
      tick.type = QL_RECORD_L2SNAPSHOT;
      std::snprintf(tick.symbol, sizeof tick.symbol, "6%05d", i % 7);
      tick.time = 93000000 + i * 3000;
      tick.last = 10.0 + i * 0.01;
      tick.bid_volume[9] = i;  // the record's far end
      msg_item_s* it = msg_item_alloc(&tick, sizeof tick);
      ASSERT_EQ(pub.post_msg(it), 0);
      msg_item_decref_release(it);
      expected.append(reinterpret_cast<const char*>(&tick), sizeof tick);
    }
    _BarData bar;
    std::memset(&bar, 0, sizeof bar);
    bar.type = QL_RECORD_BAR;
    msg_item_s* bar_item = msg_item_alloc(&bar, sizeof bar);
    EXPECT_EQ(pub.post_msg(bar_item), -150);  // would spoil a tick file
    msg_item_decref_release(bar_item);
    // Stopping now could leave some ticks unsent; wait until the queue has gone out.
    for (int spins = 0; pub.queue_count() != 0 && spins < 100000; ++spins)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    pub.stop();
  }  // the sender's release closes the file
  std::ifstream in(path, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got.size(), 500u * sizeof(_L2Snapshot));
  EXPECT_TRUE(got == expected) << "file differs from the posted ticks";
  std::remove(path.c_str());
}

}  // namespace
