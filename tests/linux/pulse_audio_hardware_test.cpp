#include "linux/pulse_audio_hardware.h"

#include <gtest/gtest.h>

#include <cmath>

#include <atomic>
#include <chrono>
#include <thread>

#include "linux/pulse_test_server.h"
#include "platform/runtime.h"

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

constexpr double kMicTone = 440;
constexpr double kSpeakerTone = 1000;
constexpr AudioObjectPropertyAddress kTapFormat{
    kAudioTapPropertyFormat, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

class PulseAudioHardwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_PULSEAUDIO();
    server = std::make_unique<PulseTestServer>();
    hardware = std::make_unique<PulseAudioHardware>(PulseConnection::create());
  }

  // A tap and an aggregate device on it, the way the recorder sets them up.
  void createDevice() {
    CATapDescription description =
        CATapDescription::stereoGlobalTapButExcludeProcesses({}, "tap-uuid");
    ASSERT_EQ(hardware->createProcessTap(description, tap), 0);
    ASSERT_NE(tap, 0u);
    const DescriptionDictionary subTap{{"uid", DescriptionValue{std::string("tap-uuid")}}};
    const DescriptionDictionary aggregate{
        {"uid", DescriptionValue{std::string("device-uuid")}},
        {"taps", DescriptionValue{std::vector<DescriptionDictionary>{subTap}}}};
    ASSERT_EQ(hardware->createAggregateDevice(aggregate, device), 0);
    ASSERT_NE(device, 0u);
  }

  void registerProc() {
    ASSERT_EQ(hardware->createIOProcIDWithBlock(
                  proc, device, nullptr,
                  [this](const AudioTimeStamp&, const ConstAudioBufferList& input,
                         const AudioTimeStamp&, AudioBufferList&, const AudioTimeStamp&) {
                    ASSERT_EQ(input.buffers.size(), 1u);
                    const AudioBuffer& buffer = input.buffers[0];
                    channels = buffer.mNumberChannels;
                    captured.append(static_cast<const float*>(buffer.mData),
                                    buffer.mDataByteSize / (4 * buffer.mNumberChannels),
                                    buffer.mNumberChannels);
                  }),
              0);
    ASSERT_NE(proc, 0u);
  }

  // Declared before the hardware, so they outlive a device a failed test left running.
  std::atomic<std::uint32_t> channels{0};
  CapturedAudio captured;
  std::unique_ptr<PulseTestServer> server;
  std::unique_ptr<PulseAudioHardware> hardware;
  AudioObjectID tap = 0;
  AudioObjectID device = 0;
  AudioDeviceIOProcID proc = 0;
};

TEST_F(PulseAudioHardwareTest, TheTapReportsTheSinkFormatInterleaved) {
  createDevice();
  std::uint32_t size = 0;
  ASSERT_EQ(hardware->getPropertyDataSize(tap, kTapFormat, 0, nullptr, size), 0);
  EXPECT_EQ(size, 40u);
  AudioStreamBasicDescription asbd{};
  ASSERT_EQ(hardware->getPropertyData(tap, kTapFormat, 0, nullptr, size, &asbd), 0);
  EXPECT_EQ(asbd.mSampleRate, 48000);
  EXPECT_EQ(asbd.mFormatID, kAudioFormatLinearPCM);
  EXPECT_EQ(asbd.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
  EXPECT_EQ(asbd.mChannelsPerFrame, 2u);
  EXPECT_EQ(asbd.mBytesPerFrame, 8u);
  EXPECT_EQ(asbd.mBytesPerPacket, 8u);
  EXPECT_EQ(asbd.mFramesPerPacket, 1u);
  EXPECT_EQ(asbd.mBitsPerChannel, 32u);
  auto format = AudioFormat::fromStreamDescription(asbd);
  ASSERT_TRUE(format.has_value());
  EXPECT_TRUE(format->interleaved);

  std::uint32_t small = 8;
  EXPECT_NE(hardware->getPropertyData(tap, kTapFormat, 0, nullptr, small, &asbd), 0);
}

TEST_F(PulseAudioHardwareTest, UnknownObjectsAndPropertiesAreRefused) {
  createDevice();
  std::uint32_t size = 40;
  AudioStreamBasicDescription asbd{};
  EXPECT_NE(hardware->getPropertyData(999, kTapFormat, 0, nullptr, size, &asbd), 0);
  EXPECT_NE(hardware->getPropertyData(tap, {fourCC("abcd"), 0, 0}, 0, nullptr, size, &asbd), 0);
  AudioDeviceIOProcID unknownProc = 0;
  EXPECT_NE(hardware->createIOProcIDWithBlock(unknownProc, 999, nullptr,
                                              [](auto&, auto&, auto&, auto&, auto&) {}),
            0);
  EXPECT_NE(hardware->deviceStart(device, 12345), 0);
  EXPECT_NE(hardware->deviceStop(999, 1), 0);
  EXPECT_NE(hardware->destroyIOProcID(device, 12345), 0);
  EXPECT_NE(hardware->destroyAggregateDevice(999), 0);
  EXPECT_NE(hardware->destroyProcessTap(999), 0);

  AudioObjectID orphan = 0;
  const DescriptionDictionary subTap{{"uid", DescriptionValue{std::string("no-such-tap")}}};
  EXPECT_NE(hardware->createAggregateDevice(
                {{"taps", DescriptionValue{std::vector<DescriptionDictionary>{subTap}}}}, orphan),
            0);
  EXPECT_EQ(orphan, 0u);
  EXPECT_EQ(hardware->destroyAggregateDevice(device), 0);
  EXPECT_EQ(hardware->destroyProcessTap(tap), 0);
  EXPECT_NE(hardware->destroyProcessTap(tap), 0);
}

TEST_F(PulseAudioHardwareTest, TheDeviceRecordsWhatTheSpeakersPlayNotTheMicrophone) {
  server->playTone("speakers", kSpeakerTone);
  server->playTone("micsrc", kMicTone);
  createDevice();
  registerProc();
  ASSERT_EQ(hardware->deviceStart(device, proc), 0);
  // Recording the microphone instead would never show the speakers' tone.
  EXPECT_NEAR(settledToneFrequency(captured, 48000, kSpeakerTone, 40), kSpeakerTone, 40);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(hardware->deviceStop(device, proc), 0);
}

TEST_F(PulseAudioHardwareTest, NoBlockRunsAfterDeviceStopReturnsAndStartRecordsAgain) {
  server->playTone("speakers", kSpeakerTone);
  createDevice();
  registerProc();
  ASSERT_EQ(hardware->deviceStart(device, proc), 0);
  ASSERT_TRUE(captured.waitForSamples(4096));
  ASSERT_EQ(hardware->deviceStop(device, proc), 0);
  const std::size_t afterStop = captured.deliveries();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(captured.deliveries(), afterStop);

  ASSERT_EQ(hardware->deviceStart(device, proc), 0);
  EXPECT_TRUE(captured.waitForSamples(captured.samples().size() + 4096));
  EXPECT_EQ(hardware->destroyIOProcID(device, proc), 0);
  const std::size_t afterDestroy = captured.deliveries();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(captured.deliveries(), afterDestroy);
}

TEST_F(PulseAudioHardwareTest, FollowsANewDefaultSinkMidCapture) {
  server->addDevicePair("headphones");
  server->playTone("speakers", kMicTone);
  server->playTone("headphones", kSpeakerTone);
  createDevice();
  registerProc();
  ASSERT_EQ(hardware->deviceStart(device, proc), 0);
  EXPECT_NEAR(settledToneFrequency(captured, 48000, kMicTone, 20), kMicTone, 20);

  server->pactl("set-default-sink headphones");
  EXPECT_NEAR(settledToneFrequency(captured, 48000, kSpeakerTone, 40), kSpeakerTone, 40)
      << "still recording the old sink's monitor";
  EXPECT_EQ(hardware->deviceStop(device, proc), 0);
}

TEST_F(PulseAudioHardwareTest, PropertyListenersAreNotSupportedYet) {
  createDevice();
  class NoQueue : public Queue {
   public:
    void async(Task) override {}
    void asyncAfter(Duration, Task) override {}
  } queue;
  auto listener =
      std::make_shared<const std::function<void(std::span<const AudioObjectPropertyAddress>)>>(
          [](auto) {});
  EXPECT_NE(hardware->addPropertyListener(kAudioObjectSystemObject, kTapFormat, queue, listener),
            0);
}

}  // namespace
}  // namespace platform::linux_backend
