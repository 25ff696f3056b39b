// A test sender that exports only msg_sender_load and fills the function table itself.
// Its instance counts the records published to it (sender_load_published).
#include <atomic>
#include <cstring>

#include "quotelab/msg_sender.h"

namespace {

struct Counter {
  std::atomic<int> records{0};
};

// params "null": the instance cannot be made.
void* create(const char* params, const char*, const char*, long long) {
  if (params != nullptr && std::strcmp(params, "null") == 0) return nullptr;
  return new Counter;
}

int release(void* instance) {
  delete static_cast<Counter*>(instance);
  return 0;
}

int publish(void* instance, msg_sender_data_s*, int count, int) {
  static_cast<Counter*>(instance)->records.fetch_add(count);
  return 0;
}

}  // namespace

MSG_SENDER_EXPORT int msg_sender_load(msg_sender_s* sender) {
  sender->sender_name = "sender_load";
  sender->instance = nullptr;
  sender->create = create;
  sender->release = release;
  sender->publish = publish;
  sender->set_debug = nullptr;
  sender->set_param = nullptr;
  return 0;
}

MSG_SENDER_EXPORT int sender_load_published(void* instance) {
  return static_cast<Counter*>(instance)->records.load();
}
