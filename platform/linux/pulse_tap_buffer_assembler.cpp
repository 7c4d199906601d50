#include "linux/pulse_tap_buffer_assembler.h"

#include <algorithm>

namespace platform::linux_backend {

void PulseTapBufferAssembler::configure(const AudioFormat& format, std::uint32_t framesPerBuffer) {
  format_ = format;
  framesPerBuffer_ = framesPerBuffer == 0 ? 4096 : framesPerBuffer;
  filling_.reset();
}

void PulseTapBufferAssembler::reset() {
  filling_.reset();
}

void PulseTapBufferAssembler::append(const float* interleaved, std::uint32_t frames,
                                     const Emit& emit) {
  const std::uint32_t channels = format_.channelCount;
  if (channels == 0 || interleaved == nullptr) return;
  while (frames > 0) {
    if (!filling_) {
      // A fresh buffer each time: the block may keep the one it was given.
      filling_ = PCMBuffer::make(format_, framesPerBuffer_);
      if (!filling_) return;
      filling_->setFrameLength(0);
    }
    const auto destination = filling_->floatChannelData();
    if (destination.size() != channels) return;
    const std::uint32_t filled = filling_->frameLength();
    const std::uint32_t taken = std::min(frames, framesPerBuffer_ - filled);
    for (std::uint32_t frame = 0; frame < taken; ++frame) {
      const float* source = interleaved + std::size_t{frame} * channels;
      for (std::uint32_t channel = 0; channel < channels; ++channel) {
        destination[channel][filled + frame] = source[channel];
      }
    }
    filling_->setFrameLength(filled + taken);
    interleaved += std::size_t{taken} * channels;
    frames -= taken;
    if (filling_->frameLength() == framesPerBuffer_) {
      PCMBufferPtr full = std::move(filling_);
      filling_.reset();
      emit(full);
    }
  }
}

}  // namespace platform::linux_backend
