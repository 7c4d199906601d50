#include <gtest/gtest.h>
#include <cmath>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "linux/native_runtime.h"
#include "linux/pulse_audio_engines.h"
#include "linux/pulse_test_server.h"

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

constexpr double kMicTone = 440;
constexpr double kSpeakerTone = 1000;

class PulseAudioEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_PULSEAUDIO();
    server = std::make_unique<PulseTestServer>();
    connection = PulseConnection::create();
    engines = std::make_unique<PulseAudioEngines>(connection, runtime);
    engine = engines->makeEngine();
  }

  void installTap() {
    InputNode& input = engine->inputNode();
    input.installTapOnBus(0, 4096, input.outputFormatForBus(0), [this](const PCMBufferPtr& b) {
      {
        std::lock_guard guard(formatsMutex);
        formats.push_back(b->format());
        lengths.push_back(b->frameLength());
      }
      captured.append(b->floatChannelData()[0], b->frameLength());
    });
  }

  double capturedFrequency() { return toneFrequency(captured.samples(), 44100); }

  // Declared before the engine, so they outlive the delivery of an engine a failed test left
  // running.
  CapturedAudio captured;
  std::mutex formatsMutex;
  std::vector<AudioFormat> formats;
  std::vector<std::uint32_t> lengths;
  std::unique_ptr<PulseTestServer> server;
  NativeRuntime runtime;
  std::shared_ptr<PulseConnection> connection;
  std::unique_ptr<PulseAudioEngines> engines;
  std::shared_ptr<AudioEngine> engine;
};

TEST_F(PulseAudioEngineTest, ReportsTheDefaultSourceFormatNonInterleaved) {
  EXPECT_FALSE(engine->inputAvailability().has_value());
  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  EXPECT_EQ(format, *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false));
}

// Servers name a default source even without a microphone: an output's monitor, of the null
// output a desktop keeps around when nothing else is left, or one the user picked. Recording it
// would put the speakers' sound in the microphone's track.
struct WithoutMicrophone {
  std::string name;
  std::function<void(PulseTestServer&)> leaveNoMicrophone;
};

class PulseAudioEngineWithoutMicrophone : public PulseAudioEngineTest,
                                          public ::testing::WithParamInterface<WithoutMicrophone> {
};

TEST_P(PulseAudioEngineWithoutMicrophone, InputIsUnavailableAndNothingStarts) {
  GetParam().leaveNoMicrophone(*server);
  const std::string fallback = server->defaultSourceOnceNot("mic");
  ASSERT_NE(fallback, "mic") << "the server kept the microphone as its default";

  const MaybeError missing = engine->inputAvailability();
  ASSERT_TRUE(missing.has_value()) << "took " << fallback << " for a microphone";
  if (!fallback.empty()) {
    EXPECT_NE(missing->description.find(fallback), std::string::npos) << missing->description;
  }
  EXPECT_EQ(engine->inputNode().outputFormatForBus(0).channelCount, 0u);
  installTap();
  EXPECT_TRUE(engine->start().has_value());
  // Nor is an echo canceller built on it.
  EXPECT_TRUE(engine->inputNode().setVoiceProcessingEnabled(true).has_value());
  EXPECT_EQ(server->pactl("list short modules").find("module-echo-cancel"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PulseAudioEngineWithoutMicrophone,
    ::testing::Values(WithoutMicrophone{"EveryDeviceRemoved",
                                        [](PulseTestServer& server) {
                                          server.pactl("unload-module module-remap-source");
                                          server.pactl("unload-module module-null-sink");
                                        }},
                      WithoutMicrophone{"TheSpeakersMonitorChosenAsDefault",
                                        [](PulseTestServer& server) {
                                          server.pactl("set-default-source speakers.monitor");
                                        }}),
    [](const auto& info) { return info.param.name; });

TEST_F(PulseAudioEngineTest, CapturesTheMicrophoneToneNotTheSpeakers) {
  server->playTone("micsrc", kMicTone);
  server->playTone("speakers", kSpeakerTone);
  installTap();
  ASSERT_FALSE(engine->start().has_value());
  EXPECT_TRUE(engine->isRunning());
  // Recording the speakers instead would never show the microphone's tone.
  EXPECT_NEAR(settledToneFrequency(captured, 44100, kMicTone, 20), kMicTone, 20);

  std::lock_guard guard(formatsMutex);
  for (std::size_t i = 0; i < formats.size(); ++i) {
    EXPECT_EQ(formats[i], *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false));
    // The tap size is a ceiling: each fragment is handed over as it arrives.
    EXPECT_GT(lengths[i], 0u);
    EXPECT_LE(lengths[i], 4096u);
  }
}

TEST_F(PulseAudioEngineTest, PauseStopsDeliveryAndStartResumesIt) {
  server->playTone("micsrc", kMicTone);
  installTap();
  ASSERT_FALSE(engine->start().has_value());
  ASSERT_TRUE(captured.waitForSamples(4096 * 2));

  engine->pause();
  EXPECT_FALSE(engine->isRunning());
  const std::size_t afterPause = captured.deliveries();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(captured.deliveries(), afterPause);

  ASSERT_FALSE(engine->start().has_value());
  EXPECT_TRUE(engine->isRunning());
  captured.clear();
  EXPECT_TRUE(captured.waitForSamples(4096 * 2));
}

TEST_F(PulseAudioEngineTest, StopAndRemovingTheTapEndDeliveryForGood) {
  server->playTone("micsrc", kMicTone);
  installTap();
  ASSERT_FALSE(engine->start().has_value());
  ASSERT_TRUE(captured.waitForSamples(4096));
  engine->inputNode().removeTapOnBus(0);
  const std::size_t afterRemove = captured.deliveries();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(captured.deliveries(), afterRemove);

  engine->stop();
  EXPECT_FALSE(engine->isRunning());
  // A stopped engine starts again with a new tap.
  installTap();
  ASSERT_FALSE(engine->start().has_value());
  EXPECT_TRUE(captured.waitForSamples(captured.samples().size() + 4096));
}

TEST_F(PulseAudioEngineTest, FollowsANewDefaultSourceMidCapture) {
  server->addDevicePair("other");
  server->playTone("micsrc", kMicTone);
  server->playTone("other", kSpeakerTone);
  installTap();
  ASSERT_FALSE(engine->start().has_value());
  ASSERT_TRUE(captured.waitForSamples(44100 / 2));

  server->pactl("set-default-source other_in");
  EXPECT_NEAR(settledToneFrequency(captured, 44100, kSpeakerTone, 40), kSpeakerTone, 40)
      << "still recording the old source";
}

// The program switches voice processing off on its way out whatever state the engine is in, and
// nothing else removes the canceller from the server.
TEST_F(PulseAudioEngineTest, VoiceProcessingRecordsThroughAnEchoCancellerThatDisablingRemoves) {
  server->playTone("micsrc", kMicTone);
  for (const std::string state : {"stopped", "paused", "running"}) {
    SCOPED_TRACE("engine " + state);
    engine = engines->makeEngine();
    InputNode& input = engine->inputNode();
    if (auto error = input.setVoiceProcessingEnabled(true)) {
      // Where the server lacks an echo canceller the refusal must say so.
      EXPECT_NE(error->description.find("voice processing"), std::string::npos);
      GTEST_SKIP() << error->description;
    }
    EXPECT_NE(server->pactl("list short modules").find("module-echo-cancel"), std::string::npos);
    EXPECT_GT(input.outputFormatForBus(0).sampleRate, 0);
    installTap();
    ASSERT_FALSE(engine->start().has_value());
    EXPECT_TRUE(captured.waitForSamples(captured.samples().size() + 4096 * 2));
    if (state == "stopped") engine->stop();
    if (state == "paused") engine->pause();

    const MaybeError switchedOff = input.setVoiceProcessingEnabled(false);
    // Debian 12's PipeWire pulse server now and then dies of a segmentation fault inside its own
    // echo canceller while unloading it; no client can prevent that. The test says so rather
    // than blame the engine, and fails for anything else.
    if (switchedOff && server->pactl("info").find("Server Name") == std::string::npos) {
      GTEST_SKIP() << "the audio server crashed while unloading its echo canceller: "
                   << switchedOff->description;
    }
    EXPECT_FALSE(switchedOff.has_value()) << switchedOff->description;
    EXPECT_EQ(server->pactl("list short modules").find("module-echo-cancel"), std::string::npos);

    // The engine records the plain microphone again.
    engine->stop();
    EXPECT_EQ(input.outputFormatForBus(0),
              *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false));
    ASSERT_FALSE(engine->start().has_value());
    captured.clear();
    EXPECT_TRUE(captured.waitForSamples(4096 * 2));
    input.removeTapOnBus(0);
    engine->stop();
  }
}

TEST_F(PulseAudioEngineTest, DestroyingTheEngineRemovesItsEchoCanceller) {
  if (engine->inputNode().setVoiceProcessingEnabled(true)) GTEST_SKIP() << "no echo canceller";
  engine.reset();
  EXPECT_EQ(server->pactl("list short modules").find("module-echo-cancel"), std::string::npos);
}

}  // namespace
}  // namespace platform::linux_backend
