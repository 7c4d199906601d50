#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

using namespace std::chrono_literals;

class RecordForReal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
    outDir = server.directory() + "/recording";
  }
  int durationFromStopped(const std::string& output) {
    const auto at = output.find("\"event\":\"stopped\"");
    if (at == std::string::npos) return -1;
    const auto line = output.rfind('\n', at);
    const auto start = output.find("\"durationSec\":", line == std::string::npos ? 0 : line);
    return std::atoi(output.c_str() + start + std::strlen("\"durationSec\":"));
  }
  void expectBothTracksComplete() {
    for (const char* name : {"mic.m4a", "system.m4a"}) {
      const auto facts = inspectTrack(outDir + "/" + name);
      EXPECT_TRUE(facts.readable) << name;
      EXPECT_EQ(facts.codec, "aac") << name;
      EXPECT_EQ(facts.channels, 1) << name;
    }
  }

  PrivateAudioServer server;
  std::string outDir;
};

TEST_F(RecordForReal, EachTrackHoldsItsOwnSourceAndTheDurationsAgree) {
  server.play("micsrc", 440, 8);
  server.play("speakers", 1000, 8);
  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(recorder.waitFor("\"event\":\"tick\"", 8)) << recorder.output();
  recorder.send("stop\n");
  const double recorded =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(recorder.wait(), 0);
  EXPECT_NE(recorder.output().find("\"sysPath\":\""), std::string::npos) << recorder.output();

  const auto mic = inspectTrack(outDir + "/mic.m4a");
  const auto system = inspectTrack(outDir + "/system.m4a");
  ASSERT_TRUE(mic.readable && system.readable) << recorder.output();
  EXPECT_GT(toneEnergy(mic.samples, 440), 20 * toneEnergy(mic.samples, 1000));
  EXPECT_GT(toneEnergy(system.samples, 1000), 20 * toneEnergy(system.samples, 440));
  const int stopped = durationFromStopped(recorder.output());
  EXPECT_NEAR(mic.duration, stopped, 1.0);
  // Both tracks cover the recorded time, whatever the devices delivered when (nothing keeps
  // them awake here), and end together.
  EXPECT_NEAR(mic.duration, recorded, 0.1);
  EXPECT_NEAR(system.duration, recorded, 0.1);
  EXPECT_NEAR(system.duration, mic.duration, 0.05);
  EXPECT_EQ(mic.sampleRate, 48000);
}

TEST_F(RecordForReal, SoundDuringAPauseIsInNeitherTrack) {
  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\""));
  std::this_thread::sleep_for(1500ms);
  recorder.send("pause\n");
  ASSERT_TRUE(recorder.waitFor("\"event\":\"paused\""));
  std::this_thread::sleep_for(300ms);
  server.play("micsrc", 440, 2);
  server.play("speakers", 1000, 2);
  std::this_thread::sleep_for(2500ms);
  recorder.send("resume\n");
  ASSERT_TRUE(recorder.waitFor("\"event\":\"resumed\""));
  std::this_thread::sleep_for(1500ms);
  recorder.send("stop\n");
  EXPECT_EQ(recorder.wait(), 0);
  for (const char* name : {"mic.m4a", "system.m4a"}) {
    const auto facts = inspectTrack(outDir + "/" + name);
    ASSERT_TRUE(facts.readable) << name;
    EXPECT_LT(rms(facts.samples), 0.01) << name << " holds sound played while paused";
    EXPECT_NEAR(facts.duration, 3.0, 1.0) << name;
  }
}

TEST_F(RecordForReal, EveryWayOfStoppingCompletesBothFiles) {
  for (const char* how : {"eof", "SIGTERM", "SIGINT", "parent gone"}) {
    SCOPED_TRACE(how);
    std::filesystem::remove_all(outDir);
    RecorderProcess recorder(outDir);
    ASSERT_TRUE(recorder.waitFor("\"event\":\"started\""));
    std::this_thread::sleep_for(1200ms);
    const std::string way = how;
    if (way == "eof") recorder.closeStdin();
    if (way == "SIGTERM") recorder.signal(SIGTERM);
    if (way == "SIGINT") recorder.signal(SIGINT);
    if (way == "parent gone") {
      // The parent's death closes both pipes: stdout breaks, stdin reaches end of file.
      recorder.closeStdout();
      std::this_thread::sleep_for(500ms);  // let a tick or level hit the broken pipe
      recorder.closeStdin();
    }
    EXPECT_EQ(recorder.wait(), 0);
    if (way != "parent gone") {
      EXPECT_GE(durationFromStopped(recorder.output()), 1);
    }
    expectBothTracksComplete();
  }
}

TEST_F(RecordForReal, AChangedDefaultDeviceKeepsBothTracksGoing) {
  server.pactl("load-module module-null-sink sink_name=speakers2 rate=48000 channels=2");
  server.pactl("load-module module-null-sink sink_name=micsrc2 rate=48000 channels=1");
  server.pactl("load-module module-remap-source master=micsrc2.monitor source_name=mic2");
  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\""));
  std::this_thread::sleep_for(1500ms);
  server.pactl("set-default-sink speakers2");
  server.pactl("set-default-source mic2");
  server.play("micsrc2", 440, 3);
  server.play("speakers2", 1000, 3);
  std::this_thread::sleep_for(3000ms);
  recorder.send("stop\n");
  EXPECT_EQ(recorder.wait(), 0);
  const auto mic = inspectTrack(outDir + "/mic.m4a");
  const auto system = inspectTrack(outDir + "/system.m4a");
  ASSERT_TRUE(mic.readable && system.readable);
  EXPECT_GT(mic.duration, 3.5);
  EXPECT_GT(system.duration, 3.5);
  EXPECT_GT(toneEnergy(mic.samples, 440), 20 * toneEnergy(mic.samples, 1000));
  EXPECT_GT(toneEnergy(system.samples, 1000), 20 * toneEnergy(system.samples, 440));
}

// A machine without a microphone still has a default source: the monitor of the null output
// its server keeps when nothing else is left. Recording it would fill mic.m4a with whatever
// the speakers play.
TEST_F(RecordForReal, WithoutAMicrophoneItEndsAtSetupRatherThanRecordTheSpeakers) {
  server.pactl("unload-module module-remap-source");
  server.pactl("unload-module module-null-sink");
  const std::string fallback = server.defaultSourceOnceNot("mic");
  ASSERT_NE(fallback, "mic");
  RecorderProcess recorder(outDir);
  // Its first event settles it: the error, or a recording that end of input then stops.
  ASSERT_TRUE(recorder.waitFor("\"event\":\"")) << recorder.output();
  recorder.closeStdin();
  EXPECT_EQ(recorder.wait(), 1);
  EXPECT_NE(recorder.output().find("{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":"
                                   "\"mic setup failed: the default audio input \\\"" +
                                   fallback + "\\\" is not a microphone"),
            std::string::npos)
      << recorder.output();
  EXPECT_EQ(recorder.output().find("\"event\":\"started\""), std::string::npos);
}

TEST(RecordWithoutServer, SaysPlainlyThatTheAudioServerCannotBeReached) {
  const std::string dir = std::filesystem::temp_directory_path() / "zuno-noserver";
  ::setenv("PULSE_SERVER", "unix:/nonexistent/zuno/native", 1);
  RecorderProcess recorder(dir + "/out");
  EXPECT_EQ(recorder.wait(), 1);
  EXPECT_NE(recorder.output().find("{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":"
                                   "\"mic setup failed: cannot connect to the audio server"),
            std::string::npos)
      << recorder.output();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace zuno::e2e
