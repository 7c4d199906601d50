// What stopping a four-hour recording costs in its track files: the wall time of completing
// both tracks one after the other, as the recorder does between "stop" and "stopped". All else
// the stop does (ending capture, writing the event) does not grow with the recording.
//
// Each iteration first lays down two tracks of four hours (not timed): fragments of AAC-sized
// frames (100 to 140 bytes, some 40 kbit/s at 48 kHz) written exactly as while recording. The
// frames' bytes are not real AAC, which completing a file never reads. Two cases:
//   written_back: the tracks were synced before the stop, as the kernel writes dirty pages back
//                 within half a minute during a real recording;
//   all_dirty:    nothing of four hours reached the disk yet, the worst case for the final sync.
//   track_stop_bench [--dir=DIR] [--hours=H] [benchmark flags]
// DIR (default /var/tmp) should be on the disk recordings go to; /tmp may be memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "linux/mp4_track_file.h"

namespace {

using platform::linux_backend::Mp4TrackFile;
using platform::linux_backend::TrackFileStorage;

std::string gDirectory = "/var/tmp";
double gHours = 4;

std::unique_ptr<Mp4TrackFile> recordedTrack(const std::string& path, bool writtenBack) {
  auto storage = TrackFileStorage::open(path);
  if (!storage) {
    std::fprintf(stderr, "%s\n", storage.error().description.c_str());
    std::exit(1);
  }
  TrackFileStorage* disk = storage.value().get();
  platform::linux_backend::mp4::AudioTrack track;
  track.sampleRate = 48000;
  track.channels = 1;
  track.decoderConfig = {0x11, 0x88};
  track.bitRate = 40000;
  track.priming = 1024;
  auto file = std::make_unique<Mp4TrackFile>(std::move(storage.value()), track);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> frameSize(100, 140);
  std::vector<std::uint8_t> frame(140);
  for (auto& byte : frame) byte = static_cast<std::uint8_t>(random());
  const auto frames = static_cast<std::uint64_t>(gHours * 3600 * 48000 / 1024);
  bool ok = file->start() == 0;
  for (std::uint64_t i = 0; ok && i < frames; ++i) {
    ok = file->addFrame({frame.data(), static_cast<std::size_t>(frameSize(random))}) == 0;
  }
  if (ok && writtenBack) ok = disk->sync() == 0;
  if (!ok) {
    std::fprintf(stderr, "cannot lay down %s\n", path.c_str());
    std::exit(1);
  }
  return file;
}

void stopRecording(benchmark::State& state, bool writtenBack) {
  const std::string mic = gDirectory + "/zuno-stop-bench-mic.m4a";
  const std::string system = gDirectory + "/zuno-stop-bench-system.m4a";
  const auto played = static_cast<std::uint64_t>(gHours * 3600 * 48000);
  for (auto _ : state) {
    auto micTrack = recordedTrack(mic, writtenBack);
    auto systemTrack = recordedTrack(system, writtenBack);
    const auto start = std::chrono::steady_clock::now();
    const int micStatus = micTrack->finish(played);
    const int systemStatus = systemTrack->finish(played);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (micStatus != 0 || systemStatus != 0) state.SkipWithError("completing a track failed");
  }
  state.counters["track_MB"] = static_cast<double>(std::filesystem::file_size(mic)) / 1e6;
  std::filesystem::remove(mic);
  std::filesystem::remove(system);
}

}  // namespace

BENCHMARK_CAPTURE(stopRecording, written_back, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(stopRecording, all_dirty, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--dir=", 6) == 0) gDirectory = argv[i] + 6;
    if (std::strncmp(argv[i], "--hours=", 8) == 0) gHours = std::atof(argv[i] + 8);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
