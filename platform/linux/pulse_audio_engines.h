#pragma once

#include <memory>

#include "linux/pulse_connection.h"
#include "platform/audio_engine.h"
#include "platform/runtime.h"

namespace platform::linux_backend {

// Engines whose input node records the server's default source (or, with voice processing, an
// echo-cancelled copy of it).
class PulseAudioEngines final : public AudioEngines {
 public:
  PulseAudioEngines(std::shared_ptr<PulseConnection> connection, Runtime& runtime);
  std::shared_ptr<AudioEngine> makeEngine() override;

 private:
  std::shared_ptr<PulseConnection> connection_;
  Runtime& runtime_;
};

}  // namespace platform::linux_backend
