#include <chrono>
#include <optional>
#include <string>

#include "watch/call_watcher.h"

namespace zuno {

using platform::AudioObjectID;
using platform::AudioObjectPropertyAddress;

namespace {

AudioObjectPropertyAddress processProperty(platform::FourCharCode selector) {
  return {selector, platform::kAudioObjectPropertyScopeGlobal,
          platform::kAudioObjectPropertyElementMain};
}

std::optional<std::string> readBundleId(platform::AudioHardware& hardware, AudioObjectID process) {
  std::optional<std::string> value;
  if (hardware.getPropertyString(process, processProperty(platform::kAudioProcessPropertyBundleID),
                                 value) != 0) {
    return std::nullopt;
  }
  return value;
}

template <typename Value>
std::optional<Value> readScalar(platform::AudioHardware& hardware, AudioObjectID process,
                                platform::FourCharCode selector) {
  Value value = 0;
  std::uint32_t size = sizeof value;
  if (hardware.getPropertyData(process, processProperty(selector), 0, nullptr, size, &value) != 0) {
    return std::nullopt;
  }
  return value;
}

bool isRunningInput(platform::AudioHardware& hardware, AudioObjectID process) {
  const auto running =
      readScalar<std::uint32_t>(hardware, process, platform::kAudioProcessPropertyIsRunningInput);
  return running.value_or(0) != 0;
}

}  // namespace

void CallWatcher::scan() {
  std::lock_guard scanning(scanning_);
  // Cleared before the platform is read, so a change during this scan gets a scan after it.
  scanRequested_ = false;
  if (parentGone_) return;
  platform::AudioHardware& hardware = platform_.audioHardware;
  const std::vector<AudioObjectID> processes = readProcessObjectList();
  pruneInputListeners(std::set<AudioObjectID>(processes.begin(), processes.end()));

  ActiveApps active;
  for (AudioObjectID process : processes) {
    const auto bundleId = readBundleId(hardware, process);
    if (!bundleId || bundleId->empty()) continue;
    if (auto match = matchCallApp(*bundleId)) {
      const auto pid =
          readScalar<std::int32_t>(hardware, process, platform::kAudioProcessPropertyPID);
      // The program's own audio and its parent's are never a call, whatever they capture.
      if (pid && (*pid == selfPID || *pid == parentPID)) continue;
      // Registered whether or not it captures now, so that the start of its input is noticed.
      installInputListenerIfNeeded(process);
      if (!isRunningInput(hardware, process)) continue;
      // Several processes of one app: the latest in the list supplies the identifier.
      const std::string app = match->app;
      active.insert_or_assign(app, ActiveApp{std::move(*match), *bundleId});
      continue;
    }
    if (!isRunningInput(hardware, process)) continue;
    if (!loggedUnlisted.insert(*bundleId).second) continue;
    writeDiagnostic(platform_.runtime, "input active (unlisted): bundle=" + *bundleId);
  }
  std::vector<Event> events;
  {
    std::lock_guard guard(lock);
    // A clock that only moves forward and stops while the machine sleeps: a wall-clock step
    // (a time sync, a manual change, a resume) would otherwise turn a burst into a call or end
    // a call within a short gap.
    const double now = std::chrono::duration<double>(platform_.runtime.monotonicNow()).count();
    events = tracking.step(active, now);
  }
  for (const Event& event : events) emitOrEnd(event);
}

void CallWatcher::emitOrEnd(const Event& event) {
  const auto line = formatEventLine(event);
  if (!line) return;
  // Nobody reads any more: end as a process killed by the broken pipe would, but with the
  // status of an orderly end, instead of scanning on for nobody.
  if (parentGone_ || platform_.runtime.standardOutput().writeAllAndWait(*line)) return;
  parentGone_ = true;
  platform_.runtime.quitMainLoop(0);
}

}  // namespace zuno
