#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "sim/sim_audio_files.h"

namespace platform::sim {
namespace {

using Status = ConverterOutputStatus;

AudioFormat pcm(double rate, std::uint32_t channels, bool interleaved = false,
                CommonFormat common = CommonFormat::pcmFloat32) {
  return *AudioFormat::make(common, rate, channels, interleaved);
}

// A mono float buffer holding `samples`.
std::shared_ptr<const PCMBuffer> monoBuffer(double rate, const float* samples, std::size_t count) {
  auto buffer = PCMBuffer::make(pcm(rate, 1), static_cast<std::uint32_t>(count));
  buffer->setFrameLength(static_cast<std::uint32_t>(count));
  std::memcpy(buffer->floatChannelData()[0], samples, count * sizeof(float));
  return buffer;
}

std::vector<float> sine(double rate, std::size_t frames, double hz = 440) {
  std::vector<float> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[i] =
        static_cast<float>(std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
  }
  return samples;
}

// Feeds `source` in pieces of `piece` frames, then end of stream, pulling output buffers of
// `capacity` frames until the converter reports the end; returns everything it produced.
std::vector<float> convertAll(AudioConverter& converter, double inputRate,
                              const AudioFormat& outputFormat, const std::vector<float>& source,
                              std::size_t piece, std::uint32_t capacity) {
  std::size_t offset = 0;
  std::vector<float> produced;
  for (int guard = 0; guard < 100000; ++guard) {
    auto output = PCMBuffer::make(outputFormat, capacity);
    std::optional<Error> error;
    const Status status =
        converter.convert(*output, error, [&](std::uint32_t wanted, ConverterInputStatus& input) {
          EXPECT_GT(wanted, 0u);
          if (offset == source.size()) {
            input = ConverterInputStatus::endOfStream;
            return std::shared_ptr<const PCMBuffer>();
          }
          const std::size_t count = std::min(piece, source.size() - offset);
          input = ConverterInputStatus::haveData;
          auto buffer = monoBuffer(inputRate, source.data() + offset, count);
          offset += count;
          return buffer;
        });
    EXPECT_NE(status, Status::error);
    EXPECT_LE(output->frameLength(), capacity);
    const float* samples = output->floatChannelData()[0];
    produced.insert(produced.end(), samples, samples + output->frameLength());
    if (status != Status::haveData) break;
  }
  return produced;
}

TEST(SimConverterResampling, PiecesGiveTheSameSamplesAsOneShotAndFollowTheSignal) {
  SimAudioFiles files;
  const auto source = sine(44100, 88200);
  auto oneShot = files.makeConverter(pcm(44100, 1), pcm(48000, 1));
  auto pieces = files.makeConverter(pcm(44100, 1), pcm(48000, 1));
  ASSERT_TRUE(oneShot && pieces);

  const auto whole = convertAll(*oneShot, 44100, pcm(48000, 1), source, source.size(), 200000);
  const auto cut = convertAll(*pieces, 44100, pcm(48000, 1), source, 1000, 4096);
  EXPECT_EQ(whole.size(), 96000u);
  ASSERT_EQ(cut.size(), whole.size());
  const auto expected = sine(48000, whole.size());
  for (std::size_t i = 0; i < whole.size(); ++i) {
    ASSERT_NEAR(cut[i], whole[i], 1e-5) << "frame " << i;
    // Linear interpolation of a 440 Hz tone at 44.1 kHz stays this close to the tone itself; the
    // very last frame lies past the last input frame, which is held there.
    if (i + 1 < whole.size()) {
      ASSERT_NEAR(whole[i], expected[i], 2e-3) << "frame " << i;
    }
  }
}

TEST(SimConverterResampling, HandingOverOnceAndThenNothingLosesNoFramesOverManyCalls) {
  SimAudioFiles files;
  const AudioFormat from = pcm(44100, 2, true);
  auto converter = files.makeConverter(from, pcm(48000, 1));
  ASSERT_TRUE(converter);
  std::size_t total = 0;
  constexpr std::uint32_t kFrames = 4096;
  for (int call = 0; call < 200; ++call) {
    auto input = PCMBuffer::make(from, kFrames);
    input->setFrameLength(kFrames);
    std::fill(input->floatChannelData()[0], input->floatChannelData()[0] + 2 * kFrames, 0.5f);
    const auto capacity = static_cast<std::uint32_t>(std::ceil(kFrames * 48000.0 / 44100)) + 16;
    auto output = PCMBuffer::make(pcm(48000, 1), capacity);
    bool handed = false;
    std::optional<Error> error;
    const Status status =
        converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& state) {
          state = handed ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
          return handed ? nullptr : (handed = true, std::shared_ptr<const PCMBuffer>(input));
        });
    ASSERT_EQ(status, Status::haveData) << "call " << call;
    total += output->frameLength();
  }
  EXPECT_NEAR(static_cast<double>(total), 200.0 * kFrames * 48000 / 44100, 2);
}

TEST(SimConverterCapacity, ABigInputIsKeptAndHandedOutNoMoreThanTheCapacityAtATime) {
  SimAudioFiles files;
  auto converter = files.makeConverter(pcm(16000, 1), pcm(16000, 1, true));
  ASSERT_TRUE(converter);
  std::vector<float> ramp(10000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
  int inputCalls = 0;
  bool handed = false;
  std::vector<float> produced;
  Status status = Status::haveData;
  for (int call = 0; call < 200 && status == Status::haveData; ++call) {
    auto output = PCMBuffer::make(pcm(16000, 1, true), 100);
    std::optional<Error> error;
    status = converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& state) {
      ++inputCalls;
      state = handed ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
      if (handed) return std::shared_ptr<const PCMBuffer>();
      handed = true;
      return monoBuffer(16000, ramp.data(), ramp.size());
    });
    if (status == Status::haveData) {
      EXPECT_EQ(output->frameLength(), 100u);
    }
    const float* samples = output->floatChannelData()[0];
    produced.insert(produced.end(), samples, samples + output->frameLength());
  }
  EXPECT_EQ(status, Status::inputRanDry);
  EXPECT_EQ(produced, ramp) << "every frame once, in order";
  EXPECT_EQ(inputCalls, 2) << "asked again only once the kept frames ran out";
}

TEST(SimConverterCapacity, DownsamplingAskedForLessThanItHoldsStillFitsEachBuffer) {
  SimAudioFiles files;
  auto converter = files.makeConverter(pcm(48000, 1), pcm(16000, 1));
  const auto source = sine(48000, 48000, 100);
  const auto produced = convertAll(*converter, 48000, pcm(16000, 1), source, 7000, 333);
  EXPECT_NEAR(static_cast<double>(produced.size()), 16000, 1);
  const auto expected = sine(16000, produced.size(), 100);
  for (std::size_t i = 0; i < produced.size(); ++i) ASSERT_NEAR(produced[i], expected[i], 1e-4);
}

TEST(SimConverterMixing, ChannelsAreAveragedToMonoAndMonoIsCopiedOut) {
  SimAudioFiles files;
  for (bool interleaved : {false, true}) {
    const AudioFormat stereo = pcm(48000, 2, interleaved);
    auto input = PCMBuffer::make(stereo, 4);
    input->setFrameLength(4);
    for (std::uint32_t f = 0; f < 4; ++f) {
      float* left =
          interleaved ? input->floatChannelData()[0] + 2 * f : input->floatChannelData()[0] + f;
      float* right = interleaved ? left + 1 : input->floatChannelData()[1] + f;
      *left = 0.2f;
      *right = 0.6f;
    }
    auto converter = files.makeConverter(stereo, pcm(48000, 1));
    auto output = PCMBuffer::make(pcm(48000, 1), 16);
    std::optional<Error> error;
    bool handed = false;
    converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& state) {
      state = handed ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
      return handed ? nullptr : (handed = true, std::shared_ptr<const PCMBuffer>(input));
    });
    ASSERT_EQ(output->frameLength(), 4u) << "interleaved " << interleaved;
    for (std::uint32_t f = 0; f < 4; ++f) EXPECT_FLOAT_EQ(output->floatChannelData()[0][f], 0.4f);
  }

  const float mono[3] = {0.1f, -0.3f, 0.5f};
  auto up = files.makeConverter(pcm(48000, 1), pcm(48000, 2));
  auto output = PCMBuffer::make(pcm(48000, 2), 3);
  std::optional<Error> error;
  up->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& state) {
    state = ConverterInputStatus::haveData;
    return monoBuffer(48000, mono, 3);
  });
  ASSERT_EQ(output->frameLength(), 3u);
  for (int c = 0; c < 2; ++c) {
    for (int f = 0; f < 3; ++f) EXPECT_FLOAT_EQ(output->floatChannelData()[c][f], mono[f]);
  }
}

TEST(SimConverterMixing, SixteenBitInputIsScaledToFloat) {
  SimAudioFiles files;
  const AudioFormat int16 = pcm(48000, 1, true, CommonFormat::pcmInt16);
  auto converter = files.makeConverter(int16, pcm(48000, 1));
  ASSERT_TRUE(converter);
  auto input = PCMBuffer::make(int16, 2);
  input->setFrameLength(2);
  const std::int16_t samples[2] = {16384, -32768};
  std::memcpy(input->mutableAudioBufferList().buffers[0].mData, samples, sizeof samples);
  auto output = PCMBuffer::make(pcm(48000, 1), 2);
  std::optional<Error> error;
  converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& state) {
    state = ConverterInputStatus::haveData;
    return std::shared_ptr<const PCMBuffer>(input);
  });
  ASSERT_EQ(output->frameLength(), 2u);
  EXPECT_FLOAT_EQ(output->floatChannelData()[0][0], 0.5f);
  EXPECT_FLOAT_EQ(output->floatChannelData()[0][1], -1.0f);
}

TEST(SimConverterStatus, NothingNowIsRanDryAndAnEmptyEndIsTheEnd) {
  SimAudioFiles files;
  auto converter = files.makeConverter(pcm(44100, 1), pcm(48000, 1));
  auto output = PCMBuffer::make(pcm(48000, 1), 64);
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, error,
                               [](std::uint32_t, ConverterInputStatus& state) {
                                 state = ConverterInputStatus::noDataNow;
                                 return nullptr;
                               }),
            Status::inputRanDry);
  EXPECT_EQ(output->frameLength(), 0u);
  EXPECT_EQ(converter->convert(*output, error,
                               [](std::uint32_t, ConverterInputStatus& state) {
                                 state = ConverterInputStatus::endOfStream;
                                 return nullptr;
                               }),
            Status::endOfStream);
  EXPECT_FALSE(error);
}

TEST(SimConverterFailures, ScriptedFailuresCarryTheirErrorOrNoneAndPassOnce) {
  SimAudioFiles files;
  auto converter = files.makeConverter(pcm(44100, 1), pcm(48000, 1));
  auto output = PCMBuffer::make(pcm(48000, 1), 64);
  int inputCalls = 0;
  const ConverterInputBlock input = [&](std::uint32_t, ConverterInputStatus& state) {
    ++inputCalls;
    state = ConverterInputStatus::noDataNow;
    return nullptr;
  };

  files.failNextConversion(Error{"sim", 4, "broken"});
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, error, input), Status::error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "broken");

  files.failNextConversion(std::nullopt);
  std::optional<Error> unset;
  EXPECT_EQ(converter->convert(*output, unset, input), Status::error);
  EXPECT_FALSE(unset);
  EXPECT_EQ(inputCalls, 0);

  EXPECT_EQ(converter->convert(*output, unset, input), Status::inputRanDry);

  const float wrongRate[1] = {0};
  EXPECT_EQ(converter->convert(*output, error,
                               [&](std::uint32_t, ConverterInputStatus& state) {
                                 state = ConverterInputStatus::haveData;
                                 return monoBuffer(22050, wrongRate, 1);
                               }),
            Status::error)
      << "a buffer in another format than promised";
}

TEST(SimConverterFailures, CreationCanBeRefusedAndIsCountedOnlyWhenItSucceeds) {
  SimAudioFiles files;
  files.failConverterCreation(true);
  EXPECT_FALSE(files.makeConverter(pcm(44100, 1), pcm(48000, 1)));
  files.failConverterCreation(false);
  EXPECT_FALSE(
      files.makeConverter(AudioFormat{0, 1, CommonFormat::pcmFloat32, false, 0}, pcm(48000, 1)))
      << "no rate to resample from";
  EXPECT_TRUE(files.makeConverter(pcm(44100, 2), pcm(48000, 1)));
  EXPECT_EQ(files.convertersCreated(), 1);
  ASSERT_EQ(files.converterPairs().size(), 1u);
  EXPECT_EQ(files.converterPairs()[0].first, pcm(44100, 2));
  EXPECT_EQ(files.converterPairs()[0].second, pcm(48000, 1));
}

}  // namespace
}  // namespace platform::sim
