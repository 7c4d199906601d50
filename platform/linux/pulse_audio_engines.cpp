#include "linux/pulse_audio_engines.h"

#include "linux/pulse_audio_engine.h"

namespace platform::linux_backend {

PulseAudioEngines::PulseAudioEngines(std::shared_ptr<PulseConnection> connection, Runtime& runtime)
    : connection_(std::move(connection)), runtime_(runtime) {}

std::shared_ptr<AudioEngine> PulseAudioEngines::makeEngine() {
  return std::make_shared<PulseAudioEngine>(connection_, runtime_);
}

}  // namespace platform::linux_backend
