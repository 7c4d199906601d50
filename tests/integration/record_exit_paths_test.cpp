// What must be done before the process ends is done on every way out: the shipped program ends
// with _exit, and the sim counts a file as complete only when the program closed it.
#include <algorithm>
#include <csignal>
#include <functional>
#include <tuple>

#include "record_fixture.h"

namespace zuno::testing {
namespace {

struct WayOut {
  const char* name;
  std::function<void(SimPlatform&)> script;
  int status;
  bool engineStartFails = false;
};
void PrintTo(const WayOut& way, std::ostream* out) {
  *out << way.name;
}

// With voice processing on, and with voice processing that failed to come on: a canceller whose
// load the server confirms only after the recorder gave up on it is still ours to remove.
class EveryWayOut : public RecordOnSim,
                    public ::testing::WithParamInterface<std::tuple<WayOut, bool>> {};

TEST_P(EveryWayOut, CompletesBothTracksAndSwitchesVoiceProcessingOff) {
  const auto& [way, enablingFails] = GetParam();
  sim.process.setEnvironment("ZUNO_RECORDER_ENABLE_VP", "1");
  sim.runtime.at(500ms, [this] { engine().deliver(constantBuffer(0.5f)); });
  way.script(sim);
  failEngineStart = way.engineStartFails;
  failVoiceProcessing = enablingFails;

  EXPECT_EQ(runRecorder(), way.status);
  EXPECT_FALSE(engine().voiceProcessingEnabled()) << "left loaded in the user's audio server";
  const auto calls = engine().calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "setVoiceProcessingEnabled(0)"), 1)
      << "the way out did not switch it off";
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
  EXPECT_EQ(file("mic.m4a").closeCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Record, EveryWayOut,
    ::testing::Combine(
        ::testing::Values(
            WayOut{
                "Stop",
                [](SimPlatform& t) { t.runtime.at(2s, [&t] { t.runtime.feedStdin("stop\n"); }); },
                0},
            WayOut{
                "Sigterm",
                [](SimPlatform& t) { t.runtime.at(2s, [&t] { t.runtime.raiseSignal(SIGTERM); }); },
                0},
            WayOut{"ParentGone",
                   [](SimPlatform& t) { t.runtime.at(2s, [&t] { t.runtime.closeStdin(); }); }, 0},
            WayOut{"AutoStop", [](SimPlatform&) {}, 0},
            WayOut{
                "MicWriteFailure",
                [](SimPlatform& t) {
                  t.audioFiles.failWriteCall("/rec/out/mic.m4a", 1, {"sim.file", 28, "no space"});
                },
                1},
            WayOut{"EngineStartFailure", [](SimPlatform&) {}, 1, true}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "AfterVoiceProcessingFailedToStart" : "");
    });

TEST_F(RecordOnSim, VoiceProcessingIsSwitchedOffWhenSetupFailsAfterItWasOn) {
  sim.process.setEnvironment("ZUNO_RECORDER_ENABLE_VP", "1");
  sim.audioFiles.failOpen("/rec/out/mic.m4a", {"sim.file", 13, "permission denied"});
  EXPECT_EQ(runRecorder(), 1);
  EXPECT_EQ(linesWithoutLevels(),
            (std::vector<std::string>{"{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":"
                                      "\"mic setup failed: permission denied\"}"}));
  EXPECT_FALSE(engine().voiceProcessingEnabled());
}

// A track that cannot be completed (the disk filled while the index was being written) is not a
// finished recording: the microphone's fails the run, the system's degrades it.
TEST_F(RecordOnSim, ATrackThatCannotBeCompletedAtStopIsReportedAsItsWriteFailure) {
  sim.runtime.at(500ms, [this] { engine().deliver(constantBuffer(0.5f)); });
  sim.runtime.at(2s, [this] { sim.runtime.feedStdin("stop\n"); });
  sim.audioFiles.failClose("/rec/out/system.m4a", {"sim.file", 28, "no space"});
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(linesWithoutLevels(), (std::vector<std::string>{started(), degraded("tap_write_failed"),
                                                            event("stopped", 2)}));
  EXPECT_EQ(sim.runtime.stderrLines(),
            (std::vector<std::string>{
                "system write failed: Error Domain=sim.file Code=28 \"no space\""}));

  SimPlatform second;
  second.runtime.at(2s, [&] { second.runtime.feedStdin("stop\n"); });
  second.audioFiles.failClose("/rec/out/mic.m4a", {"sim.file", 28, "no space"});
  EXPECT_EQ(runWords(second, {"record", "--out-dir", kOutDir}), 1);
  const auto lines = second.runtime.stdoutLines();
  EXPECT_EQ(
      lines.back(),
      "{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"mic write failed: no space\"}");
  EXPECT_EQ(std::count_if(
                lines.begin(), lines.end(),
                [](const std::string& line) { return line.find("stopped") != std::string::npos; }),
            0);
  EXPECT_EQ(
      second.runtime.stderrLines(),
      (std::vector<std::string>{"mic write failed: Error Domain=sim.file Code=28 \"no space\""}));
  EXPECT_TRUE(second.audioFiles.writtenFile("/rec/out/system.m4a")->completed);
}

// A write fails on an audio thread just as "stop" is being read: the stop runs before the
// failure's own report and must end the run as that report would have.
class AStopThatOvertakesAWriteFailure : public RecordOnSim,
                                        public ::testing::WithParamInterface<const char*> {};

TEST_P(AStopThatOvertakesAWriteFailure, StillReportsIt) {
  const std::string track = GetParam();
  sim.audioFiles.failWriteCall(std::string(kOutDir) + "/" + track, 1, {"sim.file", 28, "no space"});
  sim.runtime.at(2s, [this] {
    // Read first, so the stop is queued on the main queue ahead of the failure's report.
    sim.runtime.feedStdin("stop\n");
    engine().deliver(constantBuffer(0.5f));
    systemCycle(0.5f);
  });
  using Lines = std::vector<std::string>;
  const bool mic = track == "mic.m4a";
  const Lines expected =
      mic ? Lines{started(),
                  "{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"mic write failed: "
                  "no space\"}"}
          : Lines{started(), degraded("tap_write_failed"), event("stopped", 2)};
  EXPECT_EQ(runRecorder(), mic ? 1 : 0);
  EXPECT_EQ(linesWithoutLevels(), expected);
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
}

INSTANTIATE_TEST_SUITE_P(Record, AStopThatOvertakesAWriteFailure,
                         ::testing::Values("mic.m4a", "system.m4a"),
                         [](const auto& info) { return info.param[0] == 'm' ? "Mic" : "System"; });

}  // namespace
}  // namespace zuno::testing
