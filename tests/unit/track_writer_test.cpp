#include "record/track_writer.h"

#include <gtest/gtest.h>

#include "sim/sim_audio_files.h"

namespace zuno {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;

constexpr const char* kPath = "/out/mic.m4a";

platform::PCMBufferPtr buffer(const AudioFormat& format, std::uint32_t frames, float value = 0.5f) {
  auto made = platform::PCMBuffer::make(format, frames);
  made->setFrameLength(frames);
  for (float* channel : made->floatChannelData()) {
    std::fill(channel,
              channel + std::size_t{frames} * (format.interleaved ? format.channelCount : 1),
              value);
  }
  return made;
}

AudioFormat floatFormat(double rate, std::uint32_t channels, bool interleaved = false) {
  return *AudioFormat::make(CommonFormat::pcmFloat32, rate, channels, interleaved);
}

class TrackWriterOnSim : public ::testing::Test {
 protected:
  std::shared_ptr<TrackWriter> open(double rate = 48000) {
    return TrackWriter::create(files, kPath, aacSettings(rate));
  }
  const platform::sim::SimWrittenFile& written() { return *(held = files.writtenFile(kPath)); }

  platform::sim::SimAudioFiles files;
  std::shared_ptr<const platform::sim::SimWrittenFile> held;
};

TEST(AacSettings, FourEntriesWithTheRatePassedThroughUnrounded) {
  const auto settings = aacSettings(44100.5);
  ASSERT_EQ(settings.size(), 4u);
  EXPECT_EQ(settings.at(platform::AVFormatIDKey),
            platform::AudioSettingValue(std::uint32_t{0x61616320}));
  EXPECT_EQ(settings.at(platform::AVSampleRateKey), platform::AudioSettingValue(44100.5));
  EXPECT_EQ(settings.at(platform::AVNumberOfChannelsKey),
            platform::AudioSettingValue(std::int64_t{1}));
  EXPECT_EQ(settings.at(platform::AVEncoderBitRateKey),
            platform::AudioSettingValue(std::int64_t{40000}));
}

TEST_F(TrackWriterOnSim, ProcessingFormatBuffersAreWrittenDirectlyEvenWithACachedConverter) {
  auto writer = open();
  writer->write(*buffer(floatFormat(48000, 2), 4096));
  EXPECT_EQ(files.convertersCreated(), 1);
  const auto allocationsBefore = files.buffersAllocated();
  writer->write(*buffer(floatFormat(48000, 1), 100, 0.25f));
  EXPECT_EQ(files.convertersCreated(), 1);
  EXPECT_EQ(files.buffersAllocated(), allocationsBefore) << "no conversion, no allocation";
  writer->write(*buffer(floatFormat(48000, 2), 4096));
  EXPECT_EQ(files.convertersCreated(), 1) << "the cached converter is used again";
  EXPECT_EQ(written().writeFrameCounts.at(1), 100u);
}

TEST_F(TrackWriterOnSim, AlternatingSourceFormatsRecreateTheConverterEachTime) {
  auto writer = open();
  const AudioFormat a = floatFormat(44100, 2);
  const AudioFormat b = floatFormat(48000, 2, true);
  for (const auto& format : {a, b, a, a, b}) writer->write(*buffer(format, 512));
  EXPECT_EQ(files.convertersCreated(), 4);
}

TEST_F(TrackWriterOnSim, ConversionStateCarriesAcrossWritesSoNoFramesAreLost) {
  auto writer = open();
  for (int i = 0; i < 100; ++i) writer->write(*buffer(floatFormat(44100, 2), 4096));
  const double expected = 100.0 * 4096 * 48000 / 44100;
  EXPECT_NEAR(static_cast<double>(written().samples.at(0).size()), expected, 64);
}

TEST_F(TrackWriterOnSim, AnEmptyConversionWritesNothingAndSucceeds) {
  auto writer = open();
  writer->write(*buffer(floatFormat(48000, 2), 0));
  EXPECT_EQ(written().writeCalls, 0);
}

TEST_F(TrackWriterOnSim, ConverterFailuresAreReportedWithTheirCaseAndText) {
  auto writer = open();
  files.failNextConversion(platform::Error{"sim", 2, "resampler broke"});
  try {
    writer->write(*buffer(floatFormat(44100, 2), 64));
    FAIL() << "expected a conversion failure";
  } catch (const TrackWriter::WriterError& error) {
    EXPECT_EQ(error.kind(), TrackWriter::WriterError::Kind::conversionFailed);
    EXPECT_EQ(error.debugDescription(), "conversionFailed(\"resampler broke\")");
    EXPECT_EQ(error.description(),
              "The operation couldn\u2019t be completed. (zuno_recorder.TrackWriter.WriterError "
              "error 0.)");
  }
  files.failNextConversion(std::nullopt);
  try {
    writer->write(*buffer(floatFormat(44100, 2), 64));
    FAIL() << "expected a conversion failure";
  } catch (const TrackWriter::WriterError& error) {
    EXPECT_EQ(error.debugDescription(), "conversionFailed(\"unknown\")");
  }
  EXPECT_EQ(written().writeCalls, 0);
  writer->write(*buffer(floatFormat(44100, 2), 64));  // still usable afterwards
}

TEST_F(TrackWriterOnSim, NoConverterKeepsTheEarlierPair) {
  auto writer = open();
  writer->write(*buffer(floatFormat(44100, 2), 64));
  files.failConverterCreation(true);
  EXPECT_THROW(
      {
        try {
          writer->write(*buffer(floatFormat(32000, 2), 64));
        } catch (const TrackWriter::WriterError& error) {
          EXPECT_EQ(error.debugDescription(), "converterUnavailable");
          throw;
        }
      },
      TrackWriter::WriterError);
  writer->write(*buffer(floatFormat(44100, 2), 64));
  EXPECT_EQ(files.convertersCreated(), 1);
}

TEST_F(TrackWriterOnSim, BufferAllocationFailureIsItsOwnCase) {
  auto writer = open();
  files.failAllBufferAllocations(true);
  try {
    writer->write(*buffer(floatFormat(44100, 2), 64));
    FAIL();
  } catch (const TrackWriter::WriterError& error) {
    EXPECT_EQ(error.kind(), TrackWriter::WriterError::Kind::bufferAllocFailed);
  }
  files.failAllBufferAllocations(false);
  writer->write(*buffer(floatFormat(44100, 2), 64));
  EXPECT_EQ(files.convertersCreated(), 1) << "the pair stored before the failure is kept";
}

TEST_F(TrackWriterOnSim, FileErrorsPassThroughUnchanged) {
  files.failWriteCall(kPath, 1, {"sim.file", 28, "no space"});
  auto writer = open();
  try {
    writer->write(*buffer(floatFormat(48000, 1), 64));
    FAIL();
  } catch (const PlatformFailure& error) {
    EXPECT_EQ(error.description(), "no space");
    EXPECT_EQ(error.debugDescription(), "Error Domain=sim.file Code=28 \"no space\"");
  }
}

// What the resampler holds back belongs in the track: at a change of source format (before the
// new source's first sample) and at the close (the end of the track).
TEST_F(TrackWriterOnSim, CloseAndFormatChangesDrainTheConverterSoNoSampleIsLost) {
  auto writer = open();
  for (int i = 0; i < 3; ++i) writer->write(*buffer(floatFormat(44100, 1), 4410, 0.25f));
  writer->write(*buffer(floatFormat(16000, 2), 1600, 0.5f));
  const std::size_t beforeClose = written().samples[0].size();
  EXPECT_FALSE(written().completed);
  writer->close();
  writer->close();

  const auto& file = written();
  const auto& samples = file.samples[0];
  EXPECT_TRUE(file.completed);
  EXPECT_EQ(file.closeCalls, 1);
  EXPECT_LT(beforeClose, samples.size());
  // 0.3 s of the first source, then 0.1 s of the second, each whole and in that order.
  ASSERT_EQ(samples.size(), 14400u + 4800u);
  EXPECT_EQ(samples[14399], 0.25f);
  EXPECT_EQ(samples[14400], 0.5f);
}

TEST_F(TrackWriterOnSim, AFileThatCannotBeCompletedIsReportedAtClose) {
  auto writer = open();
  writer->write(*buffer(floatFormat(48000, 1), 64));
  files.failClose(kPath, {"sim.file", 28, "no space"});
  try {
    writer->close();
    FAIL();
  } catch (const PlatformFailure& error) {
    EXPECT_EQ(error.description(), "no space");
  }
  EXPECT_FALSE(written().completed);
}

TEST_F(TrackWriterOnSim, OpeningFailureIsThePlatformsError) {
  files.failOpen(kPath, {"sim", 2, "cannot open /out/mic.m4a: No such file or directory"});
  try {
    open();
    FAIL();
  } catch (const PlatformFailure& error) {
    EXPECT_EQ(error.description(), "cannot open /out/mic.m4a: No such file or directory");
  }
}

}  // namespace
}  // namespace zuno
