#include "linux/pulse_audio_engines.h"

namespace platform::linux_backend {

PulseAudioEngines::PulseAudioEngines(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<AudioEngine> PulseAudioEngines::makeEngine() {
  return nullptr;
}

}  // namespace platform::linux_backend
