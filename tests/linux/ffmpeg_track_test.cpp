#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "e2e/e2e_support.h"
#include "linux/ffmpeg_audio_files.h"
#include "linux/ffmpeg_test_support.h"
#include "record/track_writer.h"

namespace zuno {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;

class FfmpegTrack : public ::testing::Test {
 protected:
  // `seconds` of a sine at `hz` in 4096-frame buffers of `format`; `channel` picks the one
  // channel that sounds (-1: all).
  std::uint64_t writeTone(TrackWriter& writer, const AudioFormat& format, double seconds, double hz,
                          int channel = -1) {
    const auto total = static_cast<std::uint64_t>(seconds * format.sampleRate);
    std::uint64_t n = 0;
    while (n < total) {
      const auto frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(4096, total - n));
      auto buffer = platform::PCMBuffer::make(format, frames);
      buffer->setFrameLength(frames);
      for (std::uint32_t i = 0; i < frames; ++i) {
        const float sample =
            0.5f * static_cast<float>(std::sin(2 * M_PI * hz * double(n + i) / format.sampleRate));
        for (std::uint32_t c = 0; c < format.channelCount; ++c) {
          const float value = (channel < 0 || int(c) == channel) ? sample : 0.0f;
          if (format.interleaved) {
            buffer->floatChannelData()[0][i * format.channelCount + c] = value;
          } else {
            buffer->floatChannelData()[c][i] = value;
          }
        }
      }
      writer.write(*buffer);
      n += frames;
    }
    return n;
  }

  platform::linux_backend::testing::ScratchDirectory scratch{"zuno-ffmpeg-"};
  const std::filesystem::path& directory = scratch.path();
  platform::linux_backend::FfmpegAudioFiles files;
};

TEST_F(FfmpegTrack, AFileInTheProcessingFormatIsMonoAacInMpeg4WithTheWrittenDuration) {
  const std::string path = directory / "mic.m4a";
  auto writer = TrackWriter::create(files, path, aacSettings(48000));
  const auto frames = writeTone(*writer, writer->processingFormat(), 3.3, 440);
  writer.reset();
  const auto facts = e2e::inspectTrack(path);
  EXPECT_EQ(facts.codec, "aac");
  EXPECT_EQ(facts.channels, 1);
  EXPECT_EQ(facts.sampleRate, 48000);
  EXPECT_NEAR(facts.duration, double(frames) / 48000, 1024.0 / 48000);
  const std::string probe = e2e::shell(
      "ffprobe -v error -show_entries format=format_name:stream=bit_rate "
      "-of default=nw=1 '" +
      path + "'");
  EXPECT_NE(probe.find("mp4"), std::string::npos) << probe;
  // The stream's own rate: on a file this short the container's headers would outweigh it.
  const auto bitRate = std::atol(probe.c_str() + probe.find("bit_rate=") + 9);
  EXPECT_NEAR(static_cast<double>(bitRate), 40000, 10000);
}

TEST_F(FfmpegTrack, ConvertedStereoInBuffersMatchesOneShotConversionWithoutClicks) {
  const std::string path = directory / "system.m4a";
  const auto stereo = *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false);
  auto writer = TrackWriter::create(files, path, aacSettings(48000));
  writeTone(*writer, stereo, 4.0, 440);
  writer.reset();

  // The reference: the same tone converted in one go.
  const auto mono = *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 1, false);
  auto converter = files.makeConverter(stereo, mono);
  ASSERT_TRUE(converter);
  auto whole = platform::PCMBuffer::make(stereo, 44100 * 4);
  whole->setFrameLength(44100 * 4);
  for (std::uint32_t i = 0; i < whole->frameLength(); ++i) {
    const float s = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 44100.0));
    whole->floatChannelData()[0][i] = whole->floatChannelData()[1][i] = s;
  }
  auto reference = platform::PCMBuffer::make(mono, 48000 * 4 + 64);
  std::optional<platform::Error> error;
  bool given = false;
  converter->convert(*reference, error, [&](std::uint32_t, platform::ConverterInputStatus& status) {
    status = given ? platform::ConverterInputStatus::endOfStream
                   : platform::ConverterInputStatus::haveData;
    const bool first = !given;
    given = true;
    return first ? std::shared_ptr<const platform::PCMBuffer>(whole) : nullptr;
  });

  const auto facts = e2e::inspectTrack(path);
  ASSERT_TRUE(facts.readable);
  EXPECT_EQ(facts.sampleRate, 48000);
  EXPECT_GT(e2e::toneEnergy(facts.samples, 440), 100 * e2e::toneEnergy(facts.samples, 880));
  EXPECT_NEAR(facts.duration, reference->frameLength() / 48000.0, 2048.0 / 48000);

  // The same conversion pulled 4096 frames at a time, as the track writer does, must give the
  // one-shot samples: a seam at a buffer boundary would show as a difference there.
  auto piecewise = files.makeConverter(stereo, mono);
  std::vector<float> joined;
  for (std::uint32_t at = 0; at + 4096 <= whole->frameLength(); at += 4096) {
    auto piece = platform::PCMBuffer::make(stereo, 4096);
    piece->setFrameLength(4096);
    for (int c = 0; c < 2; ++c) {
      std::copy_n(whole->floatChannelData()[c] + at, 4096, piece->floatChannelData()[c]);
    }
    auto out = platform::PCMBuffer::make(mono, TrackWriter::outputCapacity(48000, 44100, 4096));
    bool handed = false;
    piecewise->convert(*out, error, [&](std::uint32_t, platform::ConverterInputStatus& status) {
      status = handed ? platform::ConverterInputStatus::noDataNow
                      : platform::ConverterInputStatus::haveData;
      const bool first = !handed;
      handed = true;
      return first ? std::shared_ptr<const platform::PCMBuffer>(piece) : nullptr;
    });
    joined.insert(joined.end(), out->floatChannelData()[0],
                  out->floatChannelData()[0] + out->frameLength());
  }
  ASSERT_GT(joined.size(), 48000u * 3);
  float worst = 0;
  for (std::size_t i = 0; i < joined.size(); ++i) {
    worst = std::max(worst, std::fabs(joined[i] - reference->floatChannelData()[0][i]));
  }
  EXPECT_LT(worst, 1e-4f);
}

TEST_F(FfmpegTrack, SoundInOneStereoChannelIsAudibleInTheMonoTrack) {
  const std::string path = directory / "system.m4a";
  auto writer = TrackWriter::create(files, path, aacSettings(48000));
  writeTone(*writer, *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 2, true), 2.0, 660, 1);
  writer.reset();
  EXPECT_GT(e2e::rms(e2e::inspectTrack(path).samples), 0.1);
}

TEST_F(FfmpegTrack, ReopeningReplacesAndAMissingDirectoryNamesThePath) {
  const std::string path = directory / "mic.m4a";
  {
    auto writer = TrackWriter::create(files, path, aacSettings(48000));
    writeTone(*writer, writer->processingFormat(), 3.0, 440);
  }
  {
    auto writer = TrackWriter::create(files, path, aacSettings(16000));
    writeTone(*writer, writer->processingFormat(), 1.0, 440);
  }
  const auto facts = e2e::inspectTrack(path);
  EXPECT_EQ(facts.sampleRate, 16000);
  EXPECT_NEAR(facts.duration, 1.0, 0.1);

  const std::string missing = directory / "nope" / "mic.m4a";
  try {
    TrackWriter::create(files, missing, aacSettings(48000));
    FAIL();
  } catch (const PlatformFailure& error) {
    EXPECT_EQ(error.description(),
              "cannot open " + missing + " for writing: No such file or directory");
  }
}

TEST_F(FfmpegTrack, ReadsWhatSoxWrites) {
  const std::string wav = directory / "tone.wav";
  e2e::shell("sox -q -n -r 22050 -c 2 '" + wav + "' synth 1.5 sine 300");
  auto reader = files.openForReading(wav);
  ASSERT_TRUE(reader) << reader.error().description;
  EXPECT_EQ((*reader)->processingFormat().sampleRate, 22050);
  EXPECT_EQ((*reader)->processingFormat().channelCount, 2u);
  auto buffer = platform::PCMBuffer::make((*reader)->processingFormat(), 1000);
  std::uint64_t total = 0;
  do {
    ASSERT_FALSE((*reader)->read(*buffer));
    total += buffer->frameLength();
  } while (buffer->frameLength() > 0);
  EXPECT_EQ(total, 33075u);
  EXPECT_FALSE(files.openForReading(directory / "absent.wav"));
}

}  // namespace
}  // namespace zuno
