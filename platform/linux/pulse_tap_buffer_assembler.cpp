#include "linux/pulse_tap_buffer_assembler.h"

#include <algorithm>

namespace platform::linux_backend {

void PulseTapBufferAssembler::configure(const AudioFormat& format, std::uint32_t framesPerBuffer) {
  format_ = format;
  framesPerBuffer_ = framesPerBuffer == 0 ? 4096 : framesPerBuffer;
}

void PulseTapBufferAssembler::append(const float* interleaved, std::uint32_t frames,
                                     const Emit& emit) const {
  const std::uint32_t channels = format_.channelCount;
  if (channels == 0 || interleaved == nullptr) return;
  while (frames > 0) {
    const std::uint32_t taken = std::min(frames, framesPerBuffer_);
    // A fresh buffer each time: the block may keep the one it was given.
    PCMBufferPtr buffer = PCMBuffer::make(format_, taken);
    if (!buffer) return;
    const auto destination = buffer->floatChannelData();
    if (destination.size() != channels) return;
    for (std::uint32_t frame = 0; frame < taken; ++frame) {
      const float* source = interleaved + std::size_t{frame} * channels;
      for (std::uint32_t channel = 0; channel < channels; ++channel) {
        destination[channel][frame] = source[channel];
      }
    }
    buffer->setFrameLength(taken);
    interleaved += std::size_t{taken} * channels;
    frames -= taken;
    emit(buffer);
  }
}

}  // namespace platform::linux_backend
