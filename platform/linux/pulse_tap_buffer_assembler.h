#pragma once

#include <cstdint>
#include <functional>

#include "platform/audio_format.h"
#include "platform/pcm_buffer.h"

namespace platform::linux_backend {

// Turns each interleaved fragment from the server into non-interleaved tap buffers of at most
// the tap's frame count. Nothing is kept back for the next fragment: the program marks itself
// paused or stopped before it pauses or stops the engine, so audio held here at that moment
// would never reach the track, and the microphone track would end early. Like a device's tap,
// the buffer size is a ceiling, not a promise.
class PulseTapBufferAssembler {
 public:
  using Emit = std::function<void(const PCMBufferPtr& buffer)>;

  // `format` must be non-interleaved float32; `framesPerBuffer` 0 means 4096.
  void configure(const AudioFormat& format, std::uint32_t framesPerBuffer);
  // Emits the whole fragment before returning, in buffers no longer than the tap's size.
  void append(const float* interleaved, std::uint32_t frames, const Emit& emit) const;

  const AudioFormat& format() const { return format_; }

 private:
  AudioFormat format_{};
  std::uint32_t framesPerBuffer_ = 4096;
};

}  // namespace platform::linux_backend
