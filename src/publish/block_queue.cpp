// BlockQueue: construction, draining and the consumer's idle wait. The push and pop hot paths
// are inline in md_publish_lib.h.
#include <stdlib.h>

#include <chrono>
#include <new>
#include <thread>

#include "quotelab/md_publish_lib.h"
#include "quotelab/tracelog.h"

namespace KX {

uint32_t BlockQueue::round_capacity(int requested) {
  if (requested <= 0) return 0;
  uint32_t v = static_cast<uint32_t>(requested) - 1;
  v |= v >> 1;
  v |= v >> 2;
  v |= v >> 4;
  v |= v >> 8;
  v |= v >> 16;
  return v + 1;
}

BlockQueue::BlockQueue(int requested) {
  const uint32_t rounded = round_capacity(requested);
  if (rounded == 0) return;
  void* mem = nullptr;
  // Cells start on a cache line so that four of them share each line and no more.
  if (rounded > kMaxCapacity || posix_memalign(&mem, 64, sizeof(Cell) * rounded) != 0) {
    tl_log(tl_log_get_global(), "KX::BlockQueue::BlockQueue", "md_publish_lib", __LINE__, 1,
           "mdpublish queue of capacity %d not available: every item will be refused", requested);
    return;
  }
  cells = static_cast<Cell*>(mem);
  for (uint32_t i = 0; i < rounded; ++i) {
    // Sequence 0: no position stores 0 on the first pass, so nothing reads as stored.
    new (&cells[i].sequence) std::atomic<uint32_t>(0);
    cells[i].item = nullptr;
  }
  capacity = rounded;
}

BlockQueue::~BlockQueue() {
  drain(true);
  release_cells();
}

void BlockQueue::release_cells() {
  if (cells == nullptr) return;
  for (uint32_t i = 0; i < capacity; ++i) cells[i].sequence.~atomic();
  free(cells);
  cells = nullptr;
  capacity = 0;
}

int BlockQueue::drain(bool through_marks) {
  constexpr int kChunk = 64;
  msg_item_s* items[kChunk];
  int released = 0;
  for (;;) {
    bool stop_mark = false;
    const int n = pop_batch(items, kChunk, &stop_mark);
    for (int i = 0; i < n; ++i) msg_item_decref_release(items[i]);
    released += n;
    if (stop_mark) {
      if (through_marks) continue;
      break;
    }
    if (n == kChunk) continue;
    // Empty, or the next cell is claimed and its producer has not stored it yet.
    if (!through_marks || empty()) break;
    std::this_thread::yield();
  }
  return released;
}

bool BlockQueue::empty() const {
  // seq_cst: ordered against the producers' claims, see wait().
  return enqueue_pos.load(std::memory_order_seq_cst) == dequeue_pos.load(std::memory_order_relaxed);
}

bool BlockQueue::head_stored() const {
  return capacity != 0 && stored(dequeue_pos.load(std::memory_order_relaxed));
}

namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

bool BlockQueue::stored_after_pause(uint32_t pos) const {
  // Timed rather than counted: a pause lasts from a few to over a hundred cycles by processor.
  const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kCaughtUpNanos);
  do cpu_relax();
  while (std::chrono::steady_clock::now() < until);
  return stored(pos);
}

void BlockQueue::wait(int max_ms) {
  // Look at the head cell only (the producers' line stays theirs), once per kCaughtUpNanos,
  // for a short while.
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicros);
  if (capacity != 0) {
    const uint32_t head = dequeue_pos.load(std::memory_order_relaxed);
    do {
      if (stored_after_pause(head)) return;
    } while (std::chrono::steady_clock::now() < until);
  }

  // Raise the flag, then look once more. In the single order of seq_cst operations either
  // this look comes after a producer's claim and sees it, or the claim comes after the look,
  // so that producer's read of the flag (after its claim) sees it raised and signals.
  sleeping.store(1, std::memory_order_seq_cst);
  if (empty()) {
    event.WaitOnce(max_ms);
  } else if (!head_stored()) {
    // Claimed, not stored yet: its producer is between its claim and its store.
    std::this_thread::yield();
  }
  sleeping.store(0, std::memory_order_relaxed);
  // A signal erased here was meant for this sleep or an earlier one: the next sleep raises
  // the flag and looks again before it waits.
  event.Reset();
}

void BlockQueue::wake() {
  event.Set();
}

}  // namespace KX
