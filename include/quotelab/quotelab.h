/* quotelab: every public header in one include. */
#ifndef QUOTELAB_QUOTELAB_H
#define QUOTELAB_QUOTELAB_H

#include "quotelab/export.h"
#include "quotelab/records.h"
#include "quotelab/tracelog.h"
#include "quotelab/utilcore.h"

#endif /* QUOTELAB_QUOTELAB_H */
