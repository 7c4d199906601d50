#include "events/event.h"
#include "record/recorder.h"

namespace zuno {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::shared_ptr<platform::TimerSource> startTimer(platform::Runtime& runtime,
                                                  platform::Duration first,
                                                  std::optional<platform::Duration> interval,
                                                  platform::Task handler) {
  auto timer = runtime.makeTimer(runtime.mainQueue());
  timer->schedule(first, interval, platform::Duration::zero());
  timer->setHandler(std::move(handler));
  timer->resume();
  return timer;
}

}  // namespace

void Recorder::installTimers() {
  tickTimer = startTimer(runtime_, seconds(5), seconds(5), [weakSelf = weak_from_this()] {
    if (auto self = weakSelf.lock()) {
      emitEvent(self->runtime_,
                Event{{"event", "tick"}, {"durationSec", self->currentDurationSec()}});
    }
  });
  levelTimer =
      startTimer(runtime_, milliseconds(200), milliseconds(200), weakTask(&Recorder::reportLevel));
  autoStopTimer =
      startTimer(runtime_, seconds(maxDurationSec), std::nullopt, weakTask(&Recorder::finish));
}

void Recorder::reportLevel() {
  double level = 0;
  {
    std::lock_guard guard(lock);
    if (stopped) return;
    level = meters.take(paused);
  }
  emitSupersedableEvent(runtime_, Event{{"event", "level"}, {"v", level}});
}

std::int64_t Recorder::currentDurationSec() {
  return clock.recordedSeconds(runtime_.wallClockSeconds());
}

}  // namespace zuno
