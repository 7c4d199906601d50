#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "sim/sim_audio_engine.h"

namespace platform::sim {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

const AudioFormat kMono48k{48000, 1, CommonFormat::pcmFloat32, false, 0};

PCMBufferPtr buffer(std::uint32_t frames = 16) {
  auto made = PCMBuffer::make(kMono48k, frames);
  made->setFrameLength(frames);
  return made;
}

template <typename Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(SimEngineFormats, DefaultsToMono48kAndReportsTheVoiceProcessingFormatWhileItIsOn) {
  SimAudioEngine engine;
  InputNode& input = engine.inputNode();
  EXPECT_EQ(input.outputFormatForBus(0), kMono48k);

  const AudioFormat noRate{0, 1, CommonFormat::pcmFloat32, false, 0};
  engine.setInputFormat(noRate);
  EXPECT_EQ(input.outputFormatForBus(0), noRate);
  ASSERT_FALSE(input.setVoiceProcessingEnabled(true));
  EXPECT_EQ(input.outputFormatForBus(0), noRate) << "follows the input until scripted";

  const AudioFormat voice{16000, 3, CommonFormat::pcmFloat32, false, 0};
  engine.setVoiceProcessingFormat(voice);
  EXPECT_EQ(input.outputFormatForBus(0), voice);
  ASSERT_FALSE(input.setVoiceProcessingEnabled(false));
  EXPECT_EQ(input.outputFormatForBus(0), noRate);
}

TEST(SimEngineVoiceProcessing, AFailedSwitchOnLeavesItOffAndSwitchingOffStillWorks) {
  SimAudioEngine engine;
  InputNode& input = engine.inputNode();
  engine.failVoiceProcessingEnable({"sim.vp", 3, "no vp"});
  auto error = input.setVoiceProcessingEnabled(true);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "no vp");
  EXPECT_FALSE(engine.voiceProcessingEnabled());
  EXPECT_FALSE(input.setVoiceProcessingEnabled(false));
}

TEST(SimEngineDelivery, OnlyWhileRunningWithATapAndTheTapSurvivesAPause) {
  SimAudioEngine engine;
  InputNode& input = engine.inputNode();
  int received = 0;
  EXPECT_FALSE(engine.deliver(buffer()));
  ASSERT_FALSE(engine.start());
  EXPECT_FALSE(engine.deliver(buffer())) << "running, but no tap";
  const AudioFormat tapFormat = input.outputFormatForBus(0);
  input.installTapOnBus(0, 4096, tapFormat, [&](const PCMBufferPtr& b) {
    EXPECT_EQ(b->frameLength(), 16u);
    ++received;
  });
  EXPECT_TRUE(engine.deliver(buffer()));
  engine.pause();
  EXPECT_FALSE(engine.deliver(buffer()));
  engine.start();
  EXPECT_TRUE(engine.deliver(buffer()));
  input.removeTapOnBus(0);
  EXPECT_FALSE(engine.deliver(buffer()));
  EXPECT_EQ(received, 2);
  EXPECT_EQ(engine.tapInstallCount(), 1);
  EXPECT_EQ(engine.lastTapFormat(), tapFormat);
}

TEST(SimEngineCalls, AreLoggedInOrder) {
  SimAudioEngine engine;
  InputNode& input = engine.inputNode();
  input.setVoiceProcessingEnabled(true);
  input.installTapOnBus(0, 4096, kMono48k, [](const PCMBufferPtr&) {});
  engine.prepare();
  engine.start();
  engine.pause();
  input.removeTapOnBus(0);
  engine.stop();
  EXPECT_THAT(engine.calls(),
              ElementsAre("inputNode", "setVoiceProcessingEnabled(1)", "installTap(0,4096)",
                          "prepare", "start", "pause", "removeTap(0)", "stop"));
}

TEST(SimEngineStart, ScriptedFailuresCountDownOrLastForEver) {
  SimAudioEngine engine;
  engine.failStart({"sim.engine", 7, "gone"}, 2);
  EXPECT_TRUE(engine.start());
  EXPECT_TRUE(engine.start());
  EXPECT_FALSE(engine.isRunning());
  EXPECT_FALSE(engine.start());
  EXPECT_TRUE(engine.isRunning());
  engine.stop();

  engine.failStart({"sim.engine", 7, "gone"});
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(engine.start());
  EXPECT_FALSE(engine.isRunning());
}

TEST(SimEngineDeliveryThread, DeliversTheBuffersInOrderFromOneOtherThreadAcrossAPause) {
  SimAudioEngine engine;
  std::mutex mutex;
  std::vector<std::uint32_t> lengths;
  std::set<std::thread::id> threads;
  engine.inputNode().installTapOnBus(0, 4096, kMono48k, [&](const PCMBufferPtr& b) {
    std::lock_guard guard(mutex);
    lengths.push_back(b->frameLength());
    threads.insert(std::this_thread::get_id());
  });
  const auto received = [&] {
    std::lock_guard guard(mutex);
    return lengths.size();
  };
  engine.startDeliveryThread(
      [](std::size_t index) { return buffer(static_cast<std::uint32_t>(index % 64 + 1)); });
  engine.start();
  ASSERT_TRUE(eventually([&] { return received() >= 10; }));
  engine.pause();
  engine.start();
  ASSERT_TRUE(eventually([&] { return received() >= 50; }));
  engine.joinDeliveryThread();

  std::lock_guard guard(mutex);
  for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_EQ(lengths[i], i % 64 + 1);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

// Tests end by joining a thread that still has buffers to give, waiting either for the engine to
// run or for a buffer to fall due: an hour-long one here.
TEST(SimEngineDeliveryThread, JoiningDoesNotWaitForTheNextBuffer) {
  for (const bool running : {false, true}) {
    SimAudioEngine engine;
    engine.inputNode().installTapOnBus(0, 4096, kMono48k, [](const PCMBufferPtr&) {});
    if (running) {
      ASSERT_FALSE(engine.start());
    }
    const AudioFormat slow{1, 1, CommonFormat::pcmFloat32, false, 0};
    const auto began = std::chrono::steady_clock::now();
    engine.startDeliveryThread([&slow](std::size_t) {
      auto hour = PCMBuffer::make(slow, 3600);
      hour->setFrameLength(3600);
      return hour;
    });
    engine.joinDeliveryThread();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1min) << "running: " << running;
  }
}

}  // namespace
}  // namespace platform::sim
