#include <algorithm>
#include <cmath>
#include <vector>

#include "linux/ffmpeg_test_support.h"

namespace platform::linux_backend::testing {
namespace {

using Input = std::shared_ptr<const PCMBuffer>;

const AudioFormat kMono48k = *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 1, false);
const AudioFormat kStereo44k = *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false);

// Output room for one source buffer, as the track writer sizes it: the rate ratio plus headroom
// for what the resampler holds back.
std::uint32_t outputCapacity(const AudioFormat& from, const AudioFormat& to, std::uint32_t frames) {
  return static_cast<std::uint32_t>(std::ceil(to.sampleRate / from.sampleRate * frames)) + 16;
}

// One conversion the way the track writer drives it: the buffer once, then "nothing now", so
// the converter must keep its state for the next call.
ConverterOutputStatus convertOnce(AudioConverter& converter, PCMBuffer& output, Input buffer,
                                  std::optional<Error>& error) {
  return converter.convert(output, error, [&](std::uint32_t, ConverterInputStatus& status) {
    status = buffer ? ConverterInputStatus::haveData : ConverterInputStatus::noDataNow;
    return std::exchange(buffer, nullptr);
  });
}

// The whole input in one call, then end of stream: the reference for piecewise conversion.
std::vector<float> convertWhole(FfmpegAudioFiles& files, const AudioFormat& to, Input whole) {
  auto converter = files.makeConverter(whole->format(), to);
  auto output = PCMBuffer::make(to, outputCapacity(whole->format(), to, whole->frameLength()));
  std::optional<Error> error;
  const auto status =
      converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& inputStatus) {
        inputStatus = whole ? ConverterInputStatus::haveData : ConverterInputStatus::endOfStream;
        return std::exchange(whole, nullptr);
      });
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  const float* samples = output->floatChannelData()[0];
  return {samples, samples + output->frameLength()};
}

// Frames [from, from + count) of a source buffer, copied into a buffer of their own.
PCMBufferPtr slice(const PCMBuffer& source, std::uint32_t from, std::uint32_t count) {
  auto piece = PCMBuffer::make(source.format(), count);
  piece->setFrameLength(count);
  const auto& format = source.format();
  const std::uint32_t perBuffer = format.interleaved ? format.channelCount : 1;
  for (std::uint32_t b = 0; b < format.bufferCount(); ++b) {
    std::copy_n(source.floatChannelData()[b] + std::size_t{from} * perBuffer,
                std::size_t{count} * perBuffer, piece->floatChannelData()[b]);
  }
  return piece;
}

class FfmpegConverterTest : public FfmpegFilesTest {};

TEST_F(FfmpegConverterTest, ToneConvertedInBuffersIntoATrackIsSeamlessAndKeepsItsPitch) {
  const std::uint32_t total = 44100 * 4;
  const auto whole = toneBuffer(kStereo44k, total, 440);
  const auto reference = convertWhole(files, kMono48k, whole);

  const std::string path = file("system.m4a");
  std::vector<float> joined;
  {
    auto writer = files.openForWriting(path, aac(48000));
    ASSERT_TRUE(writer) << writer.error().description;
    auto converter = files.makeConverter(kStereo44k, (*writer)->processingFormat());
    ASSERT_TRUE(converter);
    auto output = PCMBuffer::make(kMono48k, outputCapacity(kStereo44k, kMono48k, 4096));
    for (std::uint32_t at = 0; at + 4096 <= total; at += 4096) {
      std::optional<Error> error;
      const auto status = convertOnce(*converter, *output, slice(*whole, at, 4096), error);
      ASSERT_EQ(status, ConverterOutputStatus::haveData) << at;
      ASSERT_FALSE((*writer)->write(*output));
      const float* samples = output->floatChannelData()[0];
      joined.insert(joined.end(), samples, samples + output->frameLength());
    }
  }

  // Without end of stream only the resampler's look-ahead is held back.
  ASSERT_GT(joined.size(), std::size_t{42 * 4096} * 48000 / 44100);
  float worst = 0;
  for (std::size_t i = 0; i < joined.size(); ++i) {
    worst = std::max(worst, std::fabs(joined[i] - reference[i]));
  }
  // A lost, repeated or restarted stretch at a buffer boundary would differ by the signal's
  // own scale there.
  EXPECT_LT(worst, 1e-4f);

  const auto decoded = decode(files, path);
  ASSERT_FALSE(decoded.error) << decoded.error->description;
  EXPECT_EQ(decoded.format.sampleRate, 48000);
  EXPECT_EQ(decoded.channels.at(0).size(), joined.size());
  EXPECT_NEAR(zeroCrossingFrequency(decoded.channels[0], 48000), 440, 1);
  EXPECT_GT(toneEnergy(decoded.channels[0], 440, 48000),
            1000 * toneEnergy(decoded.channels[0], 880, 48000));
}

TEST_F(FfmpegConverterTest, SoundInOneStereoChannelIsAudibleInTheMonoTrack) {
  for (const bool interleaved : {false, true}) {
    for (const int channel : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "interleaved " << interleaved << " channel " << channel);
      const auto stereo = *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, interleaved);
      const std::string path = file("system.m4a");
      {
        auto writer = files.openForWriting(path, aac(48000));
        ASSERT_TRUE(writer);
        auto converter = files.makeConverter(stereo, kMono48k);
        auto output = PCMBuffer::make(kMono48k, outputCapacity(stereo, kMono48k, 4096));
        for (std::uint64_t at = 0; at < 44100; at += 4096) {
          std::optional<Error> error;
          convertOnce(*converter, *output, toneBuffer(stereo, 4096, 660, at, channel), error);
          ASSERT_FALSE((*writer)->write(*output));
        }
      }
      const auto decoded = decode(files, path);
      ASSERT_FALSE(decoded.error);
      // A half-scale sine mixed half and half has an RMS near 0.18; a lost channel gives 0.
      EXPECT_GT(rms(decoded.channels.at(0)), 0.1);
    }
  }
}

TEST_F(FfmpegConverterTest, EndOfStreamDrainsEverythingHeldBackIntoOutputsOfAnySize) {
  const std::uint32_t total = 44100;
  const auto whole = toneBuffer(kStereo44k, total, 440);
  const auto reference = convertWhole(files, kMono48k, whole);
  ASSERT_NEAR(static_cast<double>(reference.size()), 48000, 2);

  struct Case {
    std::uint32_t pieceFrames;  // source frames handed over per conversion
    std::uint32_t pieceOutput;  // room for each piece's conversion; 0: as the track writer sizes
    std::uint32_t flushOutput;  // room in each output while flushing
  };
  // All at once into outputs far too small, so nearly everything is pending at the end; or in
  // the track writer's pieces, flushed into outputs smaller than the resampler's tail, about its
  // size, and roomy. (A converter only takes input when its output has room, so pieces need the
  // writer's sizing.)
  const Case cases[] = {
      {total, 5, 5}, {total, 1000, 1000}, {4096, 0, 7}, {4096, 0, 40}, {4096, 0, 8192}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "pieces " << c.pieceFrames << " output " << c.pieceOutput
                                      << " flush output " << c.flushOutput);
    auto converter = files.makeConverter(kStereo44k, kMono48k);
    auto output = PCMBuffer::make(
        kMono48k, c.pieceOutput ? c.pieceOutput : outputCapacity(kStereo44k, kMono48k, 4096));
    std::optional<Error> error;
    std::vector<float> joined;
    const auto collect = [&] {
      joined.insert(joined.end(), output->floatChannelData()[0],
                    output->floatChannelData()[0] + output->frameLength());
    };

    // Nothing given, nothing made.
    EXPECT_EQ(convertOnce(*converter, *output, nullptr, error), ConverterOutputStatus::inputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);
    // One conversion per piece, as the track writer does per write: what does not fit waits.
    for (std::uint32_t at = 0; at < total; at += c.pieceFrames) {
      const auto piece = slice(*whole, at, std::min(c.pieceFrames, total - at));
      ASSERT_NE(convertOnce(*converter, *output, piece, error), ConverterOutputStatus::error);
      collect();
    }
    // Then the flush before a close: the input has nothing more, and every call until end of
    // stream delivers a full output.
    output = PCMBuffer::make(kMono48k, c.flushOutput);
    ConverterOutputStatus status = ConverterOutputStatus::haveData;
    for (int calls = 0; status == ConverterOutputStatus::haveData; ++calls) {
      ASSERT_LT(calls, 48000) << "never reaches end of stream";
      status = converter->convert(*output, error, [](std::uint32_t, ConverterInputStatus& s) {
        s = ConverterInputStatus::endOfStream;
        return Input();
      });
      ASSERT_NE(status, ConverterOutputStatus::error) << error->description;
      if (status == ConverterOutputStatus::haveData) {
        ASSERT_EQ(output->frameLength(), c.flushOutput);
      }
      collect();
    }
    ASSERT_EQ(status, ConverterOutputStatus::endOfStream);
    ASSERT_EQ(joined.size(), reference.size());
    float worst = 0;
    for (std::size_t i = 0; i < joined.size(); ++i) {
      worst = std::max(worst, std::fabs(joined[i] - reference[i]));
    }
    EXPECT_LT(worst, 1e-4f);

    // After end of stream the converter starts a new stream, not a continuation of the old.
    auto roomy = PCMBuffer::make(kMono48k, outputCapacity(kStereo44k, kMono48k, total));
    Input again = whole;
    ASSERT_EQ(converter->convert(*roomy, error,
                                 [&](std::uint32_t, ConverterInputStatus& s) {
                                   s = again ? ConverterInputStatus::haveData
                                             : ConverterInputStatus::endOfStream;
                                   return std::exchange(again, nullptr);
                                 }),
              ConverterOutputStatus::endOfStream);
    EXPECT_EQ(std::vector<float>(roomy->floatChannelData()[0],
                                 roomy->floatChannelData()[0] + roomy->frameLength()),
              reference);
  }
}

TEST_F(FfmpegConverterTest, IntegerAndFloatSamplesConvertToTheSameLevels) {
  const auto int16 = *AudioFormat::make(CommonFormat::pcmInt16, 48000, 2, true);
  const auto int32 = *AudioFormat::make(CommonFormat::pcmInt32, 48000, 1, false);
  auto shorts = PCMBuffer::make(int16, 4);
  auto ints = PCMBuffer::make(int32, 4);
  shorts->setFrameLength(4);
  ints->setFrameLength(4);
  const std::int16_t pairs[8] = {16384, 16384, -16384, -16384, 8192, 8192, 0, 0};
  std::copy_n(pairs, 8,
              static_cast<std::int16_t*>(shorts->mutableAudioBufferList().buffers[0].mData));
  const std::int32_t values[4] = {1 << 30, -(1 << 30), 1 << 29, 0};
  std::copy_n(values, 4,
              static_cast<std::int32_t*>(ints->mutableAudioBufferList().buffers[0].mData));

  const auto float32 = *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 2, true);
  auto floats = PCMBuffer::make(float32, 4);
  floats->setFrameLength(4);
  for (int i = 0; i < 8; ++i) floats->floatChannelData()[0][i] = pairs[i] / 32768.0f;

  // The same sound in both channels keeps its level in mono, whatever the sample type.
  for (const auto& source : {Input(shorts), Input(ints), Input(floats)}) {
    SCOPED_TRACE(static_cast<int>(source->format().commonFormat));
    auto converter = files.makeConverter(source->format(), kMono48k);
    ASSERT_TRUE(converter);
    auto output = PCMBuffer::make(kMono48k, 16);
    std::optional<Error> error;
    ASSERT_EQ(convertOnce(*converter, *output, source, error), ConverterOutputStatus::haveData);
    ASSERT_EQ(output->frameLength(), 4u);
    const float* samples = output->floatChannelData()[0];
    EXPECT_NEAR(samples[0], 0.5f, 1e-4f);
    EXPECT_NEAR(samples[1], -0.5f, 1e-4f);
    EXPECT_NEAR(samples[2], 0.25f, 1e-4f);
    EXPECT_EQ(samples[3], 0.0f);
  }
}

TEST_F(FfmpegConverterTest, ImpossiblePairsGiveNoConverterAndForeignBuffersAnError) {
  const auto zeroRate = AudioFormat{0, 2, CommonFormat::pcmFloat32, false, 0};
  const auto other = AudioFormat{48000, 2, CommonFormat::otherFormat, false, 0};
  const auto tooMany = AudioFormat{48000, 65, CommonFormat::pcmFloat32, false, 0};
  EXPECT_FALSE(files.makeConverter(zeroRate, kMono48k));
  EXPECT_FALSE(files.makeConverter(kStereo44k, zeroRate));
  EXPECT_FALSE(files.makeConverter(other, kMono48k));
  EXPECT_FALSE(files.makeConverter(tooMany, kMono48k));

  auto converter = files.makeConverter(kStereo44k, kMono48k);
  ASSERT_TRUE(converter);
  auto output = PCMBuffer::make(kMono48k, 8192);
  std::optional<Error> error;
  const auto mono = *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 1, false);
  EXPECT_EQ(convertOnce(*converter, *output, toneBuffer(mono, 4096, 440), error),
            ConverterOutputStatus::error);
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("conversion"), std::string::npos);
}

}  // namespace
}  // namespace platform::linux_backend::testing
