#pragma once

#include <memory>
#include <string>

#include "platform/audio_files.h"

namespace platform::linux_backend {

// One MPEG-4 audio file with one AAC-LC track. The encoder takes fixed 1024-sample frames, so
// written samples wait in a queue until a frame is full. The file is playable while it is written
// and ordinary once closed (see Mp4TrackFile); closing encodes the rest and writes the index. The
// file is locked while open (see TrackFileStorage), and a failed write fails every later write
// and the close too: the file has a gap from there on, and stays playable up to it.
class FfmpegFileWriter final : public AudioFileForWriting {
 public:
  // More than a 7.1 layout is not something a track needs.
  static constexpr int kMaxChannels = 8;
  static Result<std::unique_ptr<AudioFileForWriting>> open(const std::string& path,
                                                           double sampleRate, int channels,
                                                           long bitRate);
  ~FfmpegFileWriter() override;
  const AudioFormat& processingFormat() const override { return processingFormat_; }
  MaybeError write(const PCMBuffer& buffer) override;
  MaybeError close() override;

 private:
  struct Encoder;
  FfmpegFileWriter(std::string path, AudioFormat processingFormat,
                   std::unique_ptr<Encoder> encoder);
  std::string path_;
  AudioFormat processingFormat_;
  std::unique_ptr<Encoder> encoder_;
  // The AVERROR code of the first failed write, 0 while there is none.
  int failure_ = 0;
};

}  // namespace platform::linux_backend
