#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_format.h"

namespace platform {

// PCM audio in one format: one data block per channel (non-interleaved) or one block holding
// every channel (interleaved). The sample memory is owned by the buffer and sized for
// `frameCapacity` frames.
class PCMBuffer {
 public:
  // None for a format without a sample size.
  static std::shared_ptr<PCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity; keeps every buffer's mDataByteSize in step.
  void setFrameLength(std::uint32_t frames);

  // One pointer per buffer (one when interleaved); empty unless the samples are 32-bit float.
  std::span<float* const> floatChannelData() const;
  AudioBufferList mutableAudioBufferList() { return {buffers_}; }
  ConstAudioBufferList audioBufferList() const { return {buffers_}; }

  PCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

 private:
  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<std::byte> storage_;
  std::vector<AudioBuffer> buffers_;
  std::vector<float*> floatChannels_;
};

using PCMBufferPtr = std::shared_ptr<PCMBuffer>;

}  // namespace platform
