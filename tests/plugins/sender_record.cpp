// A test sender that records every batch it is handed, for the publisher's tests.
//
// params: "" or a list of settings separated by ';':
//   fail=N    publish returns N (e.g. fail=-5)
//   null      create returns NULL
// Besides the msg_sender_* entry points it exports sender_record_* functions through which a
// test reads what was recorded (look them up with dynlib_sym on the same library path).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "quotelab/msg_sender.h"

namespace {

// One recorded batch entry. `tag` is the int64 at payload bytes 8..15 (-1 for shorter
// payloads); `refcount` is the item's count during the call (-1 without an item).
struct RecordedEntry {
  int32_t msg_type;
  int32_t data_len;
  int64_t tag;
  int32_t refcount;
  int32_t reserved_nonzero;
  const void* item;
};

struct Recorder {
  std::string params, arg2, arg3;
  long long arg4 = 0;
  int fail_rv = 0;
  int debug = -1;  // last set_debug level, -1 before any
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<int> batch_sizes;
  std::vector<int> batch_debug;
  std::vector<RecordedEntry> entries;
};

std::atomic<int> g_live{0};

std::string text_or_empty(const char* s) {
  return s != nullptr ? s : "";
}

Recorder* as_recorder(void* instance) {
  return static_cast<Recorder*>(instance);
}

}  // namespace

MSG_SENDER_EXPORT void* msg_sender_create(const char* params, const char* arg2, const char* arg3,
                                          long long arg4) {
  const std::string p = text_or_empty(params);
  if (p.find("null") != std::string::npos) return nullptr;
  Recorder* r = new Recorder;
  r->params = p;
  r->arg2 = text_or_empty(arg2);
  r->arg3 = text_or_empty(arg3);
  r->arg4 = arg4;
  const size_t fail = p.find("fail=");
  if (fail != std::string::npos) r->fail_rv = atoi(p.c_str() + fail + 5);
  g_live.fetch_add(1);
  return r;
}

MSG_SENDER_EXPORT int msg_sender_release(void* instance) {
  delete as_recorder(instance);
  g_live.fetch_sub(1);
  return 0;
}

MSG_SENDER_EXPORT int msg_sender_publish(void* instance, msg_sender_data_s* datas, int count,
                                         int debug) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->batch_sizes.push_back(count);
  r->batch_debug.push_back(debug);
  for (int i = 0; i < count; ++i) {
    const msg_sender_data_s& d = datas[i];
    RecordedEntry e;
    e.msg_type = d.msg_type;
    e.data_len = d.data_len;
    e.tag = -1;
    if (d.data_len >= 16) memcpy(&e.tag, static_cast<const char*>(d.data) + 8, sizeof e.tag);
    e.refcount = d.item != nullptr ? msg_item_refcount(d.item) : -1;
    e.reserved_nonzero = d.reserved != 0;
    e.item = d.item;
    r->entries.push_back(e);
  }
  r->cond.notify_all();
  return r->fail_rv;
}

MSG_SENDER_EXPORT int msg_sender_set_debug(void* instance, int debug) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  r->debug = debug;
  return 0;
}

MSG_SENDER_EXPORT int msg_sender_set_param(void*, const char*, const char*) {
  return 0;
}

// ---- what the tests read ----------------------------------------------------------------------

// Instances created and not yet released, over all publishers.
MSG_SENDER_EXPORT int sender_record_live(void) {
  return g_live.load();
}

MSG_SENDER_EXPORT int sender_record_batches(void* instance) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  return static_cast<int>(r->batch_sizes.size());
}

// Size and debug argument of batch i.
MSG_SENDER_EXPORT int sender_record_batch(void* instance, int i, int* debug) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  if (debug != nullptr) *debug = r->batch_debug[i];
  return r->batch_sizes[i];
}

MSG_SENDER_EXPORT int sender_record_entries(void* instance) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  return static_cast<int>(r->entries.size());
}

// Copies entry i: msg_type, data_len, item (identity only: it may be freed by now) and
// reserved (1 when the entry's reserved field was non-zero); its tag and refcount.
MSG_SENDER_EXPORT void sender_record_entry(void* instance, int i, msg_sender_data_s* out,
                                           int64_t* tag, int* refcount) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  const RecordedEntry& e = r->entries[i];
  out->msg_type = e.msg_type;
  out->data_len = e.data_len;
  out->data = nullptr;
  out->item = const_cast<msg_item_s*>(static_cast<const msg_item_s*>(e.item));
  out->reserved = e.reserved_nonzero;
  *tag = e.tag;
  *refcount = e.refcount;
}

// Waits until at least n entries are recorded. Returns 1 when they are, 0 after timeout_ms.
MSG_SENDER_EXPORT int sender_record_wait(void* instance, int n, int timeout_ms) {
  Recorder* r = as_recorder(instance);
  std::unique_lock<std::mutex> lock(r->mutex);
  return r->cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return static_cast<int>(r->entries.size()) >= n; })
             ? 1
             : 0;
}

MSG_SENDER_EXPORT int sender_record_debug(void* instance) {
  Recorder* r = as_recorder(instance);
  std::lock_guard<std::mutex> lock(r->mutex);
  return r->debug;
}

// The create arguments: which 1 params, 2 arg2, 3 arg3; *arg4 receives arg4.
MSG_SENDER_EXPORT const char* sender_record_create_arg(void* instance, int which, long long* arg4) {
  Recorder* r = as_recorder(instance);
  if (arg4 != nullptr) *arg4 = r->arg4;
  return which == 1 ? r->params.c_str() : which == 2 ? r->arg2.c_str() : r->arg3.c_str();
}
