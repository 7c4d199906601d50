#include <fstream>

#include "linux/ffmpeg_test_support.h"

namespace platform::linux_backend::testing {
namespace {

class FfmpegFileReaderTest : public FfmpegFilesTest {};

TEST_F(FfmpegFileReaderTest, ReadsAWavFileAtItsOwnRateAndChannels) {
  const std::string wav = file("tone.wav");
  run("sox -q -n -r 22050 -c 2 -b 16 '" + wav + "' synth 1.5 sine 300 sine 700");
  auto reader = files.openForReading(wav);
  ASSERT_TRUE(reader) << reader.error().description;
  EXPECT_EQ((*reader)->processingFormat(),
            *AudioFormat::make(CommonFormat::pcmFloat32, 22050, 2, false));

  // Every read fills the buffer until the file runs out; then a zero length says so.
  auto buffer = PCMBuffer::make((*reader)->processingFormat(), 1000);
  std::vector<std::uint32_t> lengths;
  std::vector<float> left, right;
  do {
    ASSERT_FALSE((*reader)->read(*buffer));
    lengths.push_back(buffer->frameLength());
    left.insert(left.end(), buffer->floatChannelData()[0],
                buffer->floatChannelData()[0] + buffer->frameLength());
    right.insert(right.end(), buffer->floatChannelData()[1],
                 buffer->floatChannelData()[1] + buffer->frameLength());
  } while (buffer->frameLength() > 0);
  ASSERT_EQ(lengths.size(), 35u);
  EXPECT_EQ(lengths[0], 1000u);
  EXPECT_EQ(lengths[32], 1000u);
  EXPECT_EQ(lengths[33], 75u);
  EXPECT_EQ(lengths[34], 0u);
  // Each channel keeps its own tone: nothing swapped or mixed.
  EXPECT_NEAR(zeroCrossingFrequency(left, 22050), 300, 1);
  EXPECT_NEAR(zeroCrossingFrequency(right, 22050), 700, 1);

  ASSERT_FALSE((*reader)->read(*buffer));
  EXPECT_EQ(buffer->frameLength(), 0u);
}

TEST_F(FfmpegFileReaderTest, FailuresNameThePath) {
  const std::string absent = file("absent.wav");
  auto reader = files.openForReading(absent);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().description,
            "cannot open " + absent + " for reading: No such file or directory");

  const std::string text = file("notes.wav");
  std::ofstream(text) << "not audio at all\n";
  reader = files.openForReading(text);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().description.rfind("cannot open " + text + " for reading: ", 0), 0u)
      << reader.error().description;
}

}  // namespace
}  // namespace platform::linux_backend::testing
