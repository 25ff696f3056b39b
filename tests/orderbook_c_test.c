/* The order book header compiles as C99 and its code helpers answer from C. */
#include <stdio.h>
#include <string.h>

#include "quotelab/orderbook.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static void check_codes(void) {
  CHECK(strcmp(orderbook_version(), "1.0.0") == 0);
  CHECK(strcmp(orderbook_side2str('S'), "ASK") == 0);
  CHECK(strcmp(orderbook_bsflag2str('B'), "BUY") == 0);
  CHECK(strcmp(orderbook_exchangeid_str(2), "SZSE") == 0);
  CHECK(time2msec(93000000) == 34200000);
  CHECK(msec2time(34200000) == 93000000);
}

int main(void) {
  check_codes();
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
