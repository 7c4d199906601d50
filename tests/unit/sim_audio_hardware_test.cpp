#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "sim/sim_audio_hardware.h"

namespace platform::sim {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

// Keeps posted tasks until the test runs them, so it sees what was posted where.
class HeldQueue final : public Queue {
 public:
  void async(Task task) override { tasks.push_back(std::move(task)); }
  void asyncAfter(Duration, Task task) override { tasks.push_back(std::move(task)); }
  void runAll() {
    auto pending = std::move(tasks);
    tasks.clear();
    for (auto& task : pending) task();
  }
  std::vector<Task> tasks;
};

const AudioObjectPropertyAddress kTapFormat{
    kAudioTapPropertyFormat, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
const AudioObjectPropertyAddress kProcesses{fourCC("prs#"), kAudioObjectPropertyScopeGlobal,
                                            kAudioObjectPropertyElementMain};

class SimHardware : public ::testing::Test {
 protected:
  // A started IO procedure on a fresh aggregate device.
  std::pair<AudioObjectID, AudioDeviceIOProcID> started(AudioDeviceIOBlock block) {
    AudioObjectID device = 0;
    EXPECT_EQ(hardware.createAggregateDevice({}, device), 0);
    AudioDeviceIOProcID proc = 0;
    EXPECT_EQ(hardware.createIOProcIDWithBlock(proc, device, nullptr, std::move(block)), 0);
    EXPECT_EQ(hardware.deviceStart(device, proc), 0);
    return {device, proc};
  }

  SimAudioHardware hardware;
  float samples[4] = {0.5f, -0.5f, 0.25f, -0.25f};
  AudioBuffer inputBuffer{2, sizeof samples, samples};
  ConstAudioBufferList input{{&inputBuffer, 1}};
};

TEST_F(SimHardware, IdsCountUpFromTheScriptedOneUnlessItIsZero) {
  AudioObjectID a = 0, b = 0, c = 0;
  hardware.createProcessTap({}, a);
  hardware.createProcessTap({}, b);
  EXPECT_EQ(a, 100u);
  EXPECT_EQ(b, 101u);
  hardware.createAggregateDevice({}, c);
  EXPECT_EQ(c, 200u);

  hardware.scriptProcessTap(0, 0);
  EXPECT_EQ(hardware.createProcessTap({}, a), 0);
  EXPECT_EQ(a, 0u);
  hardware.scriptAggregate(-4, 7);
  EXPECT_EQ(hardware.createAggregateDevice({}, c), -4);
  EXPECT_EQ(hardware.createAggregateDevice({}, c), -4);
  EXPECT_EQ(c, 7u) << "a failing create does not use up the id";
  hardware.scriptIOProc(-3, 0);
  AudioDeviceIOProcID proc = 99;
  EXPECT_EQ(hardware.createIOProcIDWithBlock(proc, c, nullptr, {}), -3);
  EXPECT_EQ(proc, 0u);
}

TEST_F(SimHardware, TheTapFormatIsServedOnLiveTapsAsFarAsTheCallerHasRoom) {
  AudioObjectID tap = 0;
  hardware.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses({5}, "U"), tap);
  EXPECT_EQ(hardware.lastTapDescription().processes, std::vector<AudioObjectID>{5});

  std::uint32_t size = 0;
  EXPECT_EQ(hardware.getPropertyDataSize(tap, kTapFormat, 0, nullptr, size), 0);
  EXPECT_EQ(size, 40u);
  AudioStreamBasicDescription asbd{};
  size = 100;
  ASSERT_EQ(hardware.getPropertyData(tap, kTapFormat, 0, nullptr, size, &asbd), 0);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(asbd.mSampleRate, 48000);
  EXPECT_EQ(asbd.mChannelsPerFrame, 2u);
  EXPECT_EQ(asbd.mBytesPerFrame, 8u);
  EXPECT_EQ(asbd.mFormatFlags & kAudioFormatFlagIsNonInterleaved, 0u);

  AudioStreamBasicDescription partial{};
  size = 8;
  hardware.getPropertyData(tap, kTapFormat, 0, nullptr, size, &partial);
  EXPECT_EQ(partial.mSampleRate, 48000);
  EXPECT_EQ(partial.mFormatID, 0u) << "nothing beyond the caller's size";

  hardware.scriptTapFormat(-10, {});
  EXPECT_EQ(hardware.getPropertyData(tap, kTapFormat, 0, nullptr, size, &asbd), -10);
  hardware.destroyProcessTap(tap);
  EXPECT_EQ(hardware.getPropertyData(tap, kTapFormat, 0, nullptr, size, &asbd),
            SimAudioHardware::kUnknownProperty);
}

TEST_F(SimHardware, GenericPropertiesAnswerTheirOwnAddress) {
  std::uint32_t size = 0;
  EXPECT_EQ(hardware.getPropertyDataSize(kAudioObjectSystemObject, kProcesses, 0, nullptr, size),
            static_cast<OSStatus>(fourCC("who?")));

  const std::uint32_t ids[3] = {11, 12, 13};
  std::vector<std::byte> bytes(sizeof ids);
  std::memcpy(bytes.data(), ids, sizeof ids);
  hardware.setProperty(kAudioObjectSystemObject, kProcesses, bytes);
  ASSERT_EQ(hardware.getPropertyDataSize(kAudioObjectSystemObject, kProcesses, 0, nullptr, size),
            0);
  EXPECT_EQ(size, 12u);
  std::uint32_t got[3] = {};
  size = 8;
  ASSERT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, kProcesses, 0, nullptr, size, got),
            0);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(got[1], 12u);
  EXPECT_EQ(got[2], 0u);
  EXPECT_EQ(hardware.getPropertyDataSize(2, kProcesses, 0, nullptr, size),
            SimAudioHardware::kUnknownProperty)
      << "another object";

  hardware.failProperty(kAudioObjectSystemObject, kProcesses, -7);
  EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, kProcesses, 0, nullptr, size, got),
            -7);
}

TEST_F(SimHardware, ALifecycleIsLoggedInOrderWithEachDestroyCounted) {
  AudioObjectID tap = 0;
  hardware.createProcessTap({}, tap);
  AudioStreamBasicDescription asbd{};
  std::uint32_t size = sizeof asbd;
  hardware.getPropertyData(tap, kTapFormat, 0, nullptr, size, &asbd);
  auto [device, proc] = started([](auto&&...) {});
  hardware.deviceStop(device, proc);
  hardware.destroyIOProcID(device, proc);
  hardware.destroyAggregateDevice(device);
  hardware.destroyProcessTap(tap);
  EXPECT_NE(hardware.destroyProcessTap(tap), 0) << "already gone";
  EXPECT_THAT(hardware.calls(), ElementsAre("createProcessTap", "getPropertyData tfmt 100",
                                            "createAggregateDevice", "createIOProcIDWithBlock 200",
                                            "deviceStart 200 300", "deviceStop 200 300",
                                            "destroyIOProcID 200 300", "destroyAggregateDevice 200",
                                            "destroyProcessTap 100", "destroyProcessTap 100"));
  EXPECT_EQ(hardware.destroyCount("tap", 100), 2);
  EXPECT_EQ(hardware.destroyCount("aggregate", 200), 1);
  EXPECT_EQ(hardware.destroyCount("ioproc", 300), 1);
  EXPECT_EQ(hardware.destroyCount("aggregate", 201), 0);
}

TEST_F(SimHardware, CyclesRunOnlyBetweenStartAndStop) {
  int cycles = 0;
  AudioObjectID device = 0;
  hardware.createAggregateDevice({}, device);
  AudioDeviceIOProcID proc = 0;
  hardware.createIOProcIDWithBlock(
      proc, device, nullptr,
      [&](const AudioTimeStamp&, const ConstAudioBufferList& data, const AudioTimeStamp&,
          AudioBufferList& output, const AudioTimeStamp&) {
        ++cycles;
        EXPECT_EQ(data.buffers.data(), &inputBuffer);
        EXPECT_TRUE(output.buffers.empty());
      });
  EXPECT_FALSE(hardware.runIOCycle(input));
  hardware.scriptDeviceStart(-66);
  EXPECT_EQ(hardware.deviceStart(device, proc), -66);
  EXPECT_FALSE(hardware.runIOCycle(input));
  hardware.scriptDeviceStart(0);
  ASSERT_EQ(hardware.deviceStart(device, proc), 0);
  EXPECT_TRUE(hardware.runIOCycle(input));
  hardware.deviceStop(device, proc);
  EXPECT_FALSE(hardware.runIOCycle(input));
  EXPECT_EQ(cycles, 1);
}

TEST_F(SimHardware, StopWaitsForTheCycleUnderWay) {
  std::promise<void> entered;
  std::promise<void> release;
  auto releaseFuture = release.get_future().share();
  auto [device, proc] = started([&](auto&&...) {
    entered.set_value();
    releaseFuture.wait();
  });
  std::thread io([&] { hardware.runIOCycle(input); });
  entered.get_future().wait();

  auto stopped = std::async(
      std::launch::async, [&, device = device, proc = proc] { hardware.deviceStop(device, proc); });
  EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout) << "returned mid-cycle";
  release.set_value();
  EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready);
  io.join();
}

TEST_F(SimHardware, NoCycleRunsAfterStopReturnsWhileAnotherThreadKeepsCycling) {
  std::atomic<bool> stopReturned{false};
  std::atomic<int> lateCycles{0};
  std::atomic<int> cycles{0};
  auto [device, proc] = started([&](auto&&...) {
    if (stopReturned) ++lateCycles;
    ++cycles;
  });
  std::atomic<bool> keepGoing{true};
  std::thread io([&] {
    while (keepGoing) {
      hardware.runIOCycle(input);
      std::this_thread::yield();
    }
  });
  while (cycles < 100) std::this_thread::yield();
  hardware.deviceStop(device, proc);
  stopReturned = true;
  std::this_thread::sleep_for(20ms);
  keepGoing = false;
  io.join();
  EXPECT_EQ(lateCycles, 0);
}

TEST_F(SimHardware, ListenersArePostedOnTheirQueueAndRemovedOnlyByTheSamePointer) {
  const AudioObjectPropertyAddress kInput{kAudioProcessPropertyIsRunningInput,
                                          kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
  hardware.addProcessObject(10, "us.zoom.xos", 1000, false);
  hardware.addProcessObject(11, "com.example.Other", 1001, false);
  HeldQueue queue;
  HeldQueue otherQueue;
  std::vector<FourCharCode> heard;
  auto function = [&](std::span<const AudioObjectPropertyAddress> addresses) {
    for (const auto& address : addresses) heard.push_back(address.mSelector);
  };
  AudioObjectPropertyListenerBlock listener =
      std::make_shared<const std::function<void(std::span<const AudioObjectPropertyAddress>)>>(
          function);
  ASSERT_EQ(hardware.addPropertyListener(10, kInput, queue, listener), 0);

  hardware.setProcessRunningInput(11, true);
  hardware.addProcessObject(12, "com.example.New", 1002, true);
  EXPECT_TRUE(queue.tasks.empty()) << "another process, another property";
  hardware.setProcessRunningInput(10, true);
  ASSERT_EQ(queue.tasks.size(), 1u);
  EXPECT_TRUE(heard.empty()) << "runs on the queue, not inside the change";
  queue.runAll();
  EXPECT_THAT(heard, ElementsAre(kAudioProcessPropertyIsRunningInput));

  auto lookalike =
      std::make_shared<const std::function<void(std::span<const AudioObjectPropertyAddress>)>>(
          function);
  EXPECT_NE(hardware.removePropertyListener(10, kInput, queue, lookalike), 0);
  EXPECT_NE(hardware.removePropertyListener(10, kInput, otherQueue, listener), 0);
  EXPECT_EQ(hardware.listenerCount(10, kInput), 1);
  EXPECT_EQ(hardware.removePropertyListener(10, kInput, queue, listener), 0);
  EXPECT_EQ(hardware.listenerCount(10, kInput), 0);
  hardware.setProcessRunningInput(10, false);
  EXPECT_TRUE(queue.tasks.empty());
}

}  // namespace
}  // namespace platform::sim
