#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "linux/speech_silence_splitter.h"

namespace platform::linux_backend {
namespace {

constexpr double kRate = 16000;

// What the synthetic recordings are made of: a loud tone standing in for speech, a noise floor
// (room noise, above the level nobody speaks at) and digital silence.
enum class Sound { speech, noise, nothing };

struct Part {
  Sound sound;
  double seconds;
};

std::int16_t sampleOf(Sound sound, std::uint64_t index) {
  switch (sound) {
    case Sound::speech:  // -21 dBFS
      return static_cast<std::int16_t>(
          3000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(index) / kRate));
    case Sound::noise: {  // about -55 dBFS, the same every run
      const std::uint32_t hashed = static_cast<std::uint32_t>(index) * 2654435761u;
      return static_cast<std::int16_t>(static_cast<int>(hashed >> 24) - 128);
    }
    case Sound::nothing:
      return 0;
  }
  return 0;
}

std::vector<std::int16_t> render(const std::vector<Part>& parts) {
  std::vector<std::int16_t> samples;
  for (const Part& part : parts) {
    const auto count = static_cast<std::size_t>(std::lround(part.seconds * kRate));
    for (std::size_t i = 0; i < count; ++i) samples.push_back(sampleOf(part.sound, samples.size()));
  }
  return samples;
}

struct SplitCase {
  std::string name;
  std::vector<Part> recording;
  std::vector<std::pair<double, double>> stretches;  // seconds from the start: first, end
};

void PrintTo(const SplitCase& split, std::ostream* out) {
  *out << split.name;
}

class SilenceSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SilenceSplit, GivesTheStretchesOfSpeechWithTheirPlaceInTheFile) {
  const std::vector<std::int16_t> recording = render(GetParam().recording);
  std::vector<SpeechStretch> stretches;
  SpeechSilenceSplitter splitter(
      kRate, [&](SpeechStretch&& stretch) { stretches.push_back(std::move(stretch)); });
  // Pieces that never line up with the splitter's frames, as a converter hands them over.
  for (std::size_t at = 0; at < recording.size(); at += 777) {
    splitter.push(
        std::span(recording).subspan(at, std::min<std::size_t>(777, recording.size() - at)));
  }
  splitter.finish();

  std::vector<std::pair<double, double>> found;
  for (const SpeechStretch& stretch : stretches) {
    const auto first = static_cast<std::ptrdiff_t>(stretch.firstSample);
    ASSERT_LE(stretch.firstSample + stretch.samples.size(), recording.size());
    EXPECT_TRUE(
        std::equal(stretch.samples.begin(), stretch.samples.end(), recording.begin() + first))
        << "the samples of the stretch at " << first << " are not the file's";
    found.emplace_back(static_cast<double>(stretch.firstSample) / kRate,
                       static_cast<double>(stretch.firstSample + stretch.samples.size()) / kRate);
  }
  ASSERT_EQ(found.size(), GetParam().stretches.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_NEAR(found[i].first, GetParam().stretches[i].first, 1e-9) << "stretch " << i;
    EXPECT_NEAR(found[i].second, GetParam().stretches[i].second, 1e-9) << "stretch " << i;
  }
}

// Speech and noise pauses of 2 s and 0.2 s, twelve times over.
std::vector<Part> sentencesWithShortPauses() {
  std::vector<Part> parts;
  for (int i = 0; i < 12; ++i) {
    parts.push_back({Sound::speech, 2});
    parts.push_back({Sound::noise, 0.2});
  }
  return parts;
}

// Cut at a pause of 0.4 s with 0.2 s kept either side; past 20 s at a pause of 0.15 s, halved;
// never longer than 30 s.
INSTANTIATE_TEST_SUITE_P(
    Recordings, SilenceSplit,
    ::testing::Values(
        SplitCase{"DigitalSilence", {{Sound::nothing, 2}}, {}},
        SplitCase{"NoiseOnly", {{Sound::noise, 3}}, {}},
        SplitCase{"OneSentence",
                  {{Sound::nothing, 1}, {Sound::speech, 2}, {Sound::nothing, 1}},
                  {{0.8, 3.2}}},
        SplitCase{"AShortPauseStaysInside",
                  {{Sound::noise, 1},
                   {Sound::speech, 1},
                   {Sound::noise, 0.3},
                   {Sound::speech, 1},
                   {Sound::noise, 1}},
                  {{0.8, 3.5}}},
        SplitCase{"ALongPauseSplitsAndItsMiddleIsLeftOut",
                  {{Sound::noise, 1}, {Sound::speech, 1}, {Sound::noise, 2}, {Sound::speech, 1}},
                  {{0.8, 2.2}, {3.8, 5.0}}},
        SplitCase{"SpeechFromTheFirstSampleToTheLast", {{Sound::speech, 3}}, {{0, 3}}},
        SplitCase{
            "UnbrokenSpeechIsCutAtTheLongestStretch", {{Sound::speech, 40}}, {{0, 30}, {30, 40}}},
        SplitCase{"ALongStretchEndsAtAShortPause",
                  sentencesWithShortPauses(),
                  {{0, 21.87}, {21.87, 26.4}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::linux_backend
