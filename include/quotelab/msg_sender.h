/* quotelab: the sender plug-in interface.
 *
 * A sender is a library loaded at run time by KX::MDPublishLib (md_publish_lib.h) that delivers
 * published market-data records to wherever the host wants them. The publisher reaches it
 * through a table of C function pointers, msg_sender_s, filled either by looking up the
 * plug-in's exports by name (MSG_SENDER_CREATE_NAME, ...) or by the plug-in's own
 * msg_sender_load, which fills the table itself. Records reach the sender in batches of
 * msg_sender_data_s entries.
 *
 * Both structures are shared with plug-ins built separately, so their layouts are fixed
 * (64-bit platforms): eight 8-byte slots for msg_sender_s, 32 bytes for msg_sender_data_s.
 * Usable from C99 and C++.
 *
 * Writing a sender: export, with C linkage and default visibility (MSG_SENDER_EXPORT),
 *   void* msg_sender_create(const char* params, const char* arg2, const char* arg3,
 *                           long long arg4);
 *   int   msg_sender_publish(void* instance, msg_sender_data_s* datas, int count, int debug);
 * and optionally msg_sender_release, msg_sender_set_debug, msg_sender_set_param; or export
 * msg_sender_load alone and fill the table in it. examples/plugins/bin_file_sender.cpp is a
 * complete sender to copy.
 */
#ifndef QUOTELAB_MSG_SENDER_H
#define QUOTELAB_MSG_SENDER_H

#include <stddef.h>
#include <stdint.h>

#include "quotelab/export.h"
#include "quotelab/utilcore.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ============================================================================================
 * Batch entries
 *
 * One entry per record of a batch. In thread mode `msg_type` is the record's first byte (its
 * type code) read as a signed byte and widened, and `item` is the message item carrying the
 * record: the publisher holds a reference on it for the whole publish call and releases it
 * afterwards, so a sender that keeps the record beyond the call takes its own reference
 * (msg_item_addref) or copies the bytes. In direct mode `msg_type` is the item header's 16-bit
 * type (widened without sign) and `item` is NULL. `data` points at `data_len` bytes of record.
 * ========================================================================================== */
typedef struct msg_sender_data_s {
  int32_t msg_type;  /*  0 */
  int32_t data_len;  /*  4: payload bytes */
  void* data;        /*  8: the record */
  msg_item_s* item;  /* 16: the item in thread mode, NULL in direct mode */
  int64_t reserved;  /* 24: always 0 */
} msg_sender_data_s; /* 32 */

/* ============================================================================================
 * Entry points
 *
 * create returns the sender instance, NULL on failure. publish returns a negative value on
 * failure (the publisher does not retry a failed batch). release, set_debug and load return
 * values the publisher ignores. set_param is looked up and kept for hosts; the publisher never
 * calls it.
 * ========================================================================================== */
struct msg_sender_s;
typedef void* (*msg_sender_create_fn)(const char* params, const char* arg2, const char* arg3,
                                      long long arg4);
typedef int (*msg_sender_release_fn)(void* instance);
typedef int (*msg_sender_publish_fn)(void* instance, msg_sender_data_s* datas, int count,
                                     int debug);
typedef int (*msg_sender_set_debug_fn)(void* instance, int debug);
typedef int (*msg_sender_set_param_fn)(void* instance, const char* name, const char* value);
typedef int (*msg_sender_load_fn)(struct msg_sender_s* sender);

/* Export names looked up in a sender library. */
#define MSG_SENDER_LOAD_NAME "msg_sender_load"
#define MSG_SENDER_CREATE_NAME "msg_sender_create"
#define MSG_SENDER_RELEASE_NAME "msg_sender_release"
#define MSG_SENDER_PUBLISH_NAME "msg_sender_publish"
#define MSG_SENDER_SET_DEBUG_NAME "msg_sender_set_debug"
#define MSG_SENDER_SET_PARAM_NAME "msg_sender_set_param"

/* Marks a plug-in's entry points: C linkage, visible from outside the library. */
#ifdef __cplusplus
#define MSG_SENDER_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define MSG_SENDER_EXPORT __attribute__((visibility("default")))
#endif

/* ============================================================================================
 * The function table
 *
 * `sender_name` is never NULL once loaded ("" when the plug-in names none); `module` is the
 * library handle (dynlib_open) or NULL for a table filled in-process; `instance` is what
 * create returned. Whoever holds a table with an instance releases the instance before it
 * unloads the module.
 * ========================================================================================== */
typedef struct msg_sender_s {
  const char* sender_name;           /*  0 */
  void* module;                      /*  8 */
  void* instance;                    /* 16 */
  msg_sender_create_fn create;       /* 24: required */
  msg_sender_release_fn release;     /* 32 */
  msg_sender_publish_fn publish;     /* 40: required */
  msg_sender_set_debug_fn set_debug; /* 48 */
  msg_sender_set_param_fn set_param; /* 56 */
} msg_sender_s;                      /* 64 */

#define QL_CHECK_SENDER_OFFSET(rec, field, off) \
  QL_STATIC_ASSERT(offsetof(rec, field) == (off), rec##_##field##_offset)

QL_STATIC_ASSERT(sizeof(void*) == 8, msg_sender_needs_64_bit_pointers);
QL_STATIC_ASSERT(sizeof(msg_sender_data_s) == 32, msg_sender_data_s_size);
QL_CHECK_SENDER_OFFSET(msg_sender_data_s, msg_type, 0);
QL_CHECK_SENDER_OFFSET(msg_sender_data_s, data_len, 4);
QL_CHECK_SENDER_OFFSET(msg_sender_data_s, data, 8);
QL_CHECK_SENDER_OFFSET(msg_sender_data_s, item, 16);
QL_CHECK_SENDER_OFFSET(msg_sender_data_s, reserved, 24);
QL_STATIC_ASSERT(sizeof(msg_sender_s) == 64, msg_sender_s_size);
QL_CHECK_SENDER_OFFSET(msg_sender_s, sender_name, 0);
QL_CHECK_SENDER_OFFSET(msg_sender_s, module, 8);
QL_CHECK_SENDER_OFFSET(msg_sender_s, instance, 16);
QL_CHECK_SENDER_OFFSET(msg_sender_s, create, 24);
QL_CHECK_SENDER_OFFSET(msg_sender_s, release, 32);
QL_CHECK_SENDER_OFFSET(msg_sender_s, publish, 40);
QL_CHECK_SENDER_OFFSET(msg_sender_s, set_debug, 48);
QL_CHECK_SENDER_OFFSET(msg_sender_s, set_param, 56);

#undef QL_CHECK_SENDER_OFFSET

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUOTELAB_MSG_SENDER_H */
