/* The umbrella header compiles as C99 and exposes the C API of the library; the loaded
 * library is the version the headers describe. */
#include <stdio.h>
#include <string.h>

#include "quotelab/quotelab.h"

int main(void) {
  orderbook* book = orderbook_create("SH", "600000", 0, 0);
  int ok = book != NULL && ql_record_size(QL_RECORD_L2SNAPSHOT) == 464 &&
           exchange_int("SZSE") == 2 && sizeof(msg_sender_s) == 64 &&
           ql_version_number() == QUOTELAB_VERSION &&
           strcmp(ql_version_string(), QUOTELAB_VERSION_STRING) == 0;
  orderbook_release(book);
  if (!ok) fprintf(stderr, "umbrella header: the C API did not answer as expected\n");
  return ok ? 0 : 1;
}
