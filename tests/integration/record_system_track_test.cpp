#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

using ::testing::ElementsAre;

std::int32_t preflightDenied(const void*, const void*) {
  return 1;
}
std::int32_t preflightGranted(const void*, const void*) {
  return 0;
}
constexpr const char* kPrivacyLibrary =
    "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";

TEST_F(RecordOnSim, SystemTrackFailuresAtStartDegradeBeforeStarted) {
  struct Case {
    const char* name;
    std::function<void(SimPlatform&)> script;
    const char* reason;
    bool systemFileLeft;
  };
  const std::vector<Case> cases{
      {"old system",
       [](SimPlatform& s) {
         s.process.setOperatingSystemVersion({14, 1, 0});
       },
       "tap_unavailable", false},
      {"tap needs 14.4",
       [](SimPlatform& s) {
         s.process.setOperatingSystemVersion({14, 3, 0});
       },
       "tap_unavailable", false},
      {"permission denied",
       [](SimPlatform& s) {
         s.loader.addLibrary(kPrivacyLibrary);
         s.loader.addSymbol(kPrivacyLibrary, "TCCAccessPreflight",
                            reinterpret_cast<void*>(&preflightDenied));
       },
       "tap_permission_denied", false},
      {"tap refused", [](SimPlatform& s) { s.audioHardware.scriptProcessTap(-50, 0); },
       "tap_unavailable", false},
      {"track cannot open",
       [](SimPlatform& s) {
         s.audioFiles.failOpen("/rec/out/system.m4a", {"sim", 1, "nope"});
       },
       "tap_unavailable", false},
      {"device will not start", [](SimPlatform& s) { s.audioHardware.scriptDeviceStart(-1); },
       "tap_unavailable", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimPlatform local;
    c.script(local);
    local.runtime.at(2s, [&] { local.runtime.closeStdin(); });
    EXPECT_EQ(runWords(local, {"record", "--out-dir", kOutDir}), 0);
    std::vector<std::string> lines;
    for (auto& line : local.runtime.stdoutLines()) {
      if (line.find("level") == std::string::npos) lines.push_back(line);
    }
    EXPECT_THAT(lines, ElementsAre(degraded(c.reason), started(false), event("stopped", 2)));
    auto system = local.audioFiles.writtenFile("/rec/out/system.m4a");
    EXPECT_EQ(system != nullptr, c.systemFileLeft);
    if (system) {
      EXPECT_TRUE(system->completed);
    }
  }
}

TEST_F(RecordOnSim, AGrantedOrUndecidedPreflightRecordsTheSystemTrack) {
  sim.loader.addLibrary(kPrivacyLibrary);
  sim.loader.addSymbol(kPrivacyLibrary, "TCCAccessPreflight",
                       reinterpret_cast<void*>(&preflightGranted));
  sim.runtime.at(1s, [this] { EXPECT_TRUE(systemCycle(0.5f)); });
  sim.runtime.at(2s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(linesWithoutLevels().front(), started());
  EXPECT_EQ(file("system.m4a").settings.at(platform::AVSampleRateKey),
            platform::AudioSettingValue(48000.0));
}

TEST_F(RecordOnSim, ASystemWriteFailureDegradesOnceAndTheMicrophoneGoesOn) {
  sim.audioFiles.failWritesFrom(std::string(kOutDir) + "/system.m4a", 2, {"sim", 9, "io"});
  sim.runtime.at(1s, [this] {
    systemCycle(0.5f);
    systemCycle(0.5f);  // fails
    systemCycle(0.5f);
  });
  sim.runtime.at(1100ms, [this] {
    EXPECT_TRUE(file("system.m4a").completed) << "closed with what was written before";
  });
  sim.runtime.at(2s, [this] {
    systemCycle(0.5f);
    engine().deliver(constantBuffer(0.1f));
  });
  sim.runtime.at(6s, [this] { sim.runtime.feedStdin("stop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.runtime.stderrText(), "system write failed: Error Domain=sim Code=9 \"io\"\n");
  EXPECT_THAT(linesWithoutLevels(), ElementsAre(started(), degraded("tap_write_failed"),
                                                event("tick", 5), event("stopped", 6)));
  EXPECT_EQ(file("system.m4a").writeCalls, 2);
  EXPECT_EQ(file("mic.m4a").samples[0].size(), 4096u);
}

TEST_F(RecordOnSim, FinishTearsTheTapDownOnce) {
  sim.runtime.at(1s, [this] { sim.runtime.feedStdin("stop\n"); });
  EXPECT_EQ(runRecorder(), 0);
  // The recorder is gone by now, with the run's end: its tap was torn down once all the same.
  EXPECT_EQ(sim.audioHardware.destroyCount("aggregate", 200), 1);
  EXPECT_EQ(sim.audioHardware.destroyCount("tap", 100), 1);
}

}  // namespace
}  // namespace zuno::testing
