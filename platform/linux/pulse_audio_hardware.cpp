#include "linux/pulse_audio_hardware.h"

namespace platform::linux_backend {
namespace {
constexpr OSStatus kNotReady = -1;
}

struct PulseAudioHardware::Tap {};
struct PulseAudioHardware::Device {};

PulseAudioHardware::PulseAudioHardware(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}
PulseAudioHardware::~PulseAudioHardware() = default;

OSStatus PulseAudioHardware::getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&,
                                                 std::uint32_t, const void*, std::uint32_t&) {
  return kNotReady;
}
OSStatus PulseAudioHardware::getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&,
                                             std::uint32_t, const void*, std::uint32_t&, void*) {
  return kNotReady;
}
OSStatus PulseAudioHardware::addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&,
                                                 Queue&, AudioObjectPropertyListenerBlock) {
  return kNotReady;
}
OSStatus PulseAudioHardware::removePropertyListener(AudioObjectID,
                                                    const AudioObjectPropertyAddress&, Queue&,
                                                    const AudioObjectPropertyListenerBlock&) {
  return kNotReady;
}
OSStatus PulseAudioHardware::createProcessTap(const CATapDescription&, AudioObjectID&) {
  return kNotReady;
}
OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID) {
  return kNotReady;
}
OSStatus PulseAudioHardware::createAggregateDevice(const DescriptionDictionary&, AudioObjectID&) {
  return kNotReady;
}
OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID) {
  return kNotReady;
}
OSStatus PulseAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID&, AudioObjectID, Queue*,
                                                     AudioDeviceIOBlock) {
  return kNotReady;
}
OSStatus PulseAudioHardware::deviceStart(AudioObjectID, AudioDeviceIOProcID) {
  return kNotReady;
}
OSStatus PulseAudioHardware::deviceStop(AudioObjectID, AudioDeviceIOProcID) {
  return kNotReady;
}
OSStatus PulseAudioHardware::destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) {
  return kNotReady;
}

}  // namespace platform::linux_backend
