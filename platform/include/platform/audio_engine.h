#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/error.h"
#include "platform/pcm_buffer.h"

namespace platform {

// Receives each captured buffer on the engine's tap thread.
using InputTapBlock = std::function<void(const PCMBufferPtr& buffer)>;

enum class VoiceProcessingOtherAudioDuckingLevel : long {
  defaultLevel = 0,
  min = 10,
  mid = 20,
  max = 30
};

struct VoiceProcessingOtherAudioDuckingConfiguration {
  bool enableAdvancedDucking = false;
  VoiceProcessingOtherAudioDuckingLevel duckingLevel =
      VoiceProcessingOtherAudioDuckingLevel::defaultLevel;
};

// The microphone node of an audio engine.
class InputNode {
 public:
  virtual ~InputNode() = default;
  // The current capture format; it can change when voice processing is switched.
  virtual AudioFormat outputFormatForBus(int bus) = 0;
  virtual void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                               InputTapBlock block) = 0;
  virtual void removeTapOnBus(int bus) = 0;
  virtual MaybeError setVoiceProcessingEnabled(bool enabled) = 0;
  virtual void setVoiceProcessingOtherAudioDuckingConfiguration(
      const VoiceProcessingOtherAudioDuckingConfiguration& configuration) = 0;
  virtual void setVoiceProcessingAGCEnabled(bool enabled) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  // The same node for the engine's whole life.
  virtual InputNode& inputNode() = 0;
  virtual void prepare() = 0;
  virtual MaybeError start() = 0;
  // Stops delivery but keeps the tap, so a later start resumes it.
  virtual void pause() = 0;
  virtual void stop() = 0;
  virtual bool isRunning() = 0;
  // Why the input cannot be used at all (no audio server, no capture device), before anything
  // is set up; none when it can. Lets setup say plainly what is missing.
  virtual MaybeError inputAvailability() { return std::nullopt; }
};

class AudioEngines {
 public:
  virtual ~AudioEngines() = default;
  virtual std::shared_ptr<AudioEngine> makeEngine() = 0;
};

// Microphone privacy permission.
enum class CaptureAuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorized = 3
};

class MicrophonePermission {
 public:
  virtual ~MicrophonePermission() = default;
  virtual CaptureAuthorizationStatus authorizationStatus() = 0;
  // Asks the user; the answer arrives on another thread.
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace platform
