// The publisher: sender loading, init, the type filter, direct and thread mode, the queue's
// capacity, stop and destruction, the thread's wake-up, and totals under contention.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quotelab/data_replay.h"
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

  void open() {
    lib = dynlib_open(kRecordPath.c_str());
    ASSERT_NE(lib, nullptr) << dynlib_error();
#define QL_BIND(fn) fn = reinterpret_cast<decltype(fn)>(dynlib_sym(lib, "sender_record_" #fn))
    QL_BIND(live), QL_BIND(batches), QL_BIND(batch), QL_BIND(entries), QL_BIND(entry);
    QL_BIND(wait), QL_BIND(debug), QL_BIND(create_arg);
#undef QL_BIND
    ASSERT_TRUE(live && batches && batch && entries && entry && wait && debug && create_arg);
  }
  // Entry `i` of what instance `inst` was handed: the sender data, the tag, the refcount then.
  struct Entry {
    msg_sender_data_s d;
    int64_t tag;
    int refcount;
  };
  Entry at(void* inst, int i) {
    Entry e{};
    entry(inst, i, &e.d, &e.tag, &e.refcount);
    return e;
  }
};

// Holds the test sender library open and checks at the end that every
// item and every sender instance made during the test is gone again.
class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    items_at_start_ = msg_item_live_count();
    ASSERT_NO_FATAL_FAILURE(rec_.open());
    senders_at_start_ = rec_.live();
  }
  void TearDown() override {
    for (msg_item_s* item : held_) msg_item_decref_release(item);
    EXPECT_EQ(msg_item_live_count(), items_at_start_) << "items leaked or lost";
    EXPECT_EQ(rec_.live(), senders_at_start_) << "sender instances leaked or released twice";
    dynlib_close(rec_.lib);
  }

  // A new item the test holds one reference on until TearDown.
  msg_item_s* item(unsigned char type, int64_t tag) {
    held_.push_back(make_item(type, tag));
    return held_.back();
  }
  // `n` items tagged 0 .. n-1, each posted (and accepted): of type 2 but item `odd` of 0xF0.
  std::vector<msg_item_s*> post_n(MDPublishLib& pub, int n, int odd = -1) {
    std::vector<msg_item_s*> posted;
    for (int i = 0; i < n; ++i) {
      posted.push_back(item(i == odd ? 0xF0 : 2, i));
      EXPECT_EQ(pub.post_msg(posted.back()), 0) << i;
    }
    return posted;
  }
  // Loads the test sender into a table and initialises `pub` with it; returns the instance.
  void* init_record(MDPublishLib& pub, const char* params = "") {
    msg_sender_s table{};
    EXPECT_EQ(MDPublishLib::msg_sender_load(&table, kRecordPath.c_str()), 0);
    EXPECT_EQ(pub.init(&table, params, "arg2", "arg3", 42), 0);
    return table.instance;
  }

  RecordApi rec_;
  std::vector<msg_item_s*> held_;
  int64_t items_at_start_ = 0;
  int senders_at_start_ = 0;
};

TEST_F(PublishTest, LoadLetsThePluginFillTheTableAndRefusesAnIncompleteOne) {
  msg_sender_s t{};
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kLoadPath.c_str()), 0);
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

  // A library without a publish entry is refused and unloaded.
  msg_sender_s u{};
  EXPECT_EQ(MDPublishLib::msg_sender_load(&u, kNoPublishPath.c_str()), QL_SENDER_INCOMPLETE);
  // Nothing that points into the unloaded library is left behind.
  EXPECT_TRUE(u.module == nullptr && u.create == nullptr && u.release == nullptr);
  EXPECT_FALSE(is_loaded(kNoPublishPath));

  MDPublishLib fresh;
  EXPECT_EQ(fresh.init(kNoPublishPath.c_str(), "p", nullptr, nullptr, 0), QL_SENDER_INCOMPLETE);
  EXPECT_FALSE(is_loaded(kNoPublishPath));
  EXPECT_EQ(fresh.get_sender_name(), nullptr);

  EXPECT_EQ(MDPublishLib::msg_sender_load(&u, QL_PLUGIN_DIR "/no_such_sender.so"), QL_ERROR);
  EXPECT_EQ(MDPublishLib::msg_sender_load(nullptr, kRecordPath.c_str()), QL_ERROR);
  EXPECT_EQ(MDPublishLib::msg_sender_load(&u, nullptr), QL_ERROR);
  EXPECT_EQ(fresh.init(static_cast<const char*>(nullptr), "", nullptr, nullptr, 0), QL_ERROR);
}

// The line numbers of the publisher's log messages, collected by a sink for one test.
struct LogLines {
  std::vector<std::pair<int, std::string>> lines;  // line, text
  LogLines() { tl_log_set_sink(nullptr, &LogLines::sink, this); }
  ~LogLines() { tl_log_set_sink(nullptr, nullptr, nullptr); }
  static void sink(void* user, int, const char*, const char* file, int line, const char* text) {
    if (std::string(file) == "md_publish_lib") {
      static_cast<LogLines*>(user)->lines.emplace_back(line, text);
    }
  }
  int line_of(const std::string& text_part) const {
    for (const auto& l : lines) {
      if (l.second.find(text_part) != std::string::npos) return l.first;
    }
    return 0;
  }
};

TEST_F(PublishTest, RefusedInitsLeakNothingAndKeepTheFirstSender) {
  LogLines log;
  MDPublishLib pub;
  pub.set_thread_mode(0);
  // A failing create: the table stays the caller's and nothing stays loaded.
  msg_sender_s t{};
  ASSERT_EQ(MDPublishLib::msg_sender_load(&t, kRecordPath.c_str()), 0);
  EXPECT_EQ(pub.init(&t, "null", nullptr, nullptr, 0), QL_ERROR);
  EXPECT_EQ(t.instance, nullptr);
  EXPECT_EQ(pub.start(), QL_ERROR);
  EXPECT_EQ(pub.init(kLoadPath.c_str(), "null", nullptr, nullptr, 0), QL_ERROR);
  EXPECT_FALSE(is_loaded(kLoadPath)) << "a failed init left its library loaded";

  // A second init, in either form, is refused before create is called or anything loaded.
  void* first = init_record(pub);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pub.init(&t, "", nullptr, nullptr, 0), QL_ERROR);
  EXPECT_EQ(t.instance, nullptr);
  dynlib_close(t.module);
  EXPECT_EQ(pub.init(kLoadPath.c_str(), "", nullptr, nullptr, 0), QL_ERROR);
  EXPECT_FALSE(is_loaded(kLoadPath));
  EXPECT_EQ(rec_.live(), senders_at_start_ + 1);
  EXPECT_EQ(pub.post_msg(item(2, 7)), 0);  // the first sender still serves
  EXPECT_EQ(rec_.entries(first), 1);
  // The refusal has its own line number: a host matching line 78 counts only creations.
  EXPECT_EQ(log.line_of("create instance="), 78);
  EXPECT_EQ(log.line_of("init refused"), 82);
  EXPECT_EQ(log.line_of("init(" + kLoadPath + ") refused"), 82);
  // TearDown checks that the one instance is released exactly once.
}

// Before init nothing works; after it an empty payload, a null item or a switched-off type is
// refused. In both modes, and without taking a reference.
TEST_F(PublishTest, RefusalsTakeNoReferenceAndQueueNothing) {
  for (int mode : {1, 0}) {
    MDPublishLib pub;
    pub.set_thread_mode(mode);
    msg_item_s* it = item(2, 1);
    EXPECT_EQ(pub.start(), QL_ERROR);
    EXPECT_EQ(pub.post_msg(it), QL_ERROR);
    EXPECT_EQ(msg_item_refcount(it), 1);
    msg_sender_data_s d{};
    EXPECT_EQ(pub.do_send_datas(&d, 1), QL_ERROR);
    EXPECT_EQ(pub.stop(), 0);
    void* inst = init_record(pub);
    msg_item_s* empty = msg_item_alloc(nullptr, 0);
    ASSERT_NE(empty, nullptr);
    held_.push_back(empty);
    EXPECT_EQ(pub.post_msg(empty), QL_ERROR);
    EXPECT_EQ(pub.post_msg(nullptr), QL_ERROR);
    EXPECT_EQ(msg_item_refcount(empty), 1);
    EXPECT_EQ(pub.queue_count(), 0);
    EXPECT_EQ(rec_.entries(inst), 0);
  }
  // A table the caller fills needs create and publish: without publish nothing is called.
  static int creates = 0;
  msg_sender_s t{};
  t.create = [](const char*, const char*, const char*, long long) -> void* { return &++creates; };
  MDPublishLib pub;
  EXPECT_EQ(pub.init(&t, "", nullptr, nullptr, 0), QL_SENDER_INCOMPLETE);
  EXPECT_EQ(pub.init(static_cast<msg_sender_s*>(nullptr), "", nullptr, nullptr, 0), QL_ERROR);
  EXPECT_EQ(creates, 0);

  // Switched-off types are refused and nothing is queued.
  init_record(pub);
  EXPECT_EQ(pub.set_quote_type(2, false), 0);
  msg_item_s* tick = item(2, 1);
  EXPECT_EQ(pub.post_msg(tick), QL_REFUSED);
  EXPECT_EQ(pub.queue_count(), 0);
  EXPECT_EQ(msg_item_refcount(tick), 1);
  EXPECT_EQ(pub.post_msg(item(3, 2)), 0);
  EXPECT_EQ(pub.queue_count(), 1);
  pub.set_thread_mode(0);
  EXPECT_EQ(pub.post_msg(tick), QL_REFUSED);

  // A flag array indexed by type code; a count beyond 256 changes nothing.
  unsigned char flags[257] = {0};
  EXPECT_EQ(pub.set_quote_types(flags, 257), QL_ERROR);
  EXPECT_EQ(pub.set_quote_types(nullptr, 3), QL_ERROR);
  EXPECT_TRUE(pub.can_send(0));
  EXPECT_EQ(pub.set_quote_types(flags, 3), 0);
  EXPECT_FALSE(pub.can_send(0) || pub.can_send(2));
  EXPECT_TRUE(pub.can_send(3) && pub.can_send(255));
}

TEST_F(PublishTest, DirectModeCallsTheSenderAtOnceAndTakesNoReference) {
  MDPublishLib pub;
  pub.set_thread_mode(0);
  pub.set_debug(4);
  void* inst = init_record(pub, "fail=-5");
  msg_item_s* it = item(0xF0, 77);
  EXPECT_EQ(pub.post_msg(it), -5);  // the sender's result
  EXPECT_EQ(msg_item_refcount(it), 1);
  EXPECT_EQ(pub.queue_count(), 0);
  ASSERT_EQ(rec_.entries(inst), 1);
  const RecordApi::Entry e = rec_.at(inst, 0);
  EXPECT_EQ(e.d.msg_type, 0xF0);  // the header's 16-bit type, widened without sign
  EXPECT_EQ(e.d.data_len, 16);
  EXPECT_EQ(e.d.item, nullptr);
  EXPECT_EQ(e.tag, 77);

  // do_send_datas passes a caller's batch through, with debug 0 like post_msg.
  unsigned char rec[16] = {3};
  msg_sender_data_s two[2];
  for (auto& e : two) e = {3, 16, rec, nullptr, 0};
  EXPECT_EQ(pub.do_send_datas(two, 2), -5);
  EXPECT_EQ(pub.do_send_datas(two, -1), QL_ERROR);
  EXPECT_EQ(pub.do_send_datas(nullptr, 1), QL_ERROR);
  ASSERT_EQ(rec_.batches(inst), 2);
  int debug = -1;
  EXPECT_EQ(rec_.batch(inst, 1, &debug), 2);
  EXPECT_EQ(debug, 0);
}

TEST_F(PublishTest, QueuedItemsGoOutInBatchesOf128InPostingOrder) {
  MDPublishLib pub;
  pub.set_debug(1);  // reaches the sender when it is created
  void* inst = init_record(pub, "p1");
  long long arg4 = 0;
  EXPECT_STREQ(rec_.create_arg(inst, 1, &arg4), "p1");
  EXPECT_STREQ(rec_.create_arg(inst, 3, nullptr), "arg3");
  EXPECT_EQ(arg4, 42);
  EXPECT_EQ(rec_.debug(inst), 1);
  const std::vector<msg_item_s*> posted = post_n(pub, 300, 5);
  EXPECT_EQ(pub.queue_count(), 300);
  ASSERT_EQ(pub.start(), 0);
  ASSERT_EQ(rec_.wait(inst, 300, kBulkTimeoutMs), 1);
  EXPECT_EQ(pub.stop(), 0);

  ASSERT_EQ(rec_.batches(inst), 3);
  int debug = -1;
  for (int b = 0; b < 3; ++b) EXPECT_EQ(rec_.batch(inst, b, &debug), b < 2 ? 128 : 44);
  EXPECT_EQ(debug, 1);  // the level the thread started with
  for (int i = 0; i < 300; ++i) {
    const RecordApi::Entry e = rec_.at(inst, i);
    EXPECT_EQ(e.tag, i);
    EXPECT_EQ(e.d.item, posted[i]);
    EXPECT_EQ(e.d.msg_type, i == 5 ? -16 : 2);  // first byte read as a signed byte
    EXPECT_EQ(e.d.data_len, 16);
    EXPECT_EQ(e.refcount, 2);  // the publisher holds its reference during the call
    EXPECT_EQ(msg_item_refcount(posted[i]), 1);  // and has released it since
  }
}

TEST_F(PublishTest, TrickleIsDeliveredWithoutWaitingOutTheIdleSleep) {
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
}

TEST_F(PublishTest, StartStopAndRestart) {
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

TEST_F(PublishTest, FailedBatchIsPrintedWithDebugAndReleasedAllTheSame) {
  MDPublishLib pub;
  pub.set_debug(3);
  void* inst = init_record(pub, "fail=-2");
  std::vector<msg_item_s*> posted = post_n(pub, 3);
  testing::internal::CaptureStdout();
  ASSERT_EQ(pub.start(), 0);
  ASSERT_EQ(rec_.wait(inst, 3, kBulkTimeoutMs), 1);
  pub.stop();
  const std::string out = testing::internal::GetCapturedStdout();
  // The queue count is a snapshot: stop's mark may already be in the queue.
  EXPECT_TRUE(testing::internal::RE::FullMatch(
      out,
      "MDPublishLib: poped num_msg=3 from queue, now count queue=0, pubed=0\n"
      "MDPublishLib: call msg_sender_publish rv=-2 by num_msg=3, queue_count=[01]\n"))
      << out;
  EXPECT_EQ(rec_.batches(inst), 1);  // not retried
  for (msg_item_s* it : posted) EXPECT_EQ(msg_item_refcount(it), 1);
}

#if defined(QL_UNDER_TSAN)
constexpr int kStressItems = 100000;  // ThreadSanitizer runs an order of magnitude slower
#else
constexpr int kStressItems = 1000000;
#endif

TEST_F(PublishTest, FourProducersEveryItemDeliveredExactlyOnce) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = kStressItems / kProducers;
  MDPublishLib pub;
  void* inst = init_record(pub);
  ASSERT_EQ(pub.start(), 0);
  auto producer = [&](int id) {
    for (int k = 0; k < kPerProducer; ++k) {
      msg_item_s* it = make_item(2, static_cast<int64_t>(id) * kPerProducer + k);
      int rv;
      while ((rv = pub.post_msg(it)) == QL_QUEUE_FULL) {
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

  ASSERT_EQ(rec_.entries(inst), kStressItems);
  std::vector<unsigned char> seen(kStressItems, 0);
  std::vector<int64_t> last(kProducers, -1);
  for (int i = 0; i < kStressItems; ++i) {
    const int64_t tag = rec_.at(inst, i).tag;
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

TEST_F(PublishTest, CapacityRisesToAPowerOfTwoAndAFullQueueRefuses) {
  const std::pair<int, uint32_t> cases[] = {{1000, 1024}, {1025, 2048}, {3, 4},
                                            {1, 1},       {0, 0},       {-5, 0}};
  for (const auto& c : cases) EXPECT_EQ(BlockQueue::round_capacity(c.first), c.second) << c.first;
  // Beyond what a queue may hold: refuses everything rather than failing later.
  EXPECT_EQ(MDPublishLib(0x7fffffff).queue_capacity(), 0u);
  struct Case {
    int requested, holds;
  };
  for (const Case c : {Case{1000, 1024}, Case{1, 1}, Case{0, 0}}) {
    MDPublishLib pub(c.requested);
    init_record(pub);
    post_n(pub, c.holds);
    msg_item_s* extra = item(2, c.holds);
    EXPECT_EQ(pub.post_msg(extra), QL_QUEUE_FULL) << c.requested;
    EXPECT_EQ(msg_item_refcount(extra), 1);
    EXPECT_EQ(pub.queue_count(), c.holds);
    EXPECT_EQ(pub.start(), 0);
    EXPECT_EQ(pub.stop(), 0);  // no room for a stop mark: the thread is woken all the same
  }
  for (msg_item_s* it : held_) EXPECT_EQ(msg_item_refcount(it), 1);
}

TEST_F(PublishTest, NothingIsTakenBeforeItIsStoredOnAnyPass) {
  // Capacity 1 reuses its one cell at every position; 4 wraps with a partly filled ring.
  for (int capacity : {1, 4}) {
    BlockQueue q(capacity);
    msg_item_s* it = item(2, 0);  // the queue holds copies of this pointer, no references
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
  }
}

TEST_F(PublishTest, StopMarkEndsABatchAndDestructionReleasesItemsBehindIt) {
  msg_item_s* items[3] = {item(2, 0), item(2, 1), item(2, 2)};
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
}

TEST_F(PublishTest, ConsumerNeverSleepsOnAClaimedCell) {
  // Producer A claims position 0 and stalls; producer B stores position 1 and wakes the
  // consumer, who can take nothing (position 0 is not stored). A consumer that went back to
  // sleep on that, signalled only when an item arrives in an empty queue, would miss A's
  // store (the queue was not empty then) and wait out its full idle sleep.
  msg_item_s* a = item(2, 1);
  msg_item_s* b = item(2, 2);
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
}

// The example sender's file replays through a bin replay, every posted tick byte for byte.
TEST(PublishExampleSender, PublishedTicksReplayFromItsFile) {
  // Named for this process: the test programs of two builds may run at once.
  const std::string path =
      testing::TempDir() + "publish_test_ticks_" + std::to_string(getpid()) + ".bin";
  std::remove(path.c_str());
  std::vector<_L2Snapshot> ticks(500);
  {
    MDPublishLib pub;
    ASSERT_EQ(pub.init(QL_PLUGIN_DIR "/bin_file_sender.so", path.c_str(), nullptr, nullptr, 0), 0);
    ASSERT_EQ(pub.start(), 0);
    for (size_t i = 0; i < ticks.size(); ++i) {
      _L2Snapshot& tick = ticks[i];
      std::memset(&tick, 0, sizeof tick);
      tick.type = QL_RECORD_L2SNAPSHOT;
      std::snprintf(tick.symbol, sizeof tick.symbol, "6%05d", (int)i % 7);
      tick.time = 93000000 + (int)i * 3000;
      tick.bid_volume[9] = (int)i;  // the record's far end
      msg_item_s* it = msg_item_alloc(&tick, sizeof tick);
      ASSERT_EQ(pub.post_msg(it), 0);
      msg_item_decref_release(it);
    }
    for (int spins = 0; pub.queue_count() != 0 && spins < 100000; ++spins)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    pub.stop();
  }  // the sender's release closes the file
  KX::DataReplayBin replay("tick", "", path.c_str());
  ASSERT_EQ(replay.init(0), 0);  // day 0: every record
  _L2Snapshot got;
  unsigned char type = 0;
  for (const _L2Snapshot& tick : ticks) {
    ASSERT_EQ(replay.next(&got, sizeof got, &type), (int)sizeof got);
    ASSERT_EQ(std::memcmp(&got, &tick, sizeof got), 0);
  }
  EXPECT_EQ(replay.next(&got, sizeof got, &type), 0);
  std::remove(path.c_str());
}

}  // namespace
