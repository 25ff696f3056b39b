/* quotelab: the publisher.
 *
 * KX::MDPublishLib hands message items (utilcore.h) carrying market-data records to a sender
 * plug-in (msg_sender.h). In thread mode (the default) post_msg puts the item into a bounded
 * lock-free queue, KX::BlockQueue, and returns at once; one background thread takes the items
 * out in batches of up to 128 and passes each batch to the sender in one call. In direct mode
 * post_msg calls the sender at once on the caller's thread with a batch of one. A filter of 256
 * flags indexed by the record type code (the record's first byte) decides what is published.
 *
 * Calling order: construct; optionally set_thread_mode, set_debug, set_quote_type(s); init
 * (loads the sender and creates its instance); start; post_msg from any threads; stop;
 * destroy. The caller's own reference on an item is never consumed by post_msg.
 */
#ifndef QUOTELAB_MD_PUBLISH_LIB_H
#define QUOTELAB_MD_PUBLISH_LIB_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "quotelab/export.h"
#include "quotelab/msg_sender.h"
#include "quotelab/result.h"
#include "quotelab/utilcore.h"

namespace KX {

class MDPublishLib;

namespace detail {
struct BlockQueueLayout;
struct BlockQueueProbe;  // tests: holds a producer between its claim and its store
}  // namespace detail

/* A bounded multi-producer, single-consumer ring of message item pointers.
 *
 * Positions count up without bound (modulo 2^32); position p uses cell p & (capacity - 1).
 * enqueue_pos is the next position to fill, dequeue_pos the next to take; the queue is full
 * when capacity <= enqueue_pos - dequeue_pos.
 *
 * Push: a producer claims position p by a compare-and-swap of enqueue_pos from p to p + 1
 * while the queue is not full, stores the item into cell p, then stores p + 1 as the cell's
 * sequence (release). Pop: the consumer takes cell p only when its sequence reads p + 1
 * (acquire). Every sequence starts at 0 and position p never stores 0 on the first pass, so a
 * cell that has not been stored since the start (position 0 included) is never taken; after a
 * wrap-around the cell still holds the previous pass's p + 1 - capacity, which differs from
 * p + 1 for every capacity up to 2^31. The consumer publishes its position once per batch
 * (release); a producer reuses a cell only after reading that position (acquire), so the
 * consumer's read of the previous item is done by then.
 *
 * Cache traffic per item is kept to the cells themselves: the consumer only reads cells and
 * never reads enqueue_pos while items flow; producers read dequeue_pos only when the copy they
 * keep beside enqueue_pos (dequeue_seen) says the queue is full. Two habits keep the cell lines
 * from bouncing between the cores. The claim is a locked instruction, which waits until the
 * producer's earlier stores are done; a store into a line the consumer holds waits for a
 * cross-core transfer first. So a producer that starts a line fetches the line kPrefetchCells
 * ahead for writing, and the transfer overlaps its work; and a consumer that has caught up
 * with the producers waits kCaughtUpNanos before it looks again, instead of taking the line a
 * producer is filling away from it after every store.
 *
 * Wake-up: the consumer idles in wait(). It polls the next cell for a short while, then raises
 * `sleeping`, looks once more for a claimed position and only then sleeps on `event`. A
 * producer signals `event` after its store when it reads `sleeping` raised, so a push costs
 * one compare-and-swap and no lock while the consumer is awake. The claim, the producer's
 * read of the flag, the consumer's raise and its last look are sequentially consistent, so
 * either the last look sees the claim or the producer sees the flag: an item never waits for
 * the sleep to time out. A producer that claimed a position and has not stored it yet is
 * waited for without sleeping (its store is instructions away). The number of items waiting
 * is the difference of the two positions (get_count), so no counter is shared by producers
 * and consumer.
 *
 * The queue owns one reference per stored item: its destructor releases every item still
 * queued, stop marks skipped.
 *
 * Thread-safety: push from any number of threads at once; pop_batch, drain, wait and empty
 * from one consumer thread at a time; get_count, get_capacity and wake from any thread. */
class QL_API BlockQueue {
 public:
  /* The largest capacity: 2^30 items. */
  static constexpr uint32_t kMaxCapacity = 1u << 30;
  /* How long wait() polls before it sleeps, in microseconds: items arriving within it are
   * taken without the cost of a sleep and a wake-up (a system call each); the price is up to
   * this much busy time each time the queue runs dry. */
  static constexpr int kSpinMicros = 20;
  /* How long a consumer that found nothing to take waits before it looks once more, in
   * nanoseconds: meanwhile a running producer fills a few lines undisturbed, which are then
   * taken in a run. Longer means fewer line transfers per item while items flow; the price is
   * up to this much delay for an item that arrives at a consumer that has just caught up. */
  static constexpr int kCaughtUpNanos = 400;
  /* How far ahead of its position a producer fetches the cells for writing: four lines, a
   * few claims' time ahead of the stores. Nearer hides less of the transfer; farther may take
   * a line the consumer has not finished reading when the queue is nearly full, so the fetch
   * is skipped then. */
  static constexpr uint32_t kPrefetchCells = 16;

  /* A queue of `capacity` raised to the next power of two (65536 stays, 1000 gives 1024, 1
   * stays 1, 0 or less gives 0: a queue that refuses every item). Above kMaxCapacity, or when
   * the cells cannot be allocated, the capacity is 0 (logged). */
  explicit BlockQueue(int capacity);
  virtual ~BlockQueue();
  BlockQueue(const BlockQueue&) = delete;
  BlockQueue& operator=(const BlockQueue&) = delete;

  /* The capacity a request is raised to: all bits below the highest set bit of
   * (requested - 1) filled in, plus 1. Returns 0 for requests <= 0. */
  static uint32_t round_capacity(int requested);

  /* Appends an item (NULL is the stop mark). Any thread. Returns true when stored, false when
   * the queue is full. Takes no reference: the caller hands one over on success. */
  inline bool push(msg_item_s* item);

  /* Takes up to `max` items in posting order into `out`. Stops early when the queue is empty,
   * when the next cell has been claimed but not yet stored, or after taking a stop mark
   * (which is not put into `out`; *stop_mark is then true, else false). Finding nothing at
   * first, it waits kCaughtUpNanos and looks once more. The caller takes over the references
   * of the items returned. Consumer only. Returns the number of items in out. */
  inline int pop_batch(msg_item_s** out, int max, bool* stop_mark);

  /* Releases (msg_item_decref_release) the items queued, unsent. through_marks false: stops
   * after the first stop mark, or when the queue is empty or the next cell is not yet
   * stored. through_marks true: skips stop marks and waits out cells being stored, until
   * nothing claimed is left. Consumer only. Returns the number of items released. */
  int drain(bool through_marks);

  /* Idles the consumer after pop_batch found nothing. Returns when the next cell is stored,
   * at once (after a yield) when a cell has been claimed but not yet stored, when wake() is
   * called, or after max_ms milliseconds. Consumer only. */
  void wait(int max_ms);
  /* Wakes a consumer sleeping in wait(). Any thread. */
  void wake();
  /* True when every position claimed by a producer has been taken. Consumer only. */
  bool empty() const;

  /* Items pushed (claimed) and not yet taken, stop marks included: a snapshot. */
  int get_count() const {
    return static_cast<int>(enqueue_pos.load(std::memory_order_relaxed) -
                            dequeue_pos.load(std::memory_order_relaxed));
  }
  uint32_t get_capacity() const { return capacity; }

 private:
  friend struct detail::BlockQueueLayout;
  friend struct detail::BlockQueueProbe;
  friend class MDPublishLib;  // takes its reference between claim and store

  struct Cell {
    std::atomic<uint32_t> sequence;  // p + 1 once the item of position p is stored
    msg_item_s* item;
  };

  // Cache line 0 (with the vtable pointer): read by every push, written when the consumer
  // goes to sleep and wakes.
  std::atomic<int32_t> sleeping{0};
  ManualResetEvent event{false};
  // Read-mostly, on a line of its own.
  alignas(64) uint32_t capacity = 0;
  // The producers' line: their position and their copy of the consumer's position.
  alignas(64) std::atomic<uint32_t> enqueue_pos{0};
  std::atomic<uint32_t> dequeue_seen{0};
  // The consumer's position, changed only by the consumer (once per batch).
  alignas(64) std::atomic<uint32_t> dequeue_pos{0};
  // Read-mostly; padded so the object after the queue cannot share its line.
  alignas(64) Cell* cells = nullptr;

  uint32_t mask() const { return capacity - 1; }
  bool stored(uint32_t pos) const {
    // Acquire: the item stored before the sequence is visible.
    return cells[pos & mask()].sequence.load(std::memory_order_acquire) == pos + 1;
  }
  // Waits kCaughtUpNanos, then tells whether position pos has been stored.
  bool stored_after_pause(uint32_t pos) const;
  bool head_stored() const;
  void release_cells();
  // The two steps of push: claim a free position (false when full), then store into it. A
  // claimed position must be stored promptly: the consumer waits for it.
  inline bool claim(uint32_t* pos);
  inline void store(uint32_t pos, msg_item_s* item);
};

namespace detail {
/* Fetches the cache line at p into this core's cache for writing (a hint: it may do
 * nothing). GCC and Clang emit a plain read prefetch for __builtin_prefetch(p, 1) unless the
 * target names PREFETCHW, which x86-64 processors execute (those without the feature as a no-op).
 */
inline void prefetch_for_write(const void* p) {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__PRFCHW__)
  __asm__ volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 1);
#endif
}

/* The 64-byte spacing that keeps the producers' position, the consumer's position and the
 * read-mostly fields off each other's cache lines. (offsetof on a class with a virtual
 * destructor is conditionally supported; GCC and Clang give the layout offsets.) */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
struct BlockQueueLayout {
  static_assert(offsetof(BlockQueue, capacity) >= 64, "capacity shares the flag's line");
  static_assert(offsetof(BlockQueue, enqueue_pos) - offsetof(BlockQueue, capacity) == 64,
                "enqueue_pos must lie 64 bytes after capacity");
  static_assert(offsetof(BlockQueue, dequeue_seen) - offsetof(BlockQueue, enqueue_pos) < 64,
                "the producers' copy of dequeue_pos shares their line");
  static_assert(offsetof(BlockQueue, dequeue_pos) - offsetof(BlockQueue, enqueue_pos) == 64,
                "dequeue_pos must lie 64 bytes after enqueue_pos");
  static_assert(offsetof(BlockQueue, cells) - offsetof(BlockQueue, dequeue_pos) == 64,
                "cells must lie 64 bytes after dequeue_pos");
  static_assert(sizeof(BlockQueue) % 64 == 0 && alignof(BlockQueue) == 64,
                "the queue occupies whole cache lines");
  static_assert(sizeof(BlockQueue::Cell) == 16, "four cells per cache line");
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}  // namespace detail

/* Publishes message items to a sender plug-in, in batches from a background thread (thread
 * mode) or directly on the caller's thread (direct mode).
 *
 * Thread-safety: post_msg may be called from any number of threads at once; init, start,
 * stop, the setters and destruction from one controlling thread, not concurrently with
 * post_msg (the setters belong before start). In direct mode the sender's publish may run on
 * several threads at once; in thread mode only on the publishing thread. */
class QL_API MDPublishLib : public ThreadRunner {
 public:
  static constexpr int kDefaultCapacity = 65536;
  /* Items per publish call in thread mode. */
  static constexpr int kMaxBatch = 128;
  /* Longest idle sleep of the publishing thread in milliseconds; it is woken earlier by the
   * first item that arrives in an empty queue. */
  static constexpr int kIdleWaitMs = 1000;

  /* A publisher whose queue holds `capacity` items (raised to a power of two, see
   * BlockQueue). */
  explicit MDPublishLib(int capacity = kDefaultCapacity);
  /* Stops the thread, releases every item still queued, releases the sender instance and then
   * unloads its library. */
  ~MDPublishLib() override;

  /* Loads the sender library at `libpath` (msg_sender_load) and creates the instance with the
   * other arguments (as the table form below). A publisher takes one sender: a second init
   * after a successful one is refused. Returns 0; QL_ERROR (library not loaded, create
   * failed, already initialised); QL_SENDER_INCOMPLETE (the library lacks msg_sender_create or
   * msg_sender_publish; it is unloaded again). On failure nothing stays loaded. */
  int init(const char* libpath, const char* params, const char* arg2, const char* arg3,
           long long arg4);
  /* Creates the instance from a table the caller has filled (by msg_sender_load or with
   * functions of its own): instance = create(params, arg2, arg3, arg4), stored into the
   * caller's table too; passes a non-zero debug level to set_debug; then the publisher takes
   * over the table, its instance and its library handle. Returns 0; QL_ERROR (sender NULL,
   * create returned NULL, already initialised: the table is left to the caller);
   * QL_SENDER_INCOMPLETE (create or publish is NULL: nothing is called). */
  int init(msg_sender_s* sender, const char* params, const char* arg2, const char* arg3,
           long long arg4);
  /* Loads the plug-in library at `libpath` into a caller's table: through the library's own
   * msg_sender_load export when it has one, else by looking up the msg_sender_* exports
   * (missing ones become NULL, instance becomes NULL). sender_name becomes "" when left NULL;
   * module holds the library handle. Returns 0; QL_ERROR (sender or libpath NULL, loading
   * failed); QL_SENDER_INCOMPLETE (no create or no publish: the library is unloaded and the table
   * cleared, its name
   * ""). The caller owns the module until it hands the table to init. */
  static int msg_sender_load(msg_sender_s* sender, const char* libpath);

  /* Starts the publishing thread. Returns 0 (started; or direct mode: nothing to start), 1
   * (already running), -1 (not initialised, or the thread could not be started). */
  int start();
  /* Stops the publishing thread (if any: after a stop mark wakes it and Run returns), then
   * releases, unsent, the items queued before that mark. Harmless when nothing runs. Items
   * posted during or after stop stay queued until the next start, stop or destruction.
   * Returns 0. */
  int stop();

  /* Publishes one item. Returns 0 (queued, thread mode); the sender's result (direct mode);
   * QL_ERROR (item NULL, empty payload, not initialised); QL_REFUSED (the record's type is
   * switched off); QL_QUEUE_FULL (thread mode, queue full: not queued). The caller's reference is
   * never consumed. */
  int post_msg(msg_item_s* item);
  /* Passes a caller's batch straight to the sender: publish(instance, datas, count, 0).
   * Returns its result, or -1 (not initialised, count < 0, datas NULL with count > 0). */
  int do_send_datas(msg_sender_data_s* datas, int count);

  /* Switches one record type code on or off. Returns 0. */
  int set_quote_type(unsigned char type, bool on);
  /* Copies n flags into the flags of codes 0 .. n-1 (a flag array indexed by type code).
   * Returns 0, or -1 without change (n < 0, n > 256, flags NULL with n > 0). */
  int set_quote_types(const unsigned char* flags, int n);
  /* True when records of this type code are published. */
  bool can_send(unsigned char type) const;
  /* Non-zero: queue and thread (the default); 0: direct calls. Set before start. */
  void set_thread_mode(int mode);
  /* The debug level passed to the sender (by init and with each batch) and the switch of the
   * diagnostics printed on standard output. Does not call the plug-in. */
  void set_debug(int level);
  /* The sender's name; NULL before a successful init. */
  const char* get_sender_name() const;

  /* Capacity of the queue and items waiting in it. */
  uint32_t queue_capacity() const { return queue.get_capacity(); }
  int queue_count() const { return queue.get_count(); }

  /* The publishing thread's body; run by ThreadRunner, not by the host. */
  void Run() override;

 private:
  std::atomic<int> running{0};
  msg_sender_s sender{};
  std::atomic<int> thread_mode{1};
  std::atomic<int> debug{0};
  std::atomic<unsigned char> quote_types[256];
  BlockQueue queue;
  std::atomic<bool> initialised{false};  // set once `sender` holds a created instance

  bool ready() const { return initialised.load(std::memory_order_acquire); }
  void publish_batch(msg_sender_data_s* batch, msg_item_s** items, int n, int d0);
};

// ---- the queue's hot paths -----------------------------------------------------------------

inline bool BlockQueue::push(msg_item_s* item) {
  uint32_t pos;
  if (!claim(&pos)) return false;
  store(pos, item);
  return true;
}

inline bool BlockQueue::claim(uint32_t* claimed) {
  if (capacity == 0) return false;
  uint32_t pos = enqueue_pos.load(std::memory_order_relaxed);
  for (;;) {
    // Acquire (both loads): a position seen taken has had its item read by the consumer.
    uint32_t deq = dequeue_seen.load(std::memory_order_acquire);
    if (pos - deq >= capacity) {
      deq = dequeue_pos.load(std::memory_order_acquire);
      if (pos - deq >= capacity) {
        // Full, unless pos is stale (then deq may even lie beyond it).
        const uint32_t now = enqueue_pos.load(std::memory_order_relaxed);
        if (now == pos) return false;
        pos = now;
        continue;
      }
      // Release: a producer that reads this copy sees what the consumer had done by then.
      dequeue_seen.store(deq, std::memory_order_release);
    }
    // seq_cst: ordered against the consumer's raised flag and last look (see wait()).
    if (enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
      // Starting a line (four cells): fetch the line kPrefetchCells ahead, unless the
      // consumer may still be reading it (deq may be stale, which only makes this stricter).
      if ((pos & 3) == 0 && pos - deq + 2 * kPrefetchCells <= capacity)
        detail::prefetch_for_write(&cells[(pos + kPrefetchCells) & mask()]);
      *claimed = pos;
      return true;
    }
  }
}

inline void BlockQueue::store(uint32_t pos, msg_item_s* item) {
  Cell& cell = cells[pos & mask()];
  cell.item = item;
  // Release: the item is visible to a consumer that reads the sequence.
  cell.sequence.store(pos + 1, std::memory_order_release);
  // seq_cst: after our claim in the single order, so a consumer that raised the flag before
  // our claim is seen here (see wait()).
  if (sleeping.load(std::memory_order_seq_cst) != 0) event.Set();
}

inline int BlockQueue::pop_batch(msg_item_s** out, int max, bool* stop_mark) {
  *stop_mark = false;
  if (capacity == 0 || max <= 0) return 0;
  const uint32_t first = dequeue_pos.load(std::memory_order_relaxed);
  // Caught up with the producers: give them a moment before looking again.
  if (!stored(first) && !stored_after_pause(first)) return 0;
  uint32_t pos = first;
  int n = 0;
  while (n < max) {
    if (!stored(pos)) break;
    msg_item_s* item = cells[pos & mask()].item;
    ++pos;
    if (item == nullptr) {
      *stop_mark = true;
      break;
    }
    out[n++] = item;
  }
  // Release: our reads of the items are done before a producer reuses their cells.
  if (pos != first) dequeue_pos.store(pos, std::memory_order_release);
  return n;
}

}  // namespace KX

#endif /* QUOTELAB_MD_PUBLISH_LIB_H */
