/* quotelab: every public header in one include.
 * The C headers (records.h, result.h, orderbook.h, msg_sender.h, tracelog.h) also stand alone
 * in C99. */
#ifndef QUOTELAB_QUOTELAB_H
#define QUOTELAB_QUOTELAB_H

#include "quotelab/export.h"
#include "quotelab/msg_sender.h"
#include "quotelab/orderbook.h"
#include "quotelab/records.h"
#include "quotelab/result.h"
#include "quotelab/tracelog.h"
#include "quotelab/utilcore.h"

#ifdef __cplusplus
#include "quotelab/bar_series_map.h"
#include "quotelab/csv_reader.h"
#include "quotelab/csv_writer.h"
#include "quotelab/data_file_manager.h"
#include "quotelab/data_replay.h"
#include "quotelab/layout_reader.h"
#include "quotelab/md_publish_lib.h"
#include "quotelab/mdata_cache.h"
#include "quotelab/mdata_filter.h"
#endif

#endif /* QUOTELAB_QUOTELAB_H */
