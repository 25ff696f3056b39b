// The process logger: formats each message on the stack and hands it to the installed sink,
// or writes it to standard error as one line.
#include "quotelab/tracelog.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// Longest message text kept; longer ones are cut. Large enough for any diagnostic of the
// library, small enough to live on the stack of every calling thread.
constexpr size_t kMaxText = 1024;
// Room for the time, level, function and source location in front of the text.
constexpr size_t kMaxLine = kMaxText + 512;
constexpr int kDefaultLevel = 3;

const char* or_empty(const char* s) {
  return s != nullptr ? s : "";
}

// Ends the text after at most `len` bytes, dropping a trailing UTF-8 sequence that the cut left
// incomplete.
void cut_utf8(char* text, size_t len) {
  size_t lead = len;
  while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead > 0) {
    const auto byte = static_cast<unsigned char>(text[lead - 1]);
    const size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    if (lead - 1 + need > len) len = lead - 1;
  }
  text[len] = '\0';
}

// Formats into buf (size bytes); a text too long for buf is cut at a character boundary.
void format_text(char* buf, size_t size, const char* fmt, va_list args) {
  const int n = std::vsnprintf(buf, size, or_empty(fmt), args);
  if (n < 0) {
    buf[0] = '\0';
  } else if (static_cast<size_t>(n) >= size) {
    cut_utf8(buf, size - 1);
  }
}

// "2026-12-06 07:31:58.123 L1 func (file:line) text\n" on standard error, in one write so that
// lines from several threads never mix.
void write_default(int level, const char* func, const char* file, int line, const char* text) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const int millis =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&secs, &local);

  char buf[kMaxLine];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d L%d %s (%s:%d) %s",
                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, millis, level, func, file, line, text);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n);
  if (len > sizeof buf - 2) {
    len = sizeof buf - 2;
    cut_utf8(buf, len);
    len = std::strlen(buf);
  }
  buf[len] = '\n';
  std::fwrite(buf, 1, len + 1, stderr);
}

}  // namespace

// One logger per process. Every member is constant-initialised and trivially destroyed, so the
// logger works during static initialisation and destruction of other objects too.
struct tl_logger_s {
  std::atomic<int> level{kDefaultLevel};
  std::mutex mutex;  // guards sink and user, and serialises the writes
  tl_sink_fn sink = nullptr;
  void* user = nullptr;
};

namespace {

tl_logger_s g_logger;

// Set while this thread runs a sink: a message the sink logs itself goes to standard error
// instead of re-entering the logger's lock.
thread_local bool t_in_sink = false;

struct SinkScope {
  SinkScope() { t_in_sink = true; }
  ~SinkScope() { t_in_sink = false; }
};

tl_logger_s* resolve(tl_logger_s* logger) {
  return logger != nullptr ? logger : &g_logger;
}
const tl_logger_s* resolve(const tl_logger_s* logger) {
  return logger != nullptr ? logger : &g_logger;
}

}  // namespace

extern "C" {

tl_logger_s* tl_log_get_global(void) {
  return &g_logger;
}

void tl_vlog(tl_logger_s* logger, const char* func, const char* file, int line, int level,
             const char* fmt, va_list args) {
  logger = resolve(logger);
  if (level > logger->level.load(std::memory_order_relaxed)) return;

  char text[kMaxText];
  format_text(text, sizeof text, fmt, args);
  func = or_empty(func);
  file = or_empty(file);

  if (t_in_sink) {
    write_default(level, func, file, line, text);
    return;
  }
  // The sink runs under the lock: once tl_log_set_sink returns, the old sink is no longer
  // called, so the host may free whatever its `user` pointed to.
  std::lock_guard<std::mutex> lock(logger->mutex);
  if (logger->sink == nullptr) {
    write_default(level, func, file, line, text);
    return;
  }
  SinkScope in_sink;
  logger->sink(logger->user, level, func, file, line, text);
}

void tl_log(tl_logger_s* logger, const char* func, const char* file, int line, int level,
            const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  tl_vlog(logger, func, file, line, level, fmt, args);
  va_end(args);
}

void tl_log_set_sink(tl_logger_s* logger, tl_sink_fn sink, void* user) {
  logger = resolve(logger);
  std::lock_guard<std::mutex> lock(logger->mutex);
  logger->sink = sink;
  logger->user = sink != nullptr ? user : nullptr;
}

int tl_log_set_level(tl_logger_s* logger, int level) {
  return resolve(logger)->level.exchange(level, std::memory_order_relaxed);
}

int tl_log_get_level(const tl_logger_s* logger) {
  return resolve(logger)->level.load(std::memory_order_relaxed);
}

}  // extern "C"
