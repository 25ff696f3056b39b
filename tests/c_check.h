/* The check macros of the plain-C tests: a failed check is reported and counted, and the test
 * program returns C_CHECK_RESULT(), non-zero when anything failed. */
#ifndef QUOTELAB_TESTS_C_CHECK_H
#define QUOTELAB_TESTS_C_CHECK_H

#include <stdio.h>

static int c_check_failures = 0;

#define EXPECT_EQ_SIZE(actual, expected)                                               \
  do {                                                                                 \
    if ((size_t)(actual) != (size_t)(expected)) {                                      \
      fprintf(stderr, "%s:%d: %s is %lu, expected %lu\n", __FILE__, __LINE__, #actual, \
              (unsigned long)(actual), (unsigned long)(expected));                     \
      ++c_check_failures;                                                              \
    }                                                                                  \
  } while (0)

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++c_check_failures;                                                \
    }                                                                    \
  } while (0)

#define C_CHECK_RESULT() (c_check_failures == 0 ? 0 : 1)

#endif /* QUOTELAB_TESTS_C_CHECK_H */
