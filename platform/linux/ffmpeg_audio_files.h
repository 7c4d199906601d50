#pragma once

#include "platform/audio_files.h"

namespace platform::linux_backend {

// Track files, reading and conversion on FFmpeg: MPEG-4 audio with one AAC-LC track from the
// native encoder, any readable file decoded to float, and libswresample behind the pull model.
class FfmpegAudioFiles final : public AudioFiles {
 public:
  FfmpegAudioFiles();
  Result<std::unique_ptr<AudioFileForWriting>> openForWriting(
      const std::string& path, const AudioSettings& settings) override;
  Result<std::unique_ptr<AudioFileForReading>> openForReading(const std::string& path) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;
  PCMBufferPtr makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override {
    return PCMBuffer::make(format, frameCapacity);
  }
};

}  // namespace platform::linux_backend
