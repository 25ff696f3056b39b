// BlockQueue: construction, draining and the consumer's idle wait. The push and pop hot paths
// are inline in md_publish_lib.h.
#include <stdlib.h>

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
    // Cell i starts free for position i (sequence 2i): nothing is stored on the first pass.
    new (&cells[i].sequence) std::atomic<uint32_t>(2 * i);
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

void BlockQueue::wait(int max_ms) {
  // A claimed cell that is not stored yet: its producer is between its claim and its store,
  // and its count increment may not signal (count need not be 0 then), so never sleep on it.
  if (!empty()) {
    std::this_thread::yield();
    return;
  }
  // Reset first, look again, then sleep. Every position claimed after that look belongs to a
  // push whose count increment comes later in the single order of seq_cst operations; as the
  // consumer has subtracted every item it took, one of those increments moves count from 0
  // to 1 and signals after our Reset. An item stored before the look is seen by it.
  event.Reset();
  if (!empty()) return;
  event.WaitOnce(max_ms);
}

void BlockQueue::wake() {
  event.Set();
}

}  // namespace KX
