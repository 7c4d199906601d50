#include <atomic>
#include <thread>

#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

// Both capture paths on real threads while the main thread pauses, resumes and stops: the lock
// discipline is what ThreadSanitizer checks here, and the files must come out whole.
TEST_F(RecordOnSim, RealCaptureThreadsAgainstPauseResumeAndStop) {
  sim.runtime.setMainLoopReturnsImmediately(true);
  ASSERT_EQ(runRecorder(), std::nullopt);

  constexpr std::size_t kMicBuffers = 400;
  engine().startDeliveryThread([](std::size_t i) { return constantBuffer(0.01f * (i % 50), 4096); },
                               kMicBuffers);
  std::atomic<bool> systemRunning{true};
  std::atomic<int> systemCycles{0};
  std::thread system([&] {
    while (systemRunning.load()) {
      if (systemCycle(0.3f, 480)) ++systemCycles;
      std::this_thread::yield();
    }
  });

  for (int round = 0; round < 20; ++round) {
    sim.runtime.feedStdin(round % 2 == 0 ? "pause\n" : "resume\n");
    sim.runtime.advanceBy(250ms);
    std::this_thread::yield();
  }
  sim.runtime.feedStdin("resume\n");
  sim.runtime.advanceBy(250ms);
  while (engine().buffersDelivered() < kMicBuffers / 2) std::this_thread::yield();

  sim.runtime.feedStdin("stop\n");
  EXPECT_EQ(platform::sim::runToExit([this] { sim.runtime.advanceBy(1s); }), 0);
  const auto micFrames = file("mic.m4a").samples[0].size();
  const auto sysFrames = file("system.m4a").samples[0].size();

  // Nothing reaches the files once they are complete.
  for (int i = 0; i < 50; ++i) systemCycle(0.3f, 480);
  systemRunning = false;
  system.join();
  engine().joinDeliveryThread();

  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
  EXPECT_EQ(micFrames % 4096, 0u);
  EXPECT_GT(micFrames, 0u);
  EXPECT_EQ(file("mic.m4a").samples[0].size(), micFrames);
  EXPECT_EQ(file("system.m4a").samples[0].size(), sysFrames);
  EXPECT_EQ(linesWithoutLevels().back(), event("stopped", 2)) << "5.25 s, 2.5 of them paused";
}

}  // namespace
}  // namespace zuno::testing
