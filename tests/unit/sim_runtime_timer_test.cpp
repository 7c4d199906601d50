#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "sim/sim_runtime.h"

namespace platform::sim {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<TimerSource> countingTimer(SimRuntime& runtime, std::vector<Duration>& firings) {
  auto timer = runtime.makeTimer(runtime.mainQueue());
  timer->setHandler([&runtime, &firings] { firings.push_back(runtime.monotonicNow()); });
  return timer;
}

TEST(SimTimer, NothingFiresBeforeResumeAndAOneShotFiresOnce) {
  SimRuntime runtime;
  std::vector<Duration> firings;
  auto timer = countingTimer(runtime, firings);
  timer->schedule(1s, std::nullopt, 0ms);
  runtime.advanceBy(5s);
  EXPECT_TRUE(firings.empty());
  timer->resume();
  runtime.advanceBy(5s);
  EXPECT_EQ(firings, (std::vector<Duration>{5s}));  // overdue, so at once
}

TEST(SimTimer, RepeatingTimersKeepExactCadenceOverALongRecording) {
  SimRuntime runtime;
  std::vector<Duration> levels;
  std::vector<Duration> ticks;
  auto level = countingTimer(runtime, levels);
  auto tick = countingTimer(runtime, ticks);
  level->schedule(200ms, 200ms, 20ms);
  tick->schedule(5s, 5s, 0ms);
  level->resume();
  tick->resume();
  runtime.advanceBy(14400s);
  ASSERT_EQ(levels.size(), 72'000u);
  ASSERT_EQ(ticks.size(), 2'880u);
  for (std::size_t n = 0; n < levels.size(); ++n) ASSERT_EQ(levels[n], 200ms * (n + 1)) << n;
  for (std::size_t n = 0; n < ticks.size(); ++n) ASSERT_EQ(ticks[n], 5s * (n + 1)) << n;
}

TEST(SimTimer, CancelledFromAHandlerDueAtTheSameInstantNeverFires) {
  SimRuntime runtime;
  std::vector<Duration> first;
  std::vector<Duration> second;
  auto a = countingTimer(runtime, first);
  auto b = countingTimer(runtime, second);
  a->schedule(1s, 1s, 0ms);
  b->schedule(1s, 1s, 0ms);
  a->setHandler([&] {
    first.push_back(runtime.monotonicNow());
    b->cancel();
  });
  a->resume();
  b->resume();
  runtime.advanceBy(3s);
  EXPECT_EQ(first.size(), 3u);
  EXPECT_TRUE(second.empty());
  EXPECT_TRUE(runtime.timers().at(1).cancelled);
}

TEST(SimTimer, CancelInsideItsOwnHandlerStopsRepeating) {
  SimRuntime runtime;
  int firings = 0;
  auto timer = runtime.makeTimer(runtime.mainQueue());
  timer->setHandler([&] {
    if (++firings == 2) timer->cancel();
  });
  timer->schedule(1s, 1s, 0ms);
  timer->resume();
  runtime.advanceBy(10s);
  EXPECT_EQ(firings, 2);
}

TEST(SimTimer, RescheduleReplacesThePendingFiring) {
  SimRuntime runtime;
  std::vector<Duration> firings;
  auto timer = countingTimer(runtime, firings);
  timer->schedule(1s, std::nullopt, 0ms);
  timer->resume();
  runtime.advanceBy(500ms);
  timer->schedule(2s, std::nullopt, 0ms);
  runtime.advanceBy(5s);
  EXPECT_EQ(firings, (std::vector<Duration>{2500ms}));
}

TEST(SimTimer, LateFiringCoalescesAndStaysOnTheGrid) {
  SimRuntime runtime;
  std::vector<Duration> firings;
  auto timer = countingTimer(runtime, firings);
  timer->schedule(1s, 1s, 0ms);
  timer->resume();
  runtime.sleepFor(3500ms);
  runtime.advanceBy(1s);
  EXPECT_EQ(firings, (std::vector<Duration>{3500ms, 4s}));
}

TEST(SimTimer, DroppingTheLastReferenceCancelsIt) {
  SimRuntime runtime;
  std::vector<Duration> firings;
  auto timer = countingTimer(runtime, firings);
  timer->schedule(1s, 1s, 0ms);
  timer->resume();
  runtime.advanceBy(1s);
  timer.reset();
  runtime.advanceBy(5s);
  EXPECT_EQ(firings.size(), 1u);
}

TEST(SimTimer, ScheduleIsVisibleForInspection) {
  SimRuntime runtime;
  auto queue = runtime.makeSerialQueue("levels");
  auto timer = runtime.makeTimer(*queue);
  runtime.advanceBy(1s);
  timer->schedule(200ms, 200ms, 50ms);
  timer->resume();
  runtime.advanceBy(1s);
  auto timers = runtime.timers();
  ASSERT_EQ(timers.size(), 1u);
  EXPECT_EQ(timers[0].queueLabel, "levels");
  EXPECT_EQ(timers[0].firstDeadline, 1200ms);
  EXPECT_EQ(timers[0].interval, 200ms);
  EXPECT_EQ(timers[0].leeway, 50ms);
  EXPECT_TRUE(timers[0].resumed);
  EXPECT_FALSE(timers[0].cancelled);
  EXPECT_EQ(timers[0].firings, 5u);
}

}  // namespace
}  // namespace platform::sim
