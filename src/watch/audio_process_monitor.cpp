#include <utility>

#include "watch/call_watcher.h"

namespace zuno {

using platform::AudioObjectID;
using platform::AudioObjectPropertyAddress;

namespace {

constexpr AudioObjectPropertyAddress kIsRunningInputAddress{
    platform::kAudioProcessPropertyIsRunningInput, platform::kAudioObjectPropertyScopeGlobal,
    platform::kAudioObjectPropertyElementMain};

}  // namespace

std::vector<AudioObjectID> CallWatcher::readProcessObjectList() {
  platform::AudioHardware& hardware = platform_.audioHardware;
  std::uint32_t size = 0;
  if (hardware.getPropertyDataSize(platform::kAudioObjectSystemObject, processListenerAddress, 0,
                                   nullptr, size) != 0 ||
      size == 0) {
    return {};
  }
  const std::size_t count = size / sizeof(AudioObjectID);
  if (count == 0) return {};
  // Entries the read leaves unfilled (the list shrank in between) stay 0, on which every read
  // fails, so the scan passes over them.
  std::vector<AudioObjectID> processes(count, platform::kAudioObjectUnknown);
  if (hardware.getPropertyData(platform::kAudioObjectSystemObject, processListenerAddress, 0,
                               nullptr, size, processes.data()) != 0) {
    return {};
  }
  return processes;
}

platform::AudioObjectPropertyListenerBlock CallWatcher::makeListener() {
  // Each notification asks for a full scan, and at most one is ever waiting: every scan reads
  // everything afresh, so scans merged while one waits change no event. Unmerged, a parent
  // that stops reading (which holds a scan in its write) would let the server's notifications
  // pile up one queued scan each, without bound. The registration keeps the queue it delivers
  // on, as a dispatch queue is retained by whoever uses it, so a notification that comes after
  // the watcher has gone still has a queue to arrive on.
  return std::make_shared<const std::function<void(std::span<const AudioObjectPropertyAddress>)>>(
      [weakSelf = weak_from_this(),
       queue = listenerQueue](std::span<const AudioObjectPropertyAddress>) {
        const auto self = weakSelf.lock();
        if (!self || self->scanRequested_.exchange(true)) return;
        queue->async([weakSelf] {
          if (auto watcher = weakSelf.lock()) watcher->scan();
        });
      });
}

void CallWatcher::installProcessListListener() {
  auto listener = makeListener();
  // Without it, scans still come from the input listeners and the poll.
  if (platform_.audioHardware.addPropertyListener(platform::kAudioObjectSystemObject,
                                                  processListenerAddress, *listenerQueue,
                                                  listener) != 0) {
    return;
  }
  processListListener = std::move(listener);
}

void CallWatcher::installInputListenerIfNeeded(AudioObjectID process) {
  {
    std::lock_guard guard(lock);
    if (inputListeners.contains(process)) return;
  }
  auto listener = makeListener();
  // A failed registration is tried again by the next scan that matches the process.
  if (platform_.audioHardware.addPropertyListener(process, kIsRunningInputAddress, *listenerQueue,
                                                  listener) != 0) {
    return;
  }
  std::lock_guard guard(lock);
  inputListeners[process] = std::move(listener);
}

void CallWatcher::pruneInputListeners(const std::set<AudioObjectID>& current) {
  std::vector<std::pair<AudioObjectID, platform::AudioObjectPropertyListenerBlock>> stale;
  {
    std::lock_guard guard(lock);
    for (auto entry = inputListeners.begin(); entry != inputListeners.end();) {
      if (current.contains(entry->first)) {
        ++entry;
        continue;
      }
      stale.emplace_back(entry->first, std::move(entry->second));
      entry = inputListeners.erase(entry);
    }
  }
  // The object is usually gone already, so the status says nothing useful.
  for (const auto& [process, listener] : stale) {
    platform_.audioHardware.removePropertyListener(process, kIsRunningInputAddress, *listenerQueue,
                                                   listener);
  }
}

}  // namespace zuno
