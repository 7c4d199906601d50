#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "record/recorder.h"
#include "sim/sim_platform.h"
#include "support/sim_run.h"

namespace zuno::testing {

using namespace std::chrono_literals;
using platform::sim::SimPlatform;

// A whole `record` run on the sim backend: the test scripts what happens when (audio, stdin,
// signals) on virtual time, runs the recorder to its exit and checks the exact lines.
class RecordOnSim : public ::testing::Test {
 protected:
  static constexpr const char* kOutDir = "/rec/out";

  // The whole `record` run, as the parent starts it; its exit status.
  int runRecorder() {
    beforeRun();
    return runWords(sim, {"record", "--out-dir", kOutDir});
  }
  // Scripts the engine the recorder is about to make.
  virtual void beforeRun() {
    if (pendingInputFormat) engine().setInputFormat(*pendingInputFormat);
    if (vpFormat) engine().setVoiceProcessingFormat(*vpFormat);
    if (failEngineStart) engine().failStart(engineError());
    if (failVoiceProcessing) engine().failVoiceProcessingEnable({"sim.vp", 3, "no vp"});
  }
  static platform::Error engineError() { return {"sim.engine", 7, "the device went away"}; }

  platform::sim::SimAudioEngine& engine() { return sim.audioEngines.engine(); }

  // Every stdout line except the level reports, which come five times a second.
  std::vector<std::string> linesWithoutLevels() {
    std::vector<std::string> lines;
    for (auto& line : sim.runtime.stdoutLines()) {
      if (line.find("\"event\":\"level\"") == std::string::npos) lines.push_back(line);
    }
    return lines;
  }
  std::vector<std::string> levelLines() {
    std::vector<std::string> lines;
    for (auto& line : sim.runtime.stdoutLines()) {
      if (line.find("\"event\":\"level\"") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  static std::string started(bool withSystem = true) {
    return std::string(
               "{\"event\":\"started\",\"micPath\":\"\\/rec\\/out\\/mic.m4a\",\"sysPath\":") +
           (withSystem ? "\"\\/rec\\/out\\/system.m4a\"}" : "null}");
  }
  static std::string event(const std::string& name, long durationSec) {
    return "{\"durationSec\":" + std::to_string(durationSec) + ",\"event\":\"" + name + "\"}";
  }
  static std::string degraded(const std::string& reason) {
    return "{\"event\":\"degraded\",\"reason\":\"" + reason + "\"}";
  }

  // A mono (or `channels`-wide, non-interleaved) float buffer at `rate` with every sample `value`.
  static platform::PCMBufferPtr constantBuffer(float value, std::uint32_t frames = 4096,
                                               double rate = 48000, std::uint32_t channels = 1) {
    auto format =
        platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, rate, channels, false);
    auto buffer = platform::PCMBuffer::make(*format, frames);
    buffer->setFrameLength(frames);
    for (float* channel : buffer->floatChannelData()) std::fill(channel, channel + frames, value);
    return buffer;
  }

  // One IO cycle of the system tap: interleaved stereo float frames, all `value`.
  bool systemCycle(float value, std::uint32_t frames = 512) {
    std::vector<float> samples(std::size_t{frames} * 2, value);
    platform::AudioBuffer buffer{2, static_cast<std::uint32_t>(samples.size() * sizeof(float)),
                                 samples.data()};
    return sim.audioHardware.runIOCycle(platform::ConstAudioBufferList{{&buffer, 1}});
  }

  const platform::sim::SimWrittenFile& file(const std::string& name) {
    auto found = sim.audioFiles.writtenFile(std::string(kOutDir) + "/" + name);
    if (!found) throw std::runtime_error("no file " + name);
    files_.push_back(found);
    return *found;
  }

  SimPlatform sim;
  std::optional<platform::AudioFormat> pendingInputFormat;
  std::optional<platform::AudioFormat> vpFormat;
  bool failEngineStart = false;
  bool failVoiceProcessing = false;

 private:
  std::vector<std::shared_ptr<const platform::sim::SimWrittenFile>> files_;
};

}  // namespace zuno::testing
