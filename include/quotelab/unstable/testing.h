/* quotelab: UNSTABLE test hooks.
 *
 * Not part of the library's interface. What is declared here exists so that the project's own
 * tests can reach states a host cannot cause on demand (an allocation failure in the middle of
 * a day). Names, arguments and behaviour may change or vanish in any release, patch releases
 * included; the umbrella header does not include this file. Do not call these from a program.
 */
#ifndef QUOTELAB_UNSTABLE_TESTING_H
#define QUOTELAB_UNSTABLE_TESTING_H

#include "quotelab/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* After n more successful block allocations every order book pool block allocation fails, as
 * when the system is out of memory; n < 0 (the default) switches this off. Process-wide. */
QL_API void ql__orderbook_pool_fail_after(int n);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUOTELAB_UNSTABLE_TESTING_H */
