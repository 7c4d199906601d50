#pragma once

#include <pulse/pulseaudio.h>

#include <map>
#include <memory>
#include <mutex>

#include "linux/pulse_audio_clients.h"
#include "linux/pulse_connection.h"
#include "platform/audio_hardware.h"

namespace platform::linux_backend {

// The hardware layer on the audio server: a process tap stands for "what the default sink
// plays", an aggregate device records that sink's monitor (following the default sink), and an
// IO procedure receives each recorded fragment interleaved on the stream's delivery thread. The
// server's clients are the audio process objects.
class PulseAudioHardware final : public AudioHardware {
 public:
  explicit PulseAudioHardware(std::shared_ptr<PulseConnection> connection);
  ~PulseAudioHardware() override;

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier,
                               std::uint32_t& dataSize) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier,
                           std::uint32_t& dataSize, void* data) override;
  OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<std::string>& value) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               Queue& queue, AudioObjectPropertyListenerBlock listener) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  Queue& queue,
                                  const AudioObjectPropertyListenerBlock& listener) override;

  OSStatus createProcessTap(const CATapDescription& description, AudioObjectID& tapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const DescriptionDictionary& description,
                                 AudioObjectID& deviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;

  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& procID, AudioObjectID device, Queue* queue,
                                   AudioDeviceIOBlock block) override;
  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;

 private:
  struct Tap;
  struct Device;
  struct IOProc;

  std::shared_ptr<IOProc> findIOProc(AudioObjectID device, AudioDeviceIOProcID procID,
                                     OSStatus& status);

  std::shared_ptr<PulseConnection> connection_;
  PulseAudioClients clients_{connection_};
  // Guards the object tables only; never held while a stream starts or stops, so an IO block
  // may call back into this object.
  std::mutex mutex_;
  AudioObjectID nextObjectID_ = 100;
  AudioDeviceIOProcID nextProcID_ = 1;
  std::map<AudioObjectID, std::shared_ptr<Tap>> taps_;
  std::map<AudioObjectID, std::shared_ptr<Device>> devices_;
};

}  // namespace platform::linux_backend
