#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "linux/ffmpeg_test_support.h"
#include "sim/sim_audio_files.h"

// The two implementations of the files service that the contract tests hold to one standard:
// the sim the program's tests write to, and FFmpeg, which the shipped program writes with.
namespace platform::contract {

inline AudioFormat floatFormat(double rate, std::uint32_t channels, bool interleaved = false) {
  return *AudioFormat::make(CommonFormat::pcmFloat32, rate, channels, interleaved);
}

struct SimFiles {
  static constexpr const char* kName = "Sim";
  sim::SimAudioFiles files;
  // A mono file holding `samples` at `rate`, for a reader to open.
  void addMonoFile(const std::string& path, double rate, const std::vector<float>& samples) {
    files.addReadableFile(path, floatFormat(rate, 1), {samples});
  }
};

struct FfmpegFiles {
  static constexpr const char* kName = "Ffmpeg";
  linux_backend::FfmpegAudioFiles files;
  void addMonoFile(const std::string& path, double rate, const std::vector<float>& samples) {
    auto file = files.openForWriting(path, linux_backend::testing::aac(rate));
    ASSERT_TRUE(file) << file.error().description;
    auto buffer =
        PCMBuffer::make((*file)->processingFormat(), static_cast<std::uint32_t>(samples.size()));
    buffer->setFrameLength(static_cast<std::uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer->floatChannelData()[0]);
    ASSERT_FALSE((*file)->write(*buffer));
    ASSERT_FALSE((*file)->close());
  }
};

struct BackendName {
  template <typename Backend>
  static std::string GetName(int) {
    return Backend::kName;
  }
};

using FileBackends = ::testing::Types<SimFiles, FfmpegFiles>;

// A fresh directory per case, for the backend that really writes.
template <typename Backend>
class FilesContract : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return scratch_.file(name); }
  AudioFiles& files() { return backend.files; }

  // Before the backend, so that it outlives every file the backend holds.
  linux_backend::testing::ScratchDirectory scratch_{"zuno-contract-"};
  Backend backend;
};

}  // namespace platform::contract
