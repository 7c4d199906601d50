#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/runtime.h"

namespace platform::sim {

// The hardware layer with scripted answers and an ordered log of every call, so tests can check
// what was made, in which order it was released and that nothing was released twice. The lock
// guards what IO cycles and scans on other threads reach; taps, aggregate devices and IO
// procedures are made on the main thread, so their scripts take no lock.
class SimAudioHardware final : public AudioHardware {
 public:
  static constexpr OSStatus kUnknownProperty = static_cast<OSStatus>(fourCC("who?"));
  static constexpr OSStatus kBadObject = static_cast<OSStatus>(fourCC("!obj"));
  static constexpr OSStatus kIllegalOperation = static_cast<OSStatus>(fourCC("nope"));

  SimAudioHardware();
  SimAudioHardware(const SimAudioHardware&) = delete;
  SimAudioHardware& operator=(const SimAudioHardware&) = delete;

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

  // --- script. A successful create hands out the scripted id and then the next one up; an id of
  // 0 stays 0. The id is handed out even with a failing status.
  void scriptProcessTap(OSStatus status, AudioObjectID firstID) {
    tapStatus_ = status;
    nextTapID_ = firstID;
  }
  // Served for kAudioTapPropertyFormat on any tap made here.
  void scriptTapFormat(OSStatus status, const AudioStreamBasicDescription& format);
  void scriptAggregate(OSStatus status, AudioObjectID firstID) {
    aggregateStatus_ = status;
    nextAggregateID_ = firstID;
  }
  void scriptIOProc(OSStatus status, AudioDeviceIOProcID firstID) {
    ioProcStatus_ = status;
    nextIOProcID_ = firstID;
  }
  void scriptDeviceStart(OSStatus status) { deviceStartStatus_ = status; }
  // A property value, whatever qualifier a query brings (the program brings none).
  void setProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                   std::vector<std::byte> value);
  // Both getters of this property answer `status` (until cleared with status 0).
  void failProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    OSStatus status);

  // Audio process objects, listed on the system object in the order they were added. Adding or
  // removing one notifies the process-list listeners; a bundle identifier of none is a read
  // that succeeds without a string. Any read can be made to fail with `failProperty`.
  void addProcessObject(AudioObjectID process, std::optional<std::string> bundleId,
                        std::int32_t pid, bool runningInput);
  void removeProcessObject(AudioObjectID process);
  // Notifies the process's input listeners.
  void setProcessRunningInput(AudioObjectID process, bool running);
  // The next read of the process list fills only its first `entries` identifiers, as when
  // processes end between the size query and the read.
  void shrinkProcessListAtNextRead(std::size_t entries);

  // Property reads are logged unless turned off, as a benchmark that reads millions of times
  // does; listener registrations and removals are always logged.
  void setLogsReads(bool logs);

  // --- inspect
  std::vector<std::string> calls() const;
  // kind: "tap", "aggregate" or "ioproc" (id: the procedure id).
  int destroyCount(const std::string& kind, std::uint64_t id) const;
  CATapDescription lastTapDescription() const;
  DescriptionDictionary lastAggregateDescription() const;
  int listenerCount(AudioObjectID object, const AudioObjectPropertyAddress& address) const;

  // One IO cycle of every started procedure, on the calling thread; false if none is started.
  bool runIOCycle(const ConstAudioBufferList& input);

 private:
  struct IOProc {
    AudioObjectID device = 0;
    std::shared_ptr<const AudioDeviceIOBlock> block;
    bool started = false;
    int cyclesRunning = 0;
  };
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    Queue* queue;
    AudioObjectPropertyListenerBlock block;
  };
  using PropertyKey =
      std::pair<AudioObjectID, std::tuple<FourCharCode, FourCharCode, std::uint32_t>>;
  static PropertyKey keyOf(AudioObjectID object, const AudioObjectPropertyAddress& address);

  // Lock held for both.
  void logRead(const char* call, AudioObjectID object, const AudioObjectPropertyAddress& address);
  // The value, or none with the status saying why.
  const std::vector<std::byte>* findProperty(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             OSStatus& status) const;
  // Posts every listener of (object, address) on its own queue.
  void notifyPropertyChanged(AudioObjectID object, const AudioObjectPropertyAddress& address);
  // Sets the system object's list and tells its listeners.
  void publishProcessList();
  // Stops the procedure and waits (lock held by `guard`) until no cycle of it runs.
  OSStatus stopIOProc(std::unique_lock<std::mutex>& guard, AudioObjectID device,
                      AudioDeviceIOProcID procID);

  mutable std::mutex mutex_;
  std::condition_variable cycleEnded_;
  std::vector<std::string> calls_;
  std::map<std::pair<std::string, std::uint64_t>, int> destroyed_;

  OSStatus tapStatus_ = 0;
  AudioObjectID nextTapID_ = 100;
  OSStatus tapFormatStatus_ = 0;
  std::vector<std::byte> tapFormat_;
  OSStatus aggregateStatus_ = 0;
  AudioObjectID nextAggregateID_ = 200;
  OSStatus ioProcStatus_ = 0;
  AudioDeviceIOProcID nextIOProcID_ = 300;
  OSStatus deviceStartStatus_ = 0;

  std::vector<AudioObjectID> liveTaps_;
  std::optional<CATapDescription> lastTap_;
  std::optional<DescriptionDictionary> lastAggregate_;
  std::map<AudioDeviceIOProcID, IOProc> ioProcs_;
  std::uint64_t cycles_ = 0;

  std::map<PropertyKey, std::vector<std::byte>> properties_;
  std::map<PropertyKey, OSStatus> propertyFailures_;
  std::vector<Listener> listeners_;

  std::vector<AudioObjectID> processObjects_;
  std::map<AudioObjectID, std::optional<std::string>> bundleIds_;
  std::optional<std::size_t> shrinkProcessListTo_;
  bool logsReads_ = true;
};

}  // namespace platform::sim
