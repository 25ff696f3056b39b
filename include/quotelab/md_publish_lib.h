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
#include "quotelab/utilcore.h"

namespace KX {

namespace detail {
struct BlockQueueLayout;
struct BlockQueueProbe;  // tests: holds a producer between its claim and its store
}  // namespace detail

/* A bounded multi-producer, single-consumer ring of message item pointers.
 *
 * Positions count up without bound (modulo 2^32); position p uses cell p & (capacity - 1).
 * Each cell carries a sequence that says what the cell holds, in units of half a position:
 *   2p     the cell is free for position p (cell i starts at 2i: free for the first pass),
 *   2p + 1 the item of position p has been stored.
 * A producer claims position p by a compare-and-swap of enqueue_pos only when the cell reads
 * 2p, stores the item, then publishes 2p + 1 (release). The consumer takes the cell only when
 * it reads 2p + 1 (acquire), so it never takes a cell whose item has not been stored, on the
 * first pass (position 0 included) or after any number of wrap-arounds; it then frees the cell
 * for the next pass with 2(p + capacity). Doubling keeps "stored for p" and "free for p + 1"
 * apart even with capacity 1, where they would share a cell; it is why the capacity is at most
 * 2^30. A producer never reads the consumer's position and the consumer never reads the
 * producers' position while items flow, so neither pulls the other's cache line per item.
 *
 * `count` (items pushed and not yet taken) drives the wake-up: the push that moves it from 0
 * signals `event`. The consumer takes items in batches and subtracts once per batch. Before it
 * sleeps it resets the event and then checks again that nothing has been claimed, so an item
 * that arrives between its last look and its sleep always wakes it (see wait()).
 *
 * The queue owns one reference per stored item: its destructor releases every item still
 * queued, stop marks skipped.
 *
 * Thread-safety: push from any number of threads at once; pop_batch, drain, wait and empty
 * from one consumer thread at a time. get_count and get_capacity from any thread. */
class QL_API BlockQueue {
 public:
  /* The largest capacity: 2^30 items. */
  static constexpr uint32_t kMaxCapacity = 1u << 30;

  /* A queue of `capacity` raised to the next power of two (65536 stays, 1000 gives 1024, 1
   * stays 1, 0 or less gives 0: a queue that refuses every item). Above kMaxCapacity, or when
   * the cells cannot be allocated, the capacity is 0. */
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
   * (which is not put into `out`; *stop_mark is then true, else false). The caller takes over
   * the references of the items returned. Consumer only. Returns the number of items in out. */
  inline int pop_batch(msg_item_s** out, int max, bool* stop_mark);

  /* Releases (msg_item_decref_release) the items queued, unsent. through_marks false: stops
   * after the first stop mark, or when the queue is empty or the next cell is not yet
   * stored. through_marks true: skips stop marks and waits out cells being stored, until
   * nothing claimed is left. Consumer only. Returns the number of items released. */
  int drain(bool through_marks);

  /* Idles the consumer after pop_batch found nothing: returns at once (after a yield) when a
   * cell has been claimed but not yet stored; otherwise resets the event, looks once more and
   * sleeps until an item arrives, wake() is called or max_ms milliseconds have passed.
   * Consumer only. */
  void wait(int max_ms);
  /* Wakes a consumer sleeping in wait(). Any thread. */
  void wake();
  /* True when every position claimed by a producer has been taken. Consumer only. */
  bool empty() const;

  /* Items pushed and not yet taken (a snapshot; briefly off by the size of the batch being
   * taken). */
  int get_count() const { return count.load(std::memory_order_relaxed); }
  uint32_t get_capacity() const { return capacity; }

 private:
  friend struct detail::BlockQueueLayout;
  friend struct detail::BlockQueueProbe;

  struct Cell {
    std::atomic<uint32_t> sequence;
    msg_item_s* item;
  };

  // Cache line 0 (with the vtable pointer): the count every push changes and the event.
  std::atomic<int32_t> count{0};
  ManualResetEvent event{false};
  // Read-mostly, on a line of its own.
  alignas(64) uint32_t capacity = 0;
  // The producers' position, changed by every push.
  alignas(64) std::atomic<uint32_t> enqueue_pos{0};
  // The consumer's position, changed only by the consumer.
  alignas(64) std::atomic<uint32_t> dequeue_pos{0};
  // Read-mostly; padded so the object after the queue cannot share its line.
  alignas(64) Cell* cells = nullptr;

  uint32_t mask() const { return capacity - 1; }
  void release_cells();
  // The two steps of push: claim a free position (false when full), then store into it.
  inline bool claim(uint32_t* pos);
  inline void store(uint32_t pos, msg_item_s* item);
};

namespace detail {
/* The 64-byte spacing that keeps the producers' position, the consumer's position and the
 * read-mostly fields off each other's cache lines. (offsetof on a class with a virtual
 * destructor is conditionally supported; GCC and Clang give the layout offsets.) */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
struct BlockQueueLayout {
  static_assert(offsetof(BlockQueue, capacity) >= 64, "capacity shares the count's line");
  static_assert(offsetof(BlockQueue, enqueue_pos) - offsetof(BlockQueue, capacity) == 64,
                "enqueue_pos must lie 64 bytes after capacity");
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
   * after a successful one is refused. Returns 0; -1 (library not loaded, create failed,
   * already initialised); -17 (the library lacks msg_sender_create or msg_sender_publish; it
   * is unloaded again). On failure nothing stays loaded. */
  int init(const char* libpath, const char* params, const char* arg2, const char* arg3,
           long long arg4);
  /* Creates the instance from a table the caller has filled (by msg_sender_load or with
   * functions of its own): instance = create(params, arg2, arg3, arg4), stored into the
   * caller's table too; passes a non-zero debug level to set_debug; then the publisher takes
   * over the table, its instance and its library handle. Returns 0; -1 (sender NULL, create
   * returned NULL, already initialised: the table is left to the caller); -17 (create or
   * publish is NULL: nothing is called). */
  int init(msg_sender_s* sender, const char* params, const char* arg2, const char* arg3,
           long long arg4);
  /* Loads the plug-in library at `libpath` into a caller's table: through the library's own
   * msg_sender_load export when it has one, else by looking up the msg_sender_* exports
   * (missing ones become NULL, instance becomes NULL). sender_name becomes "" when left NULL;
   * module holds the library handle. Returns 0; -1 (sender or libpath NULL, loading failed);
   * -17 (no create or no publish: the library is unloaded and the table cleared, its name
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
   * -1 (item NULL, empty payload, not initialised); -150 (the record's type is switched off);
   * -149 (thread mode, queue full: not queued). The caller's reference is never consumed. */
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
    // Acquire: when the cell reads "free", the consumer's read of its previous item is done.
    const uint32_t seq = cells[pos & mask()].sequence.load(std::memory_order_acquire);
    const int32_t diff = static_cast<int32_t>(seq - 2 * pos);
    if (diff == 0) {
      // seq_cst: the consumer's last look before sleeping (empty()) is ordered against it.
      if (enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
        *claimed = pos;
        return true;
      }
    } else if (diff < 0) {
      // The cell still holds the item of the previous pass: full, unless pos is stale.
      const uint32_t now = enqueue_pos.load(std::memory_order_relaxed);
      if (now == pos) return false;
      pos = now;
    } else {
      pos = enqueue_pos.load(std::memory_order_relaxed);  // another producer took pos
    }
  }
}

inline void BlockQueue::store(uint32_t pos, msg_item_s* item) {
  Cell& cell = cells[pos & mask()];
  cell.item = item;
  cell.sequence.store(2 * pos + 1, std::memory_order_release);
  // seq_cst pairs with the consumer's subtraction and its last look before sleeping.
  if (count.fetch_add(1, std::memory_order_seq_cst) == 0) event.Set();
}

inline int BlockQueue::pop_batch(msg_item_s** out, int max, bool* stop_mark) {
  *stop_mark = false;
  if (capacity == 0) return 0;
  uint32_t pos = dequeue_pos.load(std::memory_order_relaxed);
  int n = 0;
  int taken = 0;
  while (n < max) {
    Cell& cell = cells[pos & mask()];
    // Acquire: the item stored before the sequence is visible.
    if (cell.sequence.load(std::memory_order_acquire) != 2 * pos + 1) break;
    msg_item_s* item = cell.item;
    // Release: our read of the item is done before a producer of the next pass reuses it.
    cell.sequence.store(2 * (pos + capacity), std::memory_order_release);
    ++pos;
    ++taken;
    if (item == nullptr) {
      *stop_mark = true;
      break;
    }
    out[n++] = item;
  }
  if (taken > 0) {
    dequeue_pos.store(pos, std::memory_order_release);
    count.fetch_sub(taken, std::memory_order_seq_cst);
  }
  return n;
}

}  // namespace KX

#endif /* QUOTELAB_MD_PUBLISH_LIB_H */
