#include <gtest/gtest.h>

#include "record/recorder.h"
#include "record/track_writer.h"

namespace zuno {
namespace {

platform::PCMBufferPtr stereo(bool interleaved, std::uint32_t frames) {
  auto format =
      platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 48000, 2, interleaved);
  auto buffer = platform::PCMBuffer::make(*format, frames);
  buffer->setFrameLength(frames);
  return buffer;
}

TEST(BufferPeak, CoversEveryChannelAndFrameOfBothLayouts) {
  auto planar = stereo(false, 4);
  planar->floatChannelData()[0][1] = 0.5f;
  planar->floatChannelData()[1][3] = -0.8f;
  EXPECT_FLOAT_EQ(bufferPeak(*planar), 0.8f);

  auto interleaved = stereo(true, 4);
  interleaved->floatChannelData()[0][7] = -0.25f;  // last frame, right channel
  EXPECT_FLOAT_EQ(bufferPeak(*interleaved), 0.25f);
}

TEST(BufferPeak, EmptyOrNonFloatBuffersGiveZero) {
  auto planar = stereo(false, 4);
  planar->floatChannelData()[0][0] = 0.9f;
  planar->setFrameLength(0);
  EXPECT_EQ(bufferPeak(*planar), 0.0f);

  auto int16 = platform::AudioFormat::make(platform::CommonFormat::pcmInt16, 48000, 1, false);
  auto integers = platform::PCMBuffer::make(*int16, 4);
  integers->setFrameLength(4);
  static_cast<std::int16_t*>(integers->mutableAudioBufferList().buffers[0].mData)[0] = 9000;
  EXPECT_EQ(bufferPeak(*integers), 0.0f);
}

TEST(LevelValue, RoundsToHundredthsHalvesAwayFromZeroAndCapsAtOne) {
  EXPECT_DOUBLE_EQ(levelValue(std::max(0.125, 0.05)), 0.13);
  EXPECT_DOUBLE_EQ(levelValue(1.7), 1.0);
  EXPECT_DOUBLE_EQ(levelValue(0.0), 0.0);
  EXPECT_DOUBLE_EQ(levelValue(0.004), 0.0);
  EXPECT_DOUBLE_EQ(levelValue(0.005), 0.01);
  EXPECT_DOUBLE_EQ(levelValue(-0.5), 0.0);
}

TEST(OutputCapacity, RatioTimesFramesRoundedUpPlusHeadroom) {
  EXPECT_EQ(TrackWriter::outputCapacity(48000, 48000, 4096), 4112u);
  EXPECT_EQ(TrackWriter::outputCapacity(48000, 44100, 4096), 4475u);
  EXPECT_EQ(TrackWriter::outputCapacity(48000, 44100, 0), 16u);
  EXPECT_EQ(TrackWriter::outputCapacity(16000, 48000, 4096), 1382u);
}

TEST(OutputCapacity, ImpossibleRatiosGiveNoCapacityInsteadOfUndefinedConversions) {
  EXPECT_EQ(TrackWriter::outputCapacity(48000, 0, 4096), 0u);
  EXPECT_EQ(TrackWriter::outputCapacity(48000, 1e-9, 4096), 0u);
}

}  // namespace
}  // namespace zuno
