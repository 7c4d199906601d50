#include "linux/pulse_audio_engines.h"

#include "linux/pulse_audio_engine.h"

namespace platform::linux_backend {

PulseAudioEngines::PulseAudioEngines(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<AudioEngine> PulseAudioEngines::makeEngine() {
  return std::make_shared<PulseAudioEngine>(connection_);
}

}  // namespace platform::linux_backend
