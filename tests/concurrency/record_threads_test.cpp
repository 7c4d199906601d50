#include <atomic>
#include <thread>

#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

constexpr std::uint32_t kMicFrames = 4096;
constexpr std::uint32_t kSystemFrames = 480;

// Frames written so far into a track file of the run; 0 before the first write.
std::size_t framesIn(SimPlatform& sim, const std::string& name) {
  const auto written = sim.audioFiles.writtenFile(std::string("/rec/out/") + name);
  return written && !written->samples.empty() ? written->samples[0].size() : 0;
}

// Polls until `done`; the deadline only keeps a broken run from hanging the suite.
template <typename Predicate>
bool waitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Both capture paths on real threads, paced like devices, while the main thread pauses, resumes
// and stops: the lock discipline is what ThreadSanitizer checks here. Every resume waits until
// both tracks are written again, so capture and the next pause really overlap, and the files
// must come out whole.
TEST_F(RecordOnSim, RealCaptureThreadsAgainstPauseResumeAndStop) {
  engine().startDeliveryThread(
      [](std::size_t i) { return constantBuffer(0.01f * (i % 50), kMicFrames); });
  std::atomic<bool> systemRunning{true};
  std::thread system([&] {
    // One IO cycle per cycle's worth of real time, as the device's clock would run them.
    const auto period = std::chrono::microseconds(1'000'000 * kSystemFrames / 48000);
    auto due = std::chrono::steady_clock::now();
    while (systemRunning.load()) {
      systemCycle(0.3f, kSystemFrames);
      due += period;
      std::this_thread::sleep_until(due);
    }
  });

  // Each round pauses, resumes, and then holds the main thread until both tracks are written
  // again, so capture and the next pause really overlap.
  std::size_t micBefore = 0;
  std::size_t sysBefore = 0;
  bool bothWrittenAgain = true;
  for (int round = 0; round < 11; ++round) {
    const auto start = round * 500ms;
    sim.runtime.at(start, [this] { sim.runtime.feedStdin("pause\n"); });
    sim.runtime.at(start + 250ms, [&] {
      micBefore = framesIn(sim, "mic.m4a");
      sysBefore = framesIn(sim, "system.m4a");
      sim.runtime.feedStdin("resume\n");
    });
    sim.runtime.at(start + 499ms, [&] {
      bothWrittenAgain =
          bothWrittenAgain && waitUntil([&] {
            return framesIn(sim, "mic.m4a") > micBefore && framesIn(sim, "system.m4a") > sysBefore;
          });
    });
  }
  sim.runtime.at(5500ms, [this] { sim.runtime.feedStdin("stop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_TRUE(bothWrittenAgain);
  const auto micFrames = framesIn(sim, "mic.m4a");
  const auto sysFrames = framesIn(sim, "system.m4a");

  // Nothing reaches the files once they are complete.
  for (int i = 0; i < 50; ++i) systemCycle(0.3f, kSystemFrames);
  systemRunning = false;
  system.join();
  engine().joinDeliveryThread();

  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
  EXPECT_EQ(micFrames % kMicFrames, 0u) << "whole buffers only";
  EXPECT_EQ(framesIn(sim, "mic.m4a"), micFrames);
  EXPECT_EQ(framesIn(sim, "system.m4a"), sysFrames);
  EXPECT_EQ(linesWithoutLevels().back(), event("stopped", 2)) << "5.5 s, 2.75 of them paused";
}

}  // namespace
}  // namespace zuno::testing
