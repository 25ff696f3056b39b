// ThreadRunner and ManualResetEvent over the standard thread library.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "quotelab/tracelog.h"
#include "quotelab/utilcore.h"

namespace KX {

// ---- ThreadRunner ----------------------------------------------------------------------------

struct ThreadRunner::Impl {
  std::thread thread;
  // Mirrors thread.joinable() so that IsThreadStarted may be asked from any thread.
  std::atomic<bool> started{false};
};

namespace {

bool is_current_thread(const std::thread& t) {
  return t.get_id() == std::this_thread::get_id();
}

}  // namespace

ThreadRunner::ThreadRunner() : impl_(new Impl) {}

ThreadRunner::~ThreadRunner() {
  // A std::thread destroyed while joinable ends the process; wait for Run() instead. The
  // derived class must already have made Run() return (or be about to), since its own part of
  // the object is gone by now. A thread cannot join itself: when Run() destroys its own
  // runner, let the thread finish on its own.
  if (impl_->thread.joinable()) {
    if (is_current_thread(impl_->thread)) {
      impl_->thread.detach();
    } else {
      impl_->thread.join();
    }
  }
  delete impl_;
}

int ThreadRunner::StartThread() {
  if (impl_->thread.joinable()) return 1;
  try {
    impl_->thread = std::thread([this] {
      try {
        Run();
      } catch (const std::exception& e) {
        // An exception leaving a thread body would end the process.
        tl_log(nullptr, "KX::ThreadRunner::StartThread", "threads", __LINE__, 1,
               "thread body ended by exception: %s", e.what());
      } catch (...) {
        tl_log(nullptr, "KX::ThreadRunner::StartThread", "threads", __LINE__, 1,
               "thread body ended by an unknown exception");
      }
    });
  } catch (const std::system_error&) {
    return -1;
  }
  impl_->started.store(true, std::memory_order_release);
  return 0;
}

void ThreadRunner::StopThread() {
  // Called from Run() itself there is nothing to wait for: joining would deadlock.
  if (!impl_->thread.joinable() || is_current_thread(impl_->thread)) return;
  impl_->thread.join();
  impl_->started.store(false, std::memory_order_release);
}

bool ThreadRunner::IsThreadStarted() const {
  return impl_->started.load(std::memory_order_acquire);
}

// ---- ManualResetEvent ------------------------------------------------------------------------

struct ManualResetEvent::Impl {
  mutable std::mutex mutex;
  std::condition_variable cond;
  bool signalled = false;
};

ManualResetEvent::ManualResetEvent(bool initial) : impl_(new Impl) {
  impl_->signalled = initial;
}

ManualResetEvent::~ManualResetEvent() {
  delete impl_;
}

void ManualResetEvent::Set() {
  // Notify while holding the lock: a waiter that wakes may destroy the event at once, so Set
  // must not touch it after the unlock.
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->signalled = true;
  impl_->cond.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->signalled = false;
}

bool ManualResetEvent::WaitOnce(int ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  auto is_signalled = [this] { return impl_->signalled; };
  if (ms < 0) {
    impl_->cond.wait(lock, is_signalled);
    return true;
  }
  // The predicate form re-checks after spurious wake-ups and measures the limit on a steady
  // clock, so a wall-clock change neither shortens nor stretches the wait.
  return impl_->cond.wait_for(lock, std::chrono::milliseconds(ms), is_signalled);
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->signalled;
}

}  // namespace KX
