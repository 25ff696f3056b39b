// MDPublishLib: sender loading, the publishing thread, start, stop and posting.
#include "quotelab/md_publish_lib.h"

#include <stdio.h>
#include <string.h>

#include "quotelab/tracelog.h"

namespace KX {

namespace {

constexpr const char* kLogFile = "md_publish_lib";

// The line numbers these messages carry; hosts filter and match on them.
constexpr int kLineLoadFailed = 59;
constexpr int kLineCreateFailed = 71;
constexpr int kLineCreated = 78;
// A second init is refused under a number of its own, not one a host reads as "created".
constexpr int kLineInitRefused = 82;
constexpr int kLineThreadRunning = 162;
constexpr int kLineThreadStopped = 205;

template <typename Fn>
Fn lookup(void* lib, const char* name) {
  return reinterpret_cast<Fn>(dynlib_sym(lib, name));
}

const char* or_null_text(const char* s) {
  return s != nullptr ? s : "(null)";
}

}  // namespace

MDPublishLib::MDPublishLib(int capacity) : queue(capacity) {
  for (auto& flag : quote_types) flag.store(1, std::memory_order_relaxed);
}

MDPublishLib::~MDPublishLib() {
  stop();
  // The instance goes before the library that holds its code.
  if (sender.instance != nullptr && sender.release != nullptr) sender.release(sender.instance);
  if (sender.module != nullptr) dynlib_close(sender.module);
  // The queue, destroyed after this body, releases the items still in it, including those
  // behind a stop mark that stop() left.
}

// ---- loading ----------------------------------------------------------------------------------

int MDPublishLib::msg_sender_load(msg_sender_s* s, const char* libpath) {
  if (s == nullptr || libpath == nullptr) return -1;
  void* lib = dynlib_open(libpath);
  if (lib == nullptr) return -1;
  auto load = lookup<msg_sender_load_fn>(lib, MSG_SENDER_LOAD_NAME);
  if (load != nullptr) {
    load(s);
  } else {
    s->instance = nullptr;
    s->create = lookup<msg_sender_create_fn>(lib, MSG_SENDER_CREATE_NAME);
    s->release = lookup<msg_sender_release_fn>(lib, MSG_SENDER_RELEASE_NAME);
    s->publish = lookup<msg_sender_publish_fn>(lib, MSG_SENDER_PUBLISH_NAME);
    s->set_debug = lookup<msg_sender_set_debug_fn>(lib, MSG_SENDER_SET_DEBUG_NAME);
    s->set_param = lookup<msg_sender_set_param_fn>(lib, MSG_SENDER_SET_PARAM_NAME);
  }
  if (s->sender_name == nullptr) s->sender_name = "";
  s->module = lib;
  if (s->create == nullptr || s->publish == nullptr) {
    dynlib_close(lib);
    // Every pointer the plug-in handed over points into the library just unloaded.
    memset(s, 0, sizeof *s);
    s->sender_name = "";
    return QL_SENDER_INCOMPLETE;
  }
  return 0;
}

int MDPublishLib::init(const char* libpath, const char* params, const char* arg2, const char* arg3,
                       long long arg4) {
  if (ready()) {
    tl_log(tl_log_get_global(), "KX::MDPublishLib::init", kLogFile, kLineInitRefused, 1,
           "mdpublish init(%s) refused: sender '%s' already initialised", or_null_text(libpath),
           sender.sender_name);
    return -1;
  }
  msg_sender_s table;
  memset(&table, 0, sizeof table);
  int rv = msg_sender_load(&table, libpath);
  if (rv != 0) {
    tl_log(tl_log_get_global(), "KX::MDPublishLib::init", kLogFile, kLineLoadFailed, 1,
           "mdpublish load libpath='%s' failed rv=%d", or_null_text(libpath), rv);
    return rv;
  }
  rv = init(&table, params, arg2, arg3, arg4);
  // The publisher took nothing: the library loaded here is ours to unload.
  if (rv != 0) dynlib_close(table.module);
  return rv;
}

int MDPublishLib::init(msg_sender_s* table, const char* params, const char* arg2, const char* arg3,
                       long long arg4) {
  if (table == nullptr) return -1;
  if (ready()) {
    tl_log(tl_log_get_global(), "KX::MDPublishLib::init", kLogFile, kLineInitRefused, 1,
           "mdpublish init refused: sender '%s' already initialised", sender.sender_name);
    return -1;
  }
  if (table->create == nullptr || table->publish == nullptr) return QL_SENDER_INCOMPLETE;
  void* instance = table->create(params, arg2, arg3, arg4);
  table->instance = instance;
  if (instance == nullptr) {
    tl_log(tl_log_get_global(), "KX::MDPublishLib::init", kLogFile, kLineCreateFailed, 1,
           "mdpublish msg_sender_create(%s) failed", or_null_text(params));
    return -1;
  }
  const int level = debug.load(std::memory_order_relaxed);
  if (table->set_debug != nullptr && level != 0) table->set_debug(instance, level);
  tl_log(tl_log_get_global(), "KX::MDPublishLib::init", kLogFile, kLineCreated, 3,
         "mdpublish create instance=%p with params=%s", instance, or_null_text(params));
  sender = *table;
  // A table filled in-process may leave the name NULL; the thread's messages print it.
  if (sender.sender_name == nullptr) sender.sender_name = "";
  initialised.store(true, std::memory_order_release);
  return 0;
}

// ---- thread control -----------------------------------------------------------------------

int MDPublishLib::start() {
  if (!ready()) return -1;
  if (thread_mode.load(std::memory_order_relaxed) == 0) return 0;
  if (running.exchange(1, std::memory_order_acq_rel) != 0) return 1;
  if (StartThread() < 0) {
    running.exchange(0, std::memory_order_acq_rel);
    return -1;
  }
  return 0;
}

int MDPublishLib::stop() {
  running.exchange(0, std::memory_order_acq_rel);
  // A thread started in thread mode is stopped even if the mode was switched afterwards.
  if (thread_mode.load(std::memory_order_relaxed) != 0 || IsThreadStarted()) {
    // The stop mark wakes the thread; when the queue is full there is none, so wake it.
    if (!queue.push(nullptr)) queue.wake();
    StopThread();
  }
  queue.drain(false);
  return 0;
}

void MDPublishLib::Run() {
  const int d0 = debug.load(std::memory_order_relaxed);
  tl_log(tl_log_get_global(), "KX::MDPublishLib::Run", kLogFile, kLineThreadRunning, 4,
         "mdpublish[%s] thread running=%d, debug=%d...", sender.sender_name,
         running.load(std::memory_order_relaxed), d0);
  msg_sender_data_s batch[kMaxBatch];
  memset(batch, 0, sizeof batch);
  msg_item_s* items[kMaxBatch];
  while (running.load(std::memory_order_acquire) != 0) {
    bool stop_mark = false;
    const int n = queue.pop_batch(items, kMaxBatch, &stop_mark);
    if (n > 0) {
      publish_batch(batch, items, n, d0);
    } else if (!stop_mark) {
      queue.wait(kIdleWaitMs);
    }
  }
  tl_log(tl_log_get_global(), "KX::MDPublishLib::Run", kLogFile, kLineThreadStopped, 4,
         "mdpublish thread stopped.");
}

void MDPublishLib::publish_batch(msg_sender_data_s* batch, msg_item_s** items, int n, int d0) {
  // Each item's header line was last written by its producer and is written here again by the
  // release: fetch it once, for writing, and all of them at once.
  for (int i = 0; i < n; ++i) detail::prefetch_for_write(items[i]);
  for (int i = 0; i < n; ++i) {
    msg_item_s* item = items[i];
    void* rec = msg_item_data(item);
    batch[i].msg_type = static_cast<int32_t>(*static_cast<const signed char*>(rec));
    batch[i].data_len = msg_item_data_len(item);
    batch[i].data = rec;
    batch[i].item = item;
  }
  const int level = debug.load(std::memory_order_relaxed);
  if (level > 2) {
    printf("MDPublishLib: poped num_msg=%d from queue, now count queue=%d, pubed=%d\n", n,
           queue.get_count(), 0);
    fflush(stdout);
  }
  const int rv = sender.publish(sender.instance, batch, n, d0);
  if (rv < 0 && level != 0) {
    printf("MDPublishLib: call msg_sender_publish rv=%d by num_msg=%d, queue_count=%d\n", rv, n,
           queue.get_count());
    fflush(stdout);
  }
  // A failed batch is not retried: its items are released like those of a sent one.
  for (int i = 0; i < n; ++i) msg_item_decref_release(items[i]);
}

// ---- publishing -----------------------------------------------------------------------------

int MDPublishLib::post_msg(msg_item_s* item) {
  // The header is read here and written by the reference taken below: fetch it for writing.
  if (item != nullptr) detail::prefetch_for_write(item);
  if (msg_item_data_len(item) <= 0) return -1;  // NULL item, or no record byte to read
  if (!ready()) return -1;
  void* rec = msg_item_data(item);
  if (quote_types[*static_cast<const unsigned char*>(rec)].load(std::memory_order_relaxed) == 0)
    return QL_REFUSED;
  if (thread_mode.load(std::memory_order_relaxed) == 0) {
    msg_sender_data_s entry;
    entry.msg_type = msg_item_type(item);
    entry.data_len = msg_item_data_len(item);
    entry.data = rec;
    entry.item = nullptr;
    entry.reserved = 0;
    return sender.publish(sender.instance, &entry, 1, 0);
  }
  // Claim first: a full queue is refused without touching the item's reference count, which the
  // publishing thread may be changing at that moment.
  uint32_t pos;
  if (!queue.claim(&pos)) return QL_QUEUE_FULL;
  msg_item_addref(item, 1);
  queue.store(pos, item);
  return 0;
}

int MDPublishLib::do_send_datas(msg_sender_data_s* datas, int count) {
  if (!ready() || count < 0 || (datas == nullptr && count > 0)) return -1;
  return sender.publish(sender.instance, datas, count, 0);
}

// ---- settings -----------------------------------------------------------------------------

int MDPublishLib::set_quote_type(unsigned char type, bool on) {
  quote_types[type].store(on ? 1 : 0, std::memory_order_relaxed);
  return 0;
}

int MDPublishLib::set_quote_types(const unsigned char* flags, int n) {
  if (n < 0 || n > 256 || (flags == nullptr && n > 0)) return -1;
  for (int i = 0; i < n; ++i) quote_types[i].store(flags[i], std::memory_order_relaxed);
  return 0;
}

bool MDPublishLib::can_send(unsigned char type) const {
  return quote_types[type].load(std::memory_order_relaxed) != 0;
}

void MDPublishLib::set_thread_mode(int mode) {
  thread_mode.store(mode, std::memory_order_relaxed);
}

void MDPublishLib::set_debug(int level) {
  debug.store(level, std::memory_order_relaxed);
}

const char* MDPublishLib::get_sender_name() const {
  return ready() ? sender.sender_name : nullptr;
}

}  // namespace KX
