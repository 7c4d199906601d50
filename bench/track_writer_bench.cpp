// CPU time of encoding one hour of audio into a track through TrackWriter, in 4096-frame
// buffers as the capture sources deliver them: already in the processing format (48 kHz mono
// planar), and as stereo interleaved system audio at 48 kHz and 44.1 kHz, which the writer
// converts first. Sources: read speech looped to length, and white noise (the encoder's
// hardest case).
//   track_writer_bench [--seconds=N] [benchmark flags]
//   track_writer_bench [--seconds=N] --dump=CASE:FILE   writes that case's PCM as raw f32le
// The dump lets encode_vs_ffmpeg.sh give the ffmpeg command exactly the samples measured here.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "linux/ffmpeg_audio_files.h"
#include "record/track_writer.h"

namespace {

using platform::AudioFormat;
using platform::CommonFormat;

constexpr std::uint32_t kBufferFrames = 4096;
double gSeconds = 3600;

struct SourceFormat {
  const char* name;
  double rate;
  std::uint32_t channels;
};
constexpr SourceFormat kFormats[] = {
    {"processing_format", 48000, 1}, {"48000Hz_stereo", 48000, 2}, {"44100Hz_stereo", 44100, 2}};

AudioFormat bufferFormat(const SourceFormat& source) {
  // Mono is the processing format itself; stereo arrives interleaved, as from the system tap.
  return *AudioFormat::make(CommonFormat::pcmFloat32, source.rate, source.channels,
                            source.channels > 1);
}

// Interleaved samples played in a loop.
struct LoopedPcm {
  std::vector<float> samples;
  std::uint32_t channels = 1;
  std::size_t at = 0;

  void fill(platform::PCMBuffer& buffer) {
    const std::uint32_t frames = buffer.frameCapacity();
    float* const* planes = buffer.floatChannelData().data();
    for (std::uint32_t i = 0; i < frames; ++i) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        const float sample = samples[at++];
        if (buffer.format().interleaved) {
          planes[0][std::size_t{i} * channels + c] = sample;
        } else {
          planes[c][i] = sample;
        }
      }
      if (at == samples.size()) at = 0;
    }
    buffer.setFrameLength(frames);
  }
};

// The recordings decoded with the reader under test and resampled to `rate`, every channel the
// same voice.
LoopedPcm speech(platform::linux_backend::FfmpegAudioFiles& files, double rate,
                 std::uint32_t channels) {
  std::vector<std::string> paths;
  for (const auto& entry :
       std::filesystem::directory_iterator("/usr/share/pocketsphinx/test/data/librivox")) {
    if (entry.path().extension() == ".wav") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  const auto mono = *AudioFormat::make(CommonFormat::pcmFloat32, rate, 1, false);
  std::vector<float> voice;
  for (const auto& path : paths) {
    auto reader = files.openForReading(path);
    if (!reader) continue;
    auto converter = files.makeConverter((*reader)->processingFormat(), mono);
    auto input = files.makePCMBuffer((*reader)->processingFormat(), kBufferFrames);
    auto output = files.makePCMBuffer(
        mono, zuno::TrackWriter::outputCapacity(rate, input->format().sampleRate, kBufferFrames));
    std::optional<platform::Error> error;
    platform::ConverterOutputStatus status;
    do {
      status = converter->convert(*output, error,
                                  [&](std::uint32_t, platform::ConverterInputStatus& inputStatus) {
                                    if ((*reader)->read(*input) || input->frameLength() == 0) {
                                      inputStatus = platform::ConverterInputStatus::endOfStream;
                                      return std::shared_ptr<const platform::PCMBuffer>();
                                    }
                                    inputStatus = platform::ConverterInputStatus::haveData;
                                    return std::shared_ptr<const platform::PCMBuffer>(input);
                                  });
      voice.insert(voice.end(), output->floatChannelData()[0],
                   output->floatChannelData()[0] + output->frameLength());
    } while (status == platform::ConverterOutputStatus::haveData);
  }
  LoopedPcm pcm;
  pcm.channels = channels;
  for (float sample : voice) pcm.samples.insert(pcm.samples.end(), channels, sample);
  return pcm;
}

// Ten seconds of independent white noise per channel at -10 dBFS, the same on every run.
LoopedPcm noise(double rate, std::uint32_t channels) {
  LoopedPcm pcm;
  pcm.channels = channels;
  pcm.samples.resize(static_cast<std::size_t>(rate * 10) * channels);
  std::uint32_t state = 12345;
  for (float& sample : pcm.samples) {
    state = state * 1664525u + 1013904223u;
    sample = 0.316f * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
  }
  return pcm;
}

LoopedPcm source(platform::linux_backend::FfmpegAudioFiles& files, const std::string& input,
                 const SourceFormat& format) {
  return input == "speech" ? speech(files, format.rate, format.channels)
                           : noise(format.rate, format.channels);
}

std::uint64_t totalFrames(const SourceFormat& format) {
  return static_cast<std::uint64_t>(gSeconds * format.rate) / kBufferFrames * kBufferFrames;
}

void encode(benchmark::State& state, std::string input, SourceFormat format) {
  platform::linux_backend::FfmpegAudioFiles files;
  LoopedPcm pcm = source(files, input, format);
  if (pcm.samples.empty()) {
    state.SkipWithError("no speech recordings under /usr/share/pocketsphinx");
    return;
  }
  const auto path = std::filesystem::temp_directory_path() / "zuno-track-writer-bench.m4a";
  auto buffer = files.makePCMBuffer(bufferFormat(format), kBufferFrames);
  const std::uint64_t buffers = totalFrames(format) / kBufferFrames;
  for (auto _ : state) {
    pcm.at = 0;
    auto writer = zuno::TrackWriter::create(files, path, zuno::aacSettings(48000));
    for (std::uint64_t i = 0; i < buffers; ++i) {
      // Counted too: the copy stands in for the ffmpeg command reading its input.
      pcm.fill(*buffer);
      writer->write(*buffer);
    }
    writer.reset();  // flushes the encoder and writes the index: part of the cost
  }
  state.counters["audio_s"] = static_cast<double>(buffers * kBufferFrames) / format.rate;
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
  std::filesystem::remove(path);
}

int dump(const std::string& request) {
  const auto colon = request.find(':');
  const std::string name = request.substr(0, colon);
  for (const char* input : {"speech", "noise"}) {
    for (const auto& format : kFormats) {
      if (name != std::string(input) + "/" + format.name) continue;
      platform::linux_backend::FfmpegAudioFiles files;
      LoopedPcm pcm = source(files, input, format);
      FILE* out = std::fopen(request.substr(colon + 1).c_str(), "wb");
      if (!out || pcm.samples.empty()) return 1;
      auto buffer = files.makePCMBuffer(
          *AudioFormat::make(CommonFormat::pcmFloat32, format.rate, format.channels, true),
          kBufferFrames);
      for (std::uint64_t i = 0; i < totalFrames(format) / kBufferFrames; ++i) {
        pcm.fill(*buffer);
        std::fwrite(buffer->floatChannelData()[0], sizeof(float) * format.channels, kBufferFrames,
                    out);
      }
      return std::fclose(out) == 0 ? 0 : 1;
    }
  }
  std::fprintf(stderr, "unknown case %s\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::string dumpRequest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--seconds=", 0) == 0) {
      gSeconds = std::atof(arg.c_str() + 10);
    } else if (arg.rfind("--dump=", 0) == 0) {
      dumpRequest = arg.substr(7);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!dumpRequest.empty()) return dump(dumpRequest);
  for (const char* input : {"speech", "noise"}) {
    for (const auto& format : kFormats) {
      benchmark::RegisterBenchmark(
          (std::string("TrackWriter/") + input + "/" + format.name).c_str(), encode,
          std::string(input), format)
          ->Unit(benchmark::kSecond)
          ->Iterations(1);
    }
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
