#include "integration/record_fixture.h"

namespace zuno::testing {
namespace {

using platform::CaptureAuthorizationStatus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST_F(RecordOnSim, MicrophonePermissionIsAskedWhenUndecided) {
  sim.microphonePermission.setStatus(CaptureAuthorizationStatus::notDetermined);
  sim.microphonePermission.setRequestAnswer(true);
  sim.runtime.startWithClosedStdin();
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.microphonePermission.requests(), 1);
}

TEST_F(RecordOnSim, RefusedOrMissingMicrophonePermissionEndsTheRun) {
  struct Case {
    CaptureAuthorizationStatus status;
    const char* message;
  };
  for (const Case& c :
       {Case{CaptureAuthorizationStatus::notDetermined, "microphone permission denied"},
        Case{CaptureAuthorizationStatus::denied, "microphone permission denied or restricted"},
        Case{CaptureAuthorizationStatus::restricted,
             "microphone permission denied or restricted"}}) {
    SimPlatform local;
    local.microphonePermission.setStatus(c.status);
    local.microphonePermission.setRequestAnswer(false);
    EXPECT_EQ(runWords(local, {"record", "--out-dir", kOutDir}), 1);
    EXPECT_THAT(
        local.runtime.stdoutLines(),
        ElementsAre(std::string("{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":\"") +
                    c.message + "\"}"));
  }
}

TEST_F(RecordOnSim, NoPreflightSkipsThePermissionQueryOnlyForTheExactValue) {
  sim.microphonePermission.setStatus(CaptureAuthorizationStatus::denied);
  sim.process.setEnvironment("ZUNO_RECORDER_NO_PREFLIGHT", "1");
  sim.runtime.startWithClosedStdin();
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.microphonePermission.statusQueries(), 0);

  SimPlatform local;
  local.microphonePermission.setStatus(CaptureAuthorizationStatus::denied);
  local.process.setEnvironment("ZUNO_RECORDER_NO_PREFLIGHT", "true");
  EXPECT_EQ(runWords(local, {"record", "--out-dir", kOutDir}), 1);
}

TEST_F(RecordOnSim, AnInputWithoutSampleRateCannotBeSetUp) {
  platform::AudioFormat zero{};
  zero.channelCount = 1;
  pendingInputFormat = zero;
  EXPECT_EQ(runRecorder(), 1);
  EXPECT_THAT(sim.runtime.stdoutLines(),
              ElementsAre("{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":\"mic setup "
                          "failed: invalid input format\"}"));
}

TEST_F(RecordOnSim, OnlyTheFirstInputChannelIsMeteredAndWritten) {
  pendingInputFormat =
      *platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 48000, 2, false);
  sim.runtime.at(100ms, [this] {
    auto buffer = constantBuffer(0.1f, 1024, 48000, 2);
    std::fill_n(buffer->floatChannelData()[1], 1024, 0.9f);
    engine().deliver(buffer);
  });
  sim.runtime.at(300ms, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(levelLines().at(0), "{\"event\":\"level\",\"v\":0.1}");
  const auto& mic = file("mic.m4a");
  ASSERT_EQ(mic.samples.size(), 1u);
  ASSERT_EQ(mic.samples[0].size(), 1024u);
  EXPECT_FLOAT_EQ(mic.samples[0][500], 0.1f);
}

TEST_F(RecordOnSim, AMicrophoneWriteFailureEndsTheRunWithBothFilesComplete) {
  sim.audioFiles.failWriteCall(std::string(kOutDir) + "/mic.m4a", 2, {"sim.file", 5, "disk full"});
  sim.runtime.at(1s, [this] {
    engine().deliver(constantBuffer(0.2f));
    systemCycle(0.2f);
    engine().deliver(constantBuffer(0.2f));  // fails
    engine().deliver(constantBuffer(0.2f));  // dropped
  });
  EXPECT_EQ(runRecorder(), 1);
  EXPECT_EQ(sim.runtime.stderrText(),
            "mic write failed: Error Domain=sim.file Code=5 \"disk full\"\n");
  EXPECT_EQ(
      linesWithoutLevels().back(),
      "{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"mic write failed: disk full\"}");
  EXPECT_EQ(file("mic.m4a").writeCalls, 2);
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
}

TEST_F(RecordOnSim, AnEngineThatCannotStartEndsTheRunAfterStartedKeepingTheFiles) {
  failEngineStart = true;
  EXPECT_EQ(runRecorder(), 1);
  EXPECT_THAT(sim.runtime.stdoutLines(),
              ElementsAre(started(),
                          "{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":"
                          "\"engine start failed: the device went away\"}"));
  EXPECT_TRUE(file("mic.m4a").completed);
  EXPECT_TRUE(file("system.m4a").completed);
}

TEST_F(RecordOnSim, VoiceProcessingThatCannotBeSwitchedOnFallsBackToPlainInput) {
  sim.process.setEnvironment("ZUNO_RECORDER_ENABLE_VP", "1");
  failVoiceProcessing = true;
  sim.runtime.at(5s, [this] { sim.runtime.closeStdin(); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.runtime.stderrText(),
            "vp enable failed (plain input): Error Domain=sim.vp Code=3 \"no vp\"\n");
  EXPECT_EQ(engine().tapInstallCount(), 1) << "no zero guard for voice processing that is off";
}

class ZeroGuard : public RecordOnSim {
 protected:
  void SetUp() override {
    sim.process.setEnvironment("ZUNO_RECORDER_ENABLE_VP", "1");
    vpFormat = platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 16000, 1, false);
    sim.runtime.at(10s, [this] { sim.runtime.closeStdin(); });
  }
};

TEST_F(ZeroGuard, AllZeroVoiceProcessedInputRestartsTheMicrophoneWithoutIt) {
  sim.runtime.at(1s, [this] { engine().deliver(constantBuffer(0.0f, 1600, 16000)); });
  sim.runtime.at(5s, [this] { engine().deliver(constantBuffer(0.3f, 4800, 48000)); });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.runtime.stderrText(), "vp produced all-zero input; restarting mic without vp\n");
  const auto calls = engine().calls();
  const auto off = std::find(calls.begin(), calls.end(), "setVoiceProcessingEnabled(0)");
  const auto secondTap = std::find_if(calls.rbegin(), calls.rend(), [](const std::string& call) {
    return call.starts_with("installTap");
  });
  EXPECT_LT(off - calls.begin(), calls.rend() - secondTap - 1) << "the new tap is on plain input";
  EXPECT_EQ(engine().tapInstallCount(), 2);
  EXPECT_EQ(engine().lastTapFormat().sampleRate, 48000);
  const auto& mic = file("mic.m4a");
  EXPECT_EQ(mic.processingFormat.sampleRate, 16000) << "the same track goes on at its first rate";
  EXPECT_EQ(sim.audioFiles.opensOf(std::string(kOutDir) + "/mic.m4a"), 1);
  EXPECT_NEAR(static_cast<double>(mic.samples[0].size()), 1600 + 1600, 40);
}

TEST_F(ZeroGuard, AnySoundOrNoInputAtAllKeepsVoiceProcessing) {
  sim.runtime.at(1s, [this] { engine().deliver(constantBuffer(0.0f, 1600, 16000)); });
  sim.runtime.at(2s, [this] {
    auto buffer = constantBuffer(0.0f, 1600, 16000);
    buffer->floatChannelData()[0][800] = 1e-6f;
    engine().deliver(buffer);
  });
  EXPECT_EQ(runRecorder(), 0);
  EXPECT_EQ(sim.runtime.stderrText(), "");
  EXPECT_EQ(engine().tapInstallCount(), 1);

  SimPlatform quiet;
  quiet.process.setEnvironment("ZUNO_RECORDER_ENABLE_VP", "1");
  quiet.runtime.at(10s, [&] { quiet.runtime.closeStdin(); });
  EXPECT_EQ(runWords(quiet, {"record", "--out-dir", kOutDir}), 0);
  EXPECT_EQ(quiet.runtime.stderrText(), "") << "no frame seen: the guard does nothing";
  EXPECT_EQ(quiet.audioEngines.engine().tapInstallCount(), 1);
}

TEST_F(ZeroGuard, AFallbackThatCannotRestartEndsTheRun) {
  sim.runtime.at(1s, [this] {
    engine().deliver(constantBuffer(0.0f, 1600, 16000));
    engine().failStart(engineError());
  });
  EXPECT_EQ(runRecorder(), 1);
  EXPECT_EQ(linesWithoutLevels().back(),
            "{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":\"vp fallback failed: the "
            "device went away\"}");
  EXPECT_TRUE(file("mic.m4a").completed);
}

}  // namespace
}  // namespace zuno::testing
