#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "linux/audio_files_backends.h"

// The converter as the track writer drives it, the same cases for the sim and for FFmpeg: the
// program's tests trust the sim's converter to lose, repeat and distort nothing the shipped one
// would not.
namespace platform::contract {
namespace {

using linux_backend::testing::toneBuffer;
using linux_backend::testing::zeroCrossingFrequency;
using Input = std::shared_ptr<const PCMBuffer>;

const AudioFormat kStereo48kInterleaved = floatFormat(48000, 2, true);
const AudioFormat kMono16k = floatFormat(16000, 1);

// Output room for one source buffer, as the track writer sizes it.
std::uint32_t outputCapacity(const AudioFormat& from, const AudioFormat& to, std::uint32_t frames) {
  return static_cast<std::uint32_t>(std::ceil(to.sampleRate / from.sampleRate * frames)) + 16;
}

void append(std::vector<float>& samples, const PCMBuffer& buffer) {
  const float* first = buffer.floatChannelData()[0];
  samples.insert(samples.end(), first, first + buffer.frameLength());
}

// One conversion as the track writer does it per write: the buffer once, then "nothing now", so
// the converter keeps what it holds for the next call.
ConverterOutputStatus convertOnce(AudioConverter& converter, PCMBuffer& output, Input buffer,
                                  std::optional<Error>& error) {
  return converter.convert(output, error, [&](std::uint32_t, ConverterInputStatus& status) {
    status = buffer ? ConverterInputStatus::haveData : ConverterInputStatus::noDataNow;
    return std::exchange(buffer, nullptr);
  });
}

// The drain before a close: end of stream, in outputs of the track writer's drain size, until
// the converter says the stream has ended.
void drain(AudioConverter& converter, const AudioFormat& to, std::vector<float>& samples) {
  auto output = PCMBuffer::make(to, 1024);
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  for (int calls = 0; status == ConverterOutputStatus::haveData; ++calls) {
    ASSERT_LT(calls, 1000) << "never reaches the end of the stream";
    std::optional<Error> error;
    status = converter.convert(*output, error, [](std::uint32_t, ConverterInputStatus& input) {
      input = ConverterInputStatus::endOfStream;
      return Input();
    });
    ASSERT_NE(status, ConverterOutputStatus::error);
    append(samples, *output);
  }
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
}

// The whole source in one piece, then the drain.
std::vector<float> convertWhole(AudioFiles& files, const AudioFormat& to, const Input& whole) {
  auto converter = files.makeConverter(whole->format(), to);
  EXPECT_TRUE(converter);
  if (!converter) return {};
  auto output = PCMBuffer::make(to, outputCapacity(whole->format(), to, whole->frameLength()));
  std::optional<Error> error;
  EXPECT_NE(convertOnce(*converter, *output, whole, error), ConverterOutputStatus::error);
  std::vector<float> samples;
  append(samples, *output);
  drain(*converter, to, samples);
  return samples;
}

// Frames [from, from + count) of an interleaved source, in a buffer of their own.
PCMBufferPtr slice(const PCMBuffer& source, std::uint32_t from, std::uint32_t count) {
  auto piece = PCMBuffer::make(source.format(), count);
  piece->setFrameLength(count);
  const std::uint32_t channels = source.format().channelCount;
  std::copy_n(source.floatChannelData()[0] + std::size_t{from} * channels,
              std::size_t{count} * channels, piece->floatChannelData()[0]);
  return piece;
}

template <typename Backend>
class ConverterContract : public FilesContract<Backend> {};
TYPED_TEST_SUITE(ConverterContract, FileBackends, BackendName);

TYPED_TEST(ConverterContract, StereoAt48kBecomesMonoAt16kWithAThirdOfTheFramesAndTheSamePitch) {
  const auto source = toneBuffer(kStereo48kInterleaved, 48000, 440);
  const auto converted = convertWhole(this->files(), kMono16k, source);
  EXPECT_NEAR(static_cast<double>(converted.size()), 16000, 2);
  EXPECT_NEAR(zeroCrossingFrequency(converted, 16000), 440, 1);
  // A half-scale tone in both channels stays a half-scale tone in mono.
  EXPECT_NEAR(*std::max_element(converted.begin(), converted.end()), 0.5, 0.01);
}

TYPED_TEST(ConverterContract, AStreamInOddPiecesConvertsAsInOnePiece) {
  // Down by a whole ratio, as from the system tap to a speech track, and up by an uneven one, as
  // from a 44.1 kHz microphone to a track.
  const struct {
    AudioFormat from;
    AudioFormat to;
  } pairs[] = {{kStereo48kInterleaved, kMono16k},
               {floatFormat(44100, 2, true), floatFormat(48000, 1)}};
  for (const auto& [from, to] : pairs) {
    const std::uint32_t total = static_cast<std::uint32_t>(from.sampleRate / 2);
    const auto source = toneBuffer(from, total, 440);
    const auto reference = convertWhole(this->files(), to, source);
    for (const std::uint32_t piece : {1u, 7u, 441u, 4097u}) {
      SCOPED_TRACE(::testing::Message() << from.sampleRate << " Hz to " << to.sampleRate
                                        << " Hz in pieces of " << piece);
      auto converter = this->files().makeConverter(from, to);
      ASSERT_TRUE(converter);
      auto output = PCMBuffer::make(to, outputCapacity(from, to, piece));
      std::vector<float> joined;
      for (std::uint32_t at = 0; at < total; at += piece) {
        std::optional<Error> error;
        const auto status = convertOnce(*converter, *output,
                                        slice(*source, at, std::min(piece, total - at)), error);
        ASSERT_NE(status, ConverterOutputStatus::error);
        append(joined, *output);
      }
      drain(*converter, to, joined);
      // A lost, repeated or restarted stretch at a piece boundary would differ by the signal's
      // own scale there.
      ASSERT_EQ(joined.size(), reference.size());
      float worst = 0;
      for (std::size_t i = 0; i < joined.size(); ++i) {
        worst = std::max(worst, std::fabs(joined[i] - reference[i]));
      }
      EXPECT_LT(worst, 1e-4f);
    }
  }
}

TYPED_TEST(ConverterContract, WhatDoesNotFitIsHandedOutInLaterCallsEveryFrameOnceInOrder) {
  const AudioFormat from = floatFormat(16000, 1);
  const AudioFormat to = floatFormat(16000, 1, true);
  auto ramp = PCMBuffer::make(from, 10000);
  ramp->setFrameLength(10000);
  for (std::uint32_t i = 0; i < 10000; ++i) ramp->floatChannelData()[0][i] = i / 10000.0f;
  auto converter = this->files().makeConverter(from, to);
  ASSERT_TRUE(converter);

  auto output = PCMBuffer::make(to, 100);
  std::vector<float> produced;
  Input pending = ramp;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  for (int call = 0; call < 200 && status == ConverterOutputStatus::haveData; ++call) {
    std::optional<Error> error;
    status = convertOnce(*converter, *output, std::exchange(pending, nullptr), error);
    if (status == ConverterOutputStatus::haveData) {
      EXPECT_EQ(output->frameLength(), 100u);
    }
    append(produced, *output);
  }
  EXPECT_EQ(status, ConverterOutputStatus::inputRanDry);
  ASSERT_EQ(produced.size(), 10000u);
  for (std::uint32_t i = 0; i < 10000; ++i) ASSERT_NEAR(produced[i], i / 10000.0f, 1e-6) << i;
}

TYPED_TEST(ConverterContract, NothingGivenIsRanDryAndAnEndWithNothingIsTheEnd) {
  auto converter = this->files().makeConverter(kStereo48kInterleaved, kMono16k);
  ASSERT_TRUE(converter);
  auto output = PCMBuffer::make(kMono16k, 64);
  std::optional<Error> error;
  EXPECT_EQ(convertOnce(*converter, *output, nullptr, error), ConverterOutputStatus::inputRanDry);
  EXPECT_EQ(output->frameLength(), 0u);
  EXPECT_EQ(converter->convert(*output, error,
                               [](std::uint32_t, ConverterInputStatus& status) {
                                 status = ConverterInputStatus::endOfStream;
                                 return Input();
                               }),
            ConverterOutputStatus::endOfStream);
  EXPECT_EQ(output->frameLength(), 0u);
  EXPECT_FALSE(error);
}

TYPED_TEST(ConverterContract, TheSameSoundInBothChannelsKeepsItsLevelInMono) {
  for (const bool interleaved : {false, true}) {
    SCOPED_TRACE(interleaved ? "interleaved" : "one buffer per channel");
    const AudioFormat stereo = floatFormat(48000, 2, interleaved);
    const float levels[4] = {0.5f, -0.5f, 0.25f, 0.0f};
    auto source = PCMBuffer::make(stereo, 4);
    source->setFrameLength(4);
    for (std::uint32_t f = 0; f < 4; ++f) {
      for (std::uint32_t c = 0; c < 2; ++c) {
        if (interleaved) {
          source->floatChannelData()[0][2 * f + c] = levels[f];
        } else {
          source->floatChannelData()[c][f] = levels[f];
        }
      }
    }
    const AudioFormat mono = floatFormat(48000, 1);
    auto converter = this->files().makeConverter(stereo, mono);
    ASSERT_TRUE(converter);
    auto output = PCMBuffer::make(mono, 16);
    std::optional<Error> error;
    ASSERT_EQ(convertOnce(*converter, *output, source, error), ConverterOutputStatus::haveData);
    ASSERT_EQ(output->frameLength(), 4u);
    for (std::uint32_t f = 0; f < 4; ++f) {
      EXPECT_NEAR(output->floatChannelData()[0][f], levels[f], 1e-4f) << f;
    }
  }
}

TYPED_TEST(ConverterContract, ImpossiblePairsGiveNoConverterAndAForeignBufferAnError) {
  const AudioFormat noRate{0, 2, CommonFormat::pcmFloat32, false, 0};
  const AudioFormat notPCM{48000, 2, CommonFormat::otherFormat, false, 0};
  EXPECT_FALSE(this->files().makeConverter(noRate, kMono16k));
  EXPECT_FALSE(this->files().makeConverter(kStereo48kInterleaved, noRate));
  EXPECT_FALSE(this->files().makeConverter(notPCM, kMono16k));

  auto converter = this->files().makeConverter(kStereo48kInterleaved, kMono16k);
  ASSERT_TRUE(converter);
  auto output = PCMBuffer::make(kMono16k, 8192);
  std::optional<Error> error;
  EXPECT_EQ(convertOnce(*converter, *output, toneBuffer(floatFormat(44100, 1), 4096, 440), error),
            ConverterOutputStatus::error);
  EXPECT_TRUE(error);
}

}  // namespace
}  // namespace platform::contract
