#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/run_scope.h"
#include "events/event.h"
#include "platform/platform.h"
#include "watch/call_app_rules.h"
#include "watch/call_tracker.h"

namespace zuno {

// The `watch` subcommand's one object: it follows the audio process objects and their input
// state, and turns input that lasts in a known conferencing application or browser into
// "call_started" and "call_ended" events.
class CallWatcher : public std::enable_shared_from_this<CallWatcher> {
 public:
  static std::shared_ptr<CallWatcher> create(platform::Platform& platform);

  // The process list, the listeners (audio_process_monitor.cpp).
  std::vector<platform::AudioObjectID> readProcessObjectList();
  void installProcessListListener();
  void installInputListenerIfNeeded(platform::AudioObjectID process);
  void pruneInputListeners(const std::set<platform::AudioObjectID>& current);

  // Detection (call_detection.cpp).
  void scan();

  // Lifecycle (watch_lifecycle.cpp).
  void installPollTimer();
  void installSignalHandlers();

 private:
  explicit CallWatcher(platform::Platform& platform);
  platform::AudioObjectPropertyListenerBlock makeListener();
  // Writes one event line and waits until it is out; a parent that has gone ends the run.
  void emitOrEnd(const Event& event);

  // Set once the parent is gone; scans that are already queued find nobody to tell.
  std::atomic<bool> parentGone_{false};
  // A notification's scan waits on `listenerQueue`; set by the listeners, cleared as a scan
  // starts.
  std::atomic<bool> scanRequested_{false};

  platform::Platform& platform_;

  // Guarded by `lock`.
  CallTracking tracking;
  std::set<std::string> loggedUnlisted;
  std::mutex lock;
  std::int32_t selfPID;
  std::int32_t parentPID;
  std::shared_ptr<platform::TimerSource> pollTimer;
  std::vector<std::shared_ptr<platform::Source>> signalSources;
  platform::AudioObjectPropertyListenerBlock processListListener;
  const platform::AudioObjectPropertyAddress processListenerAddress{
      platform::kAudioHardwarePropertyProcessObjectList, platform::kAudioObjectPropertyScopeGlobal,
      platform::kAudioObjectPropertyElementMain};
  std::map<platform::AudioObjectID, platform::AudioObjectPropertyListenerBlock> inputListeners;
  std::shared_ptr<platform::Queue> listenerQueue;

  // One scan at a time. Later scans all run on `listenerQueue`, but one requested by an input
  // listener that the first scan registered could otherwise start while the first still runs on
  // the main thread: it would register a second listener for a process the first scan is
  // registering, and both would touch `loggedUnlisted`. Held for a whole scan, so never taken by
  // anything a platform call can wait for.
  std::mutex scanning_;
};

// The `watch` entry: creates the watcher, starts it in order and runs the main loop until a
// signal, or a parent that has gone, ends it; returns the exit status.
int runWatch(platform::Platform& platform, RunScope& scope);

}  // namespace zuno
