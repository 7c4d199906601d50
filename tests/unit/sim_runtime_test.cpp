#include "sim/sim_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace platform::sim {
namespace {

using namespace std::chrono_literals;

TEST(SimRuntimeScheduling, TasksRunByDeadlineAndTiesInSubmissionOrder) {
  SimRuntime runtime;
  std::vector<std::string> order;
  runtime.after(2s, [&] { order.push_back("b"); });
  runtime.after(1s, [&] { order.push_back("a"); });
  runtime.after(2s, [&] { order.push_back("c"); });
  runtime.mainQueue().async([&] { order.push_back("now"); });
  runtime.advanceBy(3s);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "a", "b", "c"}));
  EXPECT_EQ(runtime.now(), 3s);
}

TEST(SimRuntimeScheduling, SerialQueuesKeepOrderAndLabels) {
  SimRuntime runtime;
  auto writer = runtime.makeSerialQueue("writer");
  auto mixer = runtime.makeSerialQueue("mixer");
  std::vector<std::string> order;
  writer->async([&] {
    order.push_back("w1");
    writer->async([&] { order.push_back("w3"); });
  });
  mixer->async([&] { order.push_back("m1"); });
  writer->async([&] { order.push_back("w2"); });
  runtime.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"w1", "m1", "w2", "w3"}));
  EXPECT_EQ(runtime.serialQueueLabels(), (std::vector<std::string>{"writer", "mixer"}));
}

TEST(SimRuntimeScheduling, AdvanceByRunsWorkScheduledInsideTheWindowOnly) {
  SimRuntime runtime;
  std::vector<Duration> seen;
  runtime.after(1s, [&] {
    seen.push_back(runtime.monotonicNow());
    runtime.mainQueue().asyncAfter(500ms, [&] { seen.push_back(runtime.monotonicNow()); });
    runtime.mainQueue().asyncAfter(2s, [&] { seen.push_back(runtime.monotonicNow()); });
  });
  runtime.advanceBy(2s);
  EXPECT_EQ(seen, (std::vector<Duration>{1s, 1500ms}));
  EXPECT_EQ(runtime.now(), 2s);
  runtime.advanceBy(1s);
  EXPECT_EQ(seen, (std::vector<Duration>{1s, 1500ms, 3s}));
}

TEST(SimRuntimeScheduling, RunUntilIdleRunsOnlyWhatIsDueNow) {
  SimRuntime runtime;
  int ran = 0;
  runtime.mainQueue().async([&] { ++ran; });
  runtime.after(1ns, [&] { ran += 10; });
  runtime.runUntilIdle();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(runtime.now(), 0s);
  EXPECT_EQ(runtime.pendingTaskCount(), 1u);
}

TEST(SimRuntimeScheduling, SleepForMovesTimeAndDueTasksRunLate) {
  SimRuntime runtime;
  std::optional<Duration> ranAt;
  runtime.after(1s, [&] { ranAt = runtime.monotonicNow(); });
  runtime.mainQueue().async([&] { runtime.sleepFor(5s); });
  runtime.runUntilIdle();
  EXPECT_EQ(runtime.now(), 5s);
  ASSERT_TRUE(ranAt);  // now overdue, so it belongs to the current instant
  EXPECT_EQ(*ranAt, 5s);
}

TEST(SimRuntimeClocks, WallClockAdvancesWithVirtualTimeAndCanJumpBackwards) {
  SimRuntime runtime;
  EXPECT_DOUBLE_EQ(runtime.wallClockSeconds(), 1'700'000'000.0);
  runtime.advanceBy(2500ms);
  EXPECT_DOUBLE_EQ(runtime.wallClockSeconds(), 1'700'000'002.5);
  runtime.setWallClock(1000.0);
  EXPECT_DOUBLE_EQ(runtime.wallClockSeconds(), 1000.0);
  runtime.advanceBy(2s);
  EXPECT_DOUBLE_EQ(runtime.wallClockSeconds(), 1002.0);
  EXPECT_EQ(runtime.monotonicNow(), 4500ms);
}

TEST(SimRuntimeMainLoop, ReturnsWhenIdleAtLimitOrImmediately) {
  SimRuntime runtime;
  int ran = 0;
  runtime.after(1s, [&] { ++ran; });
  runtime.after(10s, [&] { ++ran; });
  runtime.setMainLoopLimit(5s);
  runtime.runMainLoop();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(runtime.now(), 5s);

  runtime.setMainLoopReturnsImmediately(true);
  runtime.runMainLoop();
  EXPECT_EQ(runtime.now(), 5s);

  runtime.setMainLoopReturnsImmediately(false);
  runtime.setMainLoopLimit(std::nullopt);
  runtime.runMainLoop();
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(runtime.now(), 10s);
}

TEST(SimRuntimeExit, ExitEscapesStandardCatchesAndIsRecorded) {
  SimRuntime runtime;
  bool swallowed = false;
  runtime.after(3s, [&] {
    try {
      runtime.exitProcess(7);
    } catch (const std::exception&) {
      swallowed = true;
    }
  });
  runtime.after(4s, [] { FAIL() << "ran after the process ended"; });
  EXPECT_EQ(runToExit([&] { runtime.runMainLoop(); }), 7);
  EXPECT_FALSE(swallowed);
  EXPECT_EQ(runtime.exitStatus(), 7);
  EXPECT_EQ(runtime.now(), 3s);
  EXPECT_EQ(runToExit([] {}), std::nullopt);
}

TEST(SimSemaphore, WaitOnTheSchedulerThreadRunsTasksUntilSignalled) {
  SimRuntime runtime;
  auto done = runtime.makeSemaphore(0);
  bool earlierRan = false;
  runtime.after(1s, [&] { earlierRan = true; });
  runtime.after(3s, [&] { done->signal(); });
  runtime.after(9s, [] {});
  std::optional<Duration> wokeAt;
  runtime.mainQueue().async([&] {
    done->wait();
    wokeAt = runtime.monotonicNow();
  });
  runtime.runUntilIdle();
  EXPECT_TRUE(earlierRan);
  EXPECT_EQ(wokeAt, 3s);
  EXPECT_EQ(runtime.pendingTaskCount(), 1u);  // the 9 s task is left for later
}

TEST(SimSemaphore, InitialValueIsConsumedOneWaitAtATime) {
  SimRuntime runtime;
  runtime.setDeadlockTimeout(50ms);
  auto slots = runtime.makeSemaphore(2);
  slots->wait();
  slots->wait();
  EXPECT_THROW(slots->wait(), SimDeadlock);
}

TEST(SimSemaphore, WaitBlocksForASignalFromARealThreadWhenNothingIsScheduled) {
  SimRuntime runtime;
  auto done = runtime.makeSemaphore(0);
  std::thread signaller([&] {
    std::this_thread::sleep_for(20ms);
    done->signal();
  });
  done->wait();
  signaller.join();
  EXPECT_EQ(runtime.now(), 0s);
}

TEST(SimSemaphore, AWaitThatCanNeverEndIsReportedInsteadOfHanging) {
  SimRuntime runtime;
  runtime.setDeadlockTimeout(50ms);
  auto never = runtime.makeSemaphore(0);
  EXPECT_THROW(never->wait(), SimDeadlock);
}

TEST(SimRuntimeAsyncTasks, RunAsSchedulerTasksByDefault) {
  SimRuntime runtime;
  bool ran = false;
  runtime.runAsyncTask([&] { ran = true; });
  EXPECT_FALSE(ran);  // never on the caller's stack
  runtime.runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST(SimRuntimeAsyncTasks, RealThreadTaskRunsElsewhereAndItsExitReachesTheMainLoop) {
  SimRuntime runtime;
  runtime.setAsyncTasksOnRealThreads(true);
  std::atomic<bool> elsewhere = false;
  const auto mainThread = std::this_thread::get_id();
  runtime.runAsyncTask([&] {
    elsewhere = std::this_thread::get_id() != mainThread;
    runtime.exitProcess(3);
  });
  EXPECT_EQ(runToExit([&] { runtime.runMainLoop(); }), 3);
  EXPECT_TRUE(elsewhere);
}

TEST(SimRuntimeAsyncTasks, FailureOnARealThreadIsRethrownOnTheDrivingThread) {
  SimRuntime runtime;
  runtime.setAsyncTasksOnRealThreads(true);
  runtime.runAsyncTask([] { throw std::runtime_error("tap failed"); });
  EXPECT_THROW(runtime.runMainLoop(), std::runtime_error);
}

TEST(SimRuntimeThreads, TasksPostedFromARealThreadRunInOrderAtTheCurrentInstant) {
  SimRuntime runtime;
  runtime.advanceBy(7s);
  std::vector<int> order;
  std::vector<Duration> times;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      runtime.mainQueue().async([&, i] {
        order.push_back(i);
        times.push_back(runtime.monotonicNow());
      });
    }
  });
  poster.join();
  runtime.runUntilIdle();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(times.front(), 7s);
  EXPECT_EQ(times.back(), 7s);
}

}  // namespace
}  // namespace platform::sim
