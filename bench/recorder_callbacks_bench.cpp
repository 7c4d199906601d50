// The two capture callbacks as they run in a recording: the microphone callback on a 4096-frame
// two-channel buffer (channel split, metering, AAC encoding) and the system handler on a stereo
// interleaved cycle (metering, conversion, encoding). Reports per-call median and 99th percentile
// and, separately, the part of each call spent holding the recorder's lock (metering and the
// track write). One buffer lasts 85 ms at 48 kHz; the goal is a 99th percentile under 2 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <vector>

#include "linux/ffmpeg_audio_files.h"
#include "record/recorder.h"
#include "sim/sim_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// A recording on the sim backend, writing real track files, during which `measure` runs: on the
// main thread at one second in, after which the recording stops.
struct Harness {
  Harness() {
    directory = std::filesystem::temp_directory_path() / "zuno-callback-bench";
    std::filesystem::create_directories(directory);
    engine().setInputFormat(
        *platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 48000, 2, false));
  }
  platform::sim::SimAudioEngine& engine() { return sim.audioEngines.engine(); }

  template <typename Measure>
  void record(Measure measure) {
    sim.runtime.at(std::chrono::seconds(1), [this, &measure] {
      measure();
      sim.runtime.feedStdin("stop\n");
    });
    zuno::RunScope scope;
    scope.keep(zuno::Recorder::create(platform, directory.string()))->run();
  }

  platform::sim::SimPlatform sim;
  platform::linux_backend::FfmpegAudioFiles files;
  platform::Platform platform{sim.runtime,
                              sim.process,
                              sim.fileSystem,
                              sim.loader,
                              files,
                              sim.audioEngines,
                              sim.audioHardware,
                              sim.microphonePermission,
                              sim.speechAnalysis,
                              sim.speechRecognizers,
                              sim.appleEvents};
  std::filesystem::path directory;
};

platform::PCMBufferPtr speechLikeBuffer(std::uint32_t channels, bool interleaved,
                                        std::uint32_t frames, std::uint64_t& phase) {
  auto format =
      platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 48000, channels, interleaved);
  auto buffer = platform::PCMBuffer::make(*format, frames);
  buffer->setFrameLength(frames);
  const auto data = buffer->floatChannelData();
  for (std::uint32_t i = 0; i < frames; ++i, ++phase) {
    const float t = static_cast<float>(phase) / 48000.0f;
    const float sample = 0.3f * std::sin(2 * 3.14159265f * 220 * t) *
                         (0.5f + 0.5f * std::sin(2 * 3.14159265f * 3 * t));
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (interleaved) {
        data[0][i * channels + c] = sample;
      } else {
        data[c][i] = sample;
      }
    }
  }
  return buffer;
}

// Times `call` on a fresh buffer from `make` per iteration and reports the median and the 99th
// percentile of the per-call times; making the buffer is left out of the timing.
template <typename Make, typename Call>
void timeEachCall(benchmark::State& state, Make make, Call call) {
  std::vector<double> micros;
  for (auto _ : state) {
    state.PauseTiming();
    auto buffer = make();
    state.ResumeTiming();
    const auto start = Clock::now();
    call(buffer);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_MicrophoneCallback(benchmark::State& state) {
  Harness harness;
  std::uint64_t phase = 0;
  harness.record([&] {
    timeEachCall(
        state, [&] { return speechLikeBuffer(2, false, 4096, phase); },
        [&](const platform::PCMBufferPtr& buffer) { harness.engine().deliver(buffer); });
  });
}

void BM_SystemHandler(benchmark::State& state) {
  Harness harness;
  std::uint64_t phase = 0;
  harness.record([&] {
    timeEachCall(
        state, [&] { return speechLikeBuffer(2, true, 4096, phase); },
        [&](const platform::PCMBufferPtr& buffer) {
          harness.sim.audioHardware.runIOCycle(buffer->audioBufferList());
        });
  });
}

// What each callback does while holding the lock: metering plus the track write.
void BM_LockHeldPart(benchmark::State& state) {
  const bool system = state.range(0) == 1;
  platform::linux_backend::FfmpegAudioFiles files;
  const auto path = std::filesystem::temp_directory_path() / "zuno-lock-bench.m4a";
  auto writer = zuno::TrackWriter::create(files, path.string(), zuno::aacSettings(48000));
  std::uint64_t phase = 0;
  timeEachCall(
      state, [&] { return speechLikeBuffer(system ? 2 : 1, system, 4096, phase); },
      [&](const platform::PCMBufferPtr& buffer) {
        benchmark::DoNotOptimize(zuno::bufferPeak(*buffer));
        writer->write(*buffer);
      });
}

BENCHMARK(BM_MicrophoneCallback)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SystemHandler)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LockHeldPart)->Arg(0)->Arg(1)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
