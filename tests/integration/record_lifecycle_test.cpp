#include <csignal>

#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST_F(RecordOnSim, StopAfterTicksCompletesBothFilesThenReportsStopped) {
  sim.runtime.at(12s, [this] { sim.runtime.feedStdin("stop\n"); });
  sim.runtime.at(1s, [this] {
    engine().deliver(constantBuffer(0.25f));
    systemCycle(0.1f);
  });
  sim.runtime.at(11900ms, [this] {
    // What "stopped" promises: by the time it is written both files are complete.
    EXPECT_FALSE(file("mic.m4a").completed);
  });

  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(),
              ElementsAre(started(), event("tick", 5), event("tick", 10), event("stopped", 12)));
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
  EXPECT_EQ(file("mic.m4a").samples.at(0).size(), 4096u);
  EXPECT_EQ(file("system.m4a").samples.at(0).size(), 512u) << "stereo mixed into the mono track";
  EXPECT_EQ(sim.runtime.stderrText(), "");
}

TEST_F(RecordOnSim, TheOutputDirectoryIsCreatedOwnerOnlyWithItsParents) {
  sim.runtime.startWithClosedStdin();
  EXPECT_EQ(runRecorder(), 0);
  for (const char* path : {"/rec", "/rec/out"}) {
    EXPECT_EQ(sim.fileSystem.directoryMode(path), std::optional<unsigned>(0700)) << path;
  }
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started(), event("stopped", 0)));
}

TEST_F(RecordOnSim, AnOutputDirectoryThatCannotBeCreatedIsAnIoFailure) {
  sim.fileSystem.addFile("/rec/out");
  EXPECT_EQ(runRecorder(), 1);
  const auto lines = sim.runtime.stdoutLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("{\"code\":\"io_failed\",\"event\":\"error\",\"message\":"
                                  "\"cannot create out-dir: "));
}

TEST_F(RecordOnSim, DurationCountsSetupTimeAndTicksComeEveryFiveSeconds) {
  sim.runtime.at(20s, [this] { sim.runtime.closeStdin(); });
  RunScope scope;
  auto recorder = scope.keep(Recorder::create(sim.platform(), kOutDir));
  sim.runtime.sleepFor(2s);  // setup that takes time before the timers start
  EXPECT_EQ(recorder->run(), 0);
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started(), event("tick", 7), event("tick", 12),
                                                event("tick", 17), event("stopped", 20)));
}

TEST_F(RecordOnSim, TwoStopRequestsGiveOneStopped) {
  sim.runtime.at(3s, [this] {
    sim.runtime.raiseSignal(SIGTERM);
    sim.runtime.raiseSignal(SIGINT);
    sim.runtime.feedStdin("stop\n");
  });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started(), event("stopped", 3)));
  EXPECT_TRUE(sim.runtime.isSignalIgnored(SIGTERM));
  EXPECT_TRUE(sim.runtime.isSignalIgnored(SIGINT));
}

TEST_F(RecordOnSim, AutoStopAfterFourHoursLeavesPausedTimeOut) {
  sim.runtime.at(100s, [this] { sim.runtime.feedStdin("pause\n"); });
  sim.runtime.at(700s, [this] { sim.runtime.feedStdin("resume\n"); });
  EXPECT_EQ(runRecorder(), 0);
  const auto lines = linesWithoutLevels();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), event("stopped", 14400 - 600));
  EXPECT_EQ(sim.runtime.now(), 14400s);
  // One report every 0.2 s; the one due at the very instant of the stop may or may not come.
  EXPECT_GE(levelLines().size(), 14400u * 5 - 1);
  EXPECT_LE(levelLines().size(), 14400u * 5);
}

TEST_F(RecordOnSim, LevelIsTheLouderPeakOfBothTracksSinceTheLastReport) {
  sim.runtime.at(100ms, [this] {
    engine().deliver(constantBuffer(-0.125f));
    systemCycle(0.05f);
  });
  sim.runtime.at(300ms, [this] { systemCycle(1.7f); });
  sim.runtime.at(1s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  const auto levels = levelLines();
  ASSERT_GE(levels.size(), 3u);
  EXPECT_EQ(levels[0], "{\"event\":\"level\",\"v\":0.13}");
  EXPECT_EQ(levels[1], "{\"event\":\"level\",\"v\":1.0}");
  EXPECT_EQ(levels[2], "{\"event\":\"level\",\"v\":0.0}") << "each report resets both peaks";
}

TEST_F(RecordOnSim, AClockSetBackBeforeTheStartReportsZero) {
  sim.runtime.at(3s, [this] {
    sim.runtime.setWallClock(1'000'000'000.0);
    sim.runtime.feedStdin("stop\n");
  });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(linesWithoutLevels().back(), event("stopped", 0));
}

}  // namespace
}  // namespace zuno::testing
