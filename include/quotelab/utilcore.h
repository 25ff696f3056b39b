/* quotelab: the utility layer every facility stands on.
 *
 * C section (usable from C and C++): reference-counted message items, the CSV reader, hash
 * tables, arena pools, the exchange code table, bar field names, row formatters and dynamic
 * loading. C++ section (namespace KX): DataArray, StringTable, ThreadRunner, ManualResetEvent,
 * TimeTools, SymbolTools, StringUtil.
 *
 * No function here throws; failures are NULL pointers or negative results as each comment says.
 */
#ifndef QUOTELAB_UTILCORE_H
#define QUOTELAB_UTILCORE_H

#include <stddef.h>
#include <stdint.h>

#include "quotelab/export.h"
#include "quotelab/records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ============================================================================================
 * Message items
 *
 * A message item is one heap block: a 32-byte header followed by `ext_len` extra header bytes
 * and the payload (a record). The payload starts 16-byte aligned. The reference count is
 * changed atomically, so items may be shared and released across threads; the item is freed
 * when the count reaches 0.
 * ========================================================================================== */
typedef struct msg_item_s {
  int32_t refcount;  /* changed only through msg_item_addref / msg_item_decref_release */
  uint32_t data_len; /* payload bytes */
  uint16_t msg_type; /* the payload's first byte at allocation (its record type code) */
  uint8_t ext_len;   /* extra header bytes between this header and the payload */
  uint8_t reserved[21];
} msg_item_s;
QL_STATIC_ASSERT(sizeof(msg_item_s) == 32, msg_item_header_size);

/* Copies n bytes of `data` into a new item with one reference for the caller.
 * data may be NULL only when n is 0. Returns the item, or NULL (n < 0, data NULL with n > 0,
 * out of memory): nothing is allocated then. */
QL_API msg_item_s* msg_item_alloc(const void* data, int n);
/* Adds n references (n >= 0). Returns the new count, or -1 with nothing changed for a NULL
 * item, n < 0, an item whose count is already 0, or a count that would pass INT32_MAX. */
QL_API int msg_item_addref(msg_item_s* item, int n);
/* Drops one reference and frees the item when none is left. Returns the new count (0 when
 * freed), or -1 for a NULL item or one whose count is already 0 (never freed twice). */
QL_API int msg_item_decref_release(msg_item_s* item);
/* Returns the current count (a snapshot when other threads change it), or -1 for NULL. */
QL_API int msg_item_refcount(const msg_item_s* item);
/* Returns the payload, or NULL for a NULL item. */
QL_API void* msg_item_data(msg_item_s* item);
/* Returns the payload length, or -1 for a NULL item. */
QL_API int msg_item_data_len(const msg_item_s* item);
/* Returns the header's msg_type, or -1 for a NULL item. */
QL_API int msg_item_type(const msg_item_s* item);
/* Returns the number of items allocated and not yet freed in this process (leak checks). */
QL_API int64_t msg_item_live_count(void);

/* ============================================================================================
 * CSV reader
 *
 * csv_open reads the whole file into memory in one pass and parses its header row. Rows are
 * then visited forward with csv_next: right after opening the cursor stands before the first
 * data row. Handles a UTF-8 byte-order mark, LF and CRLF line ends, quoted fields (delimiters
 * and line breaks inside quotes, "" for a quote), blank lines (skipped; a line of nothing but
 * blanks counts as blank) and a missing final line end. Header names match ASCII-case-
 * insensitively after trimming blanks. Stray quotes are read leniently: a quote inside an
 * unquoted field is text, text after a closing quote is kept, and an unterminated quote takes
 * the rest of the file.
 *
 * A handle is used by one thread at a time; separate handles share nothing.
 *
 * Field texts stay valid until the next csv_next or csv_close. A field that the row lacks is
 * "missing" (csv_get_byidx gives NULL); an empty field gives "". The typed getters return the
 * handle's default for a missing or empty field, or a text that is not a number. Integers are
 * read with an optional sign; a fraction (".0") after the digits is ignored; values outside
 * the type's range give the default. Blanks around a number are ignored. Reals are read as
 * std::from_chars reads them (so "nan" and "inf" are numbers), with an optional '+'.
 * ========================================================================================== */
typedef struct csv_file csv_file;

/* Opens `path`, splitting fields at `delimiter` (any byte but '"', CR and LF); flags must be 0.
 * Returns the handle, or NULL when the file cannot be read, has no header row, or the
 * arguments are unusable. */
QL_API csv_file* csv_open(const char* path, char delimiter, int flags);
/* As csv_open over `len` bytes of memory (copied). Returns the handle or NULL. */
QL_API csv_file* csv_open_mem(const char* data, size_t len, char delimiter, int flags);
/* Frees the handle; NULL is accepted. */
QL_API void csv_close(csv_file* csv);
/* Sets what the typed getters return for a missing, empty or non-numeric field (all 0 at
 * first): the float default, the double default, the int32 default and the int64 default. */
QL_API void csv_set_default_value(csv_file* csv, double float_default, double double_default,
                                  int32_t int32_default, int64_t int64_default);
/* Returns the zero-based column of the header named `name` (first match), or -1. */
QL_API int csv_find_idx(const csv_file* csv, const char* name);
/* Returns the number of header columns, or 0 for NULL. */
QL_API int csv_column_count(const csv_file* csv);
/* Returns the trimmed header name of column idx, or NULL when there is no such column. */
QL_API const char* csv_column_name(const csv_file* csv, int idx);
/* Moves to the next data row. Returns 0 when the cursor stands on a row, -1 at the end (from
 * then on csv_eof is true) or for NULL. */
QL_API int csv_next(csv_file* csv);
/* Returns non-zero once csv_next has run past the last row (and for NULL), else 0. */
QL_API int csv_eof(const csv_file* csv);
/* Returns the number of fields of the current row, 0 when there is none. */
QL_API int csv_field_count(const csv_file* csv);
/* Returns the 1-based number of the line where the current row starts (the header is line 1
 * when no blank line precedes it), 0 when there is no current row. */
QL_API long csv_line_number(const csv_file* csv);
/* Faults of the current row, as bits: QL_CSV_FAULT_UNTERMINATED_QUOTE (a quoted field ran to
 * the end of the data, taking every later line with it), QL_CSV_FAULT_NUL (a field holds a NUL
 * byte: its text ends early), QL_CSV_FAULT_NO_LINE_END (the row is the last and has no line
 * break: a file cut off there leaves it short). Returns 0 for a clean row, no row or NULL. */
#define QL_CSV_FAULT_UNTERMINATED_QUOTE 1
#define QL_CSV_FAULT_NUL 2
#define QL_CSV_FAULT_NO_LINE_END 4
QL_API int csv_row_faults(const csv_file* csv);
/* Returns the NUL-terminated text of field idx of the current row, or NULL when the row has no
 * such field (idx < 0, idx >= the row's fields, no current row). */
QL_API const char* csv_get_byidx(csv_file* csv, int idx);
/* As csv_get_byidx, also storing the text's length in *len (when len is not NULL). */
QL_API const char* csv_get_field(csv_file* csv, int idx, int* len);
/* Typed getters: the field's value, or the default (see above). */
QL_API int32_t csv_get_int32_byidx(csv_file* csv, int idx);
QL_API int64_t csv_get_int64_byidx(csv_file* csv, int idx);
QL_API double csv_get_double_byidx(csv_file* csv, int idx);
QL_API float csv_get_float_byidx(csv_file* csv, int idx);

/* ============================================================================================
 * Hash tables
 *
 * Open-addressing tables mapping a key to a void* value. Three kinds of key:
 *  - integer keys: created by int_table_new, or by table_new with table_int_compare; the key
 *    is the integer itself passed in the pointer (e.g. (const void*)(intptr_t)seq_num), any
 *    64-bit value including negative ones; `len` is ignored;
 *  - byte-string keys: table_new with a NULL compare; keys are compared as `len` bytes (0 means
 *    strlen(key)); the hash is `hash` or a built-in one;
 *  - custom keys: table_new with compare (0 for equal keys) and hash (key, len).
 * The table stores the key pointer itself, never a copy.
 *
 * Node pointers returned by table_find and table_next stay valid until the next insert,
 * remove, clear or expand of that table; callers may overwrite node->value in place.
 * A table must not be changed while it is being iterated. Not thread-safe.
 * ========================================================================================== */
typedef struct table_s table_s;
typedef struct table_iter_s table_iter_s;

typedef struct table_node_s {
  void* key; /* the key pointer as inserted (or the integer key) */
  void* value;
} table_node_s;

typedef int (*table_compare_fn)(const void* a, const void* b);
typedef uint64_t (*table_hash_fn)(const void* key, int len);
typedef void (*table_release_fn)(void* p);

/* Markers for integer keys: pass table_int_compare to table_new for an integer-keyed table.
 * table_int_compare returns 0 when the two integers are equal; table_int_hash mixes one. */
QL_API int table_int_compare(const void* a, const void* b);
QL_API uint64_t table_int_hash(const void* key, int len);

/* Creates a table. key_free / value_free (may be NULL) release keys and values in table_clear
 * and table_free. Returns the table, or NULL when out of memory. */
QL_API table_s* table_new(table_compare_fn compare, table_hash_fn hash, table_release_fn key_free,
                          table_release_fn value_free);
/* Creates an integer-keyed table. Returns the table or NULL. */
QL_API table_s* int_table_new(table_release_fn value_free);
/* Returns the node of `key`, or NULL. */
QL_API table_node_s* table_find(table_s* t, const void* key, int len);
/* Returns the value of `key`, or NULL when absent (or when the stored value is NULL). */
QL_API void* table_get_value(table_s* t, const void* key, int len);
/* Inserts key -> value. Returns 0 when added, 1 when the key is already present (nothing is
 * changed: the caller still owns key and value), -1 when out of memory or t is NULL. */
QL_API int table_insert(table_s* t, const void* key, int len, void* value);
/* Removes `key` and returns its value, unreleased (the key is not released either), or NULL
 * when absent. */
QL_API void* table_remove(table_s* t, const void* key, int len);
/* Removes every entry, releasing keys and values through the release functions. Keeps the
 * capacity. */
QL_API void table_clear(table_s* t);
/* Clears and frees *t and sets *t to NULL; t or *t NULL does nothing. */
QL_API void table_free(table_s** t);
/* Returns the number of entries (0 for NULL). */
QL_API int table_length(const table_s* t);
/* Returns the number of slots: a capacity hint, never below table_length (0 for NULL). */
QL_API int table_size(const table_s* t);
/* Makes room for n entries without further growth. Returns 0, or -1 when out of memory. */
QL_API int table_expand(table_s* t, int n);

/* Iterators visit every entry once, in slot order. */
QL_API table_iter_s* table_iter_new(table_s* t);
/* Restarts `it` over table t. */
QL_API void table_iter_init(table_s* t, table_iter_s* it);
/* Returns the next node, or NULL after the last. */
QL_API table_node_s* table_next(table_iter_s* it);
/* Frees *it and sets it to NULL; NULL does nothing. */
QL_API void table_iter_free(table_iter_s** it);

/* ============================================================================================
 * Arena pools
 *
 * A pool hands out zero-filled, 16-byte aligned memory from blocks of `block_size` bytes and
 * frees it all at once. Requests larger than a block get a block of their own. Not
 * thread-safe.
 * ========================================================================================== */
typedef struct epool_s epool_s;

/* Returns a new pool with blocks of block_size bytes (at least 256), or NULL. */
QL_API epool_s* epool_create(int block_size);
/* Returns n zero-filled bytes (n = 0 gives a valid unique pointer), or NULL (NULL pool, out of
 * memory). */
QL_API void* epool_palloc(epool_s* pool, size_t n);
/* Returns a copy of n bytes of src from the pool, or NULL. */
QL_API void* epool_palloc_dup(epool_s* pool, const void* src, size_t n);
/* Frees everything handed out; keeps the first block for reuse. NULL does nothing. */
QL_API void epool_reset(epool_s* pool);
/* Frees the pool and everything handed out; NULL does nothing. */
QL_API void epool_destroy(epool_s* pool);
/* Returns the bytes taken from the system by the pool (blocks included). */
QL_API size_t epool_footprint(const epool_s* pool);

/* ============================================================================================
 * Exchange codes
 *
 *  1 "SH" (SSE, SHA, XSHG)   2 "SZ" (SZSE, SZA, XSHE)   3 "HK"   8 "CFE" (CFFEX)
 *  9 "SHF" (SHFE)  10 "DCE"  11 "CZC" (CZCE)  12 "INE"  13 "GFE" (GFEX)  15 "BJ" (BSE)
 * ========================================================================================== */
/* Returns the code of an exchange text or alias (any letter case, blanks around it ignored),
 * 0 when unknown or NULL. */
QL_API int exchange_int(const char* text);
/* Returns the first text of a code ("SH" for 1), or NULL when the code has none. */
QL_API const char* exchange_str(int code);

/* ============================================================================================
 * Bar field numbers
 *
 *  0 "none", 1 "open", 2 "high", 3 "low", 4 "close", 5 "volume", 6 "turnover",
 *  7 "open_interest", 12 "num_trades"; every other number has no field and the name "".
 * ========================================================================================== */
/* Returns the number of a bar field name (any letter case), 0 when unknown or NULL. */
QL_API int bar_field_int(const char* name);
/* Returns the name of a bar field number: a static text, "" for numbers without a field. */
QL_API const char* bar_field_str(int n);

/* ============================================================================================
 * Row formatters
 *
 * Each writes one complete CSV row (fields separated by `delimiter`, ending in "\r\n") into
 * buf, writing at most `size` bytes including a terminating NUL, and returns the row's length
 * without the NUL; a row that does not fit is cut (NUL-terminated) and the result is -1.
 * Reentrant: they keep no state.
 * Each *_csv_header twin writes the header line naming the row's columns with names that
 * DataCsvReader binds, so a file written as header + rows reads back into the same records.
 * Prices are written in the shortest form that reads back to the same double. The instrument
 * column carries symbol.EXCHANGE (e.g. 600000.SH), the code in digits for an exchange without
 * text (600000.5), or the symbol alone for exchange 0; a symbol holding the delimiter, a quote
 * or a line break is quoted. The result is -1 also for a NULL buf or rec, a size below 1, or a
 * delimiter that can stand inside a number or an exchange text (letters, digits, '.', '+',
 * '-'), a quote, CR, LF or NUL (buf then holds "" when size allows).
 * Orders and trades write instrument, action_day, time, volume, price, seq_num, then
 * order_index, bs_flag and the order type (orders) or bid_seq_num, ask_seq_num, bs_flag
 * (trades); a flag is its character, nothing when 0. DataCsvReader takes an order's type from
 * the column of its exchange, so l2order_csv_header names that column after `exchange`:
 * "order_type_sh" for Shanghai (1), "order_type_sz" for any other; a file read back that way
 * holds orders of one family. aux_no and trade_flag are not written (no column binds them).
 * ========================================================================================== */
QL_API int l2snapshot_to_csv(char* buf, int size, const _L2Snapshot* rec, char delimiter);
QL_API int mdindex_to_csv(char* buf, int size, const _MDIndex* rec, char delimiter);
QL_API int bar_to_csv(char* buf, int size, const _BarData* rec, char delimiter);
QL_API int l2snapshot_csv_header(char* buf, int size, char delimiter);
QL_API int mdindex_csv_header(char* buf, int size, char delimiter);
QL_API int bar_csv_header(char* buf, int size, char delimiter);
QL_API int l2order_to_csv(char* buf, int size, const _L2Order* rec, char delimiter);
QL_API int l2trade_to_csv(char* buf, int size, const _L2Trade* rec, char delimiter);
QL_API int l2order_csv_header(char* buf, int size, int exchange, char delimiter);
QL_API int l2trade_csv_header(char* buf, int size, char delimiter);

/* ============================================================================================
 * Dynamic loading
 *
 * Libraries are loaded by path exactly as given (RTLD_NOW | RTLD_LOCAL).
 * ========================================================================================== */
/* Returns the library handle, or NULL (see dynlib_error); a NULL or empty path gives NULL. */
QL_API void* dynlib_open(const char* path);
/* Returns the address of the export `name`, or NULL. */
QL_API void* dynlib_sym(void* lib, const char* name);
/* Unloads the library; NULL does nothing. */
QL_API void dynlib_close(void* lib);
/* Returns the text of the calling thread's last failure of dynlib_open, dynlib_sym or
 * dynlib_close, or "" when there was none. */
QL_API const char* dynlib_error(void);

#ifdef __cplusplus
} /* extern "C" */

namespace KX {

/* An ordered array of record pointers, oldest first; `items` and `count` are for direct
 * reading. An owning array (first constructor) keeps copies of `elem_size` bytes and recycles
 * their storage; a borrowing array (second constructor) holds the caller's pointers.
 * Element addresses stay valid until that element is dropped. Not thread-safe. */
class QL_API DataArray {
 public:
  void** items = nullptr;
  int count = 0;

  /* Owning array. `preallocate` true reserves the pointer array for `capacity` elements at
   * once; false reserves it as elements arrive. Element storage always grows in chunks as
   * elements arrive, so a large capacity costs little until it is used. */
  DataArray(int elem_size, int capacity, bool preallocate);
  /* Borrowing array over `count` record pointers (copied pointer by pointer; items may be NULL
   * when count is 0). */
  DataArray(void** items, int count, int elem_size);
  DataArray(DataArray&& other) noexcept;
  DataArray& operator=(DataArray&& other) noexcept;
  DataArray(const DataArray&) = delete;
  DataArray& operator=(const DataArray&) = delete;
  ~DataArray();

  /* Appends a copy of elem_size bytes of rec (owning) or rec itself (borrowing).
   * Returns 0, or -1 (rec NULL, out of memory). */
  int push_back(const void* rec);
  /* Drops the n oldest elements (all when n >= count; nothing when n <= 0). */
  void pop_front(int n);
  /* Drops every element. */
  void clear();
  /* Returns a new array of the newest n elements, oldest first: copies for an owning array,
   * the same pointers for a borrowing one. n <= 0 gives an empty array, n > count all. */
  DataArray slice(int n) const;

  int elem_size() const { return elem_size_; }
  bool owns() const { return owns_; }
  void* back() const { return count > 0 ? items[count - 1] : nullptr; }

 private:
  struct Impl;
  int elem_size_ = 0;
  int items_capacity_ = 0;
  bool owns_ = false;
  Impl* impl_ = nullptr;  // element storage of an owning array
  int reserve_items(int n);
};

/* A table keyed by byte strings of a given length (a key may contain NUL bytes), with a pool
 * holding copies of its keys; a base for lookups by derived classes. Not thread-safe. */
class QL_API StringTable {
 public:
  explicit StringTable(int size = 8192);
  ~StringTable();
  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  /* Inserts a copy of len key bytes (NUL-terminated in the pool) -> value. Returns 0, 1 when
   * the key is present already (nothing changes), -1 when out of memory. */
  int insert_directly(const void* key, int len, void* value);
  /* Returns the value of the key, or NULL. */
  void* find(const void* key, int len) const;
  /* Returns the number of keys. */
  int length() const;

 protected:
  epool_s* key_pool = nullptr;
  table_s* table = nullptr;
};

/* Runs the virtual Run() on a thread of its own. StartThread and StopThread are called from
 * one controlling thread. A derived class stops its thread in its own destructor (make Run()
 * return, then StopThread): once the derived part is gone Run() can no longer run safely. The
 * base destructor still joins a thread left running rather than ending the process. An
 * exception that escapes Run() is logged (level 1) and ends only the thread. */
class QL_API ThreadRunner {
 public:
  ThreadRunner();
  virtual ~ThreadRunner();
  ThreadRunner(const ThreadRunner&) = delete;
  ThreadRunner& operator=(const ThreadRunner&) = delete;

  /* The thread body. */
  virtual void Run() = 0;
  /* Starts Run() on a new thread. Returns 0, 1 when a thread already runs, -1 on failure. */
  virtual int StartThread();
  /* Returns once Run() has returned (joins); harmless when no thread runs. Run() must be made
   * to return by the derived class. */
  virtual void StopThread();
  /* True while a started thread has not been joined. */
  bool IsThreadStarted() const;

 private:
  struct Impl;
  Impl* impl_;
};

/* An event that stays signalled until Reset. Thread-safe. */
class QL_API ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initial = false);
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  /* Waits until signalled or ms milliseconds have passed (ms < 0: no limit). Returns true when
   * signalled. Does not reset the event. */
  bool WaitOnce(int ms);
  bool IsSet() const;

 private:
  struct Impl;
  Impl* impl_;
};

class QL_API TimeTools {
 public:
  /* Epoch seconds of date YYYYMMDD at hhmmss (HHMMSS), read as China Standard Time (UTC+8),
   * whatever the machine's time zone. */
  static int64_t to_time_t(int date, int hhmmss);
  /* Sleeps ms milliseconds; returns at once for ms <= 0. */
  static void delay_ms(int ms);
  /* Today's date YYYYMMDD on the machine's local calendar. */
  static int local_date();
  /* Milliseconds of a steady clock (for measuring). */
  static int64_t steady_ms();
  /* Milliseconds since midnight of a time HHMMSSmmm (93000000 -> 34200000). Every
   * intermediate fits in 32 bits for any 32-bit input (at most 214 hours). Inline: the order
   * book calls it per event. */
  static int32_t time_to_msec(int32_t hhmmssmmm) {
    const int32_t hh = hhmmssmmm / 10000000;
    const int32_t mm = hhmmssmmm / 100000 % 100;
    const int32_t ss = hhmmssmmm / 1000 % 100;
    return ((hh * 60 + mm) * 60 + ss) * 1000 + hhmmssmmm % 1000;
  }
  /* The time HHMMSSmmm of milliseconds since midnight (34200000 -> 93000000); hours go on
   * past 23 for 86400000 and more. */
  static int32_t msec_to_time(int32_t msec) {
    const int64_t ms = msec;
    const int64_t s = ms / 1000;
    const int64_t h = s / 3600;
    const int64_t m = (s - 3600 * h) / 60;
    // s + 40 m + 6400 h turns seconds into HHMMSS: each minute adds 40, each hour 6400 more.
    return static_cast<int32_t>((s + 40 * (m + 160 * h)) * 1000 + (ms - 1000 * s));
  }
};

class QL_API SymbolTools {
 public:
  /* Splits "code.EXCH" into `out` (at most max_len characters plus NUL; out holds max_len + 1
   * bytes) and *exchange (when exchange is not NULL and there is a suffix: a decimal suffix is
   * taken as the code itself (its low 8 bits), a text by exchange_int). The text is split at its
   * first '.'. Returns 2 with a suffix, 1 without, -1 for NULL text or out or a negative
   * max_len (nothing is written then). */
  static int extract_symbol(char* out, int max_len, unsigned char* exchange, const char* text);
};

class QL_API StringUtil {
 public:
  /* True when s ends with suffix (case-sensitive); false for NULL. */
  static bool endswith_c(const char* s, const char* suffix);
  /* True when a and b are equal ignoring ASCII case; false for NULL. */
  static bool iequals(const char* a, const char* b);
  /* Copies at most max_len characters of src and a NUL into dst (dst holds max_len + 1); NULL
   * src copies "". NULL dst or a negative max_len does nothing. */
  static void copy_cut(char* dst, const char* src, int max_len);
};

}  // namespace KX
#endif /* __cplusplus */

#endif /* QUOTELAB_UTILCORE_H */
