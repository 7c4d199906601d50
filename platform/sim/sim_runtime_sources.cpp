#include "sim/sim_runtime_sources.h"

#include <stdexcept>
#include <utility>

namespace platform::sim {

struct SimTimer::State {
  std::shared_ptr<SimScheduler> scheduler;
  std::mutex mutex;
  Task handler;
  bool resumed = false;
  bool cancelled = false;
  std::optional<Duration> start;
  std::optional<Duration> interval;
  std::int64_t nextIndex = 0;
  // Bumped by every schedule(), so firings queued under the old one do nothing.
  std::uint64_t generation = 0;
};

namespace {

void queueFiring(const std::shared_ptr<SimTimer::State>& state);

void fire(const std::shared_ptr<SimTimer::State>& state, std::uint64_t generation) {
  Task handler;
  {
    std::lock_guard lock(state->mutex);
    if (state->cancelled || generation != state->generation) return;
    if (state->interval) {
      const Duration now = state->scheduler->now();
      std::int64_t next = state->nextIndex + 1;
      if (*state->start + next * *state->interval < now) {
        // Late: on to the first grid point not in the past.
        next = (now - *state->start + *state->interval - Duration{1}) / *state->interval;
      }
      state->nextIndex = next;
      queueFiring(state);
    }
    handler = state->handler;
  }
  if (handler) handler();
}

// Under state->mutex.
void queueFiring(const std::shared_ptr<SimTimer::State>& state) {
  const Duration deadline =
      *state->start + state->nextIndex * state->interval.value_or(Duration{0});
  state->scheduler->postAt(deadline,
                           [state, generation = state->generation] { fire(state, generation); });
}

}  // namespace

SimTimer::SimTimer(std::shared_ptr<SimScheduler> scheduler) : state_(std::make_shared<State>()) {
  state_->scheduler = std::move(scheduler);
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
  if (state_->start) queueFiring(state_);
}

void SimTimer::cancel() {
  Task released;
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
  // Released after the lock: it breaks the cycle of an owner and the timer its handler holds.
  released = std::exchange(state_->handler, nullptr);
}

void SimTimer::schedule(Duration firstDeadline, std::optional<Duration> interval, Duration) {
  std::lock_guard lock(state_->mutex);
  state_->start = state_->scheduler->now() + firstDeadline;
  // A zero period would fire for ever at one instant: a one-shot then.
  state_->interval = interval && *interval > Duration{0} ? interval : std::nullopt;
  state_->nextIndex = 0;
  ++state_->generation;
  if (state_->resumed && !state_->cancelled) queueFiring(state_);
}

struct SimEventSource::State {
  std::shared_ptr<SimScheduler> scheduler;
  std::mutex mutex;
  Task handler;
  bool resumed = false;
  bool cancelled = false;
  bool queued = false;
};

SimEventSource::SimEventSource(std::shared_ptr<SimScheduler> scheduler)
    : state_(std::make_shared<State>()) {
  state_->scheduler = std::move(scheduler);
}

SimEventSource::~SimEventSource() {
  cancel();
}

void SimEventSource::setHandler(Task handler) {
  std::lock_guard lock(state_->mutex);
  if (!state_->cancelled) state_->handler = std::move(handler);
}

void SimEventSource::resumeFiringIf(const std::function<bool()>& fireNow) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->cancelled) return;
    state_->resumed = true;
  }
  if (fireNow && fireNow()) trigger();
}

void SimEventSource::cancel() {
  Task released;
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
  released = std::exchange(state_->handler, nullptr);
}

bool SimEventSource::trigger() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->resumed || state_->cancelled) return false;
    if (std::exchange(state_->queued, true)) return true;
  }
  state_->scheduler->postAfter(Duration{0}, [state = state_] {
    Task handler;
    {
      std::lock_guard lock(state->mutex);
      state->queued = false;
      if (state->cancelled) return;
      handler = state->handler;
    }
    if (handler) handler();
  });
  return true;
}

void SimSemaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
}

void SimSemaphore::wait() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (value_ > 0) {
        --value_;
        return;
      }
    }
    // A process that has ended waits for nothing; what still runs on its stack is not seen.
    if (scheduler_->ended()) return;
    if (!scheduler_->runNext()) throw std::logic_error("a wait that nothing can end");
  }
}

}  // namespace platform::sim
