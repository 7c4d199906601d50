#include "linux/pulse_audio_hardware.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "linux/pulse_record_stream.h"
#include "linux/pulse_server_queries.h"

namespace platform::linux_backend {
namespace {

constexpr OSStatus kOK = 0;
constexpr OSStatus kNotRunning = static_cast<OSStatus>(fourCC("!hrd"));
constexpr OSStatus kBadObject = static_cast<OSStatus>(fourCC("!obj"));
constexpr OSStatus kBadDevice = static_cast<OSStatus>(fourCC("!dev"));
constexpr OSStatus kUnknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr OSStatus kBadPropertySize = static_cast<OSStatus>(fourCC("!siz"));
constexpr OSStatus kUnsupported = static_cast<OSStatus>(fourCC("unop"));
constexpr OSStatus kIllegal = static_cast<OSStatus>(fourCC("nope"));
constexpr OSStatus kUnspecified = static_cast<OSStatus>(fourCC("what"));

std::uint64_t monotonicNanoseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// The tap uid an aggregate description names in its first sub-tap, if any.
std::string firstTapUID(const DescriptionDictionary& description) {
  const auto taps = description.find("taps");
  if (taps == description.end()) return {};
  const auto* list = std::get_if<std::vector<DescriptionDictionary>>(&taps->second.value);
  if (list == nullptr || list->empty()) return {};
  const auto uid = list->front().find("uid");
  if (uid == list->front().end()) return {};
  const auto* text = std::get_if<std::string>(&uid->second.value);
  return text == nullptr ? std::string() : *text;
}

}  // namespace

struct PulseAudioHardware::Tap {
  std::string uuid;
  AudioStreamBasicDescription format{};
};

struct PulseAudioHardware::IOProc {
  AudioDeviceIOBlock block;
  AudioStreamBasicDescription format{};
  // Serialises start and stop of this procedure from the program's threads.
  std::mutex controlMutex;
  std::unique_ptr<PulseRecordStream> stream;
  // Touched only by the delivery thread while the stream runs.
  double sampleTime = 0;
};

struct PulseAudioHardware::Device {
  AudioStreamBasicDescription format{};
  std::map<AudioDeviceIOProcID, std::shared_ptr<IOProc>> procs;
};

PulseAudioHardware::PulseAudioHardware(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

PulseAudioHardware::~PulseAudioHardware() {
  std::vector<AudioObjectID> devices;
  {
    std::lock_guard guard(mutex_);
    for (const auto& entry : devices_) devices.push_back(entry.first);
  }
  for (AudioObjectID device : devices) destroyAggregateDevice(device);
}

OSStatus PulseAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::uint32_t, const void*,
                                                 std::uint32_t& dataSize) {
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyProcessObjectList) {
    const auto processes = clients_.processObjects();
    if (!processes) return kNotRunning;
    dataSize = static_cast<std::uint32_t>(processes->size() * sizeof(AudioObjectID));
    return kOK;
  }
  if (address.mSelector == kAudioProcessPropertyPID ||
      address.mSelector == kAudioProcessPropertyIsRunningInput) {
    if (!clients_.process(object)) return kBadObject;
    dataSize = 4;
    return kOK;
  }
  std::lock_guard guard(mutex_);
  if (address.mSelector != kAudioTapPropertyFormat) return kUnknownProperty;
  if (taps_.find(object) == taps_.end()) return kBadObject;
  dataSize = sizeof(AudioStreamBasicDescription);
  return kOK;
}

OSStatus PulseAudioHardware::getPropertyData(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             std::uint32_t, const void*, std::uint32_t& dataSize,
                                             void* data) {
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyProcessObjectList) {
    const auto processes = clients_.processObjects();
    if (!processes) return kNotRunning;
    // A list that grew since the size query is cut to the room given, as the platform does.
    const std::size_t fits =
        std::min<std::size_t>(processes->size(), data == nullptr ? 0 : dataSize / 4);
    if (fits > 0) std::memcpy(data, processes->data(), fits * sizeof(AudioObjectID));
    dataSize = static_cast<std::uint32_t>(fits * sizeof(AudioObjectID));
    return kOK;
  }
  if (address.mSelector == kAudioProcessPropertyPID ||
      address.mSelector == kAudioProcessPropertyIsRunningInput) {
    const auto process = clients_.process(object);
    if (!process) return kBadObject;
    if (data == nullptr || dataSize < 4) return kBadPropertySize;
    if (address.mSelector == kAudioProcessPropertyPID) {
      if (!process->pid) return kUnknownProperty;
      const std::int32_t pid = *process->pid;
      std::memcpy(data, &pid, 4);
    } else {
      const std::uint32_t running = process->runningInput ? 1 : 0;
      std::memcpy(data, &running, 4);
    }
    dataSize = 4;
    return kOK;
  }
  std::lock_guard guard(mutex_);
  if (address.mSelector != kAudioTapPropertyFormat) return kUnknownProperty;
  const auto tap = taps_.find(object);
  if (tap == taps_.end()) return kBadObject;
  if (data == nullptr || dataSize < sizeof(AudioStreamBasicDescription)) return kBadPropertySize;
  std::memcpy(data, &tap->second->format, sizeof(AudioStreamBasicDescription));
  dataSize = sizeof(AudioStreamBasicDescription);
  return kOK;
}

OSStatus PulseAudioHardware::getPropertyString(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::optional<std::string>& value) {
  value.reset();
  if (address.mSelector != kAudioProcessPropertyBundleID) return kUnknownProperty;
  const auto process = clients_.process(object);
  if (!process) return kBadObject;
  // A client that nothing names has no identifier: read, but no string.
  if (!process->bundleId.empty()) value = process->bundleId;
  return kOK;
}

// Only the process list and the processes' input state are watched; device changes are not.
OSStatus PulseAudioHardware::addPropertyListener(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 Queue& queue,
                                                 AudioObjectPropertyListenerBlock listener) {
  return clients_.addListener(object, address.mSelector, queue, std::move(listener)) ? kOK
                                                                                     : kUnsupported;
}

OSStatus PulseAudioHardware::removePropertyListener(
    AudioObjectID object, const AudioObjectPropertyAddress& address, Queue& queue,
    const AudioObjectPropertyListenerBlock& listener) {
  return clients_.removeListener(object, address.mSelector, queue, listener) ? kOK : kIllegal;
}

OSStatus PulseAudioHardware::createProcessTap(const CATapDescription& description,
                                              AudioObjectID& tapID) {
  if (connection_->ensureConnected()) return kNotRunning;
  auto sink = defaultSinkFormat(*connection_);
  if (!sink) return kBadDevice;
  auto tap = std::make_shared<Tap>();
  tap->uuid = description.uuid;
  // Interleaved float at the sink's own rate and channels: what its monitor records without
  // conversion.
  const std::uint32_t channels = sink->sampleSpec.channels;
  tap->format.mSampleRate = sink->sampleSpec.rate;
  tap->format.mFormatID = kAudioFormatLinearPCM;
  tap->format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  tap->format.mBytesPerFrame = 4 * channels;
  tap->format.mBytesPerPacket = 4 * channels;
  tap->format.mFramesPerPacket = 1;
  tap->format.mChannelsPerFrame = channels;
  tap->format.mBitsPerChannel = 32;
  std::lock_guard guard(mutex_);
  tapID = nextObjectID_++;
  taps_.emplace(tapID, std::move(tap));
  return kOK;
}

OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  std::lock_guard guard(mutex_);
  return taps_.erase(tapID) == 1 ? kOK : kBadObject;
}

OSStatus PulseAudioHardware::createAggregateDevice(const DescriptionDictionary& description,
                                                   AudioObjectID& deviceID) {
  auto device = std::make_shared<Device>();
  const std::string tapUID = firstTapUID(description);
  std::lock_guard guard(mutex_);
  bool found = false;
  for (const auto& [id, tap] : taps_) {
    if (tapUID.empty() || tap->uuid == tapUID) {
      device->format = tap->format;
      found = true;
      break;
    }
  }
  if (!found) return kBadObject;
  deviceID = nextObjectID_++;
  devices_.emplace(deviceID, std::move(device));
  return kOK;
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  std::vector<AudioDeviceIOProcID> procs;
  {
    std::lock_guard guard(mutex_);
    const auto device = devices_.find(deviceID);
    if (device == devices_.end()) return kBadDevice;
    for (const auto& entry : device->second->procs) procs.push_back(entry.first);
  }
  for (AudioDeviceIOProcID proc : procs) destroyIOProcID(deviceID, proc);
  std::lock_guard guard(mutex_);
  devices_.erase(deviceID);
  return kOK;
}

OSStatus PulseAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID& procID,
                                                     AudioObjectID device, Queue* queue,
                                                     AudioDeviceIOBlock block) {
  // Blocks run on the stream's own delivery thread; handing them to a queue is not offered.
  if (queue != nullptr || !block) return kIllegal;
  std::lock_guard guard(mutex_);
  const auto found = devices_.find(device);
  if (found == devices_.end()) return kBadDevice;
  auto proc = std::make_shared<IOProc>();
  proc->block = std::move(block);
  proc->format = found->second->format;
  procID = nextProcID_++;
  found->second->procs.emplace(procID, std::move(proc));
  return kOK;
}

std::shared_ptr<PulseAudioHardware::IOProc> PulseAudioHardware::findIOProc(
    AudioObjectID device, AudioDeviceIOProcID procID, OSStatus& status) {
  std::lock_guard guard(mutex_);
  const auto found = devices_.find(device);
  if (found == devices_.end()) {
    status = kBadDevice;
    return nullptr;
  }
  const auto proc = found->second->procs.find(procID);
  if (proc == found->second->procs.end()) {
    status = kIllegal;
    return nullptr;
  }
  status = kOK;
  return proc->second;
}

OSStatus PulseAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = kOK;
  auto proc = findIOProc(device, procID, status);
  if (!proc) return status;
  std::lock_guard guard(proc->controlMutex);
  if (proc->stream) return proc->stream->start() ? kUnspecified : kOK;

  PulseRecordStreamOptions options;
  options.streamName = "system audio";
  // The monitor of whatever sink is the default; the stream is moved when that changes.
  options.follow = PulseFollow::defaultSinkMonitor;
  // The program pauses this track by ignoring IO cycles, so they must be as fine and as
  // regular as a device's.
  options.pacing = PulseDeliveryThread::Pacing::ioCycles;
  options.sampleRate = static_cast<std::uint32_t>(proc->format.mSampleRate);
  options.channels = proc->format.mChannelsPerFrame;
  IOProc* raw = proc.get();
  const std::uint32_t channels = options.channels;
  proc->sampleTime = 0;
  proc->stream = std::make_unique<PulseRecordStream>(
      connection_, options, [raw, channels](const float* interleaved, std::uint32_t frames) {
        const AudioBuffer buffer{channels, frames * channels * 4, const_cast<float*>(interleaved)};
        const ConstAudioBufferList input{std::span<const AudioBuffer>(&buffer, 1)};
        AudioBufferList output{};
        const AudioTimeStamp now{raw->sampleTime, monotonicNanoseconds()};
        raw->block(now, input, now, output, now);
        raw->sampleTime += frames;
      });
  if (proc->stream->start()) {
    proc->stream.reset();
    return kUnspecified;
  }
  return kOK;
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = kOK;
  auto proc = findIOProc(device, procID, status);
  if (!proc) return status;
  std::lock_guard guard(proc->controlMutex);
  // Stopping joins the delivery thread: no block runs after this.
  proc->stream.reset();
  return kOK;
}

OSStatus PulseAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  const OSStatus stopped = deviceStop(device, procID);
  if (stopped != kOK) return stopped;
  std::lock_guard guard(mutex_);
  const auto found = devices_.find(device);
  if (found == devices_.end()) return kBadDevice;
  found->second->procs.erase(procID);
  return kOK;
}

}  // namespace platform::linux_backend
