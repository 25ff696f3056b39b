/* The sender plug-in interface compiles as C99 and gives the same layout there as in C++: a
 * sender written in C fills the same table slots and reads the same batch fields. */
#include <stdio.h>
#include <string.h>

#include "quotelab/msg_sender.h"

#include "c_check.h"

static int published;

static void* c_create(const char* params, const char* arg2, const char* arg3, long long arg4) {
  (void)arg2;
  (void)arg3;
  (void)arg4;
  return (void*)params;
}

static int c_publish(void* instance, msg_sender_data_s* datas, int count, int debug) {
  (void)instance;
  (void)datas;
  (void)debug;
  published += count;
  return 0;
}

int main(void) {
  msg_sender_s table;
  msg_sender_data_s entry;
  unsigned char bytes[sizeof(msg_sender_s)];
  char name[] = "c_sender";
  int rv;

  EXPECT_EQ_SIZE(sizeof(msg_sender_s), 64);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, sender_name), 0);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, module), 8);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, instance), 16);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, create), 24);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, release), 32);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, publish), 40);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, set_debug), 48);
  EXPECT_EQ_SIZE(offsetof(msg_sender_s, set_param), 56);
  EXPECT_EQ_SIZE(sizeof(msg_sender_data_s), 32);
  EXPECT_EQ_SIZE(offsetof(msg_sender_data_s, msg_type), 0);
  EXPECT_EQ_SIZE(offsetof(msg_sender_data_s, data_len), 4);
  EXPECT_EQ_SIZE(offsetof(msg_sender_data_s, data), 8);
  EXPECT_EQ_SIZE(offsetof(msg_sender_data_s, item), 16);
  EXPECT_EQ_SIZE(offsetof(msg_sender_data_s, reserved), 24);

  /* A table filled from C calls through the documented types. */
  memset(&table, 0, sizeof table);
  table.sender_name = name;
  table.create = c_create;
  table.publish = c_publish;
  table.instance = table.create("p", NULL, NULL, 0);
  memset(&entry, 0, sizeof entry);
  entry.msg_type = -16;
  rv = table.publish(table.instance, &entry, 1, 0);
  EXPECT_EQ_SIZE(rv, 0);
  EXPECT_EQ_SIZE(published, 1);

  /* The name pointer sits in the first slot, as a plug-in written elsewhere expects. */
  memcpy(bytes, &table, sizeof table);
  {
    const char* first_slot;
    memcpy(&first_slot, bytes, sizeof first_slot);
    EXPECT_EQ_SIZE(first_slot == name, 1);
  }

  EXPECT_EQ_SIZE(strcmp(MSG_SENDER_PUBLISH_NAME, "msg_sender_publish"), 0);
  EXPECT_EQ_SIZE(strcmp(MSG_SENDER_LOAD_NAME, "msg_sender_load"), 0);

  if (c_check_failures == 0) printf("msg_sender_c_test: all layout checks passed\n");
  return C_CHECK_RESULT();
}
