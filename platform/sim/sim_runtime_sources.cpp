#include "sim/sim_runtime_sources.h"

#include <utility>

namespace platform::sim {

struct SimTimer::State {
  std::shared_ptr<SimScheduler> scheduler;
  std::string queueLabel;
  mutable std::mutex mutex;
  Task handler;
  bool resumed = false;
  bool cancelled = false;
  std::optional<Duration> start;
  std::optional<Duration> interval;
  Duration leeway{0};
  std::int64_t nextIndex = 0;
  // Bumped by every schedule() so firings queued under the old schedule become no-ops.
  std::uint64_t generation = 0;
  std::uint64_t firings = 0;
};

namespace {

void queueTimerFiring(const std::shared_ptr<SimTimer::State>& state);

void fireTimer(const std::shared_ptr<SimTimer::State>& state, std::uint64_t generation) {
  Task handler;
  {
    std::lock_guard lock(state->mutex);
    if (state->cancelled || generation != state->generation) return;
    ++state->firings;
    if (state->interval) {
      const Duration now = state->scheduler->now();
      std::int64_t next = state->nextIndex + 1;
      const Duration nextDeadline = *state->start + next * *state->interval;
      if (nextDeadline < now) {
        // Late: skip to the first grid point not in the past, like a coalesced dispatch timer.
        next = (now - *state->start + *state->interval - Duration{1}) / *state->interval;
      }
      state->nextIndex = next;
      queueTimerFiring(state);
    }
    handler = state->handler;
  }
  if (handler) handler();
}

// Caller holds state->mutex.
void queueTimerFiring(const std::shared_ptr<SimTimer::State>& state) {
  const Duration deadline =
      *state->start + state->nextIndex * state->interval.value_or(Duration{0});
  state->scheduler->postAt(
      deadline, [state, generation = state->generation] { fireTimer(state, generation); });
}

}  // namespace

SimTimer::SimTimer(std::shared_ptr<SimScheduler> scheduler, std::string queueLabel)
    : state_(std::make_shared<State>()) {
  state_->scheduler = std::move(scheduler);
  state_->queueLabel = std::move(queueLabel);
}

SimTimer::~SimTimer() {
  cancel();
}

void SimTimer::setHandler(Task handler) {
  std::lock_guard lock(state_->mutex);
  if (!state_->cancelled) state_->handler = std::move(handler);
}

void SimTimer::resume() {
  std::lock_guard lock(state_->mutex);
  if (state_->resumed || state_->cancelled) return;
  state_->resumed = true;
  if (state_->start) queueTimerFiring(state_);
}

void SimTimer::cancel() {
  Task released;
  {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    // Releasing the handler breaks cycles between an owner and the timer its handler captures.
    released = std::move(state_->handler);
    state_->handler = nullptr;
  }
}

void SimTimer::schedule(Duration firstDeadline, std::optional<Duration> interval, Duration leeway) {
  std::lock_guard lock(state_->mutex);
  state_->start = state_->scheduler->now() + firstDeadline;
  // A zero or negative period would spin forever at one instant; treat it as a one-shot.
  state_->interval = interval && *interval > Duration{0} ? interval : std::nullopt;
  state_->leeway = leeway;
  state_->nextIndex = 0;
  ++state_->generation;
  if (state_->resumed && !state_->cancelled) queueTimerFiring(state_);
}

SimTimerInfo SimTimer::describe(const State& state) {
  std::lock_guard lock(state.mutex);
  return SimTimerInfo{state.queueLabel, state.start,     state.interval, state.leeway,
                      state.resumed,    state.cancelled, state.firings};
}

struct SimEventSource::State {
  std::shared_ptr<SimScheduler> scheduler;
  Predicate readyToFire;
  Predicate fireOnResume;
  mutable std::mutex mutex;
  Task handler;
  bool resumed = false;
  bool cancelled = false;
  bool firingQueued = false;
};

SimEventSource::SimEventSource(std::shared_ptr<SimScheduler> scheduler, Predicate readyToFire,
                               Predicate fireOnResume)
    : state_(std::make_shared<State>()) {
  state_->scheduler = std::move(scheduler);
  state_->readyToFire = std::move(readyToFire);
  state_->fireOnResume = std::move(fireOnResume);
}

SimEventSource::~SimEventSource() {
  cancel();
}

void SimEventSource::setHandler(Task handler) {
  std::lock_guard lock(state_->mutex);
  if (!state_->cancelled) state_->handler = std::move(handler);
}

void SimEventSource::resume() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->cancelled) return;
    state_->resumed = true;
  }
  if (state_->fireOnResume && state_->fireOnResume()) trigger(state_);
}

void SimEventSource::cancel() {
  Task released;
  {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    released = std::move(state_->handler);
    state_->handler = nullptr;
  }
}

bool SimEventSource::isListening(const State& state) {
  std::lock_guard lock(state.mutex);
  return state.resumed && !state.cancelled;
}

void SimEventSource::trigger(const std::shared_ptr<State>& state) {
  {
    std::lock_guard lock(state->mutex);
    if (!state->resumed || state->cancelled || state->firingQueued) return;
    state->firingQueued = true;
  }
  state->scheduler->postAfter(Duration{0}, [state] {
    Task handler;
    {
      std::lock_guard lock(state->mutex);
      state->firingQueued = false;
      if (state->cancelled) return;
      handler = state->handler;
    }
    if (state->readyToFire && !state->readyToFire()) return;
    if (handler) handler();
  });
}

}  // namespace platform::sim
