#include "tap/system_audio_tap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/sim_platform.h"
#include "tap/system_audio_permission.h"

namespace zuno {
namespace {

using platform::sim::SimPlatform;
using ::testing::ElementsAre;
using Kind = SystemAudioTapError::Kind;

SystemAudioTapError constructionError(SimPlatform& sim) {
  try {
    SystemAudioTap::create(sim.platform());
  } catch (const SystemAudioTapError& error) {
    return error;
  }
  throw std::runtime_error("construction succeeded");
}

TEST(SystemAudioTapVersionGate, ProcessTapsNeedFourteenFour) {
  for (auto [major, minor, passes] :
       {std::tuple{14, 3, false}, {13, 9, false}, {14, 4, true}, {15, 0, true}}) {
    SimPlatform sim;
    sim.process.setOperatingSystemVersion({major, minor, 0});
    if (passes) {
      EXPECT_NO_THROW(SystemAudioTap::create(sim.platform())) << major << "." << minor;
    } else {
      const auto error = constructionError(sim);
      EXPECT_EQ(error.kind(), Kind::unsupportedOS);
      EXPECT_EQ(error.description(), "system audio tap requires macOS 14.4+");
      EXPECT_TRUE(sim.audioHardware.calls().empty());
    }
  }
}

TEST(SystemAudioTapConstruction, DescribesAPrivateUnmutedStereoMixAndAPrivateAggregate) {
  SimPlatform sim;
  auto tap = SystemAudioTap::create(sim.platform());
  const auto& description = sim.audioHardware.lastTapDescription();
  EXPECT_TRUE(description.processes.empty());
  EXPECT_TRUE(description.isPrivate);
  EXPECT_EQ(description.muteBehavior, 0);

  using platform::DescriptionValue;
  const auto& aggregate = sim.audioHardware.lastAggregateDescription();
  ASSERT_EQ(aggregate.size(), 6u);
  EXPECT_EQ(aggregate.at("name"), DescriptionValue{std::string("zuno-recorder-tap")});
  EXPECT_EQ(aggregate.at("private"), DescriptionValue{true});
  EXPECT_EQ(aggregate.at("stacked"), DescriptionValue{false});
  EXPECT_EQ(aggregate.at("tapautostart"), DescriptionValue{true});
  const auto& taps =
      std::get<std::vector<platform::DescriptionDictionary>>(aggregate.at("taps").value);
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].size(), 2u);
  EXPECT_EQ(taps[0].at("uid"), DescriptionValue{description.uuid});
  EXPECT_EQ(taps[0].at("drift"), DescriptionValue{true});
  EXPECT_NE(aggregate.at("uid"), DescriptionValue{description.uuid});

  EXPECT_EQ(tap->streamFormat().channelCount, 2u);
  EXPECT_EQ(tap->streamFormat().sampleRate, 48000);
  EXPECT_TRUE(tap->streamFormat().interleaved);
}

TEST(SystemAudioTapConstruction, TwoTapsGetDifferentDeviceUids) {
  SimPlatform sim;
  auto first = SystemAudioTap::create(sim.platform());
  const auto firstUid = sim.audioHardware.lastAggregateDescription().at("uid");
  auto second = SystemAudioTap::create(sim.platform());
  EXPECT_NE(sim.audioHardware.lastAggregateDescription().at("uid"), firstUid);
  EXPECT_EQ(sim.audioHardware.lastAggregateDescription().at("name"),
            platform::DescriptionValue{std::string("zuno-recorder-tap")});
}

TEST(SystemAudioTapConstruction, EachFailureReleasesWhatWasMadeBefore) {
  {
    SimPlatform sim;
    sim.audioHardware.scriptProcessTap(0, 0);
    const auto error = constructionError(sim);
    EXPECT_EQ(error.description(), "AudioHardwareCreateProcessTap failed: 0");
    EXPECT_THAT(sim.audioHardware.calls(), ElementsAre("createProcessTap"));
  }
  {
    SimPlatform sim;
    sim.audioHardware.scriptProcessTap(-4, 100);
    EXPECT_EQ(constructionError(sim).description(), "AudioHardwareCreateProcessTap failed: -4");
  }
  {
    SimPlatform sim;
    sim.audioHardware.scriptTapFormat(-10, {});
    EXPECT_EQ(constructionError(sim).kind(), Kind::formatUnavailable);
    EXPECT_THAT(
        sim.audioHardware.calls(),
        ElementsAre("createProcessTap", "getPropertyData tfmt 100", "destroyProcessTap 100"));
  }
  {
    SimPlatform sim;
    platform::AudioStreamBasicDescription compressed{};
    compressed.mSampleRate = 48000;
    compressed.mFormatID = platform::kAudioFormatMPEG4AAC;
    compressed.mChannelsPerFrame = 2;
    sim.audioHardware.scriptTapFormat(0, compressed);
    EXPECT_EQ(constructionError(sim).description(), "tap stream format unavailable");
    EXPECT_EQ(sim.audioHardware.destroyCount("tap", 100), 1);
  }
  {
    SimPlatform sim;
    sim.audioHardware.scriptAggregate(1852797029, 0);
    EXPECT_EQ(constructionError(sim).description(),
              "AudioHardwareCreateAggregateDevice failed: 1852797029");
    EXPECT_EQ(sim.audioHardware.destroyCount("tap", 100), 1);
    EXPECT_EQ(sim.audioHardware.destroyCount("aggregate", 0), 0);
  }
}

TEST(SystemAudioTapLifecycle, StopIsIdempotentAndReleaseTearsDown) {
  SimPlatform sim;
  auto tap = SystemAudioTap::create(sim.platform());
  tap->stop();
  tap->stop();
  EXPECT_EQ(sim.audioHardware.destroyCount("aggregate", 200), 1);
  EXPECT_EQ(sim.audioHardware.destroyCount("tap", 100), 1);

  SimPlatform other;
  auto started = SystemAudioTap::create(other.platform());
  started->start([](const platform::PCMBufferPtr&) {});
  started.reset();
  EXPECT_THAT(other.audioHardware.calls(),
              ElementsAre("createProcessTap", "getPropertyData tfmt 100", "createAggregateDevice",
                          "createIOProcIDWithBlock 200", "deviceStart 200 300",
                          "deviceStop 200 300", "destroyIOProcID 200 300",
                          "destroyAggregateDevice 200", "destroyProcessTap 100"));
}

TEST(SystemAudioTapLifecycle, AFailedStartKeepsTheBlockUntilStop) {
  SimPlatform sim;
  sim.audioHardware.scriptDeviceStart(-66);
  auto tap = SystemAudioTap::create(sim.platform());
  try {
    tap->start([](const platform::PCMBufferPtr&) {});
    FAIL();
  } catch (const SystemAudioTapError& error) {
    EXPECT_EQ(error.description(), "AudioDeviceStart(IOProc) failed: -66");
  }
  tap->stop();
  EXPECT_EQ(sim.audioHardware.calls().at(5), "deviceStop 200 300");
  EXPECT_EQ(sim.audioHardware.calls().at(6), "destroyIOProcID 200 300");

  SimPlatform refused;
  refused.audioHardware.scriptIOProc(-3, 0);
  auto other = SystemAudioTap::create(refused.platform());
  EXPECT_THROW(other->start([](const platform::PCMBufferPtr&) {}), SystemAudioTapError);
}

class Deliver : public ::testing::Test {
 protected:
  void SetUp() override { tap = SystemAudioTap::create(sim.platform()); }
  std::vector<platform::PCMBufferPtr> deliver(std::vector<platform::AudioBuffer> buffers) {
    std::vector<platform::PCMBufferPtr> got;
    tap->deliver({buffers}, [&](const platform::PCMBufferPtr& b) { got.push_back(b); });
    return got;
  }
  SimPlatform sim;
  std::shared_ptr<SystemAudioTap> tap;
};

TEST_F(Deliver, FramesComeFromTheFirstBufferAndOnlyWholeFramesCount) {
  float samples[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  EXPECT_TRUE(deliver({}).empty());
  EXPECT_TRUE(deliver({{2, 7, samples}}).empty());
  auto got = deliver({{2, 10, samples}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->frameLength(), 1u);
  EXPECT_FLOAT_EQ(got[0]->floatChannelData()[0][0], 0.1f);
  EXPECT_FLOAT_EQ(got[0]->floatChannelData()[0][1], 0.2f);
}

TEST_F(Deliver, ExtraOrMissingSourceBuffersAreSkipped) {
  float left[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  float right[4] = {0.7f, 0.7f, 0.7f, 0.7f};
  auto got = deliver({{2, 16, left}, {2, 16, right}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->mutableAudioBufferList().buffers.size(), 1u);
  EXPECT_EQ(deliver({{2, 16, nullptr}}).size(), 1u) << "delivered even without data";
}

TEST(DeliverWithoutFrameSize, EveryByteIsAFrame) {
  SimPlatform sim;
  platform::AudioStreamBasicDescription asbd{};
  asbd.mSampleRate = 48000;
  asbd.mFormatID = platform::kAudioFormatLinearPCM;
  asbd.mFormatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked;
  asbd.mChannelsPerFrame = 2;
  asbd.mBitsPerChannel = 32;
  sim.audioHardware.scriptTapFormat(0, asbd);
  auto tap = SystemAudioTap::create(sim.platform());
  float samples[4] = {};
  std::vector<platform::AudioBuffer> list{{2, 12, samples}};
  std::uint32_t frames = 0;
  tap->deliver({list}, [&](const platform::PCMBufferPtr& b) { frames = b->frameLength(); });
  EXPECT_EQ(frames, 12u);
}

TEST(Preflight, MapsTheAnswerAndClosesWhatItOpened) {
  constexpr const char* kLibrary = "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";
  static std::int32_t answer = 0;
  const auto preflight = +[](const void* service, const void* options) -> std::int32_t {
    EXPECT_EQ(*static_cast<const std::string*>(service), "kTCCServiceAudioCapture");
    EXPECT_EQ(options, nullptr);
    return answer;
  };
  for (auto [value, expected] :
       {std::pair{0, "granted"}, {1, "denied"}, {2, "undetermined"}, {7, "undetermined"}}) {
    SimPlatform sim;
    sim.loader.addLibrary(kLibrary);
    sim.loader.addSymbol(kLibrary, "TCCAccessPreflight", reinterpret_cast<void*>(preflight));
    answer = value;
    EXPECT_EQ(permissionWord(systemAudioCapturePreflight(sim.loader)), expected);
    EXPECT_EQ(sim.loader.liveStringObjects(), 0);
    EXPECT_EQ(sim.loader.calls().back(), "close");
  }

  SimPlatform noLibrary;
  EXPECT_EQ(systemAudioCapturePreflight(noLibrary.loader), SystemAudioPermission::undetermined);
  SimPlatform noSymbol;
  noSymbol.loader.addLibrary(kLibrary);
  EXPECT_EQ(systemAudioCapturePreflight(noSymbol.loader), SystemAudioPermission::undetermined);
  EXPECT_EQ(noSymbol.loader.calls().back(), "close");
}

}  // namespace
}  // namespace zuno
