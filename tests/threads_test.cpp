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

TEST(ThreadRunnerTest, StartRunsOnAnotherThreadStopJoinsAndStartWorksAgain) {
  StoppableRunner runner;
  EXPECT_FALSE(runner.IsThreadStarted());
  runner.StopThread();  // harmless before a start
  ASSERT_EQ(runner.StartThread(), 0);
  EXPECT_TRUE(runner.IsThreadStarted());
  EXPECT_TRUE(runner.started.WaitOnce(-1));
  EXPECT_EQ(runner.StartThread(), 1);  // already running: no second thread
  runner.Stop();
  EXPECT_FALSE(runner.IsThreadStarted());
  runner.StopThread();  // twice is harmless
  EXPECT_EQ(runner.runs.load(), 1);

  runner.stop_requested.Reset();
  runner.started.Reset();
  ASSERT_EQ(runner.StartThread(), 0);
  EXPECT_TRUE(runner.started.WaitOnce(-1));
  runner.Stop();
  EXPECT_EQ(runner.runs.load(), 2);
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

class ThrowingRunner : public ThreadRunner {
 public:
  ~ThrowingRunner() override { StopThread(); }
  void Run() override { throw std::runtime_error("bad feed"); }
};

TEST(ThreadRunnerDestroy, DestroyWhileRunningWaitsForRunAndAThrowingRunEndsNothing) {
  g_entered.Reset();  // a repeated run starts afresh
  g_finished.store(false);
  auto* runner = new UnstoppedRunner;
  ASSERT_EQ(runner->StartThread(), 0);
  g_entered.WaitOnce(-1);
  delete runner;  // must join, not end the process
  EXPECT_TRUE(g_finished.load());

  ThrowingRunner throwing;
  ASSERT_EQ(throwing.StartThread(), 0);
  throwing.StopThread();
  EXPECT_FALSE(throwing.IsThreadStarted());
}

TEST(ManualResetEventTest, StaysSetUntilResetAndTimesOutWhenNot) {
  ManualResetEvent on(true);
  EXPECT_TRUE(on.IsSet());
  EXPECT_TRUE(on.WaitOnce(0));
  EXPECT_TRUE(on.WaitOnce(-1));  // waiting does not reset
  ManualResetEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitOnce(0));
  const int64_t before = TimeTools::steady_ms();
  EXPECT_FALSE(event.WaitOnce(30));
  // Only a lower bound: a busy machine may wake the waiter late, never early.
  EXPECT_GE(TimeTools::steady_ms() - before, 30);
  event.Set();
  event.Set();  // setting twice is fine
  EXPECT_TRUE(event.WaitOnce(10));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitOnce(0));
}

// Set from another thread wakes every waiter. A waiter may destroy the event as soon as it wakes:
// Set must not touch the event after the waiter can see it signalled.
TEST(ManualResetEventTest, SetFromAnotherThreadWakesEveryWaiter) {
  ManualResetEvent event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] { woken += event.WaitOnce(-1); });
  }
  std::thread setter([&event] {
    TimeTools::delay_ms(20);
    event.Set();
  });
  EXPECT_TRUE(event.WaitOnce(-1));
  setter.join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);

  for (int i = 0; i < 200; ++i) {
    auto* doomed = new ManualResetEvent;
    std::thread quick_setter([doomed] { doomed->Set(); });
    doomed->WaitOnce(-1);
    delete doomed;  // the setter may still be inside Set()
    quick_setter.join();
  }
}

}  // namespace
