#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "linux/ffmpeg_audio_files.h"

namespace platform::linux_backend::testing {

// Output of a shell command (standard output only).
inline std::string run(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    ::pclose(pipe);
  }
  return output;
}

// `key=value` facts ffprobe reports about the first audio stream and the container.
inline std::map<std::string, std::string> probe(const std::string& path) {
  const std::string text =
      run("ffprobe -v error -select_streams a:0 -show_entries "
          "stream=codec_name,profile,channels,sample_rate,bit_rate:format=format_name,duration "
          "-of default=nw=1 '" +
          path + "'");
  std::map<std::string, std::string> facts;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (const auto equals = line.find('='); equals != std::string::npos) {
      facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return facts;
}

// A file decoded with the reader under test: one sample vector per channel.
struct Decoded {
  std::optional<Error> error;
  AudioFormat format;
  std::vector<std::vector<float>> channels;
};

inline Decoded decode(FfmpegAudioFiles& files, const std::string& path,
                      std::uint32_t bufferFrames = 4096) {
  Decoded decoded;
  auto reader = files.openForReading(path);
  if (!reader) {
    decoded.error = reader.error();
    return decoded;
  }
  decoded.format = (*reader)->processingFormat();
  decoded.channels.resize(decoded.format.channelCount);
  auto buffer = PCMBuffer::make(decoded.format, bufferFrames);
  while (true) {
    if (auto error = (*reader)->read(*buffer)) {
      decoded.error = error;
      break;
    }
    if (buffer->frameLength() == 0) break;
    for (std::uint32_t c = 0; c < decoded.format.channelCount; ++c) {
      const float* samples = buffer->floatChannelData()[c];
      decoded.channels[c].insert(decoded.channels[c].end(), samples,
                                 samples + buffer->frameLength());
    }
  }
  return decoded;
}

inline double rms(const std::vector<float>& samples) {
  double sum = 0;
  for (float s : samples) sum += double{s} * s;
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// Frequency of a steady tone from its rising zero crossings.
inline double zeroCrossingFrequency(const std::vector<float>& samples, double rate) {
  std::size_t first = 0, last = 0, crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (crossings++ == 0) first = i;
      last = i;
    }
  }
  if (crossings < 2) return 0;
  return static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

// Goertzel power of `hz`, normalised by length, so tones can be compared within one signal.
inline double toneEnergy(const std::vector<float>& samples, double hz, double rate) {
  const double coefficient = 2 * std::cos(2 * M_PI * hz / rate);
  double previous = 0, beforePrevious = 0;
  for (float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double n = static_cast<double>(samples.size());
  return (previous * previous + beforePrevious * beforePrevious -
          coefficient * previous * beforePrevious) /
         (n * n);
}

// Sample `frame` of a half-scale sine at `hz`.
inline float sine(double hz, double rate, std::uint64_t frame) {
  return 0.5f * static_cast<float>(std::sin(2 * M_PI * hz * static_cast<double>(frame) / rate));
}

// A buffer of `frames` frames of the sine starting at `firstFrame`, in every channel or, with
// `onlyChannel` >= 0, in that one channel with silence in the others.
inline PCMBufferPtr toneBuffer(const AudioFormat& format, std::uint32_t frames, double hz,
                               std::uint64_t firstFrame = 0, int onlyChannel = -1) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const float value = sine(hz, format.sampleRate, firstFrame + i);
    for (std::uint32_t c = 0; c < format.channelCount; ++c) {
      const float sample = onlyChannel < 0 || static_cast<int>(c) == onlyChannel ? value : 0.0f;
      if (format.interleaved) {
        buffer->floatChannelData()[0][std::size_t{i} * format.channelCount + c] = sample;
      } else {
        buffer->floatChannelData()[c][i] = sample;
      }
    }
  }
  return buffer;
}

inline AudioSettings aac(double rate, std::int64_t channels = 1, std::int64_t bitRate = 40000) {
  return {{AVFormatIDKey, AudioSettingValue(kAudioFormatMPEG4AAC)},
          {AVSampleRateKey, AudioSettingValue(rate)},
          {AVNumberOfChannelsKey, AudioSettingValue(channels)},
          {AVEncoderBitRateKey, AudioSettingValue(bitRate)}};
}

// A fresh directory for the running test, named after it and this process, so that parallel
// runs never share one; removed when the test ends.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix)
      : path_(std::filesystem::temp_directory_path() /
              (prefix + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A fresh directory per test, removed afterwards.
class FfmpegFilesTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name) const { return scratch.file(name); }

  ScratchDirectory scratch{"zuno-ffmpeg-"};
  const std::filesystem::path& directory = scratch.path();
  FfmpegAudioFiles files;
};

}  // namespace platform::linux_backend::testing
