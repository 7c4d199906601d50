#include <csignal>

#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::SizeIs;

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
}

TEST_F(RecordOnSim, LevelsAreZeroWhilePaused) {
  sim.runtime.at(500ms, [this] {
    engine().deliver(constantBuffer(0.5f, 1000));
    systemCycle(0.25f);
  });
  // Heard before the pause but not reported yet: the pause must not report it either.
  sim.runtime.at(900ms, [this] { engine().deliver(constantBuffer(0.7f, 1000)); });
  sim.runtime.at(950ms, [this] { sim.runtime.feedStdin("pause\n"); });
  sim.runtime.at(1100ms, [this] {
    engine().deliver(constantBuffer(0.9f, 1000));
    systemCycle(0.9f);
  });
  sim.runtime.at(2s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);

  std::vector<std::string> before;
  std::vector<std::string> whilePaused;
  bool paused = false;
  for (const auto& line : sim.runtime.stdoutLines()) {
    if (line == event("paused", 0)) paused = true;
    if (line.find("\"event\":\"level\"") == std::string::npos) continue;
    (paused ? whilePaused : before).push_back(line);
  }
  const std::string zero = "{\"event\":\"level\",\"v\":0.0}";
  EXPECT_THAT(before, ElementsAre(zero, zero, "{\"event\":\"level\",\"v\":0.5}", zero))
      << "the meter works before the pause";
  EXPECT_THAT(whilePaused, SizeIs(Ge(5u))) << "1.0 s to 1.8 s at least";
  EXPECT_THAT(whilePaused, Each(zero));
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

// With the parent gone every write to standard output is refused: the run must go on writing its
// events into nothing and still end in order when standard input reaches its end.
TEST_F(RecordOnSim, EventsKeepFlowingWhenTheParentIsGone) {
  sim.runtime.at(900ms, [this] { sim.runtime.setStdoutBroken(true); });
  sim.runtime.at(7100ms, [this] {
    engine().deliver(constantBuffer(0.2f));
    sim.runtime.closeStdin();
  });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started()));
  EXPECT_EQ(levelLines().size(), 4u) << "0.2 s to 0.8 s, before the parent went";
  EXPECT_EQ(sim.runtime.refusedStdoutWrites(), 33u)
      << "the levels from 1.0 s to 7.0 s, the tick at 5 s and stopped";
  EXPECT_EQ(sim.runtime.stderrText(), "");
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
  EXPECT_EQ(file("mic.m4a").samples[0].size(), 4096u) << "written after the parent went";
}

}  // namespace
}  // namespace zuno::testing
