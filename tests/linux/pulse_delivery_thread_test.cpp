#include "linux/pulse_delivery_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

// The recording's clock, moved only by the test, so nothing but what a test asks for is ever
// placed or filled.
struct FakeClock {
  std::atomic<std::int64_t> nanoseconds{0};
  PulseDeliveryThread::Now now() {
    return [this] {
      return CaptureTimeline::Clock::time_point(std::chrono::nanoseconds(nanoseconds.load()));
    };
  }
  void advance(std::chrono::milliseconds by) {
    nanoseconds += std::chrono::nanoseconds(by).count();
  }
};
constexpr double kRate = 48000;

// Records each delivery and lets a test hold the handler inside a call.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> firstSamples;
  std::vector<std::uint32_t> frameCounts;
  std::uint64_t totalFrames = 0;
  std::thread::id thread;
  bool holdCalls = false;
  bool insideCall = false;

  void handle(const float* samples, std::uint32_t frames) {
    std::unique_lock guard(mutex);
    firstSamples.push_back(samples[0]);
    frameCounts.push_back(frames);
    totalFrames += frames;
    thread = std::this_thread::get_id();
    insideCall = true;
    changed.notify_all();
    changed.wait(guard, [&] { return !holdCalls; });
    insideCall = false;
    changed.notify_all();
  }
  bool waitForCalls(std::size_t count) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, 5s, [&] { return firstSamples.size() >= count; });
  }
  bool waitForFrames(std::uint64_t count) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, 5s, [&] { return totalFrames >= count; });
  }
  std::size_t calls() {
    std::lock_guard guard(mutex);
    return firstSamples.size();
  }
};

// A delivery thread handing what arrives to `recorder`, on `clock`.
std::unique_ptr<PulseDeliveryThread> deliveryTo(Recorder& recorder, FakeClock& clock,
                                                std::uint32_t channels = 1) {
  return std::make_unique<PulseDeliveryThread>(
      channels, kRate, [&recorder](const float* s, std::uint32_t f) { recorder.handle(s, f); },
      PulseDeliveryThread::Pacing::asDelivered, clock.now());
}

TEST(PulseDeliveryThread, DeliversWholeFramesInOrderOnItsOwnThread) {
  Recorder recorder;
  FakeClock clock;
  auto delivery = deliveryTo(recorder, clock, 2);
  const float first[] = {1, 1, 2, 2, 3, 3};
  const float second[] = {4, 4, 5};  // a trailing half frame is not a frame
  delivery->push(first, sizeof first);
  delivery->push(second, sizeof second);
  ASSERT_TRUE(recorder.waitForCalls(2));
  std::lock_guard guard(recorder.mutex);
  EXPECT_EQ(recorder.firstSamples, (std::vector<float>{1, 4}));
  EXPECT_EQ(recorder.frameCounts, (std::vector<std::uint32_t>{3, 1}));
  EXPECT_NE(recorder.thread, std::this_thread::get_id());
}

TEST(PulseDeliveryThread, AHoleArrivesAsSilence) {
  Recorder recorder;
  FakeClock clock;
  auto delivery = deliveryTo(recorder, clock);
  delivery->push(nullptr, 4 * sizeof(float));
  ASSERT_TRUE(recorder.waitForCalls(1));
  std::lock_guard guard(recorder.mutex);
  EXPECT_EQ(recorder.firstSamples[0], 0.0f);
  EXPECT_EQ(recorder.frameCounts[0], 4u);
}

TEST(PulseDeliveryThread, CloseWaitsForTheCallInProgressAndStopsLaterOnes) {
  Recorder recorder;
  FakeClock clock;
  auto delivery = deliveryTo(recorder, clock);
  {
    std::lock_guard guard(recorder.mutex);
    recorder.holdCalls = true;
  }
  const float sample[] = {7};
  delivery->push(sample, sizeof sample);
  delivery->push(sample, sizeof sample);
  ASSERT_TRUE(recorder.waitForCalls(1));

  std::atomic<bool> closed{false};
  std::thread closer([&] {
    delivery->close();
    closed = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(closed) << "close returned while a call was still running";
  {
    std::lock_guard guard(recorder.mutex);
    recorder.holdCalls = false;
  }
  recorder.changed.notify_all();
  closer.join();
  {
    std::lock_guard guard(recorder.mutex);
    EXPECT_FALSE(recorder.insideCall);
  }
  delivery->push(sample, sizeof sample);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(recorder.calls(), 1u) << "queued or later samples were delivered after close";
}

TEST(PulseDeliveryThread, OpenResumesWithOnlyNewSamples) {
  Recorder recorder;
  FakeClock clock;
  auto delivery = deliveryTo(recorder, clock);
  delivery->close();
  const float old[] = {1};
  delivery->push(old, sizeof old);
  delivery->open();
  const float fresh[] = {2};
  delivery->push(fresh, sizeof fresh);
  ASSERT_TRUE(recorder.waitForCalls(1));
  std::this_thread::sleep_for(50ms);
  std::lock_guard guard(recorder.mutex);
  EXPECT_EQ(recorder.firstSamples, (std::vector<float>{2}));
}

TEST(PulseDeliveryThread, CloseFromInsideTheHandlerDoesNotDeadlock) {
  std::atomic<int> calls{0};
  FakeClock clock;
  std::unique_ptr<PulseDeliveryThread> delivery;
  delivery = std::make_unique<PulseDeliveryThread>(
      1, kRate,
      [&](const float*, std::uint32_t) {
        ++calls;
        delivery->close();
      },
      PulseDeliveryThread::Pacing::asDelivered, clock.now());
  const float sample[] = {1};
  delivery->push(sample, sizeof sample);
  for (int i = 0; i < 100 && calls == 0; ++i) std::this_thread::sleep_for(10ms);
  delivery->push(sample, sizeof sample);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls, 1);
  delivery.reset();
}

// While the server is gone its time still passes: the handler gets it as silence, paused time
// excepted, and audio that comes back follows it.
TEST(PulseDeliveryThread, TheTimeOfALostSourceArrivesAsSilence) {
  Recorder recorder;
  FakeClock clock;
  auto delivery = deliveryTo(recorder, clock);
  delivery->setSourceLost(true);
  clock.advance(500ms);
  ASSERT_TRUE(recorder.waitForFrames(24000));

  delivery->close();
  clock.advance(10s);
  delivery->open();
  clock.advance(100ms);
  ASSERT_TRUE(recorder.waitForFrames(28800));

  delivery->setSourceLost(false);
  const float sample[] = {0.5f};
  delivery->push(sample, sizeof sample);
  ASSERT_TRUE(recorder.waitForFrames(28801));
  std::lock_guard guard(recorder.mutex);
  EXPECT_EQ(recorder.totalFrames, 28801u) << "the paused ten seconds were filled too";
  EXPECT_EQ(recorder.firstSamples.back(), 0.5f);
  for (std::size_t i = 0; i + 1 < recorder.firstSamples.size(); ++i) {
    EXPECT_EQ(recorder.firstSamples[i], 0.0f);
  }
}

}  // namespace
}  // namespace platform::linux_backend
