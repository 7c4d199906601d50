#include <chrono>
#include <csignal>

#include "watch/call_watcher.h"

namespace zuno {

namespace {

constexpr std::chrono::seconds kPollInterval{1};

}  // namespace

std::shared_ptr<CallWatcher> CallWatcher::create(platform::Platform& platform) {
  return std::shared_ptr<CallWatcher>(new CallWatcher(platform));
}

CallWatcher::CallWatcher(platform::Platform& platform)
    : platform_(platform),
      selfPID(platform.process.processIdentifier()),
      parentPID(platform.process.parentProcessIdentifier()),
      listenerQueue(platform.runtime.makeSerialQueue("zuno-recorder.watch")) {}

void CallWatcher::installPollTimer() {
  // The thresholds are only checked when an evaluation runs, so without a steady scan a call
  // could wait for its start or end until something else changed.
  auto timer = platform_.runtime.makeTimer(*listenerQueue);
  timer->schedule(kPollInterval, kPollInterval, platform::Duration::zero());
  timer->setHandler([weakSelf = weak_from_this()] {
    if (auto self = weakSelf.lock()) self->scan();
  });
  timer->resume();
  pollTimer = std::move(timer);
}

void CallWatcher::installSignalHandlers() {
  platform::Runtime& runtime = platform_.runtime;
  for (int signalNumber : {SIGTERM, SIGINT}) {
    // Ignored first, so the default action no longer ends the process: the source alone reacts.
    runtime.ignoreSignal(signalNumber);
    auto source = runtime.makeSignalSource(signalNumber, runtime.mainQueue());
    // Ends the run at once: nothing of watch's needs finishing.
    source->setHandler([&runtime] { runtime.quitMainLoop(0); });
    source->resume();
    signalSources.push_back(std::move(source));
  }
}

int runWatch(platform::Platform& platform, RunScope& scope) {
  auto watcher = scope.keep(CallWatcher::create(platform));
  // The first scan cannot announce anything yet (that takes a second of input); it registers
  // the listeners of the processes that matter and starts their trackers.
  watcher->scan();
  watcher->installProcessListListener();
  watcher->installPollTimer();
  watcher->installSignalHandlers();
  return platform.runtime.runMainLoop();
}

}  // namespace zuno
