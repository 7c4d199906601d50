#include "sim/sim_audio_hardware.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace platform::sim {
namespace {

template <typename Value>
std::vector<std::byte> bytesOf(const Value& value) {
  std::vector<std::byte> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

AudioStreamBasicDescription stereoFloatInterleaved() {
  AudioStreamBasicDescription asbd;
  asbd.mSampleRate = 48000;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  asbd.mBytesPerPacket = 8;
  asbd.mFramesPerPacket = 1;
  asbd.mBytesPerFrame = 8;
  asbd.mChannelsPerFrame = 2;
  asbd.mBitsPerChannel = 32;
  return asbd;
}

// Hands out `next` and moves on, unless the script asked for failures or for id 0.
template <typename ID>
ID handOut(ID& next, OSStatus status) {
  const ID id = next;
  if (status == 0 && next != 0) ++next;
  return id;
}

}  // namespace

SimAudioHardware::SimAudioHardware() : tapFormat_(bytesOf(stereoFloatInterleaved())) {}

SimAudioHardware::PropertyKey SimAudioHardware::keyOf(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address) {
  return {object, {address.mSelector, address.mScope, address.mElement}};
}

// --- properties

void SimAudioHardware::logRead(const char* call, AudioObjectID object,
                               const AudioObjectPropertyAddress& address) {
  if (logsReads_) {
    calls_.push_back(std::string(call) + " " + fourCCText(address.mSelector) + " " +
                     std::to_string(object));
  }
}

const std::vector<std::byte>* SimAudioHardware::findProperty(
    AudioObjectID object, const AudioObjectPropertyAddress& address, OSStatus& status) const {
  const PropertyKey key = keyOf(object, address);
  if (auto failure = propertyFailures_.find(key); failure != propertyFailures_.end()) {
    status = failure->second;
    return nullptr;
  }
  if (address.mSelector == kAudioTapPropertyFormat &&
      std::find(liveTaps_.begin(), liveTaps_.end(), object) != liveTaps_.end()) {
    status = tapFormatStatus_;
    return status == 0 ? &tapFormat_ : nullptr;
  }
  auto found = properties_.find(key);
  status = found == properties_.end() ? kUnknownProperty : 0;
  return found == properties_.end() ? nullptr : &found->second;
}

OSStatus SimAudioHardware::getPropertyDataSize(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::uint32_t, const void*,
                                               std::uint32_t& dataSize) {
  std::lock_guard guard(mutex_);
  logRead("getPropertyDataSize", object, address);
  OSStatus status = 0;
  if (const auto* value = findProperty(object, address, status)) {
    dataSize = static_cast<std::uint32_t>(value->size());
  }
  return status;
}

OSStatus SimAudioHardware::getPropertyData(AudioObjectID object,
                                           const AudioObjectPropertyAddress& address, std::uint32_t,
                                           const void*, std::uint32_t& dataSize, void* data) {
  std::lock_guard guard(mutex_);
  logRead("getPropertyData", object, address);
  OSStatus status = 0;
  const auto* value = findProperty(object, address, status);
  if (!value) return status;
  dataSize = std::min<std::uint32_t>(dataSize, static_cast<std::uint32_t>(value->size()));
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyProcessObjectList && shrinkProcessListTo_) {
    dataSize = std::min<std::uint32_t>(
        dataSize, static_cast<std::uint32_t>(*shrinkProcessListTo_ * sizeof(AudioObjectID)));
    shrinkProcessListTo_.reset();
  }
  if (data && dataSize > 0) std::memcpy(data, value->data(), dataSize);
  return 0;
}

OSStatus SimAudioHardware::getPropertyString(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             std::optional<std::string>& value) {
  std::lock_guard guard(mutex_);
  logRead("getPropertyString", object, address);
  value.reset();
  if (auto failure = propertyFailures_.find(keyOf(object, address));
      failure != propertyFailures_.end()) {
    return failure->second;
  }
  if (address.mSelector != kAudioProcessPropertyBundleID) return kUnknownProperty;
  auto found = bundleIds_.find(object);
  if (found == bundleIds_.end()) return kBadObject;
  value = found->second;
  return 0;
}

void SimAudioHardware::setProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::vector<std::byte> value) {
  std::lock_guard guard(mutex_);
  properties_[keyOf(object, address)] = std::move(value);
}

void SimAudioHardware::failProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    OSStatus status) {
  std::lock_guard guard(mutex_);
  if (status == 0) {
    propertyFailures_.erase(keyOf(object, address));
  } else {
    propertyFailures_[keyOf(object, address)] = status;
  }
}

// --- listeners

OSStatus SimAudioHardware::addPropertyListener(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               Queue& queue,
                                               AudioObjectPropertyListenerBlock listener) {
  std::lock_guard guard(mutex_);
  calls_.push_back("addPropertyListener " + fourCCText(address.mSelector) + " " +
                   std::to_string(object));
  if (!listener) return kIllegalOperation;
  listeners_.push_back({object, address, &queue, std::move(listener)});
  return 0;
}

OSStatus SimAudioHardware::removePropertyListener(
    AudioObjectID object, const AudioObjectPropertyAddress& address, Queue& queue,
    const AudioObjectPropertyListenerBlock& listener) {
  std::lock_guard guard(mutex_);
  calls_.push_back("removePropertyListener " + fourCCText(address.mSelector) + " " +
                   std::to_string(object));
  // Identity, not equal behaviour: a copy of the function wrapped anew is another listener.
  auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
    return l.object == object && l.address == address && l.queue == &queue && l.block == listener;
  });
  if (found == listeners_.end()) return kIllegalOperation;
  listeners_.erase(found);
  return 0;
}

int SimAudioHardware::listenerCount(AudioObjectID object,
                                    const AudioObjectPropertyAddress& address) const {
  std::lock_guard guard(mutex_);
  return static_cast<int>(
      std::count_if(listeners_.begin(), listeners_.end(),
                    [&](const Listener& l) { return l.object == object && l.address == address; }));
}

void SimAudioHardware::notifyPropertyChanged(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address) {
  std::vector<Listener> matching;
  {
    std::lock_guard guard(mutex_);
    for (const Listener& l : listeners_) {
      if (l.object == object && l.address == address) matching.push_back(l);
    }
  }
  // Posted outside the lock: a queue may run the task at once, and the listener may call back.
  for (const Listener& l : matching) {
    l.queue->async([block = l.block, address] { (*block)({&address, 1}); });
  }
}

// --- audio process objects

namespace {

AudioObjectPropertyAddress processAddress(FourCharCode selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

}  // namespace

void SimAudioHardware::publishProcessList() {
  const auto address = processAddress(kAudioHardwarePropertyProcessObjectList);
  {
    std::lock_guard guard(mutex_);
    auto& list = properties_[keyOf(kAudioObjectSystemObject, address)];
    list.resize(processObjects_.size() * sizeof(AudioObjectID));
    std::memcpy(list.data(), processObjects_.data(), list.size());
  }
  notifyPropertyChanged(kAudioObjectSystemObject, address);
}

void SimAudioHardware::addProcessObject(AudioObjectID process, std::optional<std::string> bundleId,
                                        std::int32_t pid, bool runningInput) {
  {
    std::lock_guard guard(mutex_);
    processObjects_.push_back(process);
    bundleIds_[process] = std::move(bundleId);
    properties_[keyOf(process, processAddress(kAudioProcessPropertyPID))] = bytesOf(pid);
  }
  setProperty(process, processAddress(kAudioProcessPropertyIsRunningInput),
              bytesOf(static_cast<std::uint32_t>(runningInput ? 1 : 0)));
  publishProcessList();
}

void SimAudioHardware::removeProcessObject(AudioObjectID process) {
  {
    std::lock_guard guard(mutex_);
    std::erase(processObjects_, process);
    bundleIds_.erase(process);
    properties_.erase(keyOf(process, processAddress(kAudioProcessPropertyPID)));
    properties_.erase(keyOf(process, processAddress(kAudioProcessPropertyIsRunningInput)));
  }
  publishProcessList();
}

void SimAudioHardware::setProcessRunningInput(AudioObjectID process, bool running) {
  setProperty(process, processAddress(kAudioProcessPropertyIsRunningInput),
              bytesOf(static_cast<std::uint32_t>(running ? 1 : 0)));
  notifyPropertyChanged(process, processAddress(kAudioProcessPropertyIsRunningInput));
}

void SimAudioHardware::setLogsReads(bool logs) {
  std::lock_guard guard(mutex_);
  logsReads_ = logs;
}

void SimAudioHardware::shrinkProcessListAtNextRead(std::size_t entries) {
  std::lock_guard guard(mutex_);
  shrinkProcessListTo_ = entries;
}

// --- taps and aggregate devices

OSStatus SimAudioHardware::createProcessTap(const CATapDescription& description,
                                            AudioObjectID& tapID) {
  std::lock_guard guard(mutex_);
  calls_.push_back("createProcessTap");
  lastTap_ = description;
  tapID = handOut(nextTapID_, tapStatus_);
  if (tapStatus_ == 0 && tapID != 0) liveTaps_.push_back(tapID);
  return tapStatus_;
}

OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  std::lock_guard guard(mutex_);
  calls_.push_back("destroyProcessTap " + std::to_string(tapID));
  ++destroyed_[{"tap", tapID}];
  return std::erase(liveTaps_, tapID) > 0 ? 0 : kBadObject;
}

OSStatus SimAudioHardware::createAggregateDevice(const DescriptionDictionary& description,
                                                 AudioObjectID& deviceID) {
  std::lock_guard guard(mutex_);
  calls_.push_back("createAggregateDevice");
  lastAggregate_ = description;
  deviceID = handOut(nextAggregateID_, aggregateStatus_);
  return aggregateStatus_;
}

OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  std::lock_guard guard(mutex_);
  calls_.push_back("destroyAggregateDevice " + std::to_string(deviceID));
  ++destroyed_[{"aggregate", deviceID}];
  return 0;
}

// --- IO

OSStatus SimAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID& procID,
                                                   AudioObjectID device, Queue*,
                                                   AudioDeviceIOBlock block) {
  std::lock_guard guard(mutex_);
  calls_.push_back("createIOProcIDWithBlock " + std::to_string(device));
  procID = handOut(nextIOProcID_, ioProcStatus_);
  if (ioProcStatus_ == 0 && procID != 0) {
    ioProcs_[procID] = IOProc{device, std::make_shared<const AudioDeviceIOBlock>(std::move(block))};
  }
  return ioProcStatus_;
}

OSStatus SimAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::lock_guard guard(mutex_);
  calls_.push_back("deviceStart " + std::to_string(device) + " " + std::to_string(procID));
  if (deviceStartStatus_ != 0) return deviceStartStatus_;
  auto proc = ioProcs_.find(procID);
  if (proc == ioProcs_.end() || proc->second.device != device) return kBadObject;
  proc->second.started = true;
  return 0;
}

OSStatus SimAudioHardware::stopIOProc(std::unique_lock<std::mutex>& guard, AudioObjectID device,
                                      AudioDeviceIOProcID procID) {
  auto proc = ioProcs_.find(procID);
  if (proc == ioProcs_.end() || proc->second.device != device) return kBadObject;
  proc->second.started = false;
  cycleEnded_.wait(guard, [&] { return ioProcs_.at(procID).cyclesRunning == 0; });
  return 0;
}

OSStatus SimAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::unique_lock guard(mutex_);
  calls_.push_back("deviceStop " + std::to_string(device) + " " + std::to_string(procID));
  return stopIOProc(guard, device, procID);
}

OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::unique_lock guard(mutex_);
  calls_.push_back("destroyIOProcID " + std::to_string(device) + " " + std::to_string(procID));
  ++destroyed_[{"ioproc", procID}];
  const OSStatus status = stopIOProc(guard, device, procID);
  if (status == 0) ioProcs_.erase(procID);
  return status;
}

bool SimAudioHardware::runIOCycle(const ConstAudioBufferList& input) {
  std::vector<std::pair<AudioDeviceIOProcID, std::shared_ptr<const AudioDeviceIOBlock>>> running;
  std::uint64_t cycle = 0;
  {
    std::lock_guard guard(mutex_);
    for (auto& [id, proc] : ioProcs_) {
      if (!proc.started) continue;
      ++proc.cyclesRunning;
      running.emplace_back(id, proc.block);
    }
    if (running.empty()) return false;
    cycle = cycles_++;
  }
  // The blocks run unlocked, as on a device thread; stopping waits on the counters instead.
  const AudioTimeStamp now{static_cast<double>(cycle), cycle};
  AudioBufferList output;
  for (auto& [id, block] : running) (*block)(now, input, now, output, now);
  {
    std::lock_guard guard(mutex_);
    for (auto& [id, block] : running) --ioProcs_.at(id).cyclesRunning;
  }
  cycleEnded_.notify_all();
  return true;
}

// --- script and inspection

void SimAudioHardware::scriptTapFormat(OSStatus status, const AudioStreamBasicDescription& format) {
  std::lock_guard guard(mutex_);
  tapFormatStatus_ = status;
  tapFormat_ = bytesOf(format);
}

std::vector<std::string> SimAudioHardware::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

int SimAudioHardware::destroyCount(const std::string& kind, std::uint64_t id) const {
  std::lock_guard guard(mutex_);
  auto found = destroyed_.find({kind, id});
  return found == destroyed_.end() ? 0 : found->second;
}

CATapDescription SimAudioHardware::lastTapDescription() const {
  std::lock_guard guard(mutex_);
  if (!lastTap_) throw std::logic_error("no process tap was created");
  return *lastTap_;
}

DescriptionDictionary SimAudioHardware::lastAggregateDescription() const {
  std::lock_guard guard(mutex_);
  if (!lastAggregate_) throw std::logic_error("no aggregate device was created");
  return *lastAggregate_;
}

}  // namespace platform::sim
