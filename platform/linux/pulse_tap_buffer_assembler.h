#pragma once

#include <cstdint>
#include <functional>

#include "platform/audio_format.h"
#include "platform/pcm_buffer.h"

namespace platform::linux_backend {

// Turns the server's interleaved fragments, whatever their size, into non-interleaved buffers
// of a fixed frame count, as the engine's tap promises its block.
class PulseTapBufferAssembler {
 public:
  using Emit = std::function<void(const PCMBufferPtr& buffer)>;

  // `format` must be non-interleaved float32; `framesPerBuffer` 0 means 4096.
  void configure(const AudioFormat& format, std::uint32_t framesPerBuffer);
  // Emits each buffer that fills up; the rest waits for the next fragment.
  void append(const float* interleaved, std::uint32_t frames, const Emit& emit);
  // Drops a partly filled buffer, so audio before a pause is not glued to audio after it.
  void reset();

  const AudioFormat& format() const { return format_; }

 private:
  AudioFormat format_{};
  std::uint32_t framesPerBuffer_ = 4096;
  PCMBufferPtr filling_;
};

}  // namespace platform::linux_backend
