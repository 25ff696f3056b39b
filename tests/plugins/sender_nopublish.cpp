// A broken test sender: it exports msg_sender_create and msg_sender_release but no
// msg_sender_publish, so loading it must fail (QL_SENDER_INCOMPLETE) and unload it again. Kept free
// of C++ library state so that the library really unloads.
#include "quotelab/msg_sender.h"

static int g_instance;

MSG_SENDER_EXPORT void* msg_sender_create(const char*, const char*, const char*, long long) {
  return &g_instance;
}

MSG_SENDER_EXPORT int msg_sender_release(void*) {
  return 0;
}
