#pragma once

#include <memory>
#include <string>

#include "platform/audio_files.h"

namespace platform::linux_backend {

// Any file FFmpeg can decode, delivered as float, non-interleaved, at the file's own rate and
// channel count.
class FfmpegFileReader final : public AudioFileForReading {
 public:
  static Result<std::unique_ptr<AudioFileForReading>> open(const std::string& path);
  ~FfmpegFileReader() override;
  const AudioFormat& processingFormat() const override { return processingFormat_; }
  MaybeError read(PCMBuffer& buffer) override;

 private:
  struct Decoder;
  FfmpegFileReader(AudioFormat format, std::unique_ptr<Decoder> decoder);
  AudioFormat processingFormat_;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace platform::linux_backend
