#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/audio_format.h"
#include "platform/four_cc.h"

namespace platform {

class Queue;

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

struct AudioObjectPropertyAddress {
  FourCharCode mSelector = 0;
  FourCharCode mScope = 0;
  std::uint32_t mElement = 0;
  bool operator==(const AudioObjectPropertyAddress&) const = default;
};

inline constexpr FourCharCode kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr FourCharCode kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;
inline constexpr FourCharCode kAudioTapPropertyFormat = fourCC("tfmt");

// Audio process objects: one per process with an audio client, listed on the system object.
inline constexpr FourCharCode kAudioHardwarePropertyProcessObjectList = fourCC("prs#");
inline constexpr FourCharCode kAudioProcessPropertyBundleID = fourCC("pbid");
inline constexpr FourCharCode kAudioProcessPropertyPID = fourCC("ppid");
inline constexpr FourCharCode kAudioProcessPropertyIsRunningInput = fourCC("piri");

// Called with the addresses whose values changed. Removal needs the very listener that was added,
// which the shared pointer identifies.
using AudioObjectPropertyListenerBlock =
    std::shared_ptr<const std::function<void(std::span<const AudioObjectPropertyAddress>)>>;

// What a process tap captures: a stereo mix of every process except `processes`.
struct CATapDescription {
  std::vector<AudioObjectID> processes;
  bool stereoGlobalExclusive = true;
  bool isPrivate = false;
  int muteBehavior = 0;  // 0: unmuted, the tapped sound keeps playing
  std::string uuid;      // canonical text form

  static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes,
                                                             std::string uuid) {
    CATapDescription description;
    description.processes = std::move(processes);
    description.uuid = std::move(uuid);
    return description;
  }
};

// A description dictionary: strings, booleans, integers and lists of dictionaries.
struct DescriptionValue;
using DescriptionDictionary = std::map<std::string, DescriptionValue>;
struct DescriptionValue {
  std::variant<std::string, bool, std::int64_t, std::vector<DescriptionDictionary>> value;
  bool operator==(const DescriptionValue&) const = default;
};

// The five IO arguments; only the input list is used by the program.
struct AudioTimeStamp {
  double mSampleTime = 0;
  std::uint64_t mHostTime = 0;
};
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp& now, const ConstAudioBufferList& inputData,
                       const AudioTimeStamp& inputTime, AudioBufferList& outputData,
                       const AudioTimeStamp& outputTime)>;
using AudioDeviceIOProcID = std::uint64_t;  // 0: none

// The hardware layer: objects, properties and listeners, process taps, aggregate devices, IO.
class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifier,
                                       std::uint32_t& dataSize) = 0;
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier,
                                   std::uint32_t& dataSize, void* data) = 0;
  // A property whose value is a string (a process's bundle identifier). The platform hands out a
  // string reference that the reader owns and releases; here the reader gets the text itself,
  // and none when the platform gave no reference.
  virtual OSStatus getPropertyString(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     std::optional<std::string>& value) = 0;
  // The listener runs on `queue`.
  virtual OSStatus addPropertyListener(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address, Queue& queue,
                                       AudioObjectPropertyListenerBlock listener) = 0;
  virtual OSStatus removePropertyListener(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address, Queue& queue,
                                          const AudioObjectPropertyListenerBlock& listener) = 0;

  virtual OSStatus createProcessTap(const CATapDescription& description, AudioObjectID& tapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;
  virtual OSStatus createAggregateDevice(const DescriptionDictionary& description,
                                         AudioObjectID& deviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

  // With no queue the block runs on the device's own IO thread.
  virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& procID, AudioObjectID device,
                                           Queue* queue, AudioDeviceIOBlock block) = 0;
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  // Returns only once no IO cycle of the procedure is running or can start.
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
};

}  // namespace platform
