#include "linux/pulse_tap_buffer_assembler.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::linux_backend {
namespace {

AudioFormat stereo48k() {
  return *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 2, false);
}

// Interleaved frames whose left sample is the frame number and right sample its negative.
std::vector<float> numberedFrames(std::uint32_t start, std::uint32_t count) {
  std::vector<float> samples;
  for (std::uint32_t frame = start; frame < start + count; ++frame) {
    samples.push_back(static_cast<float>(frame));
    samples.push_back(-static_cast<float>(frame));
  }
  return samples;
}

class TapBufferAssemblerTest : public ::testing::Test {
 protected:
  void append(std::uint32_t start, std::uint32_t count) {
    const auto samples = numberedFrames(start, count);
    assembler.append(samples.data(), count,
                     [this](const PCMBufferPtr& buffer) { emitted.push_back(buffer); });
  }

  PulseTapBufferAssembler assembler;
  std::vector<PCMBufferPtr> emitted;
};

TEST_F(TapBufferAssemblerTest, GathersSmallFragmentsIntoFullDeinterleavedBuffers) {
  assembler.configure(stereo48k(), 100);
  for (std::uint32_t start = 0; start < 300; start += 30) append(start, 30);

  ASSERT_EQ(emitted.size(), 3u);
  for (std::size_t index = 0; index < emitted.size(); ++index) {
    const PCMBuffer& buffer = *emitted[index];
    EXPECT_EQ(buffer.format(), stereo48k());
    ASSERT_EQ(buffer.frameLength(), 100u);
    const auto channels = buffer.floatChannelData();
    ASSERT_EQ(channels.size(), 2u);
    for (std::uint32_t frame = 0; frame < 100; ++frame) {
      const float expected = static_cast<float>(index * 100 + frame);
      ASSERT_EQ(channels[0][frame], expected) << "buffer " << index << " frame " << frame;
      ASSERT_EQ(channels[1][frame], -expected) << "buffer " << index << " frame " << frame;
    }
  }
}

TEST_F(TapBufferAssemblerTest, SplitsOneLargeFragmentAcrossBuffersKeepingTheRemainder) {
  assembler.configure(stereo48k(), 64);
  append(0, 200);
  ASSERT_EQ(emitted.size(), 3u);
  append(200, 56);
  ASSERT_EQ(emitted.size(), 4u);
  EXPECT_EQ(emitted[3]->floatChannelData()[0][0], 192.0f);
  EXPECT_EQ(emitted[3]->floatChannelData()[0][63], 255.0f);
}

TEST_F(TapBufferAssemblerTest, ResetDropsAPartlyFilledBuffer) {
  assembler.configure(stereo48k(), 50);
  append(0, 40);
  assembler.reset();
  append(1000, 50);
  ASSERT_EQ(emitted.size(), 1u);
  EXPECT_EQ(emitted[0]->floatChannelData()[0][0], 1000.0f);
}

TEST_F(TapBufferAssemblerTest, HandsEachBlockAFreshBufferItMayKeep) {
  assembler.configure(stereo48k(), 10);
  append(0, 20);
  ASSERT_EQ(emitted.size(), 2u);
  EXPECT_NE(emitted[0].get(), emitted[1].get());
  EXPECT_EQ(emitted[0]->floatChannelData()[0][0], 0.0f);
}

TEST_F(TapBufferAssemblerTest, ZeroFramesPerBufferMeansTheUsualTapSize) {
  assembler.configure(stereo48k(), 0);
  append(0, 4095);
  EXPECT_TRUE(emitted.empty());
  append(4095, 1);
  ASSERT_EQ(emitted.size(), 1u);
  EXPECT_EQ(emitted[0]->frameLength(), 4096u);
}

}  // namespace
}  // namespace platform::linux_backend
