// Encodes raw 32-bit float PCM from a file into a track the way a recording does: 4096-frame
// buffers through TrackWriter, converting to the 48 kHz mono processing format where needed.
// Used by encode_vs_ffmpeg.sh to compare its CPU time with the ffmpeg command doing the same
// encode.
//   encode_raw_pcm IN.raw RATE CHANNELS OUT.m4a
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "linux/ffmpeg_audio_files.h"
#include "record/track_writer.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s IN.raw RATE CHANNELS OUT.m4a\n", argv[0]);
    return 2;
  }
  const double rate = std::atof(argv[2]);
  const auto channels = static_cast<std::uint32_t>(std::atoi(argv[3]));
  FILE* input = std::fopen(argv[1], "rb");
  if (!input) return 1;
  platform::linux_backend::FfmpegAudioFiles files;
  auto writer = zuno::TrackWriter::create(files, argv[4], zuno::aacSettings(48000));
  // Interleaved as the system tap delivers it; mono input is already the processing format.
  const auto format =
      platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, rate, channels, channels > 1);
  constexpr std::uint32_t kFrames = 4096;
  while (true) {
    auto buffer = files.makePCMBuffer(*format, kFrames);
    const std::size_t got =
        std::fread(buffer->floatChannelData()[0], sizeof(float) * channels, kFrames, input);
    if (got == 0) break;
    buffer->setFrameLength(static_cast<std::uint32_t>(got));
    writer->write(*buffer);
  }
  std::fclose(input);
  return 0;
}
