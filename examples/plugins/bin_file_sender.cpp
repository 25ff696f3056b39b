// bin_file_sender: a sender plug-in for KX::MDPublishLib that appends every published record
// to a binary file.
//
// The file is a plain sequence of records, byte for byte, with no header: publish only
// _L2Snapshot ticks (or only bars) to one file and KX::DataReplayBin replays it as a tick (or
// bar) file. The publisher's type filter does the selecting, for example
//
//   KX::MDPublishLib pub;
//   unsigned char only_ticks[256] = {0};
//   only_ticks[QL_RECORD_L2SNAPSHOT] = 1;
//   pub.set_quote_types(only_ticks, 256);
//   pub.init("/path/to/bin_file_sender.so", "/data/20230105/ticks.bin", nullptr, nullptr, 0);
//   pub.start();
//   ... pub.post_msg(item) for each tick ...
//   pub.stop();
//
// params is the path of the file; it is opened for appending by create and closed by release.
// Each batch is written and flushed in one go, so the file holds whole batches at any time.
//
// Writing your own sender from this one:
//   1. Copy this file and rename the Sink structure to your sender's state.
//   2. msg_sender_create: read your settings from params (arg2, arg3 and arg4 reach you
//      unchanged from MDPublishLib::init) and return a new instance, or NULL on failure (init
//      then returns -1 and logs the params).
//   3. msg_sender_publish: deliver datas[0 .. count-1]. Each entry's `data` points at
//      `data_len` bytes of one record whose type code is `msg_type`. The record is only yours
//      for the call: copy it, or take a reference on `item` (thread mode; NULL in direct mode)
//      with msg_item_addref and release it later with msg_item_decref_release. Return a
//      negative value on failure; the publisher does not retry. In thread mode publish is
//      called from the publishing thread only; in direct mode from the posting threads,
//      possibly several at once: lock inside if your sender is used that way.
//   4. msg_sender_release frees the instance; it runs before the library is unloaded.
//   5. msg_sender_set_debug is optional; msg_sender_set_param is optional and never called
//      by the publisher itself.
//   6. Build it as a module library (add_library(name MODULE ...)) and pass its path to init.
#include <stdio.h>

#include <mutex>

#include "quotelab/msg_sender.h"

namespace {

struct Sink {
  FILE* file = nullptr;
  int debug = 0;
  std::mutex mutex;  // direct mode may publish from several threads at once
};

}  // namespace

MSG_SENDER_EXPORT void* msg_sender_create(const char* params, const char*, const char*, long long) {
  if (params == nullptr || params[0] == '\0') return nullptr;
  FILE* file = fopen(params, "ab");
  if (file == nullptr) return nullptr;
  Sink* sink = new Sink;
  sink->file = file;
  return sink;
}

MSG_SENDER_EXPORT int msg_sender_release(void* instance) {
  Sink* sink = static_cast<Sink*>(instance);
  if (sink == nullptr) return 0;
  fclose(sink->file);
  delete sink;
  return 0;
}

MSG_SENDER_EXPORT int msg_sender_publish(void* instance, msg_sender_data_s* datas, int count,
                                         int debug) {
  Sink* sink = static_cast<Sink*>(instance);
  if (sink == nullptr || (datas == nullptr && count > 0)) return -1;
  std::lock_guard<std::mutex> lock(sink->mutex);
  for (int i = 0; i < count; ++i) {
    const size_t len = datas[i].data_len > 0 ? static_cast<size_t>(datas[i].data_len) : 0;
    if (fwrite(datas[i].data, 1, len, sink->file) != len) return -1;
  }
  if (fflush(sink->file) != 0) return -1;
  if (debug > 1 || sink->debug > 1) fprintf(stderr, "bin_file_sender: wrote %d records\n", count);
  return count;
}

MSG_SENDER_EXPORT int msg_sender_set_debug(void* instance, int debug) {
  Sink* sink = static_cast<Sink*>(instance);
  if (sink != nullptr) sink->debug = debug;
  return 0;
}
