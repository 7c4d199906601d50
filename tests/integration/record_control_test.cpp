#include <csignal>

#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

using ::testing::ElementsAre;

TEST_F(RecordOnSim, PausedTimeIsNeitherWrittenNorCounted) {
  sim.runtime.at(1s, [this] { engine().deliver(constantBuffer(0.2f, 1000)); });
  sim.runtime.at(2s, [this] { sim.runtime.feedStdin("pause\n"); });
  sim.runtime.at(3s, [this] {
    EXPECT_FALSE(engine().deliver(constantBuffer(0.9f, 1000))) << "the engine is paused";
    systemCycle(0.9f);
  });
  sim.runtime.at(32s, [this] { sim.runtime.feedStdin("resume\n"); });
  sim.runtime.at(33s, [this] { engine().deliver(constantBuffer(0.2f, 1000)); });
  sim.runtime.at(36s, [this] { sim.runtime.feedStdin("stop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("paused", 2), event("tick", 2), event("tick", 2),
                          event("tick", 2), event("tick", 2), event("tick", 2), event("tick", 2),
                          event("resumed", 2), event("tick", 5), event("stopped", 6)));
  EXPECT_EQ(file("mic.m4a").samples[0].size(), 2000u);
  EXPECT_TRUE(file("system.m4a").samples.empty() || file("system.m4a").samples[0].empty());
  EXPECT_NEAR(recorder->pausedTotal, 30.0, 1e-9);
}

TEST_F(RecordOnSim, LevelsAreZeroWhilePaused) {
  sim.runtime.at(1s, [this] { sim.runtime.feedStdin("pause\n"); });
  sim.runtime.at(1100ms, [this] { systemCycle(0.9f); });
  sim.runtime.at(2s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  const auto levels = levelLines();
  for (std::size_t i = 5; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i], "{\"event\":\"level\",\"v\":0.0}");
  }
}

TEST_F(RecordOnSim, RepeatedOrUnmatchedPauseAndResumeAreIgnored) {
  sim.runtime.at(1s, [this] { sim.runtime.feedStdin("resume\npause\npause\n"); });
  sim.runtime.at(3s, [this] { sim.runtime.feedStdin("resume\nresume\nstop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("paused", 1), event("resumed", 1), event("stopped", 1)));
}

TEST_F(RecordOnSim, AFailedResumeStaysPausedAndCanBeTriedAgain) {
  sim.runtime.at(1s, [this] {
    sim.runtime.feedStdin("pause\n");
    engine().failStart(engineError(), 1);
  });
  sim.runtime.at(2s, [this] { sim.runtime.feedStdin("resume\n"); });
  sim.runtime.at(7s, [this] { sim.runtime.feedStdin("resume\n"); });
  sim.runtime.at(8s, [this] { sim.runtime.feedStdin("stop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.runtime.stderrText(),
            "resume engine start failed: Error Domain=sim.engine Code=7 \"the device went "
            "away\"\n");
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started(), event("paused", 1), event("tick", 1),
                                                event("resumed", 1), event("stopped", 2)));
}

TEST_F(RecordOnSim, StopWhilePausedLeavesTheCurrentPauseOut) {
  sim.runtime.at(4s, [this] { sim.runtime.feedStdin("pause\n"); });
  sim.runtime.at(9s, [this] { sim.runtime.raiseSignal(SIGINT); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("paused", 4), event("tick", 4), event("stopped", 4)));
}

TEST_F(RecordOnSim, CommandsAreTrimmedCaseSensitiveAndMaySpanReads) {
  sim.runtime.at(1s, [this] { sim.runtime.feedStdin("Pause\nPAUSE\n\n  pa"); });
  sim.runtime.at(2s, [this] { sim.runtime.feedStdin("use \r\n"); });
  sim.runtime.at(3s, [this] { sim.runtime.feedStdin("\tresume\nbogus\xff\n"); });
  sim.runtime.at(4s, [this] { sim.runtime.feedStdin("stop\npause\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("paused", 2), event("resumed", 2), event("stopped", 3)));
}

TEST_F(RecordOnSim, SeveralCommandsInOneReadRunInOrder) {
  sim.runtime.at(1s, [this] { sim.runtime.feedStdin("pause\nresume\n"); });
  sim.runtime.at(2s, [this] { sim.runtime.feedStdin("pause"); });
  sim.runtime.at(3s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("paused", 1), event("resumed", 1), event("stopped", 3)))
      << "a command without its line feed never runs";
}

TEST_F(RecordOnSim, EventsKeepFlowingWhenTheParentIsGone) {
  sim.runtime.at(1s, [this] { sim.runtime.setStdoutBroken(true); });
  sim.runtime.at(7s, [this] {
    engine().deliver(constantBuffer(0.2f));
    sim.runtime.closeStdin();
  });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_EQ(file("mic.m4a").samples[0].size(), 4096u);
}

}  // namespace
}  // namespace zuno::testing
