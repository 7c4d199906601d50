#include <cstdint>
#include <vector>

#include "linux/audio_files_backends.h"

// Files and buffers, the same cases for the sim and for FFmpeg: what the program's tests learn
// from the sim about opening, writing, closing and reading holds for the shipped program.
namespace platform::contract {
namespace {

using linux_backend::testing::aac;
using linux_backend::testing::sine;
using linux_backend::testing::zeroCrossingFrequency;

template <typename Backend>
class AudioFilesContract : public FilesContract<Backend> {};
TYPED_TEST_SUITE(AudioFilesContract, FileBackends, BackendName);

PCMBufferPtr silence(const AudioFormat& format, std::uint32_t frames) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  return buffer;
}

TYPED_TEST(AudioFilesContract, AFileTakesPlanarFloatAtItsRateAndChannelCount) {
  const struct {
    double rate;
    std::int64_t channels;
  } cases[] = {{48000, 1}, {44100, 2}, {16000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.channels << " channels");
    auto file = this->files().openForWriting(this->path("track.m4a"), aac(c.rate, c.channels));
    ASSERT_TRUE(file) << file.error().description;
    EXPECT_EQ((*file)->processingFormat(),
              floatFormat(c.rate, static_cast<std::uint32_t>(c.channels)));
    EXPECT_FALSE((*file)->close());
  }
}

TYPED_TEST(AudioFilesContract, SettingsWithoutAUsableRateOrChannelCountAreRefused) {
  AudioSettings noRate = aac(48000);
  noRate.erase(AVSampleRateKey);
  AudioSettings noChannels = aac(48000);
  noChannels.erase(AVNumberOfChannelsKey);
  for (const AudioSettings& settings : {noRate, noChannels, aac(0), aac(48000, 0)}) {
    EXPECT_FALSE(this->files().openForWriting(this->path("track.m4a"), settings));
  }
}

TYPED_TEST(AudioFilesContract, WritesTakeOnlyTheProcessingFormatAndNothingAfterTheClose) {
  auto opened = this->files().openForWriting(this->path("track.m4a"), aac(48000));
  ASSERT_TRUE(opened);
  AudioFileForWriting& file = **opened;
  EXPECT_FALSE(file.write(*silence(file.processingFormat(), 480)));
  for (const AudioFormat& other :
       {floatFormat(44100, 1), floatFormat(48000, 2), floatFormat(48000, 1, true)}) {
    EXPECT_TRUE(file.write(*silence(other, 480))) << other.sampleRate << " " << other.channelCount;
  }
  EXPECT_FALSE(file.write(*silence(file.processingFormat(), 480)))
      << "a refused write ends nothing";
  EXPECT_FALSE(file.close());
  EXPECT_TRUE(file.write(*silence(file.processingFormat(), 480)));
}

TYPED_TEST(AudioFilesContract, AFileReadsBackInPiecesUpToTheBufferThenAnEmptyRead) {
  constexpr std::uint32_t kFrames = 24000;
  std::vector<float> tone(kFrames);
  for (std::uint32_t i = 0; i < kFrames; ++i) tone[i] = sine(440, 48000, i);
  const std::string path = this->path("recorded.m4a");
  this->backend.addMonoFile(path, 48000, tone);

  auto opened = this->files().openForReading(path);
  ASSERT_TRUE(opened) << opened.error().description;
  AudioFileForReading& file = **opened;
  ASSERT_EQ(file.processingFormat(), floatFormat(48000, 1));
  auto buffer = PCMBuffer::make(file.processingFormat(), 1000);
  std::vector<float> read;
  for (int reads = 0;; ++reads) {
    ASSERT_LT(reads, 100) << "never reaches the end";
    ASSERT_FALSE(file.read(*buffer));
    ASSERT_LE(buffer->frameLength(), 1000u);
    if (buffer->frameLength() == 0) break;
    read.insert(read.end(), buffer->floatChannelData()[0],
                buffer->floatChannelData()[0] + buffer->frameLength());
  }
  EXPECT_EQ(read.size(), tone.size());
  EXPECT_NEAR(zeroCrossingFrequency(read, 48000), 440, 1);

  EXPECT_TRUE(file.read(*PCMBuffer::make(floatFormat(48000, 2), 1000)))
      << "a buffer in another format than the file's";
}

TYPED_TEST(AudioFilesContract, AFileThatIsNotThereCannotBeRead) {
  EXPECT_FALSE(this->files().openForReading(this->path("missing.m4a")));
}

TYPED_TEST(AudioFilesContract, BuffersHaveTheCapacityAndFormatAskedForAndNoFramesYet) {
  for (const AudioFormat& format :
       {floatFormat(48000, 1), floatFormat(44100, 2), floatFormat(48000, 2, true),
        *AudioFormat::make(CommonFormat::pcmInt16, 16000, 1, true)}) {
    auto buffer = this->files().makePCMBuffer(format, 4096);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->format(), format);
    EXPECT_EQ(buffer->frameCapacity(), 4096u);
    EXPECT_EQ(buffer->frameLength(), 0u);
  }
}

}  // namespace
}  // namespace platform::contract
