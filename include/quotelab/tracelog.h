/* quotelab: the logger.
 *
 * tl_log writes one message per call. By default a message goes to standard error as one line:
 *   2026-12-06 07:31:58.123 L1 KX::MDataCache::update_set_tick (mdata_cache:366) text
 * A host may install its own sink and a level threshold. Levels: 1 failure, 2 warning,
 * 3 notice, 4 information, 5 debug; a message is written when its level is at or below the
 * threshold (3 by default). Thread-safe: messages from several threads never interleave.
 */
#ifndef QUOTELAB_TRACELOG_H
#define QUOTELAB_TRACELOG_H

#include <stdarg.h>

#include "quotelab/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tl_logger_s tl_logger_s;

/* Receives each message that passes the threshold: the formatted text has no line end, and is
 * cut to at most 1023 bytes (never inside a UTF-8 character). NULL func, file or format arrive
 * as "". Calls are serialised. A message that the sink logs itself goes to standard error; a
 * sink must not call tl_log_set_sink. */
typedef void (*tl_sink_fn)(void* user, int level, const char* func, const char* file, int line,
                           const char* text);

/* Returns the process's logger (never NULL). */
QL_API tl_logger_s* tl_log_get_global(void);
/* Formats and writes one message. A NULL logger means the global one. */
QL_API void tl_log(tl_logger_s* logger, const char* func, const char* file, int line, int level,
                   const char* fmt, ...) QL_PRINTF_FORMAT(6, 7);
QL_API void tl_vlog(tl_logger_s* logger, const char* func, const char* file, int line, int level,
                    const char* fmt, va_list args);
/* Installs a sink (NULL restores standard error). Once it returns the previous sink is no
 * longer running or called. */
QL_API void tl_log_set_sink(tl_logger_s* logger, tl_sink_fn sink, void* user);
/* Sets the threshold; returns the previous one. */
QL_API int tl_log_set_level(tl_logger_s* logger, int level);
/* Returns the threshold. */
QL_API int tl_log_get_level(const tl_logger_s* logger);

#ifdef __cplusplus
}
#endif

#endif /* QUOTELAB_TRACELOG_H */
