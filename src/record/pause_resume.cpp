#include "events/event.h"
#include "record/recorder.h"

namespace zuno {

void Recorder::pauseRecording() {
  {
    std::lock_guard guard(lock);
    if (stopped || paused) return;
    paused = true;
    clock.pause(runtime_.wallClockSeconds());
  }
  if (engine->isRunning()) engine->pause();
  emitEvent(runtime_, Event{{"event", "paused"}, {"durationSec", currentDurationSec()}});
}

void Recorder::resumeRecording() {
  {
    std::lock_guard guard(lock);
    if (stopped || !paused) return;
  }
  // Not prepared again: a paused engine keeps its configuration and its tap.
  if (auto error = engine->start()) {
    writeDiagnostic(runtime_, "resume engine start failed: " + error->debugDescription());
    return;
  }
  {
    std::lock_guard guard(lock);
    clock.resume(runtime_.wallClockSeconds());
    paused = false;
  }
  emitEvent(runtime_, Event{{"event", "resumed"}, {"durationSec", currentDurationSec()}});
}

}  // namespace zuno
