// ThreadRunner start/stop life cycle and ManualResetEvent signalling.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

using KX::ManualResetEvent;
using KX::ThreadRunner;
using KX::TimeTools;

// Runs until told to stop through its own event; counts how often Run() was entered.
class StoppableRunner : public ThreadRunner {
 public:
  ~StoppableRunner() override { Stop(); }
  void Run() override {
    runs.fetch_add(1);
    started.Set();
    stop_requested.WaitOnce(-1);
  }
  void Stop() {
    stop_requested.Set();
    StopThread();
  }

  std::atomic<int> runs{0};
  ManualResetEvent started;
  ManualResetEvent stop_requested;
};

class ThreadRunnerTest : public ::testing::Test {
 protected:
  StoppableRunner runner_;
};

TEST_F(ThreadRunnerTest, NotStartedAtFirstAndStopIsHarmless) {
  EXPECT_FALSE(runner_.IsThreadStarted());
  runner_.StopThread();
  runner_.StopThread();
  EXPECT_FALSE(runner_.IsThreadStarted());
  EXPECT_EQ(runner_.runs.load(), 0);
}

TEST_F(ThreadRunnerTest, StartRunsOnAnotherThreadAndStopJoins) {
  ASSERT_EQ(runner_.StartThread(), 0);
  EXPECT_TRUE(runner_.IsThreadStarted());
  EXPECT_TRUE(runner_.started.WaitOnce(-1));
  EXPECT_EQ(runner_.StartThread(), 1);  // already running: no second thread
  runner_.Stop();
  EXPECT_FALSE(runner_.IsThreadStarted());
  EXPECT_EQ(runner_.runs.load(), 1);
  runner_.StopThread();  // twice is harmless
}

TEST_F(ThreadRunnerTest, StartsAgainAfterStop) {
  ASSERT_EQ(runner_.StartThread(), 0);
  runner_.Stop();
  runner_.stop_requested.Reset();
  runner_.started.Reset();
  ASSERT_EQ(runner_.StartThread(), 0);
  EXPECT_TRUE(runner_.started.WaitOnce(-1));
  runner_.Stop();
  EXPECT_EQ(runner_.runs.load(), 2);
}

// A runner whose derived destructor does not stop the thread. Run() touches only state outside
// the object, so the base destructor may wait for it after the derived part is gone.
std::atomic<bool> g_finished{false};
ManualResetEvent g_entered;

class UnstoppedRunner : public ThreadRunner {
 public:
  void Run() override {
    g_entered.Set();
    TimeTools::delay_ms(50);
    g_finished.store(true);
  }
};

TEST(ThreadRunnerDestroy, DestroyWhileRunningWaitsForRun) {
  g_entered.Reset();
  g_finished.store(false);
  auto* runner = new UnstoppedRunner;
  ASSERT_EQ(runner->StartThread(), 0);
  g_entered.WaitOnce(-1);
  delete runner;  // must join, not end the process
  EXPECT_TRUE(g_finished.load());
}

class ThrowingRunner : public ThreadRunner {
 public:
  ~ThrowingRunner() override { StopThread(); }
  void Run() override { throw std::runtime_error("bad feed"); }
};

TEST(ThreadRunnerDestroy, ExceptionFromRunDoesNotEndTheProcess) {
  ThrowingRunner runner;
  ASSERT_EQ(runner.StartThread(), 0);
  runner.StopThread();
  EXPECT_FALSE(runner.IsThreadStarted());
}

// ---- ManualResetEvent ------------------------------------------------------------------------

TEST(ManualResetEventTest, InitialState) {
  ManualResetEvent off;
  EXPECT_FALSE(off.IsSet());
  ManualResetEvent on(true);
  EXPECT_TRUE(on.IsSet());
  EXPECT_TRUE(on.WaitOnce(0));
  EXPECT_TRUE(on.WaitOnce(-1));
}

TEST(ManualResetEventTest, WaitTimesOutWhenNotSignalled) {
  ManualResetEvent event;
  EXPECT_FALSE(event.WaitOnce(0));
  const int64_t before = TimeTools::steady_ms();
  EXPECT_FALSE(event.WaitOnce(30));
  // Only a lower bound: a busy machine may wake the waiter late, never early.
  EXPECT_GE(TimeTools::steady_ms() - before, 30);
}

TEST(ManualResetEventTest, StaysSetUntilReset) {
  ManualResetEvent event;
  event.Set();
  EXPECT_TRUE(event.WaitOnce(0));
  EXPECT_TRUE(event.WaitOnce(10));  // waiting does not reset
  event.Set();                      // setting twice is fine
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitOnce(0));
}

TEST(ManualResetEventTest, SetFromAnotherThreadWakesWaiter) {
  ManualResetEvent event;
  std::thread setter([&event] {
    TimeTools::delay_ms(20);
    event.Set();
  });
  EXPECT_TRUE(event.WaitOnce(-1));
  setter.join();
}

TEST(ManualResetEventTest, SetWakesEveryWaiter) {
  ManualResetEvent event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.WaitOnce(-1)) woken.fetch_add(1);
    });
  }
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
}

// A waiter that destroys the event as soon as it wakes: Set must not touch the event after
// the waiter can see it signalled.
TEST(ManualResetEventTest, WaiterMayDestroyEventOnWakeUp) {
  for (int i = 0; i < 200; ++i) {
    auto* event = new ManualResetEvent;
    std::thread setter([event] { event->Set(); });
    event->WaitOnce(-1);
    delete event;  // the setter may still be inside Set()
    setter.join();
  }
}

}  // namespace
